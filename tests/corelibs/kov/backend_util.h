// SPDX-License-Identifier: Apache-2.0
// Driving a record's back-end operations directly, for the back-end tests.
#ifndef KOV_TESTS_BACKEND_UTIL_H
#define KOV_TESTS_BACKEND_UTIL_H

#include <kov/kovlib.h>

#include "streaminf.h"

#include <string>

namespace kovtest {

// The record of a tag with its data opened.
inline streaminf *opened(const char *tag, tagtype request) {
  streaminf *r = tag_info(tag, request);
  if (r->ioinf == nullptr) r->open_func(r, &r->ioinf);
  return r;
}

inline long put(streaminf *r, const std::string &bytes) {
  return r->write_func(r, r->ioinf, bytes.data(), static_cast<long>(bytes.size()));
}

inline std::string get(streaminf *r, long n) {
  std::string buffer(static_cast<std::size_t>(n), '\0');
  const long got = r->read_func(r, r->ioinf, buffer.data(), n);
  buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return buffer;
}

} // namespace kovtest

#endif
