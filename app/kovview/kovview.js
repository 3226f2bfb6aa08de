// SPDX-License-Identifier: Apache-2.0
// kovview's page: the section (axis 1 down, axis 2 across), or three
// linked views of a cube, drawn from windows that the server sends at the
// resolution of the screen.  This module holds the controls, the sliders,
// the state kept in the address, the keys and the layout, and starts the
// page.  The others: views.js (the state and the views: drawing, clip,
// gain, the mouse, the trace), colours.js (the maps), net.js (the
// requests), gain.js (the gain of the traces), headers.js (the trace
// headers' panel and table); first.js, a classic script inside the page,
// asks for the main view's first window before the modules run.  The
// colour map, the clip, the gain and the wiggles are applied on the page,
// to the samples it holds, without asking the server again.
import { isMap } from './colours.js';
import { getJson, getText, pageInfo } from './net.js';
import { HeaderPanels } from './headers.js';
import {
  state, page, View, banner, failed, axisName, coord, number, updateClip, drawAll,
} from './views.js';

const KEYS_WIDTH = 172; // the trace headers' panel beside the trace

// ---- controls, sliders and the address ---------------------------------------

function sliderFor(k) {
  const box = document.getElementById('sliders');
  const label = document.createElement('label');
  const input = document.createElement('input');
  input.type = 'range';
  input.min = 0;
  input.max = state.info.n[k] - 1;
  input.step = 1;
  input.id = 'slice' + (k + 1);
  const text = document.createElement('span');
  label.append(axisName(k) + ' ', input, ' ', text);
  box.append(label);
  const show = () => {
    text.textContent = 'i' + (k + 1) + '=' + state.slice[k] + ' (' + number(coord(k, state.slice[k])) + ')';
  };
  input.addEventListener('input', () => {
    state.slice[k] = +input.value;
    show();
    for (const v of state.views)
      if (v.third === k) v.load();
    drawAll();
    saveState();
  });
  return { input, show };
}
let sliders = [];
function syncSliders() {
  for (const [k, s] of sliders.entries()) {
    s.input.value = state.slice[k];
    s.show();
  }
}

function saveState() {
  const h = new URLSearchParams();
  h.set('cmap', state.cmap);
  if (state.reverse) h.set('rev', 1);
  if (state.display !== 'auto') h.set('display', state.display);
  if (state.excursion !== 1) h.set('exc', state.excursion);
  if (state.gain !== 'none') h.set('gain', state.gain);
  if (state.overview !== 'auto') h.set('ov', state.overview);
  if (state.agcLength > 0) h.set('agc', state.agcLength);
  h.set('pclip', state.pclip);
  if (state.symmetric) h.set('sym', 1);
  if (state.clipScope !== 'view') h.set('cs', state.clipScope);
  if (state.min !== '') h.set('min', state.min);
  if (state.max !== '') h.set('max', state.max);
  if (state.info.n[2] > 1) h.set('slice', state.slice.join(','));
  for (const v of state.views)
    h.set('w' + (v.down + 1) + (v.across + 1),
          [v.f[v.down], v.n[v.down], v.f[v.across], v.n[v.across]].join(','));
  history.replaceState(null, '', '#' + h.toString());
}

function loadState() {
  const h = new URLSearchParams(location.hash.slice(1));
  if (isMap(h.get('cmap'))) state.cmap = h.get('cmap');
  state.reverse = h.get('rev') === '1';
  if (['image', 'wiggle', 'both', 'auto'].includes(h.get('display'))) state.display = h.get('display');
  const exc = parseFloat(h.get('exc'));
  if (exc > 0 && exc <= 20) state.excursion = exc;
  if (['agc', 'tpower', 'rms', 'max'].includes(h.get('gain'))) state.gain = h.get('gain');
  if (['mean', 'rms', 'peak'].includes(h.get('ov'))) state.overview = h.get('ov');
  const agcLength = parseFloat(h.get('agc'));
  if (agcLength > 0 && Number.isFinite(agcLength)) state.agcLength = agcLength;
  const pclip = parseFloat(h.get('pclip'));
  if (pclip >= 50 && pclip <= 100) state.pclip = pclip;
  state.symmetric = h.get('sym') === '1';
  state.clipScope = h.get('cs') === 'all' ? 'all' : 'view';
  if (h.has('min')) state.min = h.get('min');
  if (h.has('max')) state.max = h.get('max');
  const slice = h.has('slice') ? h.get('slice').split(',').map(Number) : [];
  for (let k = 0; k < slice.length && k < 3; k++)
    if (Number.isInteger(slice[k]) && slice[k] >= 0 && slice[k] < state.info.n[k])
      state.slice[k] = slice[k];
  for (const v of state.views) {
    const w = (h.get('w' + (v.down + 1) + (v.across + 1)) || '').split(',').map(Number);
    if (w.length === 4 && w.every(Number.isInteger)) {
      v.setWindow(v.down, w[0], w[0] + w[1]);
      v.setWindow(v.across, w[2], w[2] + w[3]);
    }
  }
}

