// SPDX-License-Identifier: Apache-2.0
// kovview's gain, applied on the page to each trace (the samples along
// axis 1) of what it holds.  The formulas are kovgain's:
//   agc: each sample divided by the RMS of the finite samples in a window
//        centred on it, `length` long in axis-1 units (2h + 1 samples, h =
//        length / (2 |d|) rounded, halves away from 0, as kovgain's; cut at
//        the ends of the trace; summed as kovgain sums, so that the result
//        is kovgain's); 0 where that RMS is 0; samples that are not finite
//        stay as they are;
//   tpower: each sample times t^power, t its axis-1 coordinate (0 for t <= 0);
//   rms / max: the trace divided by its RMS or its largest absolute value.

export function agc(trace, d, length) {
  const n = trace.length;
  const out = Float32Array.from(trace);
  if (n === 0) return out;
  const half = Math.round(length / (2 * Math.abs(d)));
  const h = half < n ? Math.max(0, half) : n;
  // kovgain's sums: the trace cut into blocks of one window's length, the
  // energies summed forwards and backwards within each block, so that a
  // window's energy is one sum of each, with no subtraction (loud samples
  // that left the window leave no rounding behind).
  const block = Math.min(n, 2 * h + 1);
  const head = new Float64Array(n), tail = new Float64Array(n), live = new Int32Array(n + 1);
  const energy = (j) => (Number.isFinite(trace[j]) ? trace[j] * trace[j] : 0);
  for (let start = 0; start < n; start += block) {
    const end = Math.min(n, start + block);
    let sum = 0;
    for (let j = start; j < end; j++) {
      sum += energy(j);
      head[j] = sum;
      live[j + 1] = live[j] + (Number.isFinite(trace[j]) ? 1 : 0);
    }
    sum = 0;
    for (let j = end - 1; j >= start; j--) {
      sum += energy(j);
      tail[j] = sum;
    }
  }
  for (let i = 0; i < n; i++) {
    const lo = i > h ? i - h : 0, last = Math.min(n - 1, i + h);
    let sum;
    if (Math.floor(lo / block) !== Math.floor(last / block)) sum = tail[lo] + head[last];
    else if (lo % block === 0) sum = head[last];
    else sum = tail[lo];
    const v = trace[i];
    if (!Number.isFinite(v)) continue;
    const count = live[last + 1] - live[lo];
    out[i] = sum > 0 ? v / Math.sqrt(sum / count) : 0;
  }
  return out;
}

// The factors t^power of the last axis asked for: every trace of a window
// has the same, so that Math.pow runs once per sample of a trace, not once
// per sample of the window.
let factors = { n: -1, o: NaN, d: NaN, power: NaN, values: new Float64Array(0) };

function tpowerFactors(n, o, d, power) {
  const f = factors;
  if (f.n === n && Object.is(f.o, o) && Object.is(f.d, d) && Object.is(f.power, power)) {
    return f.values;
  }
  const values = new Float64Array(n);
  for (let i = 0; i < n; i++) {
    const t = o + d * i;
    values[i] = t > 0 ? Math.pow(t, power) : 0;
  }
  factors = { n, o, d, power, values };
  return values;
}

export function tpower(trace, o, d, power) {
  const out = new Float32Array(trace.length);
  const factor = tpowerFactors(trace.length, o, d, power);
  for (let i = 0; i < trace.length; i++) out[i] = trace[i] * factor[i];
  return out;
}

export function normalise(trace, how) {
  let s = 0, c = 0, m = 0;
  for (const v of trace) {
    if (!Number.isFinite(v)) continue;
    s += v * v;
    c++;
    m = Math.max(m, Math.abs(v));
  }
  const by = how === 'max' ? m : c > 0 ? Math.sqrt(s / c) : 0;
  const out = new Float32Array(trace.length);
  for (let i = 0; i < trace.length; i++) out[i] = by > 0 ? trace[i] / by : trace[i] * 0;
  return out;
}
