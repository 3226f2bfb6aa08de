// SPDX-License-Identifier: Apache-2.0
// kovpng: a picture of a two-dimensional dataset (or of one slice of a
// three-dimensional one), as a PNG file a geophysicist can put on a slide.
//
// Axis 1 runs down, axis 2 across.  The samples are coloured with viridis
// (perceptually uniform, readable in grey and by most colour-blind
// viewers), gray, or a blue-white-red map for data that swing around zero,
// between min and max, the data's range, a percentile clip or +-clip.
// Where there are more samples than pixels, each pixel is the area average
// of the colours it covers, so dense data do not alias.  A colour bar shows
// the values and the unit; the axes carry tick labels in the units of o and
// d and the header's (or the given) labels.
//
//   velmodel | kovpng out=vel.png title='default model'
//   kovpng vel.H out=vel.png width=1200 height=500 min=3000 max=6500
//   kovpng shot.H out=shot.png color=gray pclip=98
#include "kovhelp.hpp"
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <cairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

struct Rgb {
  unsigned char r, g, b;
};

// viridis at 33 evenly spaced points from 0 to 1.
constexpr std::array<Rgb, 33> kViridis = {{
    {68, 1, 84},    {72, 13, 96},   {72, 24, 106},  {72, 34, 115},  {71, 44, 122},  {69, 55, 129},
    {67, 64, 134},  {64, 74, 137},  {59, 81, 139},  {57, 91, 141},  {52, 99, 142},  {48, 107, 142},
    {44, 113, 142}, {39, 122, 142}, {35, 129, 141}, {33, 137, 140}, {33, 144, 141}, {31, 152, 138},
    {33, 159, 135}, {36, 166, 132}, {39, 173, 129}, {50, 181, 123}, {61, 188, 116}, {74, 194, 107},
    {92, 200, 99},  {108, 206, 86}, {128, 211, 73}, {149, 216, 60}, {170, 220, 50}, {194, 223, 37},
    {216, 226, 29}, {236, 229, 27}, {253, 231, 37},
}};
constexpr std::array<Rgb, 2> kGray = {{{0, 0, 0}, {255, 255, 255}}};
// Dark blue through white (the middle) to dark red.
constexpr std::array<Rgb, 11> kBlueWhiteRed = {{
    {5, 48, 97},
    {33, 102, 172},
    {67, 147, 195},
    {146, 197, 222},
    {209, 229, 240},
    {255, 255, 255},
    {253, 219, 199},
    {244, 165, 130},
    {214, 96, 77},
    {178, 24, 43},
    {103, 0, 31},
}};

// A colour map: colours at evenly spaced points from 0 to 1.
struct ColourMap {
  const char *name;
  std::span<const Rgb> table;
  bool diverging;

  // The colour of t in [0, 1], interpolated linearly between table entries.
  Rgb operator()(double t) const {
    t = std::clamp(t, 0.0, 1.0) * static_cast<double>(table.size() - 1);
    const std::size_t i = std::min(static_cast<std::size_t>(t), table.size() - 2);
    const double f = t - static_cast<double>(i);
    const auto mix = [f](unsigned char a, unsigned char b) {
      return static_cast<unsigned char>(std::lround(a + (b - a) * f));
    };
    const Rgb &a = table[i], &b = table[i + 1];
    return {mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b)};
  }
};

const std::array<ColourMap, 3> kMaps = {
    {{"viridis", kViridis, false}, {"gray", kGray, false}, {"bwr", kBlueWhiteRed, true}}};

