// SPDX-License-Identifier: Apache-2.0
// kovview's views: the page's state, the sections drawn from the windows
// the server sends (colour image, wiggles, axes, cross-hair, colour bar),
// their clip and gain, the mouse on them, and the trace beside them.  The
// controls, the address and the layout are kovview.js's.
import { MAPS, NAN_PIXEL, LUT_SIZE, colour, pixelLut } from './colours.js';
import { RequestError, firstWindow, getWindow, getWindowJson } from './net.js';
import { agc, tpower, normalise } from './gain.js';

// The k-th smallest of `a` (reordered), by quickselect.
function select(a, k) {
  let lo = 0, hi = a.length - 1;
  while (hi > lo) {
    const pivot = a[(lo + hi) >> 1];
    let i = lo, j = hi;
    while (i <= j) {
      while (a[i] < pivot) i++;
      while (a[j] > pivot) j--;
      if (i <= j) {
        const t = a[i];
        a[i] = a[j];
        a[j] = t;
        i++;
        j--;
      }
    }
    if (k <= j) hi = j;
    else if (k >= i) lo = i;
    else return a[k];
  }
  return a[k];
}


export const state = {
  info: null,
  cmap: 'viridis',
  reverse: false,
  display: 'auto', // image, wiggle, both or auto (wiggles under WIGGLE_MOST traces)
  excursion: 1, // the largest wiggle, in trace spacings
  gain: 'none', // none, agc, tpower, rms, max
  overview: 'auto', // mean, rms, peak, or auto: peak for data around zero, else mean
  aroundZero: null, // known from the first picture
  agcLength: 0, // the AGC window in axis-1 units (0: a tenth of the axis)
  tpow: 2,
  changed: false,
  pclip: 100,
  symmetric: false,
  clipScope: 'view', // a cube's clip: of each view, or 'all' (one over the three)
  min: '',
  max: '',
  slice: [0, 0, 0],
  views: [],
  clip: { lo: 0, hi: 1 },
  trace: null,
  fetches: 0,
  pending: 0,
  // The number of the page's last request, and the page's own number: the
  // first script's, whose request the main view may take (first.js).
  seq: window.kovviewFirst && window.kovviewFirst.seq ? window.kovviewFirst.seq : 0,
  client: window.kovviewFirst ? window.kovviewFirst.client : Math.floor(Math.random() * 4294967296),
};
window.kovview = state; // for the browser tests and the curious

const WIGGLE_MOST = 200;

// The banner above the views: what failed, in the server's words.
export function banner(text) {
  const b = document.getElementById('banner');
  b.textContent = text;
  b.hidden = !text;
}
export function failed(what, e) {
  if (e instanceof RequestError && e.status === 410) state.changed = true;
  if (state.changed) {
    banner('the dataset changed on disk \u2014 reload');
    return;
  }
  banner(what + ': ' + e.message + (e.status ? ' (' + e.status + ')' : ''));
}

// ---- coordinates and ticks ------------------------------------------------

export function axisName(k) {
  const a = state.info.axes[k];
  const label = (a.label || '').trim() || 'axis ' + (k + 1);
  return a.unit ? label + ' (' + a.unit + ')' : label;
}
export function coord(k, index) {
  const a = state.info.axes[k];
  return a.o + a.d * index;
}
function ticks(lo, hi, count) {
  if (lo > hi) [lo, hi] = [hi, lo];
  if (!(hi > lo)) return [lo];
  const raw = (hi - lo) / count;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  let step = 10 * power;
  for (const m of [1, 2, 5]) {
    if (m * power >= raw) {
      step = m * power;
      break;
    }
  }
  const out = [];
  for (let k = Math.ceil(lo / step - 1e-9); k * step <= hi + step * 1e-9; k += 1)
    out.push(Math.abs(k * step) < step * 1e-9 ? 0 : k * step);
  return out;
}
export function number(v) {
  if (v === 0) return '0';
  const a = Math.abs(v);
  if (a >= 1e6 || a < 1e-3) return v.toExponential(3).replace(/\.?0+e/, 'e');
  return String(Number(v.toPrecision(6)));
}

// ---- the views --------------------------------------------------------------

const MARGIN = { left: 72, top: 34, bottom: 44 };

