// SPDX-License-Identifier: Apache-2.0
// kovview's gain, applied on the page to each trace (the samples along
// axis 1) of what it holds.  The formulas are kovgain's:
//   agc: each sample divided by the RMS of the finite samples in a window
//        centred on it, `length` long in axis-1 units (2h + 1 samples, h =
//        length / (2 |d|) rounded, halves away from 0, as kovgain's; cut at
//        the ends of the trace); 0 where
//        that RMS is 0;
//   tpower: each sample times t^power, t its axis-1 coordinate (0 for t <= 0);
//   rms / max: the trace divided by its RMS or its largest absolute value.

export function agc(trace, d, length) {
  const n = trace.length;
  const h = Math.max(0, Math.round(length / (2 * Math.abs(d))));
  const out = new Float32Array(n);
  // Running sums of squares and counts of the finite samples.
  const sq = new Float64Array(n + 1), cnt = new Int32Array(n + 1);
  for (let i = 0; i < n; i++) {
    const v = trace[i], ok = Number.isFinite(v);
    sq[i + 1] = sq[i] + (ok ? v * v : 0);
    cnt[i + 1] = cnt[i] + (ok ? 1 : 0);
  }
  for (let i = 0; i < n; i++) {
    const lo = Math.max(0, i - h), hi = Math.min(n, i + h + 1);
    const c = cnt[hi] - cnt[lo];
    const rms = c > 0 ? Math.sqrt(Math.max(0, sq[hi] - sq[lo]) / c) : 0;
    out[i] = rms > 0 ? trace[i] / rms : Number.isFinite(trace[i]) ? 0 : trace[i];
  }
  return out;
}

export function tpower(trace, o, d, power) {
  const out = new Float32Array(trace.length);
  for (let i = 0; i < trace.length; i++) {
    const t = o + d * i;
    out[i] = trace[i] * (t > 0 ? Math.pow(t, power) : 0);
  }
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
