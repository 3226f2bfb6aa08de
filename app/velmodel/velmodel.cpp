// SPDX-License-Identifier: Apache-2.0
// velmodel: a layered two-dimensional velocity model in depth.
//
// Four layers with three reflectors between them: a constant layer of
// 1.5*v0 down to `depth`, a layer whose top velocity varies laterally as a
// sine of the squared lateral position and grows with depth by g0 down to
// z1, a constant layer of v1 down to z2, and v2 below.  One trace of n1
// depth samples is written for each of n2 lateral positions.  All
// arithmetic is in single precision, in a fixed order, so that the model is
// the same bit for bit on every run.
#include "kovhelp.hpp"

#include <kov/kov.hpp>
#include <kov/kovlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace {

constexpr float kPi = 3.1415927f; // 0x40490FDB

struct Dimensions {
  int n1, n2, n3;
  float d1, d2, d3, o1, o2, o3;
};

struct Layers {
  float den, z0, v0, g0, v1, v2, z1, z2, alpha;
};

Dimensions read_dimensions() {
  Dimensions d{};
  if (kov::exist_file("indata")) {
    kov::from_aux_int("indata", "n1", d.n1);
    kov::from_aux_int("indata", "n2", d.n2);
    kov::from_aux_int("indata", "n3", d.n3, 1);
    kov::from_aux_real("indata", "d1", d.d1);
    kov::from_aux_real("indata", "d2", d.d2);
    kov::from_aux_real("indata", "d3", d.d3, 1.0f);
    kov::from_aux_real("indata", "o1", d.o1);
    kov::from_aux_real("indata", "o2", d.o2);
    kov::from_aux_real("indata", "o3", d.o3, 1.0f);
  } else {
    kov::from_param_int("n1", d.n1, 500);
    kov::from_param_int("n2", d.n2, 3000);
    kov::from_param_int("n3", d.n3, 1);
    kov::from_param_real("d1", d.d1, 10.0f);
    kov::from_param_real("d2", d.d2, 20.0f);
    kov::from_param_real("d3", d.d3, 1.0f);
    kov::from_param_real("o1", d.o1, 0.0f);
    kov::from_param_real("o2", d.o2, -15000.0f);
    kov::from_param_real("o3", d.o3, 1.0f);
  }
  return d;
}

Layers read_layers() {
  Layers l{};
  kov::from_param_real("den", l.den, 100000.0f);
  kov::from_param_real("depth", l.z0, 500.0f);
  kov::from_param_real("v0", l.v0, 4000.0f);
  kov::from_param_real("g0", l.g0, 0.5f);
  kov::from_param_real("v1", l.v1, 4000.0f);
  kov::from_param_real("v2", l.v2, 3500.0f);
  kov::from_param_real("z1", l.z1, 2000.0f);
  kov::from_param_real("z2", l.z2, 2500.0f);
  kov::from_param_real("alpha", l.alpha, 0.1f);
  return l;
}

// The model must be defined everywhere: axes that every reader of the
// family accepts and finite samples.  Each refusal names the parameters.
void require_number(const char *name, float value) {
  if (!std::isfinite(value))
    koverr("%s=%g: must be a finite number (as a 4-byte float)\n", name,
           static_cast<double>(value));
}

void check_model(const Dimensions &d, const Layers &l) {
  if (d.n1 < 1) koverr("n1=%d: the model needs at least one depth sample\n", d.n1);
  if (d.n2 < 1) koverr("n2=%d: the model needs at least one trace\n", d.n2);
  for (auto [name, value] :
       {std::pair{"o1", d.o1}, std::pair{"d1", d.d1}, std::pair{"o2", d.o2}, std::pair{"d2", d.d2},
        std::pair{"den", l.den}, std::pair{"depth", l.z0}, std::pair{"z1", l.z1},
        std::pair{"z2", l.z2}, std::pair{"v0", l.v0}, std::pair{"g0", l.g0}, std::pair{"v1", l.v1},
        std::pair{"v2", l.v2}, std::pair{"alpha", l.alpha}})
    require_number(name, value);
  if (l.den == 0.0f) koverr("den=0: the lateral variation divides by den, which must not be 0\n");
  if (!std::isfinite(1.5f * l.v0))
    koverr("v0=%g: the top layer's velocity 1.5*v0 is not a finite number\n",
           static_cast<double>(l.v0));
  const float last1 = d.o1 + d.d1 * static_cast<float>(d.n1 - 1);
  if (!std::isfinite(last1))
    koverr("o1=%g d1=%g n1=%d: the last depth is not a finite number\n", static_cast<double>(d.o1),
           static_cast<double>(d.d1), d.n1);
  const float last2 = d.o2 + d.d2 * static_cast<float>(d.n2 - 1);
  if (!std::isfinite(last2))
    koverr("o2=%g d2=%g n2=%d: the last trace position is not a finite number\n",
           static_cast<double>(d.o2), static_cast<double>(d.d2), d.n2);
}

void write_history(const Dimensions &d) {
  kov::to_history_int("n1", d.n1);
  kov::to_history_int("n2", d.n2);
  kov::to_history_int("n3", 1);
  kov::to_history_real("d1", d.d1);
  kov::to_history_real("d2", d.d2);
  kov::to_history_real("d3", 1.0f);
  kov::to_history_real("o1", d.o1);
  kov::to_history_real("o2", d.o2);
  kov::to_history_real("o3", 1.0f);
  kov::to_history_char("label1", "z");
  kov::to_history_char("label2", "cmpx");
  kov::to_history_char("label3", " ");
}

