// SPDX-License-Identifier: Apache-2.0
// The URL back end: the data of a tag behind a URL, read by range requests
// through libcurl.  Web servers (http://, https://) are read only; objects
// of an S3-protocol store (s3://bucket/key) are signed with the caller's
// credentials when there are any.
//
// The object's identity (its ETag and size) is taken when it is opened and
// every range is checked against it, so that one read never mixes two
// versions.  Failed requests (resets, timeouts, 5xx answers, short bodies)
// are tried again after a growing, jittered pause; 403 and 404 are not.
// A reader going through the data in order is served by one transfer on a
// thread of its own; a reader of announced ranges keeps several in flight.
#include "url_io.h"

#include "backends.h"
#include "kovlib_internal.h"
#include "page_block.h"
#include "streaminf.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <random>
#include <span>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kov::detail {

bool is_url(std::string_view name) {
  return name.starts_with("http://") || name.starts_with("https://") || name.starts_with("s3://");
}

namespace {

using Clock = std::chrono::steady_clock;

// One range request of a reader of announced ranges, and how many are in
// flight.
constexpr long long kPiece = 4LL << 20;
constexpr std::size_t kMaxPieces = 16;
// Bytes of an error answer kept for its message.
constexpr std::size_t kMaxErrorBody = 4096;

// --- the HTTP library ------------------------------------------------------------
// libcurl is loaded when the first URL is met, so that programs that never
// read one (and fully static links) do without it.

struct CurlApi {
  CURLcode (*global_init)(long);
  CURL *(*easy_init)();
  CURLcode (*easy_setopt)(CURL *, CURLoption, ...);
  CURLcode (*easy_getinfo)(CURL *, CURLINFO, ...);
  void (*easy_cleanup)(CURL *);
  const char *(*easy_strerror)(CURLcode);
  CURLM *(*multi_init)();
  CURLMcode (*multi_setopt)(CURLM *, CURLMoption, ...);
  CURLMcode (*multi_add_handle)(CURLM *, CURL *);
  CURLMcode (*multi_remove_handle)(CURLM *, CURL *);
  CURLMcode (*multi_perform)(CURLM *, int *);
  CURLMsg *(*multi_info_read)(CURLM *, int *);
  CURLMcode (*multi_poll)(CURLM *, curl_waitfd *, unsigned, int, int *);
  CURLMcode (*multi_wakeup)(CURLM *);
  CURLMcode (*multi_cleanup)(CURLM *);
  CURLcode (*easy_pause)(CURL *, int);
  curl_slist *(*slist_append)(curl_slist *, const char *);
  void (*slist_free_all)(curl_slist *);
};

template <class F> void bind(void *handle, F &slot, const char *name) {
  void *symbol = ::dlsym(handle, name);
  if (symbol == nullptr) koverr("the HTTP library libcurl lacks %s: it is too old\n", name);
  slot = reinterpret_cast<F>(symbol);
}

const CurlApi &lib() {
  static const CurlApi api = [] {
    void *handle = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
      koverr("URLs need the HTTP library libcurl (libcurl.so.4), which cannot be loaded: %s\n",
             ::dlerror());
    CurlApi a{};
    bind(handle, a.global_init, "curl_global_init");
    bind(handle, a.easy_init, "curl_easy_init");
    bind(handle, a.easy_setopt, "curl_easy_setopt");
    bind(handle, a.easy_getinfo, "curl_easy_getinfo");
    bind(handle, a.easy_cleanup, "curl_easy_cleanup");
    bind(handle, a.easy_strerror, "curl_easy_strerror");
    bind(handle, a.multi_init, "curl_multi_init");
    bind(handle, a.multi_setopt, "curl_multi_setopt");
    bind(handle, a.multi_add_handle, "curl_multi_add_handle");
    bind(handle, a.multi_remove_handle, "curl_multi_remove_handle");
    bind(handle, a.multi_perform, "curl_multi_perform");
    bind(handle, a.multi_info_read, "curl_multi_info_read");
    bind(handle, a.multi_poll, "curl_multi_poll");
    bind(handle, a.multi_wakeup, "curl_multi_wakeup");
    bind(handle, a.multi_cleanup, "curl_multi_cleanup");
    bind(handle, a.easy_pause, "curl_easy_pause");
    bind(handle, a.slist_append, "curl_slist_append");
    bind(handle, a.slist_free_all, "curl_slist_free_all");
    return a;
  }();
  return api;
}

// --- settings and credentials ---------------------------------------------------

std::string env(const char *name) {
  const char *v = std::getenv(name);
  return v != nullptr ? v : "";
}

using Ini = std::map<std::string, std::map<std::string, std::string>>;

std::string trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

// The sections of an AWS-style configuration file; empty when it is absent
// (`found`, when given, tells whether it could be read).
Ini read_ini(const std::string &path, bool *found = nullptr) {
  Ini ini;
  if (found != nullptr) *found = false;
  if (path.empty()) return ini;
  std::ifstream in(path);
  if (!in) return ini;
  if (found != nullptr) *found = true;
  std::string line, section;
  while (std::getline(in, line)) {
    const std::string t = trimmed(line);
    if (t.empty() || t.front() == '#' || t.front() == ';') continue;
    if (t.front() == '[' && t.back() == ']') {
      section = trimmed(std::string_view(t).substr(1, t.size() - 2));
      continue;
    }
    const auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    ini[section][trimmed(std::string_view(t).substr(0, eq))] =
        trimmed(std::string_view(t).substr(eq + 1));
  }
  return ini;
}

struct Settings {
  std::string key_id, secret, token, region, endpoint;
  int retries = 5;
  long timeout = 30; // seconds without progress
};

std::string lookup(const Ini &ini, const std::string &section, const char *key) {
  const auto s = ini.find(section);
  if (s == ini.end()) return "";
  const auto k = s->second.find(key);
  return k == s->second.end() ? "" : k->second;
}

// The credentials embedding callers gave, by tag.
std::map<std::string, UrlCredentials> &given_credentials() {
  static std::map<std::string, UrlCredentials> given;
  return given;
}

// The settings of the requests for a URL of `tag`, from the strongest
// source down: the credentials an embedding caller gave for the tag, or the
// parameter `credentials=` (a profile name, a file holding a `[default]`
// section in the format of ~/.aws/credentials, or "none" for unsigned
// requests); then the environment's keys; then the profile's keys in
// ~/.aws/credentials and ~/.aws/config.
Settings load_settings(const std::string &tag) {
  Settings s;
  const auto given_at = given_credentials().find(tag);
  const UrlCredentials *given = given_at == given_credentials().end() ? nullptr : &given_at->second;
  std::string parameter(4096, '\0');
  if (given != nullptr ||
      getch_bounded("credentials", "s", parameter.data(), static_cast<long>(parameter.size())) == 0)
    parameter.clear();
  else
    parameter.resize(std::strlen(parameter.c_str()));
  // A name cut at the room would be another name.
  if (parameter.size() + 1 >= 4096) koverr("credentials= is longer than 4094 characters\n");

  const std::string home = env("HOME");
  std::string profile = env("AWS_PROFILE");
  if (profile.empty()) profile = env("AWS_DEFAULT_PROFILE");
  bool chosen_profile = false; // named by the caller: its keys must be there
  bool anonymous = false;
  std::string keys_file;
  if (given != nullptr) {
    anonymous = given->anonymous;
    if (!given->profile.empty()) {
      profile = given->profile;
      chosen_profile = true;
    }
  } else if (parameter == "none") {
    anonymous = true;
  } else if (parameter.find('/') != std::string::npos) {
    keys_file = parameter;
  } else if (!parameter.empty()) {
    profile = parameter;
    chosen_profile = true;
  }
  if (profile.empty()) profile = "default";

  std::string credentials_file = env("AWS_SHARED_CREDENTIALS_FILE");
  if (credentials_file.empty() && !home.empty()) credentials_file = home + "/.aws/credentials";
  std::string config_file = env("AWS_CONFIG_FILE");
  if (config_file.empty() && !home.empty()) config_file = home + "/.aws/config";
  const Ini credentials = read_ini(credentials_file);
  const Ini config = read_ini(config_file);
  const std::string config_section = profile == "default" ? profile : "profile " + profile;
  Ini keys;
  if (!keys_file.empty()) {
    bool found = false;
    keys = read_ini(keys_file, &found);
    if (!found)
      koverr("credentials=%s: cannot read the file: %s\n", keys_file.c_str(), std::strerror(errno));
  }

  if (anonymous) {
    // Unsigned requests.
  } else if (given != nullptr && !given->key_id.empty()) {
    s.key_id = given->key_id;
    s.secret = given->secret;
    s.token = given->token;
  } else if (!keys_file.empty()) {
    s.key_id = lookup(keys, "default", "aws_access_key_id");
    s.secret = lookup(keys, "default", "aws_secret_access_key");
    s.token = lookup(keys, "default", "aws_session_token");
    if (s.key_id.empty() || s.secret.empty())
      koverr("credentials=%s: the file has no aws_access_key_id and aws_secret_access_key in "
             "its [default] section\n",
             keys_file.c_str());
  } else {
    if (!chosen_profile) {
      s.key_id = env("AWS_ACCESS_KEY_ID");
      s.secret = env("AWS_SECRET_ACCESS_KEY");
      s.token = env("AWS_SESSION_TOKEN");
    }
    if (s.key_id.empty() || s.secret.empty()) {
      s.key_id = lookup(credentials, profile, "aws_access_key_id");
      s.secret = lookup(credentials, profile, "aws_secret_access_key");
      s.token = lookup(credentials, profile, "aws_session_token");
    }
    if (s.key_id.empty() || s.secret.empty()) {
      s.key_id = lookup(config, config_section, "aws_access_key_id");
      s.secret = lookup(config, config_section, "aws_secret_access_key");
      s.token = lookup(config, config_section, "aws_session_token");
    }
    if (chosen_profile && (s.key_id.empty() || s.secret.empty()))
      koverr("credentials=%s: the profile has no keys in %s or %s\n", profile.c_str(),
             credentials_file.c_str(), config_file.c_str());
  }
  if (given != nullptr) s.region = given->region;
  if (s.region.empty()) s.region = lookup(keys, "default", "region");
  if (s.region.empty()) s.region = env("AWS_REGION");
  if (s.region.empty()) s.region = env("AWS_DEFAULT_REGION");
  if (s.region.empty()) s.region = lookup(config, config_section, "region");
  if (s.region.empty()) s.region = "us-east-1";
  if (given != nullptr) s.endpoint = given->endpoint;
  if (s.endpoint.empty()) s.endpoint = lookup(keys, "default", "endpoint_url");
  if (s.endpoint.empty()) s.endpoint = env("AWS_ENDPOINT_URL_S3");
  if (s.endpoint.empty()) s.endpoint = env("AWS_ENDPOINT_URL");
  if (s.endpoint.empty()) s.endpoint = lookup(config, config_section, "endpoint_url");
  while (!s.endpoint.empty() && s.endpoint.back() == '/') s.endpoint.pop_back();

  int retries = s.retries;
  if (getch_bounded("retries", "d", &retries, 1) > 0) {
    if (retries < 0 || retries > 100) koverr("retries=%d must be between 0 and 100\n", retries);
    s.retries = retries;
  }
  int timeout = static_cast<int>(s.timeout);
  if (getch_bounded("url_timeout", "d", &timeout, 1) > 0) {
    if (timeout < 1 || timeout > 86400)
      koverr("url_timeout=%d must be between 1 and 86400 seconds\n", timeout);
    s.timeout = timeout;
  }
  return s;
}

// --- where a request goes ----------------------------------------------------------

struct Target {
  std::string url;  // as given: the name in messages
  std::string http; // where the request goes
  bool s3 = false;  // signed when there are credentials
  std::shared_ptr<const Settings> settings;
};

std::string escape_key(std::string_view key) {
  std::string out;
  for (const char c : key) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/' || c == '@') {
      out.push_back(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    }
  }
  return out;
}