export class View {
  // down, across: the axes of the picture (0-based); the third is cut.
  constructor(id, down, across, width, height, main) {
    this.id = id;
    this.down = down;
    this.across = across;
    this.third = 3 - down - across;
    this.main = main;
    this.canvas = document.createElement('canvas');
    this.canvas.className = 'section';
    this.canvas.id = 'view' + (down + 1) + (across + 1);
    this.canvas.width = width;
    this.canvas.height = height;
    this.right = 96; // room for the colour bar
    this.clip = { lo: 0, hi: 1 };
    this.f = [0, 0, 0];
    this.n = state.info.n.slice();
    this.data = null; // {values, rows, cols, f, n}
    this.controller = null;
    this.attach();
  }
  get plot() {
    return {
      x: MARGIN.left, y: MARGIN.top,
      w: this.canvas.width - MARGIN.left - this.right,
      h: this.canvas.height - MARGIN.top - MARGIN.bottom,
    };
  }
  reset() {
    this.f[this.down] = 0;
    this.n[this.down] = state.info.n[this.down];
    this.f[this.across] = 0;
    this.n[this.across] = state.info.n[this.across];
  }
  // The sample index (fractional) under a canvas position, per axis.
  indexAt(x, y) {
    const p = this.plot;
    return {
      down: this.f[this.down] + (y - p.y) / p.h * this.n[this.down],
      across: this.f[this.across] + (x - p.x) / p.w * this.n[this.across],
    };
  }
  // Sets the window along axis k to [lo, hi) in samples, kept inside the data.
  setWindow(k, lo, hi) {
    const total = state.info.n[k];
    let first = Math.floor(lo), last = Math.ceil(hi);
    if (last - first < 1) last = first + 1;
    if (last - first > total) { first = 0; last = total; }
    if (first < 0) { last -= first; first = 0; }
    if (last > total) { first -= last - total; last = total; }
    this.f[k] = Math.max(0, first);
    this.n[k] = last - this.f[k];
  }
  // Asks for the view's window (first.js builds the main view's first
  // query in the same order, name for name).
  async load() {
    const p = this.plot;
    const q = new URLSearchParams();
    q.set('axes', '' + (this.down + 1) + (this.across + 1));
    for (const k of [this.down, this.across]) {
      q.set('f' + (k + 1), this.f[k]);
      q.set('n' + (k + 1), this.n[k]);
    }
    q.set('f' + (this.third + 1), state.slice[this.third]);
    q.set('rows', Math.max(1, Math.min(4096, Math.round(p.h))));
    q.set('cols', Math.max(1, Math.min(4096, Math.round(p.w))));
    q.set('overview', overviewUsed());
    // Until the first picture tells whether the data lie around zero, the
    // server makes the peaks in the same pass as the mean and keeps them
    // for the request that follows (the data are read once); not for data
    // it found of one sign when it started (a view that turns out to be
    // around zero all the same is read again for its peaks).
    if (state.aroundZero === null && state.overview === 'auto' && state.info.one_sign !== true)
      q.set('also', 'peak');
    q.set('view', this.id);
    q.set('client', state.client);
    q.set('seq', ++state.seq);
    if (this.controller) this.controller.abort();
    const controller = new AbortController();
    this.controller = controller;
    const asked = { f: this.f.slice(), n: this.n.slice(), slice: state.slice[this.third] };
    state.pending++;
    try {
      const got = await (firstWindow(q, controller.signal) || getWindow(q, controller.signal));
      this.data = { ...got, f: asked.f, n: asked.n, slice: asked.slice };
      this.shownCache = null;
      this.finite = null;
      state.fetches++;
      if (!state.changed) banner('');
      updateClip();
      if (this.main && page.headerPanels) page.headerPanels.viewChanged();
      // Data around zero: where a cell covers many samples, the peak
      // keeps the events a mean would flatten.
      if (this.main && state.aroundZero === null) {
        state.aroundZero = state.clip.lo < 0 && state.clip.hi > 0;
        const averaged = got.rows < asked.n[this.down] || got.cols < asked.n[this.across];
        if (state.aroundZero && state.overview === 'auto' && averaged)
          for (const v of state.views) v.load();
      }
      drawAll();
      // The time of the first picture, from the opening of the page.
      if (this.main && state.firstPicture === undefined) state.firstPicture = performance.now();
    } catch (e) {
      if (e.name === 'AbortError') return;
      // A request dropped for a newer one of this view is no failure.
      if (e.status === 409 && this.controller !== controller) return;
      failed('view ' + (this.down + 1) + '-' + (this.across + 1), e);
      state.failures = (state.failures || 0) + 1;
      // The view keeps the window of the picture it really has.
      if (this.data) {
        this.f = this.data.f.slice();
        this.n = this.data.n.slice();
      }
      this.draw();
    } finally {
      state.pending--;
      if (this.controller === controller) this.controller = null;
    }
  }
  // The values shown: the samples held with the gain applied (traces
  // along axis 1 only).
  shown() {
    const d = this.data;
    if (!d) return null;
    const key = [state.gain, state.agcLength, state.tpow].join();
    if (this.shownCache && this.shownCache.key === key && this.shownCache.data === d)
      return this.shownCache.values;
    let values = d.values;
    if (state.gain !== 'none' && this.down === 0) values = applyGain(d, this.down);
    this.shownCache = { key, data: d, values };
    return values;
  }
  // Whether the view draws wiggles: asked for, or (display auto) data
  // around zero (the clip spans it) whose traces are few enough to draw.
  wiggles() {
    if (!this.data) return false;
    if (state.display === 'wiggle' || state.display === 'both') return true;
    return state.display === 'auto' && this.clip.lo < 0 && this.clip.hi > 0 &&
           this.n[this.across] <= WIGGLE_MOST && this.data.cols === this.data.n[this.across];
  }
  image() {
    return state.display !== 'wiggle' && !(state.display === 'auto' && this.wiggles());
  }
  draw() {
    const ctx = this.canvas.getContext('2d');
    const c = this.canvas, p = this.plot;
    ctx.fillStyle = '#fff';
    ctx.fillRect(0, 0, c.width, c.height);
    ctx.font = '12px sans-serif';
    ctx.fillStyle = '#000';
    if (this.data && this.image()) {
      const d = this.data;
      const image = new ImageData(d.cols, d.rows);
      // One store of a packed pixel per sample.
      const table = pixelLut(state.cmap, state.reverse), values = this.shown();
      const px = new Uint32Array(image.data.buffer, 0, values.length);
      const lo = this.clip.lo, scale = (LUT_SIZE - 1) / (this.clip.hi - this.clip.lo);
      for (let i = 0; i < values.length; i++) {
        const v = values[i];
        if (v === v && v !== Infinity && v !== -Infinity) {
          let k = Math.round((v - lo) * scale);
          k = k < 0 ? 0 : k > LUT_SIZE - 1 ? LUT_SIZE - 1 : k;
          px[i] = table[k];
        } else {
          px[i] = NAN_PIXEL;
        }
      }
      // The picture at its own size, scaled onto the view below: a canvas
      // kept by the view, resized only when the window's shape changes.
      if (!this.off) this.off = document.createElement('canvas');
      const off = this.off;
      if (off.width !== d.cols) off.width = d.cols;
      if (off.height !== d.rows) off.height = d.rows;
      off.getContext('2d').putImageData(image, 0, 0);
      ctx.imageSmoothingEnabled = false;
      // The part of the picture that the held window covers.
      const fd = this.f[this.down], nd = this.n[this.down];
      const fa = this.f[this.across], na = this.n[this.across];
      const y0 = p.y + (d.f[this.down] - fd) / nd * p.h;
      const y1 = p.y + (d.f[this.down] + d.n[this.down] - fd) / nd * p.h;
      const x0 = p.x + (d.f[this.across] - fa) / na * p.w;
      const x1 = p.x + (d.f[this.across] + d.n[this.across] - fa) / na * p.w;
      ctx.save();
      ctx.beginPath();
      ctx.rect(p.x, p.y, p.w, p.h);
      ctx.clip();
      ctx.drawImage(off, x0, y0, x1 - x0, y1 - y0);
      ctx.restore();
    }
    if (this.wiggles()) this.drawWiggles(ctx, p);
    ctx.strokeStyle = '#000';
    ctx.lineWidth = 1;
    ctx.strokeRect(p.x - 0.5, p.y - 0.5, p.w + 1, p.h + 1);
    this.drawAxes(ctx, p);
    this.drawCross(ctx, p);
    if (this.image()) drawColourBar(ctx, this.canvas, p, this.clip);
  }
  // Each trace held as a curve about its own line, its positive lobes
  // filled: an excursion of `state.excursion` trace spacings for the
  // largest value of the clip.
  drawWiggles(ctx, p) {
    const d = this.data, values = this.shown();
    const fa = this.f[this.across], na = this.n[this.across];
    const fd = this.f[this.down], nd = this.n[this.down];
    const spacing = p.w / na * d.n[this.across] / d.cols;
    const top = Math.max(Math.abs(this.clip.lo), Math.abs(this.clip.hi)) || 1;
    const scale = state.excursion * spacing / top;
    const y = (r) => p.y + ((d.f[this.down] + (r + 0.5) * d.n[this.down] / d.rows) - fd) / nd * p.h;
    ctx.save();
    ctx.beginPath();
    ctx.rect(p.x, p.y, p.w, p.h);
    ctx.clip();
    ctx.lineWidth = 1;
    ctx.strokeStyle = '#000';
    ctx.fillStyle = '#000';
    this.wiggleLines = [];
    for (let c = 0; c < d.cols; c++) {
      const x0 = p.x + ((d.f[this.across] + (c + 0.5) * d.n[this.across] / d.cols) - fa) / na * p.w;
      this.wiggleLines.push(x0);
      const at = (r) => {
        const v = values[r * d.cols + c];
        return Number.isFinite(v) ? x0 + v * scale : x0;
      };
      // The positive lobes: the area between the line and the curve.
      ctx.beginPath();
      ctx.moveTo(x0, y(0));
      for (let r = 0; r < d.rows; r++) ctx.lineTo(Math.max(x0, at(r)), y(r));
      ctx.lineTo(x0, y(d.rows - 1));
      ctx.closePath();
      ctx.fill();
      ctx.beginPath();
      for (let r = 0; r < d.rows; r++) {
        if (r === 0) ctx.moveTo(at(r), y(r));
        else ctx.lineTo(at(r), y(r));
      }
      ctx.stroke();
    }
    ctx.restore();
  }
  drawAxes(ctx, p) {
    const a = this.across, d = this.down;
    const ax = state.info.axes[a], dx = state.info.axes[d];
    // Sample k is centred in its cell.
    const across = (c) => p.x + ((c - ax.o) / ax.d - this.f[a] + 0.5) * p.w / this.n[a];
    const down = (c) => p.y + ((c - dx.o) / dx.d - this.f[d] + 0.5) * p.h / this.n[d];
    const alo = coord(a, this.f[a]), ahi = coord(a, this.f[a] + this.n[a] - 1);
    const dlo = coord(d, this.f[d]), dhi = coord(d, this.f[d] + this.n[d] - 1);
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    this.ticksAcross = ticks(alo, ahi, Math.max(2, Math.floor(p.w / 90)));
    for (const c of this.ticksAcross) {
      const x = Math.round(across(c)) + 0.5;
      ctx.beginPath();
      ctx.moveTo(x, p.y + p.h + 0.5);
      ctx.lineTo(x, p.y + p.h + 5.5);
      ctx.stroke();
      ctx.fillText(number(c), x, p.y + p.h + 8);
    }
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    this.ticksDown = ticks(dlo, dhi, Math.max(2, Math.floor(p.h / 60)));
    for (const c of this.ticksDown) {
      const y = Math.round(down(c)) + 0.5;
      ctx.beginPath();
      ctx.moveTo(p.x - 5.5, y);
      ctx.lineTo(p.x - 0.5, y);
      ctx.stroke();
      ctx.fillText(number(c), p.x - 8, y);
    }
    ctx.font = '13px sans-serif';
    ctx.textAlign = 'center';
    ctx.textBaseline = 'bottom';
    ctx.fillText(axisName(a), p.x + p.w / 2, this.canvas.height - 4);
    ctx.save();
    ctx.translate(14, p.y + p.h / 2);
    ctx.rotate(-Math.PI / 2);
    ctx.textBaseline = 'middle';
    ctx.fillText(axisName(d), 0, 0);
    ctx.restore();
    ctx.font = '15px sans-serif';
    ctx.textBaseline = 'top';
    let title = this.main ? state.info.title : '';
    if (state.info.n[this.third] > 1) {
      title += (title ? ', ' : '') + axisName(this.third) + ' = ' +
               number(coord(this.third, state.slice[this.third]));
    }
    ctx.fillText(title, p.x + p.w / 2, 8);
  }
  drawCross(ctx, p) {
    if (state.info.n[2] <= 1) return;
    const d = this.down, a = this.across;
    const y = p.y + (state.slice[d] + 0.5 - this.f[d]) / this.n[d] * p.h;
    const x = p.x + (state.slice[a] + 0.5 - this.f[a]) / this.n[a] * p.w;
    ctx.save();
    ctx.beginPath();
    ctx.rect(p.x, p.y, p.w, p.h);
    ctx.clip();
    ctx.strokeStyle = 'rgba(255, 0, 0, 0.8)';
    ctx.setLineDash([4, 3]);
    ctx.beginPath();
    ctx.moveTo(p.x, Math.round(y) + 0.5);
    ctx.lineTo(p.x + p.w, Math.round(y) + 0.5);
    ctx.moveTo(Math.round(x) + 0.5, p.y);
    ctx.lineTo(Math.round(x) + 0.5, p.y + p.h);
    ctx.stroke();
    ctx.restore();
  }
  // The value held for a sample index pair, with the cell it lies in.
  valueAt(down, across) {
    const d = this.data;
    if (!d) return null;
    const rd = Math.floor((down - d.f[this.down]) * d.rows / d.n[this.down]);
    const ca = Math.floor((across - d.f[this.across]) * d.cols / d.n[this.across]);
    if (rd < 0 || rd >= d.rows || ca < 0 || ca >= d.cols) return null;
    return {
      value: d.values[rd * d.cols + ca],
      mean: d.n[this.down] > d.rows || d.n[this.across] > d.cols ? overviewUsed() : '',
    };
  }
  attach() {
    const c = this.canvas;
    let drag = null;
    const pos = (e) => {
      const r = c.getBoundingClientRect();
      return { x: e.clientX - r.left, y: e.clientY - r.top };
    };
    c.addEventListener('mousedown', (e) => {
      e.preventDefault();
      const at = pos(e);
      drag = { start: at, now: at, pan: e.shiftKey || e.button === 1, f: this.f.slice(),
               n: this.n.slice() };
    });
    window.addEventListener('mousemove', (e) => {
      if (!drag) return;
      drag.now = pos(e);
      if (drag.pan) {
        const p = this.plot;
        // Whole samples, so that the window keeps its size.
        const dx = Math.round((drag.now.x - drag.start.x) / p.w * drag.n[this.across]);
        const dy = Math.round((drag.now.y - drag.start.y) / p.h * drag.n[this.down]);
        this.setWindow(this.across, drag.f[this.across] - dx,
                       drag.f[this.across] - dx + drag.n[this.across]);
        this.setWindow(this.down, drag.f[this.down] - dy, drag.f[this.down] - dy + drag.n[this.down]);
        this.draw();
      } else {
        this.draw();
        const ctx = c.getContext('2d');
        ctx.strokeStyle = '#f00';
        ctx.setLineDash([]);
        ctx.strokeRect(drag.start.x, drag.start.y, drag.now.x - drag.start.x,
                       drag.now.y - drag.start.y);
      }
    });
    window.addEventListener('mouseup', (e) => {
      if (!drag) return;
      const d = drag;
      drag = null;
      d.now = pos(e);
      const wide = Math.abs(d.now.x - d.start.x) > 4 && Math.abs(d.now.y - d.start.y) > 4;
      if (d.pan) {
        this.load();
        page.saved();
      } else if (wide) {
        const a = this.indexAt(Math.min(d.start.x, d.now.x), Math.min(d.start.y, d.now.y));
        const b = this.indexAt(Math.max(d.start.x, d.now.x), Math.max(d.start.y, d.now.y));
        this.setWindow(this.down, a.down, b.down);
        this.setWindow(this.across, a.across, b.across);
        this.draw();
        this.load();
        page.saved();
      } else {
        this.click(d.now);
      }
    });
    c.addEventListener('mousemove', (e) => this.readout(pos(e)));
    c.addEventListener('wheel', (e) => {
      e.preventDefault();
      const at = pos(e);
      const i = this.indexAt(at.x, at.y);
      const factor = e.deltaY < 0 ? 0.8 : 1.25;
      for (const [k, centre] of [[this.down, i.down], [this.across, i.across]]) {
        const lo = centre - (centre - this.f[k]) * factor;
        this.setWindow(k, lo, lo + this.n[k] * factor);
      }
      this.draw();
      clearTimeout(this.wheelTimer);
      this.wheelTimer = setTimeout(() => { this.load(); page.saved(); }, 60);
    }, { passive: false });
  }
  click(at) {
    const p = this.plot;
    if (at.x < p.x || at.y < p.y || at.x >= p.x + p.w || at.y >= p.y + p.h) return;
    const i = this.indexAt(at.x, at.y);
    const down = Math.floor(i.down), across = Math.floor(i.across);
    if (state.info.n[2] > 1) {
      // The cross-hair: the other views cut through the sample clicked.
      state.slice[this.down] = down;
      state.slice[this.across] = across;
      page.slicesMoved();
      for (const v of state.views)
        if (v !== this) v.load();
      drawAll();
      page.saved();
    }
    showTrace(this, down, across);
  }
  readout(at) {
    const p = this.plot;
    const out = document.getElementById('readout');
    if (at.x < p.x || at.y < p.y || at.x >= p.x + p.w || at.y >= p.y + p.h) return;
    const i = this.indexAt(at.x, at.y);
    const idx = [0, 0, 0];
    idx[this.down] = Math.floor(i.down);
    idx[this.across] = Math.floor(i.across);
    idx[this.third] = state.slice[this.third];
    const v = this.valueAt(idx[this.down], idx[this.across]);
    const parts = [];
    for (let k = 0; k < 3; k++) {
      if (state.info.n[k] <= 1 && k > 1) continue;
      parts.push('i' + (k + 1) + '=' + idx[k] + ' (' +
                 ((state.info.axes[k].label || '').trim() || 'x' + (k + 1)) + '=' +
                 number(coord(k, idx[k])) + ')');
    }
    let text = parts.join('  ');
    if (v) text += '  value=' + (Number.isFinite(v.value) ? number(v.value) : 'NaN') +
                   (v.mean ? ' (' + v.mean + ' of its cell)' : '');
    out.textContent = text;
    if (page.headerPanels) page.headerPanels.hover(idx[1], idx[2]);
  }
}