// The last sample that belongs to the layer above a reflector at depth z:
// the sample nearest to z counted from depth 0, halves rounding up.
// Indices beyond the range of int are clamped, so that the depth checks
// report them.
int reflector_index(float z, float d1, int which) {
  const float index = z / d1 + 1.5f;
  if (std::isnan(index))
    koverr("Reflector %d has no valid depth (depth %g, d1 %g)\n", which, static_cast<double>(z),
           static_cast<double>(d1));
  if (index >= 2147483648.0f) return std::numeric_limits<int>::max();
  if (index <= -2147483648.0f) return std::numeric_limits<int>::min();
  return static_cast<int>(index);
}

struct FreeDeleter {
  void operator()(float *p) const { std::free(p); }
};

// The progress lines on standard error.  A line goes out at once when the
// last ones went out kProgressGap or longer ago; lines that come sooner are
// held and go out together with the next line that is due, or at the end.
// The lines and their order are those of one write per line, but a fast
// run makes a few writes instead of one for every tenth trace, which would
// otherwise cost a tenth of its time.  Lines still held when the program
// stops on a fatal error are dropped, never written after the message.
class Progress {
public:
  void line(long i, int n2) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, " CMP  %ld of %d\n", i, n2);
    held_.append(text, static_cast<std::size_t>(std::clamp(n, 0, int{sizeof text} - 1)));
    const auto now = Clock::now();
    if (now - last_ >= kProgressGap) {
      flush();
      last_ = now;
    }
  }

  void flush() {
    if (held_.empty()) return;
    std::fputs(held_.c_str(), stderr);
    std::fflush(stderr);
    held_.clear();
  }

private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kProgressGap{50};
  std::string held_;
  Clock::time_point last_{};
};

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  kov::kov_init();
  kov_begin_prog();

  const Dimensions dim = read_dimensions();
  const Layers lay = read_layers();
  check_model(dim, lay);
  write_history(dim);

  const std::size_t n1 = dim.n1 > 0 ? static_cast<std::size_t>(dim.n1) : 0;
  std::unique_ptr<float[], FreeDeleter> vel(static_cast<float *>(alloc(n1 * sizeof(float))));
  const std::span<float> trace(vel.get(), n1);

  if (dim.d1 == 0.0f) koverr("d1 must not be zero\n");
  const int ia = reflector_index(lay.z0, dim.d1, 1);
  const int ib = reflector_index(lay.z1, dim.d1, 2);
  const int ic = reflector_index(lay.z2, dim.d1, 3);
  if (ia > dim.n1) koverr("Reflector 1 is deeper than the maximum depth\n");
  if (ib > dim.n1) koverr("Reflector 2 is deeper than the maximum depth\n");
  if (ic > dim.n1) koverr("Reflector 3 is deeper than the maximum depth\n");
  if (ia > ib) koverr("Reflector 1 is deeper than Reflector 2\n");
  if (ia > ic) koverr("Reflector 1 is deeper than Reflector 3\n");
  if (ib > ic) koverr("Reflector 2 is deeper than Reflector 3\n");
  // The reflectors are ordered now: a first index below 0 would address
  // samples above the first one.
  if (ia < 0)
    koverr("Reflector 1 is above the first sample (depth %g, o1 %g)\n", static_cast<double>(lay.z0),
           static_cast<double>(dim.o1));

  const float top = 1.5f * lay.v0;
  // Only the layer with the gradient changes from one trace to the next:
  // the other samples are set once, in the order a trace is built, and the
  // depth term of the gradient, which is the same for every trace, is
  // worked out once.  Each sample is computed exactly as before.
  std::fill(trace.begin(), trace.end(), 0.0f);
  std::fill(trace.begin(), trace.begin() + ia, top);
  std::fill(trace.begin() + ib, trace.begin() + ic, lay.v1);
  std::fill(trace.begin() + ic, trace.end(), lay.v2);
  const std::size_t graded = static_cast<std::size_t>(ib - ia);
  std::unique_ptr<float[], FreeDeleter> depth_term(
      static_cast<float *>(alloc(std::max<std::size_t>(graded, 1) * sizeof(float))));
  for (long k = ia + 1; k <= ib; ++k)
    depth_term[static_cast<std::size_t>(k - ia - 1)] =
        lay.g0 * ((dim.o1 + dim.d1 * static_cast<float>(k - 1)) - lay.z0);
  const std::span<const float> gradient(depth_term.get(), graded);
  const std::span<float> second = trace.subspan(static_cast<std::size_t>(ia), graded);

  // Every sample finite, checked before anything is written: the second
  // layer's are the only ones that change, and its depth term is linear, so
  // its two ends bound each trace.
  for (long i = 1; i <= dim.n2 && graded > 0; ++i) {
    const float x = dim.o2 + dim.d2 * static_cast<float>(i - 1);
    const float vi = lay.v0 * (1.0f + lay.alpha * std::sin(x * x * kPi / 180.0f / lay.den));
    if (!std::isfinite(vi + gradient.front()) || !std::isfinite(vi + gradient.back()))
      koverr("the second layer's velocity is not a finite number at trace %ld (x=%g): "
             "check v0, g0, alpha, den, o1, d1, o2 and d2\n",
             i, static_cast<double>(x));
  }

  Progress progress;
  for (long i = 1; i <= dim.n2; ++i) {
    const float x = dim.o2 + dim.d2 * static_cast<float>(i - 1);
    if (i % 10 == 0) progress.line(i, dim.n2);
    const float argument = x * x * kPi / 180.0f / lay.den;
    const float s = std::sin(argument); // the single-precision sine
    const float vi = lay.v0 * (1.0f + lay.alpha * s);
    for (std::size_t k = 0; k < graded; ++k) second[k] = vi + gradient[k];
    kov::kov_write_1d(trace);
  }
  progress.flush();

  vel.reset();
  kov_commit_outputs();
  kov_end_prog();
  return 0;
}
