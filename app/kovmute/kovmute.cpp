// SPDX-License-Identifier: Apache-2.0
// kovmute: zero the samples above or below a line in time and offset.
//
// Axis 1 is time, axis 2 offset (its coordinates are the offsets, unless
// the trace headers have a key `offset`: app/common/kovoffsets.hpp).  Each
// trace is muted by the kernel of kov_proc (kov/proc/mute.hpp), in blocks
// of whole traces.
//
//   kovmute tmute=0.05 vmute=1800 ntaper=10 < moved.H > muted.H
#include "kovgather.hpp"
#include "kovhelp.hpp"
#include "kovoffsets.hpp"
#include "kovtool.hpp"

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
  const kovtool::Description desc = kovtool::describe_input();
  const std::vector<kov_axis> axes = kovgather::axes_of("in", input);
  const kovgather::Time time = kovgather::time_axis(axes[0], input);
  if (time.n > (std::size_t{1} << 28))
    koverr("%s: n1=%zu: too many samples in a trace\n", input.c_str(), time.n);
  const int noff = axes.size() > 1 ? axes[1].n : 1;
  const double o2 = axes.size() > 1 ? axes[1].o : 0.0, d2 = axes.size() > 1 ? axes[1].d : 1.0;

  kovproc::MuteLine line;
  line.tmute = kovgather::real("tmute", 0.0);
  if (auto vmute = kovgather::optional_real("vmute")) {
    if (!(*vmute > 0.0)) koverr("vmute=%g: the velocity must be positive\n", *vmute);
    line.vmute = *vmute;
  } else {
    line.vmute = std::numeric_limits<double>::infinity();
  }
  line.hyperbola = kovgather::flag("hyper", false);
  line.below = kovgather::choice("mode", {"above", "below"}) == "below";
  line.ntaper = kovgather::integer("ntaper", 0);
  if (line.ntaper < 0) koverr("ntaper=%d: the taper cannot be negative\n", line.ntaper);

  kovoffsets::Offsets offsets(input, noff, o2, d2);
  kovgather::each_block(desc, input, time.n, [&](std::int64_t first, std::span<float> block) {
    const std::span<const double> h = offsets.of(first, block.size() / time.n);
    for (std::size_t j = 0; j * time.n < block.size(); ++j) {
      const double offset = h[j];
      kovproc::mute(line, offset, time.o, time.d, block.subspan(j * time.n, time.n));
    }
  });
  kov_end_prog();
  return 0;
}