// ---- clip and colour bar -----------------------------------------------------

// The value at fraction q of the finite values held (as kovpng takes it).
function percentile(values, q) {
  if (values.length === 0) return 0;
  const k = Math.round(q * (values.length - 1));
  if (k === 0 || k === values.length - 1) {
    let m = values[0];
    for (const v of values) m = k === 0 ? Math.min(m, v) : Math.max(m, v);
    return m;
  }
  return select(values.slice(), k);
}

// The finite values a view shows (and their magnitudes), kept until
// they change.
function finiteOf(v, abs) {
  if (!v.data) return { finite: [], finiteAbs: [] };
  if (!v.finite || v.finiteOf !== v.shown()) {
    const shown = v.shown();
    const finite = new Float32Array(shown.length);
    let n = 0;
    for (let i = 0; i < shown.length; i++) {
      const x = shown[i];
      if (x === x && x !== Infinity && x !== -Infinity) finite[n++] = x;
    }
    v.finiteOf = shown;
    v.finite = finite.subarray(0, n);
    v.finiteAbs = null;
  }
  // The magnitudes only for a symmetric clip.
  if (abs && !v.finiteAbs) v.finiteAbs = v.finite.map(Math.abs);
  return v;
}

// The clip of the values of `views` by the page's settings (percentile,
// symmetric, explicit min and max).
function clipOf(views) {
  let lo = 0, hi = 1;
  if (state.pclip >= 100) {
    // Every value: the extremes, in one pass and without a copy.
    const e = extremes(views);
    if (e.count > 0) {
      if (state.symmetric) {
        hi = Math.max(-e.lo, e.hi);
        lo = -hi;
      } else {
        lo = e.lo;
        hi = e.hi;
      }
    }
    return settled(lo, hi);
  }
  const parts = views.map((v) => finiteOf(v, state.symmetric));
  // The values of several views in one array (they may be typed arrays).
  const joined = (key) => {
    if (parts.length === 1) return parts[0][key];
    const out = new Float64Array(parts.reduce((n, x) => n + x[key].length, 0));
    let at = 0;
    for (const x of parts) {
      out.set(x[key], at);
      at += x[key].length;
    }
    return out;
  };
  const s = joined('finite');
  const q = state.pclip / 100;
  if (s.length > 0) {
    if (state.symmetric) {
      hi = percentile(joined('finiteAbs'), q);
      lo = -hi;
    } else {
      lo = percentile(s, (1 - q) / 2);
      hi = percentile(s, (1 + q) / 2);
    }
  }
  return settled(lo, hi);
}

