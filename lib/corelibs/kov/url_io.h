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

// Where the requests for an object go and the settings they are made with
// (credentials, region, endpoint, retries), taken once when it is made:
// those of the datasets of `tag`, as for reading.
class UrlTarget {
public:
  UrlTarget(const std::string &url, const std::string &tag);
  const std::string &url() const;
  // The settings as one line without tabs or line ends, and the target made
  // again from it by a process of our own, which reads no files for it.
  std::string settings_line() const;
  static UrlTarget from_settings_line(const std::string &url, const std::string &line);

private:
  struct Impl;
  explicit UrlTarget(std::shared_ptr<const Impl> impl);
  std::shared_ptr<const Impl> impl_;
  friend class UrlCall;
};

// One request of the writing side to an object of a store: `method` on the
// target with `query` ("uploads=", "partNumber=2&uploadId=..."), `body` sent
// as it is (it must outlive the call), signed as reads are and tried again
// as they are.  Calls move on together while any one is waited for.
class UrlCall {
public:
  UrlCall(const UrlTarget &target, const std::string &method, const std::string &query,
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
  // The system's error number for the kind of failure (see UrlFailure).
  int failure_code() const;
  int retries() const; // the number of attempts after the first one allowed

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Fatal: "url: reason", the failure (`code` as in UrlFailure) kept for an
// embedding caller.
[[noreturn]] void fail_url(int code, const std::string &url, const std::string &reason);
// Keeps the failure of a request for take_url_failure without ending the
// call: for a failure told by a returned reason.
void note_url_failure(int code, const std::string &url);

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
// Makes the object of one output appear; the reason when it cannot (a
// failed request's kind is left for take_url_failure).
std::optional<std::string> commit_url_output(const std::string &url);
// Aborts the upload of one output, or removes its object when it was
// committed (a caller undoing a dataset half put in place).
void discard_url_output(const std::string &url) noexcept;
// The datapath of an output whose header is `header` on a store when no
// datapath is given (datapath= or DATAPATH): the header's own folder.
bool url_default_datapath(const std::string &header, std::string &path);

} // namespace kov::detail

#endif
