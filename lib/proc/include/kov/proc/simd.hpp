// SPDX-License-Identifier: Apache-2.0
// The vector instructions a kernel runs with: the plain build (the
// processor family's baseline) or AVX2, chosen at run time.  Every path of
// a kernel gives the same bits.
#ifndef KOV_PROC_SIMD_HPP
#define KOV_PROC_SIMD_HPP

#include <string>

namespace kovproc {

enum class Simd { plain, avx2 };
// The widest this processor runs.
Simd best_simd();
// The path a KOV_SIMD value names ("plain" or "avx2"; null or empty: the
// best); `warning` says why another was taken when the name is unknown or
// the processor cannot run it.
Simd simd_for(const char *request, std::string &warning);

} // namespace kovproc

#endif