// The smallest and largest finite values the views show, and their count.
function extremes(views) {
  let lo = Infinity, hi = -Infinity, count = 0;
  for (const v of views) {
    const shown = v.shown();
    if (!shown) continue;
    for (let i = 0; i < shown.length; i++) {
      const x = shown[i];
      if (x === x && x !== Infinity && x !== -Infinity) {
        if (x < lo) lo = x;
        if (x > hi) hi = x;
        count++;
      }
    }
  }
  return { lo, hi, count };
}

// The clip from `lo` to `hi` with the page's explicit min and max, never
// of zero width.
function settled(lo, hi) {
  const min = parseFloat(state.min), max = parseFloat(state.max);
  if (Number.isFinite(min)) lo = min;
  if (Number.isFinite(max)) hi = max;
  if (lo === hi) {
    const pad = lo === 0 ? 1 : Math.abs(lo) * 0.01;
    lo -= pad;
    hi += pad;
  }
  return { lo, hi };
}

// The clip of each view: its own, or (a cube's views, clip of all
// three) one over the values of the three.
export function updateClip() {
  if (state.views.length === 3 && state.clipScope === 'all') {
    const c = clipOf(state.views);
    for (const v of state.views) v.clip = c;
  } else {
    for (const v of state.views) v.clip = clipOf([v]);
  }
  state.clip = state.views.length ? state.views[0].clip : { lo: 0, hi: 1 };
}

