// SPDX-License-Identifier: Apache-2.0
// kovview's colour maps: colours at evenly spaced points from 0 to 1, the
// colour of a value between them, and tables for drawing many pixels.

// The maps of kovpng, and two that seismic users know: red-white-black
// (negative red, zero white, positive black) and a plain blue-white-red.
export const MAPS = {
  viridis: [
    [68, 1, 84], [72, 13, 96], [72, 24, 106], [72, 34, 115], [71, 44, 122], [69, 55, 129],
    [67, 64, 134], [64, 74, 137], [59, 81, 139], [57, 91, 141], [52, 99, 142], [48, 107, 142],
    [44, 113, 142], [39, 122, 142], [35, 129, 141], [33, 137, 140], [33, 144, 141], [31, 152, 138],
    [33, 159, 135], [36, 166, 132], [39, 173, 129], [50, 181, 123], [61, 188, 116], [74, 194, 107],
    [92, 200, 99], [108, 206, 86], [128, 211, 73], [149, 216, 60], [170, 220, 50], [194, 223, 37],
    [216, 226, 29], [236, 229, 27], [253, 231, 37]],
  gray: [[0, 0, 0], [255, 255, 255]],
  bwr: [
    [5, 48, 97], [33, 102, 172], [67, 147, 195], [146, 197, 222], [209, 229, 240],
    [255, 255, 255], [253, 219, 199], [244, 165, 130], [214, 96, 77], [178, 24, 43],
    [103, 0, 31]],
  rwb: [[255, 0, 0], [255, 255, 255], [0, 0, 0]],
  seismic: [[0, 0, 255], [255, 255, 255], [255, 0, 0]],
};
export const NAN_COLOUR = [128, 128, 128];

// Whether `name` is one of the maps (its own entries only: a name such as
// __proto__ or constructor is none).
export function isMap(name) {
  return typeof name === 'string' && Object.prototype.hasOwnProperty.call(MAPS, name);
}

// The colour of t in [0, 1], interpolated linearly between table entries
// (as kovpng does, rounding half away from zero); `reversed` reads the
// table from its end.
export function colour(table, t, reversed = false) {
  if (!(t > 0)) t = 0;
  if (t > 1) t = 1;
  if (reversed) t = 1 - t;
  t *= table.length - 1;
  const i = Math.min(Math.floor(t), table.length - 2);
  const f = t - i;
  const a = table[i], b = table[i + 1];
  const mix = (x, y) => {
    const v = x + (y - x) * f;
    return v < 0 ? -Math.round(-v) : Math.round(v);
  };
  return [mix(a[0], b[0]), mix(a[1], b[1]), mix(a[2], b[2])];
}

// Each map as a table of LUT_SIZE colours, for drawing many pixels fast
// (a value lands on the nearest of them: within one unit of the exact
// colour).
export const LUT_SIZE = 8192;
const LUTS = new Map();
export function lut(name, reversed = false) {
  const key = name + (reversed ? ':r' : '');
  if (!LUTS.has(key)) {
    const t = new Uint8Array(3 * LUT_SIZE);
    for (let i = 0; i < LUT_SIZE; i++) t.set(colour(MAPS[name], i / (LUT_SIZE - 1), reversed), 3 * i);
    LUTS.set(key, t);
  }
  return LUTS.get(key);
}

// The same tables with each colour packed as the four bytes of an opaque
// pixel of ImageData, in the processor's byte order, so that a pixel is
// one store; and the colour of a sample that is not a finite number.
const LITTLE = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;
export function packed(r, g, b) {
  return (LITTLE ? (255 << 24 | b << 16 | g << 8 | r) : (r << 24 | g << 16 | b << 8 | 255)) >>> 0;
}
export const NAN_PIXEL = packed(...NAN_COLOUR);
const PIXELS = new Map();
export function pixelLut(name, reversed = false) {
  const key = name + (reversed ? ':r' : '');
  if (!PIXELS.has(key)) {
    const t = lut(name, reversed), out = new Uint32Array(LUT_SIZE);
    for (let i = 0; i < LUT_SIZE; i++) out[i] = packed(t[3 * i], t[3 * i + 1], t[3 * i + 2]);
    PIXELS.set(key, out);
  }
  return PIXELS.get(key);
}