// Where the requests for `url` go with `settings`.
Target target_with(const std::string &url, std::shared_ptr<const Settings> settings) {
  Target t;
  t.url = url;
  t.settings = std::move(settings);
  if (!url.starts_with("s3://")) {
    t.http = url;
    return t;
  }
  t.s3 = true;
  const std::string_view rest = std::string_view(url).substr(5);
  const auto slash = rest.find('/');
  const std::string bucket(rest.substr(0, slash));
  const std::string key =
      slash == std::string_view::npos ? "" : std::string(rest.substr(slash + 1));
  if (bucket.empty()) koverr("%s: no bucket in the URL\n", url.c_str());
  const Settings &s = *t.settings;
  if (!s.endpoint.empty())
    t.http = s.endpoint + "/" + bucket + "/" + escape_key(key); // path-style
  else
    t.http = "https://" + bucket + ".s3." + s.region + ".amazonaws.com/" + escape_key(key);
  return t;
}

// Where the requests for `url`, a name of `tag`, go, and their settings,
// taken now.
Target target_of(const std::string &url, const std::string &tag) {
  return target_with(url, std::make_shared<const Settings>(load_settings(tag)));
}

// The text of a field of the settings line: no space, tab or line end.
std::string line_field(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '%') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string field_text(std::string_view field) {
  const auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const int high = i + 2 < field.size() ? digit(field[i + 1]) : -1;
    const int low = i + 2 < field.size() ? digit(field[i + 2]) : -1;
    if (field[i] == '%' && high >= 0 && low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// --- requests ------------------------------------------------------------------

struct CurlSession {
  CURLM *multi = nullptr;
  pid_t pid = 0;
};

CurlSession &session() {
  static CurlSession s;
  if (s.multi == nullptr || s.pid != ::getpid()) {
    // A child of a fork never touches its parent's connections: they are
    // left alone and the child makes its own.
    static const bool initialised = lib().global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised) koverr("cannot start the HTTP library\n");
    s.multi = lib().multi_init();
    if (s.multi == nullptr) koverr("cannot start the HTTP library\n");
    lib().multi_setopt(s.multi, CURLMOPT_MAX_HOST_CONNECTIONS, 32L);
    s.pid = ::getpid();
  }
  return s;
}

double jittered_pause(int attempt) {
  // Retries are timed on the transfer thread of a reader too.
  thread_local std::mt19937_64 random{std::random_device{}()};
  const double cap = std::min(5.0, 0.1 * static_cast<double>(1 << std::min(attempt, 10)));
  return std::uniform_real_distribution<double>(cap / 2, cap)(random);
}

// The system's error number for a transfer that failed on the network:
// the socket's own when it names a connection's fate, else one for the
// library's kind of failure.
int network_error(CURLcode result, int os_error) {
  switch (os_error) {
  case ECONNREFUSED:
  case ECONNRESET:
  case ECONNABORTED:
  case EPIPE:
  case ETIMEDOUT:
  case EHOSTUNREACH:
  case ENETUNREACH:
    return os_error;
  default:
    break;
  }
  switch (result) {
  case CURLE_OPERATION_TIMEDOUT:
    return ETIMEDOUT;
  case CURLE_COULDNT_RESOLVE_HOST:
  case CURLE_COULDNT_RESOLVE_PROXY:
    return EHOSTUNREACH;
  case CURLE_COULDNT_CONNECT:
    return ECONNREFUSED;
  case CURLE_RECV_ERROR:
  case CURLE_SEND_ERROR:
  case CURLE_GOT_NOTHING:
  case CURLE_PARTIAL_FILE:
    return ECONNRESET;
  default:
    return EIO;
  }
}

class Request;
class Stream;

[[noreturn]] void url_fatal(int code, const std::string &url, const std::string &reason);

// Bytes of the body of a streamed request (see Stream), handed on as they
// come: the count taken, CURL_WRITEFUNC_PAUSE when there is no room for them
// yet, or 0 when the answer is refused (the request is told why).
std::size_t stream_take(Stream &stream, Request &request, const char *data, std::size_t bytes);

// The requests that wait for their next attempt.
std::vector<Request *> &waiting() {
  static std::vector<Request *> w;
  return w;
}

void forget_waiting(Request *r) {
  auto &w = waiting();
  w.erase(std::remove(w.begin(), w.end(), r), w.end());
}

// One request, tried again when it fails in a way that may pass.
class Request {
public:
  enum class State { Idle, Running, Waiting, Done, Failed };

  Request(Target target, std::string method)
      : target_(std::move(target)), method_(std::move(method)) {}
  Request(const Request &) = delete;
  Request &operator=(const Request &) = delete;
  ~Request() {
    stop();
    if (own_multi_ == nullptr) forget_waiting(this);
  }

  // Ask for bytes [first, first + length) of the object.
  void set_range(long long first, long long length) {
    first_ = first;
    length_ = length;
  }
  // Where the body goes: `room` bytes at `dest`, or a text of at most `room`.
  void set_sink(char *dest, std::size_t room) {
    dest_ = dest;
    room_ = room;
  }
  void set_if_match(std::string etag) { if_match_ = std::move(etag); }
  void set_upload(std::span<const char> body) { upload_ = body; }
  // A range beyond the end (HTTP 416) is an answer, not a failure.
  void accept_unsatisfiable() { accept_416_ = true; }
  // The body goes to `stream` as it comes, and an attempt after a failure
  // asks only for the bytes not yet handed on; the transfers are driven
  // through `multi` (by its own thread) instead of the process's session.
  void set_stream(Stream *stream, CURLM *multi) {
    stream_ = stream;
    own_multi_ = multi;
  }
  // Ends the transfer from a body callback: `reason`, never tried again.
  void refuse(int code, std::string reason) {
    stop_code_ = code;
    stop_reason_ = std::move(reason);
  }
  // Bytes of the range handed on to the stream, over every attempt.
  long long delivered() const { return delivered_; }
  long long range_length() const { return length_; }
  // The first byte this attempt asks for.
  long long asked_first() const { return first_ + attempt_start_; }
  CURL *handle() const { return easy_; }

  State state() const { return state_; }
  long status() const { return status_; }
  const std::string &etag() const { return etag_; }
  long long total() const { return total_; }
  long long range_first() const { return range_first_; }
  long long content_length() const { return content_length_; }
  std::size_t received() const { return got_; }
  const std::string &text() const { return text_; }
  const std::string &failure() const { return failure_; }
  // The system's error number for the kind of failure (see UrlFailure).
  int failure_code() const { return code_; }
  const std::string &response_header(const std::string &name) const {
    static const std::string none;
    const auto it = headers_.find(name);
    return it == headers_.end() ? none : it->second;
  }

  void start() {
    if (!try_start()) url_fatal(failure_code(), target_.url, failure());
  }

  // start() for a thread that must not end the process: false, with the
  // request failed, when the request cannot be made.
  bool try_start() {
    easy_ = lib().easy_init();
    if (easy_ == nullptr) return cannot_start();
    reset_answer();
    const Settings &s = *target_.settings;
    lib().easy_setopt(easy_, CURLOPT_URL, target_.http.c_str());
    lib().easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    lib().easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, s.timeout);
    lib().easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib().easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, s.timeout);
    lib().easy_setopt(easy_, CURLOPT_USERAGENT, "kov");
    lib().easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    if (const std::string ca = env("CURL_CA_BUNDLE"); !ca.empty())
      lib().easy_setopt(easy_, CURLOPT_CAINFO, ca.c_str());
    lib().easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Request::on_body);
    lib().easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    lib().easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Request::on_header);
    lib().easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    lib().easy_setopt(easy_, CURLOPT_PRIVATE, this);
    if (method_ == "HEAD") {
      lib().easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (method_ == "PUT" || method_ == "POST") {
      if (method_ == "PUT")
        lib().easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
      else
        lib().easy_setopt(easy_, CURLOPT_POST, 1L);
      lib().easy_setopt(easy_, CURLOPT_READFUNCTION, &Request::on_upload);
      lib().easy_setopt(easy_, CURLOPT_READDATA, this);
      const auto size = static_cast<curl_off_t>(upload_.size());
      if (method_ == "PUT")
        lib().easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, size);
      else
        lib().easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, size);
    } else if (method_ != "GET") {
      lib().easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method_.c_str());
    }
    if (stream_ != nullptr) {
      lib().easy_setopt(easy_, CURLOPT_BUFFERSIZE, kStreamReceive);
      attempt_start_ = delivered_;
    }
    if (length_ > 0) {
      range_text_ =
          std::to_string(first_ + delivered_) + "-" + std::to_string(first_ + length_ - 1);
      lib().easy_setopt(easy_, CURLOPT_RANGE, range_text_.c_str());
    }
    if (!if_match_.empty()) add_header("If-Match: " + if_match_);
    const bool signed_request = target_.s3 && !s.key_id.empty();
    // A header removed by an empty value would still be signed: signed
    // uploads keep the library's own Expect.
    if ((method_ == "PUT" || method_ == "POST") && !signed_request) add_header("Expect:");
    if (method_ == "POST") add_header("Content-Type: application/xml");
    if (signed_request) {
      sigv4_ = "aws:amz:" + s.region + ":s3";
      lib().easy_setopt(easy_, CURLOPT_AWS_SIGV4, sigv4_.c_str());
      lib().easy_setopt(easy_, CURLOPT_USERNAME, s.key_id.c_str());
      lib().easy_setopt(easy_, CURLOPT_PASSWORD, s.secret.c_str());
      add_header("x-amz-content-sha256: UNSIGNED-PAYLOAD");
      if (!s.token.empty()) add_header("x-amz-security-token: " + s.token);
    }
    if (headers_list_ != nullptr) lib().easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_list_);
    if (lib().multi_add_handle(multi(), easy_) != CURLM_OK) {
      release_handle();
      return cannot_start();
    }
    state_ = State::Running;
    return true;
  }

  // Called when the transfer has ended.
  void finished(CURLcode result) {
    lib().easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
    curl_off_t length = -1;
    lib().easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    content_length_ = length;
    long os_error = 0;
    lib().easy_getinfo(easy_, CURLINFO_OS_ERRNO, &os_error);
    release_handle();
    std::string reason;
    bool again = false;
    code_ = EIO;
    if (!stop_reason_.empty()) {
      reason = stop_reason_;
      if (stop_code_ != 0)
        code_ = stop_code_;
      else if (dest_ == nullptr && stream_ == nullptr)
        code_ = 0; // a text beyond its limit: refused, as a header too long
    } else if (result != CURLE_OK) {
      reason = lib().easy_strerror(result);
      code_ = network_error(result, static_cast<int>(os_error));
      again = result != CURLE_PEER_FAILED_VERIFICATION && result != CURLE_SSL_CACERT_BADFILE &&
              result != CURLE_UNSUPPORTED_PROTOCOL && result != CURLE_URL_MALFORMAT &&
              result != CURLE_SSL_CERTPROBLEM && result != CURLE_LOGIN_DENIED;
    } else if (status_ == 403) {
      reason = "permission denied (HTTP 403" + code_of_answer() + ")";
      code_ = EACCES;
    } else if (status_ == 404) {
      reason = "no such object (HTTP 404" + code_of_answer() + ")";
      code_ = ENOENT;
    } else if (status_ == 416 && accept_416_) {
    } else if (status_ == 412) {
      reason = "the object changed while it was read (HTTP 412)";
      code_ = ESTALE;
    } else if (status_ >= 500 || status_ == 429 || status_ == 408) {
      reason = "HTTP " + std::to_string(status_) + code_of_answer();
      again = true;
    } else if (status_ < 200 || status_ >= 300) {
      reason = "HTTP " + std::to_string(status_) + code_of_answer();
    } else if (method_ == "GET" && dest_ != nullptr && length_ > 0 &&
               got_ != static_cast<std::size_t>(length_)) {
      reason = "short body: " + std::to_string(got_) + " of " + std::to_string(length_) + " bytes";
      again = true;
    } else if (stream_ != nullptr && delivered_ != length_) {
      reason = "short body: " + std::to_string(delivered_ - attempt_start_) + " of " +
               std::to_string(length_ - attempt_start_) + " bytes";
      again = true;
    }
    // A streamed answer that brought bytes before it failed was progress:
    // the retries count the failures in a row.
    if (stream_ != nullptr && delivered_ > attempt_start_) attempts_ = 0;
    if (reason.empty()) {
      state_ = State::Done;
      return;
    }
    if (again && attempts_ < target_.settings->retries) {
      ++attempts_;
      retry_at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(jittered_pause(attempts_)));
      state_ = State::Waiting;
      return;
    }
    failure_ = reason;
    if (again && attempts_ > 0)
      failure_ += " (after " + std::to_string(attempts_ + 1) + " attempts)";
    state_ = State::Failed;
  }

  bool due(Clock::time_point now) const { return state_ == State::Waiting && retry_at_ <= now; }
  Clock::time_point retry_at() const { return retry_at_; }
  const Target &target() const { return target_; }

  void stop() {
    release_handle();
    if (state_ == State::Running || state_ == State::Waiting) state_ = State::Idle;
  }