// The colour bar's column of pixels for the map, its direction and a
// height, made once and kept for the draws that follow.
let barColumn = null;
function colourColumn(height) {
  const key = state.cmap + ',' + state.reverse + ',' + height;
  if (barColumn && barColumn.key === key) return barColumn.canvas;
  const image = new ImageData(1, height);
  const table = MAPS[state.cmap];
  for (let y = 0; y < height; y++) {
    const rgb = colour(table, 1 - (y + 0.5) / height, state.reverse);
    image.data.set([rgb[0], rgb[1], rgb[2], 255], 4 * y);
  }
  const canvas = document.createElement('canvas');
  canvas.width = 1;
  canvas.height = height;
  canvas.getContext('2d').putImageData(image, 0, 0);
  barColumn = { key, canvas };
  return canvas;
}

function drawColourBar(ctx, canvas, p, clip) {
  const bx = p.x + p.w + 16, bw = 16;
  // One column stretched across the bar, each pixel copied as it is.
  ctx.imageSmoothingEnabled = false;
  if (p.h >= 1) ctx.drawImage(colourColumn(p.h), bx, p.y, bw, p.h);
  ctx.strokeStyle = '#000';
  ctx.strokeRect(bx - 0.5, p.y - 0.5, bw + 1, p.h + 1);
  ctx.fillStyle = '#000';
  ctx.font = '12px sans-serif';
  ctx.textAlign = 'left';
  ctx.textBaseline = 'middle';
  const { lo, hi } = clip;
  for (const t of ticks(lo, hi, Math.max(2, Math.floor(p.h / 50)))) {
    const y = Math.round(p.y + p.h * (1 - (t - lo) / (hi - lo))) + 0.5;
    ctx.beginPath();
    ctx.moveTo(bx + bw + 0.5, y);
    ctx.lineTo(bx + bw + 5.5, y);
    ctx.stroke();
    ctx.fillText(number(t), bx + bw + 8, y);
  }
  if (state.info.unit) {
    ctx.textBaseline = 'top';
    ctx.fillText(state.info.unit, bx, p.y + p.h + 8);
  }
}