function controls() {
  const cmap = document.getElementById('cmap');
  const pclip = document.getElementById('pclip');
  const ptext = document.getElementById('pclip-text');
  const sym = document.getElementById('symmetric');
  const min = document.getElementById('min');
  const max = document.getElementById('max');
  cmap.value = state.cmap;
  pclip.value = state.pclip;
  ptext.textContent = state.pclip + '%';
  sym.checked = state.symmetric;
  min.value = state.min;
  max.value = state.max;
  const redraw = () => {
    updateClip();
    drawAll();
    saveState();
  };
  cmap.addEventListener('change', () => {
    if (isMap(cmap.value)) state.cmap = cmap.value;
    redraw();
  });
  const reverse = document.getElementById('reverse');
  reverse.checked = state.reverse;
  reverse.addEventListener('change', () => { state.reverse = reverse.checked; redraw(); });
  const display = document.getElementById('display');
  display.value = state.display;
  display.addEventListener('change', () => { state.display = display.value; redraw(); });
  const excursion = document.getElementById('excursion');
  excursion.value = state.excursion;
  excursion.addEventListener('input', () => {
    const v = parseFloat(excursion.value);
    if (v > 0 && v <= 20) state.excursion = v;
    redraw();
  });
  const gain = document.getElementById('gain');
  gain.value = state.gain;
  gain.addEventListener('change', () => { state.gain = gain.value; redraw(); });
  const agcField = document.getElementById('agc');
  agcField.value = state.agcLength > 0 ? state.agcLength : '';
  agcField.addEventListener('change', () => {
    const v = parseFloat(agcField.value);
    state.agcLength = v > 0 && Number.isFinite(v) ? v : 0;
    redraw();
  });
  state.redraw = redraw;
  const overview = document.getElementById('overview');
  overview.value = state.overview;
  overview.addEventListener('change', () => {
    state.overview = overview.value;
    for (const v of state.views) v.load();
    saveState();
  });
  pclip.addEventListener('input', () => {
    state.pclip = +pclip.value;
    ptext.textContent = state.pclip + '%';
    redraw();
  });
  sym.addEventListener('change', () => { state.symmetric = sym.checked; redraw(); });
  const scope = document.getElementById('clipscope');
  scope.value = state.clipScope;
  document.getElementById('clipscope-label').hidden = state.views.length !== 3;
  scope.addEventListener('change', () => {
    state.clipScope = scope.value === 'all' ? 'all' : 'view';
    redraw();
  });
  for (const [field, key] of [[min, 'min'], [max, 'max']]) {
    for (const event of ['input', 'change'])
      field.addEventListener(event, () => { state[key] = field.value.trim(); redraw(); });
  }
  document.getElementById('reset').addEventListener('click', resetViews);
  keys();
  document.getElementById('save').addEventListener('click', () => {
    // A section: its view; a cube: its three views and the trace, laid
    // out as on the page.
    let picture = state.views[0].canvas;
    if (state.views.length === 3) {
      const parts = state.views.map((v) => v.canvas).concat([page.traceCanvas]);
      const box = document.getElementById('views').getBoundingClientRect();
      const at = parts.map((c) => {
        const r = c.getBoundingClientRect();
        return { c, x: Math.round(r.left - box.left), y: Math.round(r.top - box.top) };
      });
      picture = document.createElement('canvas');
      picture.width = Math.max(...at.map((a) => a.x + a.c.width));
      picture.height = Math.max(...at.map((a) => a.y + a.c.height));
      const ctx = picture.getContext('2d');
      ctx.fillStyle = '#fff';
      ctx.fillRect(0, 0, picture.width, picture.height);
      for (const a of at) ctx.drawImage(a.c, a.x, a.y);
      state.savedPicture = { width: picture.width, height: picture.height };
    }
    const link = document.createElement('a');
    link.download = (state.info.title || 'kovview').replace(/[^\w.-]+/g, '_').replace(/\.H$/, '') + '.png';
    link.href = picture.toDataURL('image/png');
    link.click();
  });
}

function resetViews() {
  for (const v of state.views) {
    v.reset();
    v.load();
  }
  drawAll();
  saveState();
}