private:
  // Bytes asked of the network at a time by a streamed request.
  static constexpr long kStreamReceive = 256L << 10;

  CURLM *multi() const { return own_multi_ != nullptr ? own_multi_ : session().multi; }

  bool cannot_start() {
    failure_ = "cannot start a request";
    code_ = EIO;
    state_ = State::Failed;
    return false;
  }

  void add_header(const std::string &line) {
    headers_list_ = lib().slist_append(headers_list_, line.c_str());
  }

  void reset_answer() {
    status_ = 0;
    etag_.clear();
    total_ = -1;
    range_first_ = -1;
    got_ = 0;
    text_.clear();
    error_body_.clear();
    stop_reason_.clear();
    stop_code_ = 0;
    sent_ = 0;
    headers_.clear();
    if (headers_list_ != nullptr) lib().slist_free_all(headers_list_);
    headers_list_ = nullptr;
  }

  void release_handle() {
    if (easy_ != nullptr) {
      lib().multi_remove_handle(multi(), easy_);
      lib().easy_cleanup(easy_);
      easy_ = nullptr;
    }
    if (headers_list_ != nullptr) lib().slist_free_all(headers_list_);
    headers_list_ = nullptr;
  }

  std::string code_of_answer() const {
    const auto a = error_body_.find("<Code>");
    const auto b = error_body_.find("</Code>");
    if (a == std::string::npos || b == std::string::npos || b < a) return "";
    return " " + error_body_.substr(a + 6, b - a - 6);
  }

  // Whether the answer whose body comes is a success; its status is known
  // from here on.
  bool answer_ok() {
    lib().easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
    return status_ >= 200 && status_ < 300;
  }

  static std::size_t on_body(char *data, std::size_t size, std::size_t n, void *self_) {
    auto *self = static_cast<Request *>(self_);
    const std::size_t bytes = size * n;
    if (!self->answer_ok()) {
      const std::size_t keep =
          std::min(bytes, kMaxErrorBody - std::min(kMaxErrorBody, self->error_body_.size()));
      self->error_body_.append(data, keep);
      return bytes;
    }
    if (self->stream_ != nullptr) {
      if (self->delivered_ + static_cast<long long>(bytes) > self->length_) {
        self->stop_reason_ = "the server sent more bytes than were asked for";
        return 0;
      }
      const std::size_t taken = stream_take(*self->stream_, *self, data, bytes);
      if (taken == bytes) {
        self->got_ += bytes;
        self->delivered_ += static_cast<long long>(bytes);
      }
      return taken;
    }
    if (self->got_ + bytes > self->room_) {
      self->stop_reason_ = self->dest_ != nullptr
                               ? "the server sent more bytes than were asked for"
                               : "larger than " + std::to_string(self->room_ >> 20) + " MiB";
      return 0;
    }
    if (self->dest_ != nullptr)
      std::memcpy(self->dest_ + self->got_, data, bytes);
    else
      self->text_.append(data, bytes);
    self->got_ += bytes;
    return bytes;
  }

  static std::size_t on_header(char *data, std::size_t size, std::size_t n, void *self_) {
    auto *self = static_cast<Request *>(self_);
    const std::size_t bytes = size * n;
    std::string_view line(data, bytes);
    if (line.starts_with("HTTP/")) {
      self->headers_.clear();
      self->etag_.clear();
      self->total_ = -1;
      return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return bytes;
    std::string name(line.substr(0, colon));
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string value = trimmed(line.substr(colon + 1));
    self->headers_[name] = value;
    if (name == "etag") self->etag_ = value;
    if (name == "content-range") {
      // bytes first-last/total
      long long first = -1, last = -1, total = -1;
      if (std::sscanf(value.c_str(), "bytes %lld-%lld/%lld", &first, &last, &total) == 3) {
        self->range_first_ = first;
        self->total_ = total;
      } else if (std::sscanf(value.c_str(), "bytes */%lld", &total) == 1) {
        self->total_ = total;
      }
    }
    return bytes;
  }

  static std::size_t on_upload(char *buffer, std::size_t size, std::size_t n, void *self_) {
    auto *self = static_cast<Request *>(self_);
    const std::size_t bytes = std::min(size * n, self->upload_.size() - self->sent_);
    std::memcpy(buffer, self->upload_.data() + self->sent_, bytes);
    self->sent_ += bytes;
    return bytes;
  }

  Target target_;
  std::string method_;
  long long first_ = 0, length_ = 0;
  char *dest_ = nullptr;
  std::size_t room_ = 0;
  std::string if_match_;
  bool accept_416_ = false;
  std::span<const char> upload_;
  std::size_t sent_ = 0;
  Stream *stream_ = nullptr;
  CURLM *own_multi_ = nullptr;
  long long delivered_ = 0, attempt_start_ = 0;
  int stop_code_ = 0;

  CURL *easy_ = nullptr;
  curl_slist *headers_list_ = nullptr;
  std::string range_text_, sigv4_;
  State state_ = State::Idle;
  int attempts_ = 0;
  Clock::time_point retry_at_{};

  long status_ = 0;
  std::string etag_;
  long long total_ = -1, range_first_ = -1, content_length_ = -1;
  std::size_t got_ = 0;
  std::string text_, error_body_, stop_reason_, failure_;
  int code_ = 0;
  std::map<std::string, std::string> headers_;
};

