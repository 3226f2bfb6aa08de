// SPDX-License-Identifier: Apache-2.0
// The filter built for AVX2 (this file alone is compiled with -mavx2), run
// only where the processor has it.
#include <kov/proc/bandpass.hpp>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace kovproc::avx2 {
namespace {
#include "bandpass_lanes.inc"
} // namespace

void filter(std::span<const Section> sections, bool zero_phase, std::size_t pad,
            std::span<float> traces, std::size_t n) {
  filter_all(sections, zero_phase, pad, traces, n);
}

} // namespace kovproc::avx2
