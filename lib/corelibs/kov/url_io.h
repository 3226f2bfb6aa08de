// SPDX-License-Identifier: Apache-2.0
// Datasets behind URLs: web servers that serve byte ranges (http://,
// https://) and object stores that speak the S3 protocol (s3://bucket/key).
#ifndef KOV_URL_IO_H
#define KOV_URL_IO_H

#include "streaminf.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov::detail {

// Whether a header or data name is a URL this library reads.
bool is_url(std::string_view name);

// A stream over the whole text of the object `url` (the header of `tag`),
// fetched at once; fatal, naming the URL and the reason, when it cannot be
// fetched.
std::FILE *open_url_header(const std::string &url, const std::string &tag);

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

// The failure of a request that is about to end the process (or the
// embedding caller's call) with a fatal error: the URL and the system's
// error number that names its kind (EACCES, ENOENT, ECONNREFUSED,
// ECONNRESET, ETIMEDOUT, EHOSTUNREACH, ESTALE for another version, EIO for
// the rest).  An embedding caller's fatal handler takes it, which clears it;
// `code` is 0 when the fatal error at hand is no failed request.
struct UrlFailure {
  std::string url;
  int code = 0;
};
UrlFailure take_url_failure();

// Credentials an embedding caller gives for the datasets of one tag,
// instead of those of the environment.  Empty fields keep what the
// environment gives; `profile` is read from the shared files as
// AWS_PROFILE would be; `anonymous` sends unsigned requests.
struct UrlCredentials {
  std::string profile, key_id, secret, token, region, endpoint;
  bool anonymous = false;
};
// Set (or, with nothing, clear) the credentials of the URLs of `tag`: its
// header and its data, taken when each is opened.
void set_url_credentials(const std::string &tag, std::optional<UrlCredentials> credentials);

} // namespace kov::detail

#endif