// Move every transfer on until `request` has ended (done or failed).
void drive(Request &request) {
  CURLM *multi = session().multi;
  if (request.state() == Request::State::Idle) request.start();
  for (;;) {
    int running = 0;
    lib().multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg *msg = lib().multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      void *owner = nullptr;
      lib().easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
      auto *r = static_cast<Request *>(owner);
      const CURLcode result = msg->data.result;
      r->finished(result);
      if (r->state() == Request::State::Waiting) waiting().push_back(r);
    }
    // Requests whose pause is over start again.
    const auto now = Clock::now();
    auto &w = waiting();
    Clock::time_point next = now + std::chrono::seconds(1);
    for (std::size_t i = 0; i < w.size();) {
      if (w[i]->state() != Request::State::Waiting) {
        w.erase(w.begin() + static_cast<std::ptrdiff_t>(i));
      } else if (w[i]->due(now)) {
        Request *r = w[i];
        w.erase(w.begin() + static_cast<std::ptrdiff_t>(i));
        r->start();
      } else {
        next = std::min(next, w[i]->retry_at());
        ++i;
      }
    }
    if (request.state() == Request::State::Done || request.state() == Request::State::Failed)
      return;
    const auto wait_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    lib().multi_poll(multi, nullptr, 0, static_cast<int>(std::clamp<long long>(wait_ms, 0, 1000)),
                     nullptr);
  }
}

