// SPDX-License-Identifier: Apache-2.0
// kovnmo: normal moveout of common-midpoint gathers.
//
// Axis 1 is time, axis 2 offset (its coordinates are the offsets, unless
// the trace headers have a key `offset`: app/common/kovoffsets.hpp), the
// axes after it midpoints.  Each trace is moved with the kernels of
// kov_proc (kov/proc/moveout.hpp) at the RMS velocity of its gather: one
// constant (vel=) or a dataset v(t0) or v(t0, midpoint) (velocity=), read
// one trace per gather in step with the data.  The traces are moved in
// blocks on the trace driver's threads (app/common/kovtraces.hpp).
//
//   kovnmo velocity=vrms.H < gathers.H > moved.H
#include "kovhelp.hpp"
#include "kovoffsets.hpp"
#include "kovtool.hpp"
#include "kovtraces.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/moveout.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMaxTrace = std::int64_t{1} << 28;

kovproc::MoveoutAxis moveout_axis(const kovtool::TraceAxis &t) {
  return {static_cast<std::size_t>(t.n), t.o, t.d};
}

// The velocities of the gathers: one constant, or the traces of a dataset
// resampled to the data's times (kovproc::resample_velocity: linearly, the
// end values continued).  The traces of a dataset are read in order as the
// workers first ask for them and held until the gathers before a trace
// are written (release_before).
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
    desc_ = kovtool::describe("velocity");
    kovtool::require_floats(*desc_);
    time_ = kovtool::forward_time_axis(desc_->axes[0], file_);
    if (time_.n > kMaxTrace)
      koverr("%s: n1=%lld: too many samples in a trace\n", file_.c_str(),
             static_cast<long long>(time_.n));
    traces_ = desc_->samples / time_.n;
    if (traces_ != 1 && traces_ != gathers_)
      koverr("%s: %lld velocity traces for %lld gathers: give one, or one per gather (its axes "
             "after the first as the data's after the second)\n",
             file_.c_str(), static_cast<long long>(traces_), static_cast<long long>(gathers_));
    reader_.emplace(*desc_);
    trace_.resize(static_cast<std::size_t>(time_.n));
    if (traces_ != 1) return;
    try {
      read(0, v_);
    } catch (const std::runtime_error &e) {
      koverr("%s\n", e.what());
    }
  }

  // The velocities of gather `g`, from any thread; they stay until
  // release_before(h) for an h above g.  Throws std::runtime_error when
  // the velocities cannot be read or are not positive numbers.
  std::span<const float> of(std::int64_t g) {
    if (traces_ == 1) return v_;
    const std::lock_guard lock(lock_);
    if (!error_.empty()) throw std::runtime_error(error_);
    try {
      for (; next_ <= g; ++next_) {
        std::vector<float> &v = held_[next_];
        v.resize(v_.size());
        read(next_, v);
      }
    } catch (const std::runtime_error &e) {
      error_ = e.what();
      throw;
    }
    return held_.at(g);
  }

  // The gathers before `g` are done.
  void release_before(std::int64_t g) {
    const std::lock_guard lock(lock_);
    held_.erase(held_.begin(), held_.lower_bound(g));
  }

  // After the last gather: fatal when the velocity dataset goes on past
  // its declared end.
  void finish() {
    if (reader_) reader_->expect_end();
  }

private:
  // Trace `g` of the dataset (the next one), checked and resampled into `v`.
  void read(std::int64_t g, std::span<float> v) {
    const std::span<char> bytes(reinterpret_cast<char *>(trace_.data()), trace_.size() * 4);
    std::size_t got = 0;
    {
      const std::lock_guard lock(kovtool::library_lock());
      got = reader_->fill(bytes);
    }
    if (got != bytes.size())
      throw std::runtime_error(file_ + ": the data are short: trace " + std::to_string(g + 1) +
                               " could not be read");
    for (std::size_t i = 0; i < trace_.size(); ++i)
      if (!(std::isfinite(trace_[i]) && trace_[i] > 0.0f)) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", static_cast<double>(trace_[i]));
        throw std::runtime_error(file_ + ": the velocity " + text + " at sample " +
                                 std::to_string(i + 1) + " of trace " + std::to_string(g + 1) +
                                 " is not a positive number");
      }
    kovproc::resample_velocity(trace_, moveout_axis(time_), moveout_axis(data_), v);
  }

  kovtool::TraceAxis data_, time_;
  std::int64_t gathers_, traces_ = 1;
  std::string file_;
  std::vector<float> v_;
  std::optional<kovtool::Description> desc_;
  std::optional<kovtool::BlockReader> reader_;
  std::vector<float> trace_;
  std::mutex lock_;
  std::map<std::int64_t, std::vector<float>> held_; // gathers read and not yet released
  std::int64_t next_ = 0;                           // the next trace to read
  std::string error_;                               // why the last read failed
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
  const kovtool::Axis offset_axis = desc.axes.size() > 1 ? desc.axes[1] : kovtool::Axis{};
  const std::int64_t noff = offset_axis.n;
  const std::int64_t gathers = desc.samples / time.n / noff;

  Velocities velocities(time, gathers);
  const bool inverse = kovtool::flag_param("inv", false);
  const double stretch = kovtool::real_param("str", 0.5);
  if (!(stretch > 0.0)) koverr("str=%g: the stretch limit must be positive\n", stretch);

  const kovproc::SincInterpolator sinc;
  const kovproc::MoveoutAxis axis = moveout_axis(time);
  const auto n1 = static_cast<std::size_t>(time.n);
  kovtool::TraceInput in(input, desc, std::int64_t{4} << 20);
  const kovoffsets::Offsets offsets(input, offset_axis.n, offset_axis.o, offset_axis.d);
  std::int64_t written = 0; // traces written
  kovtool::run_blocks(
      in,
      [&](std::int64_t first, kovtool::Floats &block, kovtool::Floats &out) {
        const std::size_t traces = block.size() / n1;
        std::vector<double> h(traces), work;
        offsets.of(first, h);
        out.resize(block.size());
        std::span<const float> v;
        std::int64_t current = -1;
        for (std::size_t j = 0; j < traces; ++j) {
          const std::int64_t gather = (first + static_cast<std::int64_t>(j)) / noff;
          if (gather != current) {
            v = velocities.of(gather);
            current = gather;
          }
          const std::span<const float> samples = std::span(block).subspan(j * n1, n1);
          const std::span<float> moved = std::span(out).subspan(j * n1, n1);
          if (inverse)
            kovproc::inverse_nmo(sinc, samples, moved, axis, v, h[j], work);
          else
            kovproc::nmo(sinc, samples, moved, axis, v, h[j], stretch);
        }
      },
      [&](std::span<const float> out) {
        kovtool::write_floats(out);
        written += static_cast<std::int64_t>(out.size() / n1);
        velocities.release_before(written / noff);
      });
  velocities.finish();
  kov_end_prog();
  return 0;
}