// The gain of the traces held by window data `d` (axis 1 down): each
// column a trace, its samples `d.n[0] / d.rows` samples of the axis apart.
function applyGain(d) {
  const a = state.info.axes[0];
  const step = d.n[0] / d.rows;
  const dt = a.d * step, o = a.o + a.d * (d.f[0] + (step - 1) / 2);
  const length = state.agcLength > 0 ? state.agcLength : Math.abs(a.d) * state.info.n[0] / 10;
  const out = new Float32Array(d.values.length);
  const trace = new Float32Array(d.rows);
  for (let c = 0; c < d.cols; c++) {
    for (let r = 0; r < d.rows; r++) trace[r] = d.values[r * d.cols + c];
    const g = state.gain === 'agc' ? agc(trace, dt, length)
            : state.gain === 'tpower' ? tpower(trace, o, dt, state.tpow)
            : normalise(trace, state.gain);
    for (let r = 0; r < d.rows; r++) out[r * d.cols + c] = g[r];
  }
  return out;
}

export function overviewUsed() {
  if (state.overview !== 'auto') return state.overview;
  return state.aroundZero ? 'peak' : 'mean';
}

export function drawAll() {
  for (const v of state.views) v.draw();
  drawTrace();
}

// ---- the trace beside the section ------------------------------------------