UrlFailure &pending_failure() {
  static UrlFailure failure;
  return failure;
}

// Fatal: "url: reason", the failure kept for an embedding caller.
[[noreturn]] void url_fatal(int code, const std::string &url, const std::string &reason) {
  pending_failure() = UrlFailure{url, code};
  koverr("%s: %s\n", url.c_str(), reason.c_str());
}

[[noreturn]] void request_failed(const Request &r) {
  url_fatal(r.failure_code(), r.target().url, r.failure());
}

// --- the transfer of a sequential reader ------------------------------------------
// A reader that goes through the data in order is served by one range
// request for the rest of the object, driven on a thread of its own into a
// ring of bounded size, so that the data keep coming while the program
// works on those it has.  How far the transfer may run ahead of the reader
// grows with what the reader takes (twice as much, from kStreamFirst up to
// kStreamAhead): a reader that soon goes elsewhere had little fetched for
// nothing.  A transfer that is that far ahead is paused until the reader has
// taken half of it.  Each attempt's answer is checked against the object's
// identity before any of its bytes are handed on; an attempt after a
// failure asks for the bytes not yet received.

constexpr long long kStreamFirst = 4LL << 20;
constexpr long long kStreamAhead = 64LL << 20;
// Room in the ring beyond the allowance: a callback's bytes are taken whole.
constexpr long long kStreamSlack = 1LL << 20;

class Stream;

// The streams of this process whose threads run, ended before the process
// (the TLS library's own clean-up at exit must find no transfer running).
struct LiveStreams {
  std::mutex mutex;
  std::vector<Stream *> streams;
};
LiveStreams &live_streams();