// Keys: arrows pan the main view by a quarter, + and - zoom about its
// centre, r resets, g switches the gain (none, AGC), w the wiggles.
function keys() {
  window.addEventListener('keydown', (e) => {
    if (e.target && ['INPUT', 'SELECT', 'TEXTAREA'].includes(e.target.tagName)) return;
    if (e.ctrlKey || e.metaKey || e.altKey) return;
    const v = state.views[0];
    const move = (k, by) => {
      const step = Math.max(1, Math.round(v.n[k] / 4)) * by;
      v.setWindow(k, v.f[k] + step, v.f[k] + step + v.n[k]);
    };
    const zoom = (factor) => {
      for (const k of [v.down, v.across]) {
        const centre = v.f[k] + v.n[k] / 2, half = Math.max(0.5, v.n[k] * factor / 2);
        v.setWindow(k, centre - half, centre + half);
      }
    };
    const acts = {
      ArrowLeft: () => move(v.across, -1), ArrowRight: () => move(v.across, 1),
      ArrowUp: () => move(v.down, -1), ArrowDown: () => move(v.down, 1),
      '+': () => zoom(0.8), '=': () => zoom(0.8), '-': () => zoom(1.25),
    };
    if (acts[e.key] && Object.prototype.hasOwnProperty.call(acts, e.key)) {
      e.preventDefault();
      acts[e.key]();
      v.load();
      v.draw();
      saveState();
    } else if (e.key === 'r') {
      resetViews();
    } else if (e.key === 'g') {
      state.gain = state.gain === 'none' ? 'agc' : 'none';
      document.getElementById('gain').value = state.gain;
      state.redraw();
    } else if (e.key === 'w') {
      const on = state.views[0].wiggles();
      state.display = on ? 'image' : 'both';
      document.getElementById('display').value = state.display;
      state.redraw();
    }
  });
}

// The sizes of the views for the window's size; the page has no scroll
// bars down to 800 x 457.  first.js computes a section's the same way (a
// difference costs the early request, never the picture; the browser
// tests tell).
function layout() {
  const box = document.getElementById('views');
  const top = box.getBoundingClientRect().top + window.scrollY;
  const below = document.getElementById('readout').offsetHeight + 30;
  const W = Math.max(320, document.documentElement.clientWidth - 24);
  const H = Math.max(200, window.innerHeight - top - below);
  if (state.views.length === 3) {
    const w = Math.floor((W - 10) / 2), h = Math.floor((H - 8) / 2);
    for (const v of state.views) {
      v.canvas.width = w;
      v.canvas.height = h;
    }
    const keys = page.headerPanels.enabled ? KEYS_WIDTH + 6 : 0;
    page.traceCanvas.width = Math.max(120, Math.min(w - keys, 260));
    page.traceCanvas.height = h;
    if (keys) document.getElementById('keys').style.maxHeight = h + 'px';
  } else {
    const keys = page.headerPanels.enabled ? KEYS_WIDTH + 6 : 0;
    const tw = Math.min(220, Math.floor(W / 4));
    state.views[0].canvas.width = W - tw - keys - 10;
    state.views[0].canvas.height = H;
    page.traceCanvas.width = tw;
    page.traceCanvas.height = H;
    if (keys) document.getElementById('keys').style.maxHeight = H + 'px';
  }
}

async function start() {
  page.saved = saveState;
  page.slicesMoved = syncSliders;
  // The description is in the page; the history comes meanwhile.
  const history = getText('api/history');
  const info = pageInfo() || await getJson('api/info');
  state.info = info;
  document.getElementById('title').textContent = info.title || 'kovview';
  document.title = 'kovview ' + (info.title || '');
  history.then((text) => { document.getElementById('history').textContent = text; },
               (e) => failed('the history', e));
  const box = document.getElementById('views');
  const W = Math.max(480, window.innerWidth - 40), H = Math.max(360, window.innerHeight - 190);
  const three = info.n[2] > 1;
  page.traceCanvas = document.createElement('canvas');
  page.traceCanvas.id = 'trace';
  if (three) {
    box.className = 'three';
    const w = Math.floor((W - 10) / 2), h = Math.floor((H - 40) / 2);
    state.views = [new View(0, 0, 1, w, h, true), new View(1, 0, 2, w, h, false),
                   new View(2, 1, 2, w, h, false)];
    page.traceCanvas.width = Math.min(w, 260);
    page.traceCanvas.height = h;
    for (let k = 0; k < 3; k++) state.slice[k] = Math.floor(info.n[k] / 2);
  } else {
    box.className = 'one';
    state.views = [new View(0, 0, 1, W - 230, H, true)];
    page.traceCanvas.width = 220;
    page.traceCanvas.height = H;
  }
  loadState();
  page.headerPanels = new HeaderPanels(state, failed);
  for (const v of state.views) box.append(v.canvas);
  const side = document.createElement('div');
  side.id = 'side';
  side.append(page.traceCanvas);
  if (page.headerPanels.enabled) side.append(page.headerPanels.makePanel());
  box.append(side);
  page.headerPanels.setupTable();
  if (three) sliders = [0, 1, 2].map(sliderFor);
  syncSliders();
  controls();
  layout();
  let resized = null;
  window.addEventListener('resize', () => {
    clearTimeout(resized);
    resized = setTimeout(() => {
      layout();
      drawAll();
      for (const v of state.views) v.load();
    }, 100);
  });
  // The windows asked for before the empty views are drawn.
  const loads = state.views.map((v) => v.load());
  updateClip();
  drawAll();
  saveState();
  await Promise.all(loads);
  state.ready = true;
}

start().catch((e) => {
  banner('kovview cannot start: ' + e.message);
});
