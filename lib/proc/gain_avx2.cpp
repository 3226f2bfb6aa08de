// SPDX-License-Identifier: Apache-2.0
// AGC and balancing over groups of traces built for AVX2 (this file alone is compiled
// with -mavx2), run only where the processor has it.
#include <kov/proc/gain.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <immintrin.h>
#include <span>
#include <utility>
#include <vector>

namespace kovproc::avx2 {
namespace {
#include "gain_lanes.inc"
} // namespace

void agc_traces(std::span<float> traces, std::size_t n, std::size_t h) { agc_all(traces, n, h); }

void balance_traces(std::span<float> traces, std::size_t n, bool rms) {
  balance_all(traces, n, rms);
}

} // namespace kovproc::avx2