class Stream {
public:
  Stream(Target target, std::string etag, long long size)
      : target_(std::move(target)), etag_(std::move(etag)), size_(size),
        capacity_(std::min(kStreamAhead, size) + kStreamSlack), ring_(capacity_), pid_(::getpid()) {
    multi_ = lib().multi_init();
    if (multi_ == nullptr) url_fatal(EIO, target_.url, "cannot start the HTTP library");
    LiveStreams &live = live_streams();
    {
      std::lock_guard lock(live.mutex);
      live.streams.push_back(this);
    }
    // The thread takes no signal: those of the process go to its own threads.
    sigset_t all, before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    thread_ = std::thread([this] { run(); });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  ~Stream() {
    stop();
    LiveStreams &live = live_streams();
    std::lock_guard lock(live.mutex);
    std::erase(live.streams, this);
  }

  pid_t owner() const { return pid_; }
  // Whether a transfer serves the reader, and the position in the object of
  // the next byte it hands on.
  bool active() const { return active_; }
  long long next() const { return next_; }

  // Stops the transfer there is and starts one from `first` to the end of
  // the object; with `first` < 0 only stops it.
  void begin(long long first) {
    std::unique_lock lock(mutex_);
    restart_first_ = first;
    const long long generation = ++asked_generation_;
    lock.unlock();
    lib().multi_wakeup(multi_);
    lock.lock();
    changed_.wait(lock, [&] { return done_generation_ == generation || finished_; });
    active_ = first >= 0 && !finished_;
    next_ = first;
  }

  // `n` bytes from the position next() into `buffer`, waited for; fewer
  // only when the transfer failed (failure() tells why).
  long long read(char *buffer, long long n) {
    long long done = 0;
    bool wake = false;
    std::unique_lock lock(mutex_);
    while (done < n) {
      if (written_ == taken_) {
        // Stopped by the end of the process (another thread's exit): no
        // failure to tell, and no byte more; this thread waits for the end.
        if (ended_ && stop_) changed_.wait(lock, [] { return false; });
        if (ended_) break;
        reader_waits_ = true;
        changed_.wait(lock, [&] { return written_ > taken_ || ended_; });
        reader_waits_ = false;
        continue;
      }
      const long long take = std::min(written_ - taken_, n - done);
      const long long at = taken_ % capacity_;
      lock.unlock();
      const long long first_part = std::min(take, capacity_ - at);
      std::memcpy(buffer + done, ring_.data() + at, static_cast<std::size_t>(first_part));
      std::memcpy(buffer + done + first_part, ring_.data(),
                  static_cast<std::size_t>(take - first_part));
      lock.lock();
      taken_ += take;
      done += take;
      allowance_ = std::max(allowance_, std::min(2 * taken_, kStreamAhead));
      if (paused_ && !resume_ && written_ - taken_ <= allowance_ / 2) wake = resume_ = true;
    }
    lock.unlock();
    if (wake) lib().multi_wakeup(multi_);
    next_ += done;
    return done;
  }

  // Why the transfer ended before the reader had its bytes.
  std::pair<int, std::string> failure() const {
    std::lock_guard lock(mutex_);
    if (failure_.empty()) return {EIO, "the transfer ended early"};
    return {failure_code_, failure_};
  }

  // Ends the thread and its transfer, once (a second caller waits for the
  // first).
  void stop() {
    std::call_once(stopped_, [this] {
      {
        std::lock_guard lock(mutex_);
        stop_ = true;
      }
      lib().multi_wakeup(multi_);
      thread_.join();
      lib().multi_cleanup(multi_);
      multi_ = nullptr;
    });
    active_ = false;
  }

  // The body callback of the transfer (on the stream's thread).
  std::size_t take(Request &request, const char *data, std::size_t bytes) {
    if (request.received() == 0) {
      if (auto [code, problem] = identity_problem(request); code != 0) {
        request.refuse(code, problem);
        return 0;
      }
    }
    const auto count = static_cast<long long>(bytes);
    std::unique_lock lock(mutex_);
    const long long used = written_ - taken_;
    if (used >= allowance_ || used + count > capacity_) {
      paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    const long long at = written_ % capacity_;
    lock.unlock();
    const long long first_part = std::min(count, capacity_ - at);
    std::memcpy(ring_.data() + at, data, static_cast<std::size_t>(first_part));
    std::memcpy(ring_.data(), data + first_part, static_cast<std::size_t>(count - first_part));
    lock.lock();
    written_ += count;
    const bool wake = reader_waits_;
    lock.unlock();
    if (wake) changed_.notify_all();
    return bytes;
  }

private:
  // What makes an answer another object's or another range's than asked.
  std::pair<int, std::string> identity_problem(const Request &r) const {
    if (!etag_.empty() && !r.etag().empty() && r.etag() != etag_)
      return {ESTALE,
              "the object changed while it was read (ETag " + etag_ + ", now " + r.etag() + ")"};
    if (r.status() == 206) {
      if (r.total() >= 0 && r.total() != size_)
        return {ESTALE, "the object changed while it was read (size " + std::to_string(size_) +
                            ", now " + std::to_string(r.total()) + ")"};
      if (r.range_first() != r.asked_first())
        return {EIO, "the server answered another range than was asked for"};
    } else if (!(r.asked_first() == 0 && r.range_length() == size_)) {
      return {EIO,
              "the server does not serve byte ranges (HTTP " + std::to_string(r.status()) + ")"};
    }
    return {0, ""};
  }

  // The thread: commands from the reader, then the transfer moved on.
  void run() {
    for (;;) {
      bool restart = false, resume = false;
      long long first = -1, generation = 0;
      {
        std::lock_guard lock(mutex_);
        if (stop_) break;
        if (asked_generation_ != done_generation_) {
          restart = true;
          first = restart_first_;
          generation = asked_generation_;
        }
        resume = std::exchange(resume_, false);
        if (resume) paused_ = false;
      }
      if (restart) {
        request_.reset();
        {
          std::lock_guard lock(mutex_);
          written_ = taken_ = 0;
          allowance_ = kStreamFirst;
          paused_ = resume_ = ended_ = false;
          failure_.clear();
          done_generation_ = generation;
        }
        changed_.notify_all();
        resume = false;
        if (first >= 0) {
          request_ = std::make_unique<Request>(target_, "GET");
          request_->set_range(first, size_ - first);
          request_->set_stream(this, multi_);
          if (!etag_.empty()) request_->set_if_match(etag_);
          if (!request_->try_start()) ended();
        }
      }
      if (resume && request_ != nullptr && request_->handle() != nullptr)
        lib().easy_pause(request_->handle(), CURLPAUSE_CONT);
      int running = 0;
      lib().multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg *msg = lib().multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE || request_ == nullptr) continue;
        request_->finished(msg->data.result);
        if (request_->state() != Request::State::Waiting) ended();
      }
      int wait_ms = 1000;
      if (request_ != nullptr && request_->state() == Request::State::Waiting) {
        const auto now = Clock::now();
        if (request_->due(now)) {
          if (!request_->try_start()) ended();
          wait_ms = 0;
        } else {
          wait_ms = static_cast<int>(std::clamp<long long>(
              std::chrono::duration_cast<std::chrono::milliseconds>(request_->retry_at() - now)
                      .count() +
                  1,
              0, 1000));
        }
      }
      lib().multi_poll(multi_, nullptr, 0, wait_ms, nullptr);
    }
    request_.reset();
    std::lock_guard lock(mutex_);
    finished_ = true;
    ended_ = true;
    changed_.notify_all();
  }

  // The transfer has ended, done or failed.
  void ended() {
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
      if (request_->state() == Request::State::Failed) {
        failure_ = request_->failure();
        failure_code_ = request_->failure_code();
      }
    }
    changed_.notify_all();
  }

  const Target target_;
  const std::string etag_;
  const long long size_;
  const long long capacity_;
  PageBlock ring_;
  const pid_t pid_;
  CURLM *multi_ = nullptr;
  std::unique_ptr<Request> request_; // the thread's alone

  // The reader's alone.
  bool active_ = false;
  long long next_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  long long written_ = 0, taken_ = 0; // bytes of the transfer into and out of the ring
  long long allowance_ = kStreamFirst;
  bool paused_ = false, resume_ = false, reader_waits_ = false, ended_ = false;
  bool stop_ = false, finished_ = false;
  long long restart_first_ = -1, asked_generation_ = 0, done_generation_ = 0;
  std::string failure_;
  int failure_code_ = 0;
  std::once_flag stopped_;
  std::thread thread_;
};

std::size_t stream_take(Stream &stream, Request &request, const char *data, std::size_t bytes) {
  return stream.take(request, data, bytes);
}

void stop_live_streams() {
  LiveStreams &live = live_streams();
  std::lock_guard lock(live.mutex);
  for (Stream *s : live.streams)
    if (s->owner() == ::getpid()) s->stop();
}

LiveStreams &live_streams() {
  static LiveStreams live;
  static const bool registered = std::atexit(stop_live_streams) == 0;
  (void)registered;
  return live;
}

// --- the data of a tag ------------------------------------------------------------

struct Piece {
  long long first = 0, length = 0;
  PageBlock data;
  std::unique_ptr<Request> request;
  long long end() const { return first + length; }
};

struct UrlState {
  Target target;
  long long size = 0;
  std::string etag;
  long long pos = 0;
  // Where the last read ended: a read from there goes on in order (so does
  // the first one from the start).
  long long last_end = 0;
  std::unique_ptr<Stream> stream; // the transfer of a reader in order
  std::deque<std::unique_ptr<Piece>> pieces;
  // Buffers of finished pieces, used again: fresh memory for every piece
  // costs more than the transfer (the system clears every page first).
  std::vector<PageBlock> spare;
  std::vector<ByteRange> expected; // announced ranges, in reading order
  std::size_t next_expected = 0;   // the first of them not queued in full

  UrlState() = default;
  UrlState(const UrlState &) = delete;
  UrlState &operator=(const UrlState &) = delete;
  ~UrlState() {
    // A forked child closing what its parent opened: the transfer's thread
    // is the parent's, never waited for here.
    if (stream != nullptr && stream->owner() != ::getpid()) (void)stream.release();
  }
};

UrlState *state_of(void *ioinf) { return static_cast<UrlState *>(ioinf); }

