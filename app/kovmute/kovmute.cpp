// SPDX-License-Identifier: Apache-2.0
// kovmute: zero the samples above or below a line in time and offset.
//
// Axis 1 is time, axis 2 offset (its coordinates are the offsets, unless
// the trace headers have a key `offset`: app/common/kovoffsets.hpp).  Each
// trace is muted by the kernel of kov_proc (kov/proc/mute.hpp), in blocks
// of whole traces on the trace driver's threads (app/common/kovtraces.hpp).
//
//   kovmute tmute=0.05 vmute=1800 ntaper=10 < moved.H > muted.H
#include "kovhelp.hpp"
#include "kovoffsets.hpp"
#include "kovtool.hpp"
#include "kovtraces.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/mute.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string input = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::name_in_messages(input);
  const kovtool::Description desc = kovtool::describe_input();
  const kovtool::TraceAxis time = kovtool::forward_time_axis(desc.axes[0], input);
  if (time.n > (std::int64_t{1} << 28))
    koverr("%s: n1=%lld: too many samples in a trace\n", input.c_str(),
           static_cast<long long>(time.n));
  const kovtool::Axis offset_axis = desc.axes.size() > 1 ? desc.axes[1] : kovtool::Axis{};

  kovproc::MuteLine line;
  line.tmute = kovtool::real_param("tmute", 0.0);
  if (auto vmute = kovtool::optional_real("vmute")) {
    if (!(*vmute > 0.0)) koverr("vmute=%g: the velocity must be positive\n", *vmute);
    line.vmute = *vmute;
  } else {
    line.vmute = std::numeric_limits<double>::infinity();
  }
  line.hyperbola = kovtool::flag_param("hyper", false);
  line.below = kovtool::choice_param("mode", {"above", "below"}) == "below";
  line.ntaper = kovtool::integer_param("ntaper", 0);
  if (line.ntaper < 0) koverr("ntaper=%d: the taper cannot be negative\n", line.ntaper);

  kovtool::TraceInput in(input, desc, std::int64_t{4} << 20);
  const kovoffsets::Offsets offsets(input, offset_axis.n, offset_axis.o, offset_axis.d);
  const auto n1 = static_cast<std::size_t>(time.n);
  kovtool::run_blocks(in, [&](std::int64_t first, kovtool::Floats &block, kovtool::Floats &out) {
    std::vector<double> h(block.size() / n1);
    offsets.of(first, h);
    for (std::size_t j = 0; j < h.size(); ++j)
      kovproc::mute(line, h[j], time.o, time.d, std::span(block).subspan(j * n1, n1));
    out.swap(block);
  });
  kov_end_prog();
  return 0;
}