struct SurfaceDeleter {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t *c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

struct Options {
  std::string out, title, label1, label2, barlabel;
  const ColourMap *map = &kMaps[0];
  int width = 800, height = 600;
  double min = 0.0, max = 0.0;
};

// The samples of each pixel along one axis: n samples onto p pixels, each
// pixel covering n/p samples, with the fraction of it each sample fills.
// With fewer samples than pixels a pixel lies inside one sample.
struct Cell {
  std::size_t first = 0;
  std::vector<double> weights; // of samples first, first + 1, ...
};

std::vector<Cell> cells(int n, int p) {
  std::vector<Cell> result(static_cast<std::size_t>(p));
  const double step = static_cast<double>(n) / p;
  for (int k = 0; k < p; ++k) {
    Cell &c = result[static_cast<std::size_t>(k)];
    const double lo = k * step, hi = std::min((k + 1) * step, static_cast<double>(n));
    c.first = std::min(static_cast<std::size_t>(lo), static_cast<std::size_t>(n - 1));
    for (auto s = static_cast<double>(c.first); s < hi; s += 1.0) {
      const double w = std::min(hi, s + 1.0) - std::max(lo, s);
      c.weights.push_back(w > 0.0 ? w / (hi - lo) : 0.0);
    }
    if (c.weights.empty()) c.weights.push_back(1.0);
  }
  return result;
}

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// Tick values: multiples of 1, 2 or 5 times a power of ten inside [lo, hi],
// about `count` of them.  The number of ticks is known before any is made,
// so that no loop depends on a floating-point counter.  Where the ticks
// cannot be told apart (a range tiny beside its values: their multiples of
// the step lie beyond what a double counts exactly, or their labels are
// the same text), the one tick at `lo` stands for the axis.
std::vector<double> ticks(double lo, double hi, int count) {
  if (lo > hi) std::swap(lo, hi);
  if (!(hi > lo) || !std::isfinite(hi - lo)) return {lo};
  const double raw = (hi - lo) / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10.0 * power;
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) {
      step = m * power;
      break;
    }
  const double first = std::ceil(lo / step - 1e-9), last = std::floor(hi / step + 1e-9);
  constexpr double kExact = 4503599627370496.0; // 2^52: whole numbers up to it stay whole
  if (!(step > 0.0) || !std::isfinite(first) || !std::isfinite(last) || std::abs(first) > kExact ||
      std::abs(last) > kExact || last - first > 10.0 * count)
    return {lo};
  const auto n = static_cast<std::int64_t>(last - first) + 1;
  std::vector<double> result;
  for (std::int64_t k = 0; k < n; ++k) {
    const double t = (first + static_cast<double>(k)) * step;
    result.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
  }
  for (std::size_t k = 1; k < result.size(); ++k)
    if (number(result[k]) == number(result[k - 1])) return {lo};
  if (result.empty()) return {lo};
  return result;
}

// Text placed by an anchor: (ax, ay) in 0..1 of its extent (0.5, 0.5 centres).
void text(cairo_t *cr, const std::string &s, double x, double y, double ax, double ay,
          double angle = 0.0) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, s.c_str(), &e);
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_rotate(cr, angle);
  cairo_move_to(cr, -e.x_bearing - e.width * ax, -e.y_bearing - e.height * ay);
  cairo_show_text(cr, s.c_str());
  cairo_restore(cr);
}