// What the page's other parts give the views: the trace's canvas, the
// trace headers' panels, and what to do when a view saved its window in the
// address or moved the slices.
export const page = {
  traceCanvas: null,
  headerPanels: null,
  saved: () => {},
  slicesMoved: () => {},
};

async function showTrace(view, down, across) {
  // The samples along the view's down axis at the column clicked, over the
  // window shown, at the resolution of the section.
  const k = view.down;
  const idx = state.slice.slice();
  idx[view.across] = across;
  idx[view.down] = down;
  const q = new URLSearchParams();
  q.set('axes', '' + (view.down + 1) + (view.across + 1));
  q.set('f' + (k + 1), view.f[k]);
  q.set('n' + (k + 1), view.n[k]);
  q.set('f' + (view.across + 1), across);
  q.set('n' + (view.across + 1), 1);
  q.set('f' + (view.third + 1), state.slice[view.third]);
  q.set('rows', Math.max(1, Math.min(4096, Math.round(view.plot.h))));
  q.set('cols', 1);
  q.set('format', 'json');
  q.set('view', 15);
  q.set('client', state.client);
  q.set('seq', ++state.seq);
  state.pending++;
  try {
    const j = await getWindowJson(q);
    state.trace = {
      axis: k, across: view.across, index: across, first: view.f[k], count: view.n[k],
      values: j.values, view,
    };
    drawTrace();
  } catch (e) {
    failed('the trace', e);
    state.failures = (state.failures || 0) + 1;
  } finally {
    state.pending--;
  }
}

