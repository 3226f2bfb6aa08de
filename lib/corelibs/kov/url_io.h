// SPDX-License-Identifier: Apache-2.0
// Datasets behind URLs: web servers that serve byte ranges (http://,
// https://) and object stores that speak the S3 protocol (s3://bucket/key).
#ifndef KOV_URL_IO_H
#define KOV_URL_IO_H

#include "streaminf.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kov::detail {

// Whether a header or data name is a URL this library reads.
bool is_url(std::string_view name);

// A stream over the whole text of the object `url` (a header), fetched at
// once; fatal, naming the URL and the reason, when it cannot be fetched.
std::FILE *open_url_header(const std::string &url);

// The data name `location` of a header read from `header`: a relative name
// is resolved against the header's URL, anything else stays as it is.
std::string resolve_data_location(const std::string &header, const std::string &location);

// Byte ranges a reader of a URL-backed record is about to read, in order;
// the back end fetches them ahead (and nothing between them).  An empty
// list ends the announcement.  Other records ignore it.
struct ByteRange {
  long long first = 0, length = 0;
};
void url_expect(streaminf *record, std::vector<ByteRange> ranges);

} // namespace kov::detail

#endif