void render(cairo_t *cr, const kovtool::Description &desc, const std::vector<float> &v,
            const Options &opt) {
  const kovtool::Axis &a1 = desc.axes[0], &a2 = desc.axes[1];
  constexpr double left = 80, right = 110, top = 50, bottom = 55;
  const int pw = opt.width - static_cast<int>(left + right);
  const int ph = opt.height - static_cast<int>(top + bottom);

  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);

  // The samples onto the plot's pixels, each pixel the area average of the
  // colours of the samples it covers.
  Surface image(cairo_image_surface_create(CAIRO_FORMAT_RGB24, pw, ph));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS)
    koverr("cannot make a %d x %d picture\n", pw, ph);
  cairo_surface_flush(image.get());
  unsigned char *pixels = cairo_image_surface_get_data(image.get());
  const int stride = cairo_image_surface_get_stride(image.get());
  const double span = opt.max - opt.min;
  const std::vector<Cell> rows = cells(a1.n, ph), columns = cells(a2.n, pw);
  std::vector<std::array<double, 3>> column(static_cast<std::size_t>(ph));
  for (int px = 0; px < pw; ++px) {
    std::fill(column.begin(), column.end(), std::array<double, 3>{});
    const Cell &cx = columns[static_cast<std::size_t>(px)];
    for (std::size_t j = 0; j < cx.weights.size(); ++j) {
      const float *trace = v.data() + (cx.first + j) * static_cast<std::size_t>(a1.n);
      for (int py = 0; py < ph; ++py) {
        const Cell &cy = rows[static_cast<std::size_t>(py)];
        std::array<double, 3> &sum = column[static_cast<std::size_t>(py)];
        for (std::size_t i = 0; i < cy.weights.size(); ++i) {
          const float s = trace[cy.first + i];
          const Rgb c = std::isfinite(s) ? (*opt.map)((s - opt.min) / span) : Rgb{128, 128, 128};
          const double w = cx.weights[j] * cy.weights[i];
          sum[0] += w * c.r, sum[1] += w * c.g, sum[2] += w * c.b;
        }
      }
    }
    for (int py = 0; py < ph; ++py) {
      const std::array<double, 3> &c = column[static_cast<std::size_t>(py)];
      const auto channel = [](double x) {
        return static_cast<std::uint32_t>(std::clamp(std::lround(x), 0L, 255L));
      };
      auto *row =
          reinterpret_cast<std::uint32_t *>(pixels + static_cast<std::ptrdiff_t>(py) * stride);
      row[px] = (channel(c[0]) << 16) | (channel(c[1]) << 8) | channel(c[2]);
    }
  }
  cairo_surface_mark_dirty(image.get());
  cairo_set_source_surface(cr, image.get(), left, top);
  cairo_paint(cr);

  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, left - 0.5, top - 0.5, pw + 1, ph + 1);
  cairo_stroke(cr);

  // Axis 2 across (ticks below the picture), axis 1 down (ticks on the left);
  // sample k is centred in its cell.
  const auto across = [&](double c) { return left + ((c - a2.o) / a2.d + 0.5) * pw / a2.n; };
  const auto down = [&](double c) { return top + ((c - a1.o) / a1.d + 0.5) * ph / a1.n; };
  for (double c : ticks(a2.o, a2.o + a2.d * (a2.n - 1), std::max(2, pw / 90))) {
    const double x = std::round(across(c)) + 0.5;
    cairo_move_to(cr, x, top + ph + 0.5);
    cairo_line_to(cr, x, top + ph + 5.5);
    cairo_stroke(cr);
    text(cr, number(c), x, top + ph + 8, 0.5, 0.0);
  }
  for (double c : ticks(a1.o, a1.o + a1.d * (a1.n - 1), std::max(2, ph / 60))) {
    const double y = std::round(down(c)) + 0.5;
    cairo_move_to(cr, left - 5.5, y);
    cairo_line_to(cr, left - 0.5, y);
    cairo_stroke(cr);
    text(cr, number(c), left - 8, y, 1.0, 0.5);
  }
  cairo_set_font_size(cr, 13);
  if (!opt.label2.empty()) text(cr, opt.label2, left + pw / 2.0, opt.height - 8, 0.5, 1.0);
  if (!opt.label1.empty()) text(cr, opt.label1, 10, top + ph / 2.0, 0.5, 0.0, -M_PI / 2);
  cairo_set_font_size(cr, 16);
  if (!opt.title.empty()) text(cr, opt.title, left + pw / 2.0, 14, 0.5, 0.0);

  // The colour bar, min at the bottom.
  const double bx = left + pw + 20, bw = 18;
  for (int py = 0; py < ph; ++py) {
    const Rgb c = (*opt.map)(1.0 - (py + 0.5) / ph);
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
    cairo_rectangle(cr, bx, top + py, bw, 1);
    cairo_fill(cr);
  }
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_rectangle(cr, bx - 0.5, top - 0.5, bw + 1, ph + 1);
  cairo_stroke(cr);
  cairo_set_font_size(cr, 12);
  for (double t : ticks(opt.min, opt.max, std::max(2, ph / 50))) {
    const double y = std::round(top + ph * (1.0 - (t - opt.min) / span)) + 0.5;
    cairo_move_to(cr, bx + bw + 0.5, y);
    cairo_line_to(cr, bx + bw + 5.5, y);
    cairo_stroke(cr);
    text(cr, number(t), bx + bw + 8, y, 0.0, 0.5);
  }
  if (!opt.barlabel.empty()) text(cr, opt.barlabel, bx, top + ph + 8, 0.0, 0.0);
}

// The picture's file and the system's reason for its first failed write.
struct PngSink {
  std::FILE *file = nullptr;
  int error = 0;
};

cairo_status_t write_to(void *closure, const unsigned char *data, unsigned int length) {
  auto *sink = static_cast<PngSink *>(closure);
  errno = 0;
  if (std::fwrite(data, 1, length, sink->file) == length) return CAIRO_STATUS_SUCCESS;
  if (sink->error == 0) sink->error = errno != 0 ? errno : EIO;
  return CAIRO_STATUS_WRITE_ERROR;
}

double param(const char *name, double def) {
  double v = def;
  kovtool::number(getch_n, name, v);
  return v;
}