// The identity and size of an object, from the answer to a HEAD request,
// which costs a store no read of the object; where that answer tells no
// size, or refuses (a 403 or a 404 says more to a GET), from the answer to a
// request for its first byte (the size is in the range's answer; an empty
// object has no first byte).
void take_identity(UrlState &s) {
  Request head(s.target, "HEAD");
  drive(head);
  if (head.state() == Request::State::Done && head.status() == 200 && head.content_length() >= 0) {
    s.size = head.content_length();
    s.etag = head.etag();
    return;
  }
  if (head.state() == Request::State::Failed && head.failure_code() != EIO &&
      head.failure_code() != EACCES && head.failure_code() != ENOENT)
    request_failed(head); // the network's failure: a GET would meet it again
  char first = 0;
  Request probe(s.target, "GET");
  probe.set_range(0, 1);
  probe.set_sink(&first, 1);
  probe.accept_unsatisfiable();
  drive(probe);
  if (probe.state() == Request::State::Failed) request_failed(probe);
  if (probe.status() == 206 || probe.status() == 416)
    s.size = probe.total();
  else
    s.size = probe.content_length();
  // No first byte to serve, and no size said: an empty object.
  if (probe.status() == 416 && s.size < 0) s.size = 0;
  if (s.size < 0) url_fatal(EIO, s.target.url, "the server does not tell the size of the object");
  s.etag = probe.etag();
}

void check_piece(const UrlState &s, const Piece &p) {
  const Request &r = *p.request;
  if (r.state() == Request::State::Failed) request_failed(r);
  const std::string &url = s.target.url;
  if (!s.etag.empty() && !r.etag().empty() && r.etag() != s.etag)
    url_fatal(ESTALE, url,
              "the object changed while it was read (ETag " + s.etag + ", now " + r.etag() + ")");
  if (r.status() == 206) {
    if (r.total() >= 0 && r.total() != s.size)
      url_fatal(ESTALE, url,
                "the object changed while it was read (size " + std::to_string(s.size) + ", now " +
                    std::to_string(r.total()) + ")");
    if (r.range_first() != p.first)
      url_fatal(EIO, url, "the server answered another range than was asked for");
  } else if (!(p.first == 0 && p.length == s.size)) {
    url_fatal(EIO, url,
              "the server does not serve byte ranges (HTTP " + std::to_string(r.status()) + ")");
  }
}

void add_piece(UrlState &s, long long first, long long length) {
  auto p = std::make_unique<Piece>();
  p->first = first;
  p->length = length;
  if (!s.spare.empty() && s.spare.back().size() >= static_cast<std::size_t>(length)) {
    p->data = std::move(s.spare.back());
    s.spare.pop_back();
  } else {
    p->data = PageBlock(static_cast<std::size_t>(std::max(length, kPiece)));
  }
  p->request = std::make_unique<Request>(s.target, "GET");
  p->request->set_range(first, length);
  p->request->set_sink(p->data.data(), static_cast<std::size_t>(length));
  if (!s.etag.empty()) p->request->set_if_match(s.etag);
  p->request->start();
  s.pieces.push_back(std::move(p));
}

// The front piece goes, its buffer kept for another once no transfer
// writes into it.
void drop_front(UrlState &s) {
  std::unique_ptr<Piece> p = std::move(s.pieces.front());
  s.pieces.pop_front();
  p->request.reset();
  if (s.spare.size() < kMaxPieces) s.spare.push_back(std::move(p->data));
}

// Queue the announced ranges from where the queue ends.
void follow_expected(UrlState &s) {
  long long end = s.pieces.empty() ? s.pos : s.pieces.back()->end();
  while (s.next_expected < s.expected.size() && s.pieces.size() < kMaxPieces) {
    const ByteRange &r = s.expected[s.next_expected];
    const long long r_end = std::min(r.first + r.length, s.size);
    if (end >= r_end || r.first >= s.size) {
      ++s.next_expected;
      continue;
    }
    const long long from = std::max(end, r.first);
    const long long length = std::min(kPiece, r_end - from);
    add_piece(s, from, length);
    end = from + length;
  }
}

// Make the front piece hold the position and queue what follows: the
// announced ranges, or the bytes up to `need_end`.
void top_up(UrlState &s, long long need_end) {
  while (!s.pieces.empty() && s.pieces.front()->end() <= s.pos) drop_front(s);
  // A read that starts before what is queued leaves the queue behind (a
  // position between two announced ranges, with nothing to read, keeps it).
  if (!s.pieces.empty() && s.pieces.front()->first > s.pos && need_end > s.pos)
    while (!s.pieces.empty()) drop_front(s);
  if (s.pieces.empty() && s.pos < std::min(need_end, s.size)) {
    // Nothing queued holds the position: the reader left the announced
    // ranges, or the read is a new one.
    if (!s.expected.empty()) {
      const auto after =
          std::find_if(s.expected.begin(), s.expected.end(),
                       [&](const ByteRange &r) { return r.first + r.length > s.pos; });
      s.next_expected = static_cast<std::size_t>(after - s.expected.begin());
    }
    add_piece(s, s.pos, std::min(kPiece, std::min(need_end, s.size) - s.pos));
  }
  if (!s.expected.empty()) {
    follow_expected(s);
    return;
  }
  long long end = s.pieces.empty() ? s.pos : s.pieces.back()->end();
  const long long want = std::min(need_end, s.size);
  while (end < want && s.pieces.size() < kMaxPieces) {
    const long long length = std::min(kPiece, want - end);
    add_piece(s, end, length);
    end += length;
  }
}

int url_open(streaminf *r, void **ioinf) {
  if (r->entrytype != STREAMIN)
    koverr("%s: cannot write there for tag \"%s\": web servers are read only\n",
           r->dataname.value_or("").c_str(), r->tagname.c_str());
  auto state = std::make_unique<UrlState>();
  state->target = target_of(r->dataname.value_or(""), r->tagname);
  take_identity(*state);
  r->backseekable = 1;
  r->isapipe = 0;
  r->streamfd = -1;
  r->streamfile = nullptr;
  install_state(ioinf, std::move(state));
  return 0;
}

int url_close(streaminf *r, void *ioinf) {
  if (ioinf == nullptr) return 0;
  std::unique_ptr<UrlState> state = reclaim_state<UrlState>(r, ioinf);
  return 0;
}

// A read in order: from the transfer of the rest of the object, started
// here when there is none at the position.
long stream_read(UrlState &s, char *buffer, long long n) {
  // A forked child never touches its parent's thread (it has none): the
  // child makes its own.
  if (s.stream != nullptr && s.stream->owner() != ::getpid()) (void)s.stream.release();
  if (s.stream == nullptr) s.stream = std::make_unique<Stream>(s.target, s.etag, s.size);
  if (!s.stream->active() || s.stream->next() != s.pos) s.stream->begin(s.pos);
  const long long got = s.stream->read(buffer, n);
  if (got < n) {
    const auto [code, reason] = s.stream->failure();
    s.stream.reset(); // its thread ends before the process does
    url_fatal(code, s.target.url, reason);
  }
  s.pos += got;
  s.last_end = s.pos;
  // Every byte taken: the thread is not kept (a set of many objects is
  // read one after the other).
  if (s.pos >= s.size) s.stream.reset();
  return static_cast<long>(got);
}

// The reader left the order: the transfer stops.
void stop_stream(UrlState &s) {
  if (s.stream != nullptr && s.stream->owner() == ::getpid() && s.stream->active())
    s.stream->begin(-1);
}

long url_read(streaminf *r, void *ioinf, char *buffer, long nbytes) {
  UrlState *s = state_of(ioinf);
  if (s == nullptr) koverr("Invalid dataset for tag \"%s\"\n", r->tagname.c_str());
  if (nbytes <= 0 || s->pos >= s->size) return 0;
  const long long n = std::min<long long>(nbytes, s->size - s->pos);
  if (s->expected.empty() && s->pos == s->last_end) return stream_read(*s, buffer, n);
  stop_stream(*s);
  const long long end = s->pos + n;
  long long done = 0;
  while (s->pos < end) {
    top_up(*s, end);
    Piece &p = *s->pieces.front();
    drive(*p.request);
    check_piece(*s, p);
    const long long take = std::min(p.end(), end) - s->pos;
    std::memcpy(buffer + done, p.data.data() + (s->pos - p.first), static_cast<std::size_t>(take));
    s->pos += take;
    done += take;
  }
  // The next announced pieces are asked for now.
  if (!s->expected.empty()) top_up(*s, end);
  s->last_end = s->pos;
  return static_cast<long>(done);
}