export function drawTrace() {
  if (!page.traceCanvas) return;
  const ctx = page.traceCanvas.getContext('2d');
  const c = page.traceCanvas;
  ctx.fillStyle = '#fff';
  ctx.fillRect(0, 0, c.width, c.height);
  const t = state.trace;
  if (!t) return;
  // The curve's plot, inside its frame by a few pixels so that the
  // extremes are not drawn on the frame.
  const p = { x: 44, y: MARGIN.top, w: c.width - 64, h: t.view.plot.h };
  let lo = Infinity, hi = -Infinity;
  for (const v of t.values) {
    if (!Number.isFinite(v)) continue;
    lo = Math.min(lo, v);
    hi = Math.max(hi, v);
  }
  if (!Number.isFinite(lo)) { lo = 0; hi = 0; }
  if (!(hi > lo)) { lo -= 1; hi += 1; }
  t.range = { lo, hi };
  t.plot = p;
  ctx.strokeStyle = '#000';
  ctx.strokeRect(p.x - 4.5, p.y - 0.5, p.w + 9, p.h + 1);
  ctx.strokeStyle = '#1f5fbf';
  ctx.lineWidth = 2;
  ctx.lineCap = 'round';
  ctx.lineJoin = 'round';
  ctx.beginPath();
  let pen = false;
  t.values.forEach((v, i) => {
    if (!Number.isFinite(v)) { pen = false; return; }
    const x = p.x + (v - lo) / (hi - lo) * p.w;
    const y = p.y + (i + 0.5) / t.values.length * p.h;
    if (pen) ctx.lineTo(x, y); else ctx.moveTo(x, y);
    pen = true;
  });
  ctx.stroke();
  ctx.lineWidth = 1;
  ctx.fillStyle = '#000';
  ctx.font = '12px sans-serif';
  ctx.textAlign = 'center';
  ctx.textBaseline = 'top';
  ctx.fillText(number(lo), p.x, p.y + p.h + 6);
  ctx.fillText(number(hi), p.x + p.w, p.y + p.h + 20);
  ctx.textBaseline = 'bottom';
  // Every coordinate of the trace: the column clicked and the cut.
  const parts = [axisName(t.across) + ' = ' + number(coord(t.across, t.index))];
  const third = t.view.third;
  if (state.info.n[third] > 1)
    parts.push(axisName(third) + ' = ' + number(coord(third, state.slice[third])));
  t.title = 'trace ' + parts.join(', ');
  ctx.fillText(t.title, c.width / 2, p.y - 6);
}
