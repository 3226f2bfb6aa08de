// SPDX-License-Identifier: Apache-2.0
// kovview's query parser on arbitrary request texts: every answer is a
// window inside the cube within the output limits (or a page of the trace
// header table inside the traces), or an error text.
#include "query.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view query(reinterpret_cast<const char *>(data), size);
  // A cube with a long axis, a short one and one of length 1.
  const std::array<std::int64_t, 3> n{2147483647, 3, 1};
  const auto parsed = kovview::parse_window(query, n);
  if (const auto *w = std::get_if<kovview::WindowRequest>(&parsed)) {
    for (std::size_t k = 0; k < 3; ++k)
      if (w->first[k] < 0 || w->count[k] < 1 || w->first[k] + w->count[k] > n[k]) std::abort();
    if (w->rows < 1 || w->rows > kovview::kMaxSide || w->cols < 1 || w->cols > kovview::kMaxSide)
      std::abort();
    const auto d = static_cast<std::size_t>(w->down), a = static_cast<std::size_t>(w->across);
    if (kovview::cells(w->count[d], w->rows) * kovview::cells(w->count[a], w->cols) >
        kovview::kMaxPixels)
      std::abort();
  }
  // The trace header table's query: a range inside the traces, a page
  // within its limits, a key that exists.
  for (const bool whole : {false, true}) {
    const std::int64_t traces = 1000003;
    const auto table = kovview::parse_headers(query, traces, 5, whole);
    if (const auto *r = std::get_if<kovview::HeaderRequest>(&table)) {
      if (r->first < 0 || r->count < 1 || r->first + r->count > traces || r->offset < 0 ||
          r->limit < 1 || r->sort < 0 || r->sort > 5)
        std::abort();
      if (!whole && r->limit > kovview::kMaxHeaderRows) std::abort();
    }
  }
  kovview::split_query(query);
  kovview::host_allowed(query, "127.0.0.1");
  return 0;
}