long url_write(streaminf *r, void *, const char *, long) {
  koverr("%s: cannot write there for tag \"%s\": web servers are read only\n",
         r->dataname.value_or("").c_str(), r->tagname.c_str());
}

kov_off_t url_seek(streaminf *, void *ioinf, kov_off_t offset, int whence) {
  UrlState *s = state_of(ioinf);
  if (s == nullptr) return -1;
  long long base = 0;
  switch (whence) {
  case 0:
    base = 0;
    break;
  case 1:
    base = s->pos;
    break;
  case 2:
    base = s->size;
    break;
  default:
    return -1;
  }
  const long long to = base + offset;
  if (to < 0) return -1;
  s->pos = to;
  return static_cast<kov_off_t>(to);
}

kov_file_size_t url_size(streaminf *r, void *ioinf) {
  UrlState *s = state_of(ioinf);
  if (s == nullptr) koverr("Invalid dataset for tag \"%s\"\n", r->tagname.c_str());
  return static_cast<kov_file_size_t>(s->size);
}

} // namespace

void url_expect(streaminf *record, std::vector<ByteRange> ranges) {
  if (record == nullptr || record->read_func != url_read || record->ioinf == nullptr) return;
  UrlState &s = *state_of(record->ioinf);
  s.expected = std::move(ranges);
  s.next_expected = 0;
  // What was fetched ahead for another reading order goes.
  while (!s.pieces.empty()) drop_front(s);
  stop_stream(s);
  s.last_end = -1;
}

UrlFailure take_url_failure() { return std::exchange(pending_failure(), UrlFailure{}); }

void set_url_credentials(const std::string &tag, std::optional<UrlCredentials> credentials) {
  if (credentials)
    given_credentials()[tag] = std::move(*credentials);
  else
    given_credentials().erase(tag);
}

std::FILE *open_url_header(const std::string &url, const std::string &tag) {
  Request get(target_of(url, tag), "GET");
  get.set_sink(nullptr, kMaxHeaderBytes);
  drive(get);
  if (get.state() == Request::State::Failed) request_failed(get);
  const std::string &text = get.text();
  const int fd = ::memfd_create("kov-header", MFD_CLOEXEC);
  if (fd < 0) koverr("%s: cannot hold the header: %s\n", url.c_str(), std::strerror(errno));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) koverr("%s: cannot hold the header: %s\n", url.c_str(), std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  std::FILE *stream = ::fdopen(fd, "r");
  if (stream == nullptr) {
    ::close(fd);
    koverr("%s: cannot hold the header: %s\n", url.c_str(), std::strerror(errno));
  }
  return stream;
}

std::string resolve_data_location(const std::string &header, const std::string &location) {
  if (!is_url(header) || is_url(location) || location.empty() || location == "stdin" ||
      location == "follow_hdr" || location == "-1" || location.front() == '/' ||
      location.front() == '$' || location.find(';') != std::string::npos)
    return location;
  const auto slash = header.rfind('/');
  std::string_view rel = location;
  while (rel.starts_with("./")) rel.remove_prefix(2);
  return header.substr(0, slash + 1) + std::string(rel);
}

// --- requests of the writing side ---------------------------------------------------

void fail_url(int code, const std::string &url, const std::string &reason) {
  url_fatal(code, url, reason);
}

void note_url_failure(int code, const std::string &url) {
  pending_failure() = UrlFailure{url, code};
}

struct UrlTarget::Impl {
  Target target;
};

UrlTarget::UrlTarget(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

UrlTarget::UrlTarget(const std::string &url, const std::string &tag)
    : impl_(std::make_shared<const Impl>(Impl{target_of(url, tag)})) {}

const std::string &UrlTarget::url() const { return impl_->target.url; }

std::string UrlTarget::settings_line() const {
  const Settings &s = *impl_->target.settings;
  std::string line;
  for (const std::string *field : {&s.key_id, &s.secret, &s.token, &s.region, &s.endpoint})
    line += "'" + line_field(*field) + "' ";
  return line + std::to_string(s.retries) + " " + std::to_string(s.timeout);
}

UrlTarget UrlTarget::from_settings_line(const std::string &url, const std::string &line) {
  Settings s;
  std::vector<std::string> fields;
  std::string_view rest = line;
  while (!rest.empty()) {
    const auto space = rest.find(' ');
    fields.emplace_back(rest.substr(0, space));
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
  }
  const auto quoted = [](const std::string &f) {
    return f.size() >= 2 && f.front() == '\'' && f.back() == '\''
               ? field_text(std::string_view(f).substr(1, f.size() - 2))
               : std::string();
  };
  if (fields.size() == 7) {
    s.key_id = quoted(fields[0]);
    s.secret = quoted(fields[1]);
    s.token = quoted(fields[2]);
    s.region = quoted(fields[3]);
    s.endpoint = quoted(fields[4]);
    s.retries = std::atoi(fields[5].c_str());
    s.timeout = std::atol(fields[6].c_str());
  }
  return UrlTarget(std::make_shared<const Impl>(
      Impl{target_with(url, std::make_shared<const Settings>(std::move(s)))}));
}

struct UrlCall::Impl {
  Impl(Target target, const std::string &method) : request(std::move(target), method) {}
  Request request;
};

UrlCall::UrlCall(const UrlTarget &to, const std::string &method, const std::string &query,
                 std::span<const char> body) {
  Target target = to.impl_->target;
  if (!query.empty()) target.http += "?" + query;
  impl_ = std::make_unique<Impl>(std::move(target), method);
  impl_->request.set_upload(body);
  impl_->request.set_sink(nullptr, std::size_t{1} << 20);
}

UrlCall::~UrlCall() = default;

void UrlCall::start() {
  if (impl_->request.state() == Request::State::Idle) impl_->request.start();
}

bool UrlCall::wait() {
  drive(impl_->request);
  return impl_->request.state() == Request::State::Done;
}

long UrlCall::status() const { return impl_->request.status(); }
const std::string &UrlCall::etag() const { return impl_->request.etag(); }
const std::string &UrlCall::text() const { return impl_->request.text(); }
const std::string &UrlCall::failure() const { return impl_->request.failure(); }
int UrlCall::failure_code() const { return impl_->request.failure_code(); }
int UrlCall::retries() const { return impl_->request.target().settings->retries; }

void url_forget_inherited_requests() { waiting().clear(); }

} // namespace kov::detail

extern "C" void init_url_io(streaminf *r) {
  if (r == nullptr) kov::detail::assertion("init_url_io", "null record");
  r->open_func = kov::detail::url_open;
  r->close_func = kov::detail::url_close;
  r->read_func = kov::detail::url_read;
  r->write_func = kov::detail::url_write;
  r->seek_func = kov::detail::url_seek;
  r->size_func = kov::detail::url_size;
}

extern "C" int kov_is_url(const char *name) {
  return name != nullptr && kov::detail::is_url(name) ? 1 : 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(init_url_io)
KOV_PUBLIC_NAME(kov_is_url)
