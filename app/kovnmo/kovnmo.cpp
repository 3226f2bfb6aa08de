// SPDX-License-Identifier: Apache-2.0
// kovnmo: normal moveout of common-midpoint gathers.
//
// Axis 1 is time, axis 2 offset (its coordinates are the offsets, unless
// the trace headers have a key `offset`: app/common/kovoffsets.hpp), the
// axes after it midpoints.  Each trace is moved with the kernels of
// kov_proc (kov/proc/moveout.hpp) at the RMS velocity of its gather: one
// constant (vel=) or a dataset v(t0) or v(t0, midpoint) (velocity=), read
// one trace per gather in step with the data.
//
//   kovnmo velocity=vrms.H < gathers.H > moved.H
#include "kovgather.hpp"
#include "kovhelp.hpp"
#include "kovoffsets.hpp"
#include "kovtool.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/moveout.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMaxTrace = std::int64_t{1} << 28;

kovproc::MoveoutAxis moveout_axis(const kovtool::TraceAxis &t) {
  return {static_cast<std::size_t>(t.n), t.o, t.d};
}

// The velocities of the gathers: one constant, or the traces of a dataset
// resampled to the data's times (kovproc::resample_velocity: linearly, the
// end values continued).
class Velocities {
public:
  Velocities(const kovtool::TraceAxis &data, std::int64_t gathers)
      : data_(data), gathers_(gathers), v_(static_cast<std::size_t>(data.n)) {
    const bool constant = kovtool::text(getch_n, "vel").has_value();
    file_ = kovtool::text(getch_n, "velocity").value_or("");
    if (constant == !file_.empty()) koverr("give either vel= (a constant) or velocity=file.H\n");
    if (constant) {
      const double vel = kovtool::real_param("vel", 0.0);
      if (!(vel > 0.0)) koverr("vel=%g: the velocity must be positive\n", vel);
      std::fill(v_.begin(), v_.end(), static_cast<float>(vel));
      return;
    }
    putch("velocity", "s", file_.c_str());
    kovtool::require_readable(file_);
    kovgather::require_float_tag("velocity", file_);
    const kovtool::Description desc = kovtool::describe("velocity");
    time_ = kovtool::forward_time_axis(desc.axes[0], file_);
    if (time_.n > kMaxTrace)
      koverr("%s: n1=%lld: too many samples in a trace\n", file_.c_str(),
             static_cast<long long>(time_.n));
    traces_ = kovgather::count_after(desc.axes, 1);
    if (traces_ != 1 && traces_ != gathers_)
      koverr("%s: %lld velocity traces for %lld gathers: give one, or one per gather (its axes "
             "after the first as the data's after the second)\n",
             file_.c_str(), static_cast<long long>(traces_), static_cast<long long>(gathers_));
    reader_.emplace("velocity", file_, static_cast<std::size_t>(time_.n));
  }

  // The velocities of gather `g`, asked for in order.
  std::span<const float> of(std::int64_t g) {
    if (!reader_ || (traces_ == 1 && g > 0)) return v_;
    const std::span<const float> trace = reader_->next();
    for (std::size_t i = 0; i < trace.size(); ++i)
      if (!(std::isfinite(trace[i]) && trace[i] > 0.0f))
        koverr("%s: the velocity %g at sample %zu of trace %lld is not a positive number\n",
               file_.c_str(), static_cast<double>(trace[i]), i + 1, static_cast<long long>(g + 1));
    kovproc::resample_velocity(trace, moveout_axis(time_), moveout_axis(data_), v_);
    return v_;
  }

private:
  kovtool::TraceAxis data_, time_;
  std::int64_t gathers_, traces_ = 1;
  std::string file_;
  std::vector<float> v_;
  std::optional<kovgather::TraceReader> reader_;
};

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string input = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::name_in_messages(input);
  const kovtool::Description desc = kovtool::describe_input();
  const kovtool::TraceAxis time = kovtool::forward_time_axis(desc.axes[0], input);
  if (time.n > kMaxTrace)
    koverr("%s: n1=%lld: too many samples in a trace\n", input.c_str(),
           static_cast<long long>(time.n));
  const std::size_t n1 = static_cast<std::size_t>(time.n);
  const kovtool::Axis offset_axis = desc.axes.size() > 1 ? desc.axes[1] : kovtool::Axis{};
  const int noff = offset_axis.n;
  const std::int64_t gathers = kovgather::count_after(desc.axes, 2);

  Velocities velocities(time, gathers);
  const bool inverse = kovtool::flag_param("inv", false);
  const double stretch = kovtool::real_param("str", 0.5);
  if (!(stretch > 0.0)) koverr("str=%g: the stretch limit must be positive\n", stretch);

  const kovproc::SincInterpolator sinc;
  const kovproc::MoveoutAxis axis = moveout_axis(time);
  std::vector<float> moved(n1);
  std::vector<double> work;
  std::span<const float> v;
  std::int64_t current = -1;
  kovoffsets::Offsets offsets(input, offset_axis.n, offset_axis.o, offset_axis.d);
  kovgather::each_block(desc, input, n1, [&](std::int64_t first, std::span<float> block) {
    const std::span<const double> h = offsets.of(first, block.size() / n1);
    for (std::size_t j = 0; j * n1 < block.size(); ++j) {
      const std::int64_t trace = first + static_cast<std::int64_t>(j);
      const std::int64_t gather = trace / noff;
      if (gather != current) {
        v = velocities.of(gather);
        current = gather;
      }
      const double offset = h[j];
      const std::span<float> samples = block.subspan(j * n1, n1);
      if (inverse)
        kovproc::inverse_nmo(sinc, samples, moved, axis, v, offset, work);
      else
        kovproc::nmo(sinc, samples, moved, axis, v, offset, stretch);
      std::copy(moved.begin(), moved.end(), samples.begin());
    }
  });
  kov_end_prog();
  return 0;
}
