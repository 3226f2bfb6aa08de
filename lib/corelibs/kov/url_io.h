// SPDX-License-Identifier: Apache-2.0
// Datasets behind URLs: web servers that serve byte ranges (http://,
// https://) and object stores that speak the S3 protocol (s3://bucket/key).
#ifndef KOV_URL_IO_H
#define KOV_URL_IO_H

#include "streaminf.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <span>
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

// One request of the writing side to an object of a store: `method` on
// `url` with `query` ("uploads", "partNumber=2&uploadId=..."), `body` sent
// as it is (it must outlive the call), signed as reads are and tried again
// as they are.  Calls move on together while any one is waited for.
class UrlCall {
public:
  UrlCall(const std::string &url, const std::string &method, const std::string &query,
          std::span<const char> body);
  ~UrlCall();
  UrlCall(const UrlCall &) = delete;
  UrlCall &operator=(const UrlCall &) = delete;

  void start();
  // Drives every transfer until this call has ended: true when it was
  // answered with success, false with failure() telling why.
  bool wait();
  long status() const;
  const std::string &etag() const;
  const std::string &text() const; // the answer's body (the first MiB)
  const std::string &failure() const;
  int retries() const; // the number of attempts after the first one allowed

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Requests a forked child inherited from its parent are never run by it.
void url_forget_inherited_requests();

// Outputs on a store (url_write.cpp): a header written to a URL, committed
// at the successful end with the data, or dropped.
std::FILE *open_url_output_header(streaminf *record, const std::string &url);
// The back end of data written to a store.
void init_url_write_io(streaminf *record);
// The back end of a data set of several objects (url_set.cpp), read or
// written.
void init_url_set_io(streaminf *record);
// Makes the objects of the outputs appear: the data (`headers` false) or
// the headers (true); the reason when one cannot be made.
std::optional<std::string> commit_url_outputs(bool headers);
// Aborts every upload not yet committed and removes the objects this run
// committed before a later failure.
void discard_url_outputs() noexcept;
// Outputs on a store made from now on are committed by their caller alone
// (commit_url_output), never at exit, which aborts those left: for an
// embedding caller (the Python package).
void set_url_outputs_explicit(bool value);
// Makes the object of one output appear; the reason when it cannot.
std::optional<std::string> commit_url_output(const std::string &url);
// Aborts the upload of one output, or removes its object when it was
// committed (a caller undoing a dataset half put in place).
void discard_url_output(const std::string &url) noexcept;
// The datapath of an output whose header is `header` on a store when no
// datapath is given (datapath= or DATAPATH): the header's own folder.
bool url_default_datapath(const std::string &header, std::string &path);

} // namespace kov::detail

#endif