// The value at fraction q (0 to 1) of the sorted `values`, which are
// reordered.
double percentile(std::vector<float> &values, double q) {
  const auto k = static_cast<std::size_t>(std::lround(q * static_cast<double>(values.size() - 1)));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

// The values at the two ends of the colour map: the range of the finite
// samples, or the middle pclip percent of them (for a diverging map: up to
// the pclip percentile of their magnitudes, symmetric about 0), or +-clip;
// min= and max= override either end.
void colour_range(const std::vector<float> &v, Options &opt) {
  std::vector<float> finite;
  finite.reserve(v.size());
  for (float s : v)
    if (std::isfinite(s)) finite.push_back(s);
  double lo = 0.0, hi = 0.0;
  if (!finite.empty()) {
    const auto [a, b] = std::minmax_element(finite.begin(), finite.end());
    lo = *a, hi = *b;
  }
  double pclip = 100.0, clip = 0.0;
  const bool percent = kovtool::number(getch_n, "pclip", pclip);
  if (!(pclip > 0.0 && pclip <= 100.0)) koverr("pclip=%g must be above 0 and at most 100\n", pclip);
  kovtool::number(getch_n, "clip", clip);
  if (clip < 0.0) koverr("clip=%g must not be negative\n", clip);
  if (clip > 0.0) {
    lo = -clip, hi = clip;
  } else if (percent && !finite.empty() && opt.map->diverging) {
    for (float &s : finite) s = std::abs(s);
    hi = percentile(finite, pclip / 100.0), lo = -hi;
  } else if (percent && !finite.empty() && pclip < 100.0) {
    lo = percentile(finite, (1.0 - pclip / 100.0) / 2.0);
    hi = percentile(finite, (1.0 + pclip / 100.0) / 2.0);
  }
  opt.min = param("min", lo);
  opt.max = param("max", hi);
  if (!std::isfinite(opt.min) || !std::isfinite(opt.max))
    koverr("min=%g max=%g: the ends of the colour range must be numbers\n", opt.min, opt.max);
  if (opt.min > opt.max) koverr("min=%g is above max=%g\n", opt.min, opt.max);
  if (opt.min == opt.max) {
    const double pad = opt.min == 0.0 ? 1.0 : std::abs(opt.min) * 0.01;
    opt.min -= pad, opt.max += pad;
  }
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string header = kovtool::start(argc, argv);
  kov_begin_prog();
  Options opt;
  opt.out = kovtool::text(getch_n, "out").value_or("kov.png");
  kovtool::number(getch_n, "width", opt.width);
  kovtool::number(getch_n, "height", opt.height);
  if (opt.width < 240 || opt.height < 160 || opt.width > 16384 || opt.height > 16384)
    koverr("width=%d height=%d: the picture must be 240 to 16384 by 160 to 16384 pixels\n",
           opt.width, opt.height);
  const std::string color = kovtool::text(getch_n, "color").value_or("viridis");
  const auto map =
      std::find_if(kMaps.begin(), kMaps.end(), [&](const ColourMap &m) { return color == m.name; });
  if (map == kMaps.end()) koverr("color=%s: give viridis, gray or bwr\n", color.c_str());
  opt.map = &*map;

  const kovtool::Description desc = kovtool::describe_input();
  kovtool::require_axes(desc, 3, 2);
  kovtool::require_floats(desc);
  for (std::size_t k = 0; k < 2; ++k) {
    const kovtool::Axis &a = desc.axes[k];
    if (!std::isfinite(a.o))
      koverr("o%zu=%g: the origin of axis %zu must be a number\n", k + 1, a.o, k + 1);
    if (!std::isfinite(a.d) || a.d == 0.0)
      koverr("d%zu=%g: the sample interval of axis %zu must be a number other than 0\n", k + 1, a.d,
             k + 1);
  }
  const int n3 = desc.axes.size() > 2 ? desc.axes[2].n : 1;
  int i3 = 0;
  kovtool::number(getch_n, "i3", i3);
  if (i3 < 0 || i3 >= n3) koverr("i3=%d: the dataset has n3=%d slices, 0 to %d\n", i3, n3, n3 - 1);
  const std::int64_t slice = std::int64_t{desc.axes[0].n} * desc.axes[1].n;
  const std::vector<float> v = kovtool::read_slice(desc, slice, i3);

  std::string title = header == "standard input" ? "" : header;
  if (n3 > 1) title += (title.empty() ? "" : ", ") + ("i3=" + std::to_string(i3));
  opt.title = kovtool::text(getch_n, "title").value_or(title);
  opt.label1 = kovtool::text(getch_n, "label1").value_or(desc.axes[0].label);
  opt.label2 = kovtool::text(getch_n, "label2").value_or(desc.axes[1].label);
  opt.barlabel = kovtool::text(getch_n, "barlabel").value_or(kovtool::unit_of_values());
  colour_range(v, opt);

  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, opt.width, opt.height));
  Context cr(cairo_create(surface.get()));
  render(cr.get(), desc, v, opt);
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
    koverr("drawing failed: %s\n", cairo_status_to_string(cairo_status(cr.get())));

  kovtool::OutputFile out(opt.out);
  std::FILE *f = std::fopen(out.path().c_str(), "wb");
  if (f == nullptr) {
    out.discard();
    koverr("cannot write %s: %s\n", opt.out.c_str(), std::strerror(errno));
  }
  // The system's reason (a full disk, an error reported at close) wins over
  // the drawing library's general one; each is read right after its call.
  PngSink sink{f};
  const cairo_status_t st = cairo_surface_write_to_png_stream(surface.get(), write_to, &sink);
  int error = sink.error;
  errno = 0;
  if ((std::fflush(f) != 0 || std::ferror(f) != 0) && error == 0) error = errno != 0 ? errno : EIO;
  errno = 0;
  if (std::fclose(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error != 0 || st != CAIRO_STATUS_SUCCESS) {
    out.discard();
    koverr("cannot write %s: %s\n", opt.out.c_str(),
           error != 0 ? std::strerror(error) : cairo_status_to_string(st));
  }
  out.commit();
  kov_end_prog();
  return 0;
}
