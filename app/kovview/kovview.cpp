// SPDX-License-Identifier: Apache-2.0
// kovview: look at a dataset in a web browser.
//
// The program serves one dataset to a page on 127.0.0.1: the page asks for
// windows of the cube at the resolution of the screen, and the server reads
// only those windows, through the library's windowed transfer, in bounded
// blocks; where a window holds more samples than pixels, each value sent is
// the mean of the samples of its cell.  A piped input is copied once into a
// scratch file, so that every view can seek.  Only requests carrying the
// random token of the printed address are answered (the token is the first
// part of every path of the page, so nothing that grants access is kept by
// the browser for other servers of the machine), and only when their Host
// names this machine (no page of another site can reach the server through
// a name that resolves to it).  Every connection goes through the guard
// (guard.hpp): bounded request heads, no bodies, a few connections per
// client address.
//
//   kovview vel.H
//   velmodel | kovview port=8765
#include "assets.hpp"
#include "guard.hpp"
#include "headers.hpp"
#include "kovhelp.hpp"
#include "kovtool.hpp"
#include "page.hpp"
#include "query.hpp"
#include "reader.hpp"

#include <kov/kovlib.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <ifaddrs.h>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kWorkers = 24;       // threads answering requests
constexpr std::size_t kQueue = 64; // connections accepted and waiting for a thread
constexpr int kSignTraces = 64;    // traces the sign of the data is judged on
constexpr int kPerClient = 12;     // connections held at once by one client address
constexpr int kBacklog = 1024;     // connections the system holds before they are accepted
constexpr int kWaiting = 12;       // window requests waiting for the reader
// Bytes of window answers held at once, from reading until sent: a client
// that does not read its answers holds only its own.
constexpr std::int64_t kHeldBytes = std::int64_t{256} << 20;

// The connections accepted wait here for one of a fixed number of threads;
// when kQueue of them wait, the listener stops accepting until one is taken
// (further clients wait in the system's backlog or are refused by it).
class BoundedPool : public httplib::TaskQueue {
public:
  BoundedPool() {
    for (int i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kQueue || stop_; });
    jobs_.push_back(std::move(fn));
    ready_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (std::thread &t : threads_) t.join();
  }

private:
  void work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty() || stop_; });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      fn();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

std::string random_token() {
  std::array<unsigned char, 24> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t r = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) koverr("cannot get random bytes for the token: %s\n", std::strerror(errno));
    got += static_cast<std::size_t>(r);
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char b : bytes) token += {hex[b >> 4], hex[b & 15]};
  return token;
}

// A whole number parameter in [lo, hi], read as text so that no typed
// value can overflow.
int bounded(const char *name, int fallback, int lo, int hi) {
  const auto text = kovtool::text(getch_n, name);
  if (!text) return fallback;
  long long v = 0;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
  if (ec != std::errc() || end != text->data() + text->size() || v < lo || v > hi)
    koverr("%s=%s: give a whole number from %d to %d\n", name, text->c_str(), lo, hi);
  return static_cast<int>(v);
}

bool loopback(const std::string &host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1" || host.starts_with("127.");
}

// What identifies a file: replacing it (a rename over it) or changing it
// changes this.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  std::int64_t mtime = 0;
  bool operator==(const Identity &) const = default;
};
Identity identity(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {st.st_dev, st.st_ino, st.st_size,
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Opens the page with the desktop's opener, when there is one.
void open_browser(const std::string &url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::array<char *, 3> args{const_cast<char *>("xdg-open"), const_cast<char *>(url.c_str()),
                             nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, args.data(), environ) != 0)
    std::fprintf(stderr, "kovview: browser=y: no xdg-open here; open the address yourself\n");
  posix_spawn_file_actions_destroy(&actions);
}

struct Server {
  std::string token, listening;
  std::vector<std::string> names; // the machine's names a Host may give
  // The header and data files as they were when the program started.
  std::vector<std::pair<std::string, Identity>> files;
  nlohmann::json info;
  std::string history;
  kovview::Reader *reader = nullptr;
  kovview::TraceHeaders *headers = nullptr;
  // The newest request seen of each view of a page (client), in a small
  // table: a page that loses its slot to another only has fewer requests
  // dropped.
  struct Latest {
    std::uint32_t client = 0;
    int view = -1;
    std::uint64_t seq = 0;
  };
  std::mutex latest_mutex;
  std::array<Latest, 256> latest{};

  // Whether a newer request of the view than `w` was seen.
  bool superseded(const kovview::WindowRequest &w) {
    if (w.seq == 0) return false;
    std::lock_guard lock(latest_mutex);
    const Latest &slot = latest[(w.client * 31u + static_cast<unsigned>(w.view)) % latest.size()];
    return slot.client == w.client && slot.view == w.view && slot.seq > w.seq;
  }
  // Records request `seq` of the view; false when a newer one was seen.
  bool newest(const kovview::WindowRequest &w) {
    if (w.seq == 0) return true;
    std::lock_guard lock(latest_mutex);
    Latest &slot = latest[(w.client * 31u + static_cast<unsigned>(w.view)) % latest.size()];
    if (slot.client != w.client || slot.view != w.view) slot = {w.client, w.view, 0};
    if (slot.seq > w.seq) return false;
    slot.seq = w.seq;
    return true;
  }
  std::atomic<int> waiting{0};
  std::atomic<std::int64_t> held{0};

  // For the tests (KOVVIEW_HOLD=FILE): the first window read stops before
  // its first column, creates FILE.held and waits until FILE exists or a
  // newer request of its view supersedes it.
  std::string hold;
  std::atomic<bool> hold_taken{false};
  void wait_held(const kovview::WindowRequest &w) {
    std::FILE *mark = std::fopen((hold + ".held").c_str(), "w");
    if (mark != nullptr) std::fclose(mark);
    struct stat st {};
    while (::stat(hold.c_str(), &st) != 0 && !superseded(w))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // Peak overviews made in the pass of a mean asked for with also=peak,
  // kept (a few, small) until the request of the peaks takes them: the
  // first picture of data around zero reads its data once.
  struct Kept {
    kovview::WindowRequest w;
    int rows = 0, cols = 0;
    std::shared_ptr<std::vector<float>> values;
  };
  static constexpr std::size_t kKept = 3;
  static constexpr std::size_t kKeptValues = std::size_t{2} << 20; // floats of one kept window
  std::mutex kept_mutex;
  std::deque<Kept> kept;

  static bool same_window(const kovview::WindowRequest &a, const kovview::WindowRequest &b) {
    return a.down == b.down && a.across == b.across && a.first == b.first && a.count == b.count &&
           a.rows == b.rows && a.cols == b.cols;
  }
  void keep(const kovview::WindowRequest &w, int rows, int cols,
            std::shared_ptr<std::vector<float>> values) {
    if (values->size() > kKeptValues) return;
    std::lock_guard lock(kept_mutex);
    std::erase_if(kept, [&](const Kept &k) { return same_window(k.w, w); });
    if (kept.size() == kKept) kept.pop_front();
    kept.push_back({w, rows, cols, std::move(values)});
  }
  std::shared_ptr<std::vector<float>> take(const kovview::WindowRequest &w, int &rows, int &cols) {
    std::lock_guard lock(kept_mutex);
    for (auto k = kept.begin(); k != kept.end(); ++k)
      if (same_window(k->w, w)) {
        auto values = std::move(k->values);
        rows = k->rows;
        cols = k->cols;
        kept.erase(k);
        return values;
      }
    return nullptr;
  }

  // Whether a file of the dataset was changed or replaced since the start.
  bool changed() const {
    for (const auto &[path, id] : files)
      if (identity(path) != id) return true;
    return false;
  }

  static void error(httplib::Response &res, int status, const std::string &message) {
    res.status = status;
    res.set_content(nlohmann::json{{"error", message}}.dump(
                        -1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
  }

  // The token of a request: the first part of its path (the page's
  // files and requests are all below /<token>/), or a token= parameter.
  bool authorised(const httplib::Request &req) const {
    if (req.has_param("token")) return kovview::same_token(req.get_param_value("token"), token);
    std::string_view path = req.path;
    if (!path.starts_with('/')) return false;
    path.remove_prefix(1);
    const std::size_t slash = path.find('/');
    if (slash == std::string_view::npos) return false;
    return kovview::same_token(path.substr(0, slash), token);
  }

  httplib::Server::HandlerResponse check(const httplib::Request &req, httplib::Response &res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    if (!kovview::host_allowed(req.get_header_value("Host"), listening, names)) {
      error(res, 403, "refused: the Host header does not name this server");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!authorised(req)) {
      error(res, 403, "forbidden: open the address kovview printed, with its token");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void window(const httplib::Request &req, httplib::Response &res) {
    const std::size_t mark = req.target.find('?');
    const std::string_view query = mark == std::string::npos
                                       ? std::string_view{}
                                       : std::string_view(req.target).substr(mark + 1);
    const std::array<std::int64_t, 3> n{info["n"][0].get<std::int64_t>(),
                                        info["n"][1].get<std::int64_t>(),
                                        info["n"][2].get<std::int64_t>()};
    auto parsed = kovview::parse_window(query, n);
    if (auto *message = std::get_if<std::string>(&parsed)) return error(res, 400, *message);
    const kovview::WindowRequest &w = std::get<kovview::WindowRequest>(parsed);
    if (changed()) {
      res.set_header("X-Kov-Changed", "1");
      return error(res, 410, "the dataset changed on disk \u2014 reload");
    }
    // A newer request of the same view makes an older one waiting here
    // useless: it is dropped (409) instead of read.
    newest(w);
    if (waiting.fetch_add(1) >= kWaiting) {
      waiting.fetch_sub(1);
      return error(res, 503, "busy: too many windows asked at once");
    }
    // The answers held at once, from the reading until the last byte is
    // sent, stay within kHeldBytes: beyond, a request is refused at once.
    const std::int64_t bytes = kovview::cells(w.count[static_cast<std::size_t>(w.down)], w.rows) *
                               kovview::cells(w.count[static_cast<std::size_t>(w.across)], w.cols) *
                               4;
    if (held.fetch_add(bytes) + bytes > kHeldBytes) {
      held.fetch_sub(bytes);
      waiting.fetch_sub(1);
      return error(res, 503, "busy: too many windows held at once");
    }
    int rows = 0, cols = 0;
    std::optional<std::string> failed;
    const bool dropped = !newest(w);
    std::shared_ptr<std::vector<float>> values;
    if (!dropped && w.overview == kovview::Overview::Peak) values = take(w, rows, cols);
    // A newer request of the view stops the reading of this one.
    if (!dropped && !values) {
      values = std::make_shared<std::vector<float>>();
      auto peaks = w.also_peak ? std::make_shared<std::vector<float>>() : nullptr;
      auto held_here =
          std::make_shared<std::atomic<bool>>(!hold.empty() && !hold_taken.exchange(true));
      const auto stop = [this, &w, held_here] {
        if (held_here->exchange(false)) wait_held(w);
        return superseded(w);
      };
      failed = reader->read(w, *values, rows, cols, stop, peaks.get());
      if (!failed && peaks && !peaks->empty()) keep(w, rows, cols, std::move(peaks));
    }
    waiting.fetch_sub(1);
    if (failed && superseded(w)) {
      held.fetch_sub(bytes);
      return error(res, 409, "superseded by a newer request of the same view");
    }
    if (dropped || failed || w.json) held.fetch_sub(bytes);
    if (dropped) return error(res, 409, "superseded by a newer request of the same view");
    if (failed) return error(res, 500, *failed);
    res.set_header("X-Kov-Rows", std::to_string(rows));
    res.set_header("X-Kov-Cols", std::to_string(cols));
    if (w.json) {
      nlohmann::json j{{"rows", rows}, {"cols", cols}};
      nlohmann::json &v = j["values"] = nlohmann::json::array();
      for (const float x : *values)
        v.push_back(std::isfinite(x) ? nlohmann::json(x) : nlohmann::json());
      res.set_content(j.dump(), "application/json");
      return;
    }
    // The values as little-endian floats, sent from the vector itself.
    if constexpr (std::endian::native == std::endian::big)
      for (float &x : *values)
        x = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(x)));
    res.set_content_provider(
        values->size() * 4, "application/octet-stream",
        [values](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
          const char *bytes = reinterpret_cast<const char *>(values->data());
          return sink.write(bytes + offset, std::min<std::size_t>(length, 1 << 20));
        },
        [this, values, bytes](bool) { held.fetch_sub(bytes); });
  }
};

std::string_view query_of(const httplib::Request &req) {
  const std::size_t mark = req.target.find('?');
  return mark == std::string::npos ? std::string_view{}
                                   : std::string_view(req.target).substr(mark + 1);
}

std::int64_t traces_of(const nlohmann::json &info) {
  return info["n"][1].get<std::int64_t>() * info["n"][2].get<std::int64_t>();
}

// A page of the trace header table: {"total", "offset", "rows": [[trace,
// value, ...], ...]}, null for the keys of a trace without a header record.
void headers_page(Server &server, const httplib::Request &req, httplib::Response &res) {
  kovview::TraceHeaders &h = *server.headers;
  if (h.keys().empty()) return Server::error(res, 404, "the dataset has no trace headers");
  auto parsed = kovview::parse_headers(query_of(req), traces_of(server.info),
                                       static_cast<int>(h.keys().size()));
  if (auto *message = std::get_if<std::string>(&parsed)) return Server::error(res, 400, *message);
  const kovview::HeaderRequest &r = std::get<kovview::HeaderRequest>(parsed);
  auto got = h.page(r);
  if (auto *message = std::get_if<std::string>(&got)) return Server::error(res, 500, *message);
  const auto &p = std::get<kovview::TraceHeaders::Page>(got);
  const std::size_t nk = h.keys().size();
  std::string body = "{\"total\":" + std::to_string(p.total) +
                     ",\"offset\":" + std::to_string(r.offset) + ",\"rows\":[";
  for (std::size_t i = 0; i < p.traces.size(); ++i) {
    body += (i ? ",[" : "[") + std::to_string(p.traces[i]);
    for (std::size_t k = 0; k < nk; ++k)
      body += "," + (p.present[i] ? h.text(k, p.values[i * nk + k], true) : std::string("null"));
    body += ']';
  }
  body += "]}";
  res.set_content(body, "application/json");
}

// The table of the traces asked for as CSV, sent in pieces as it is read:
// a line of names (trace, i2, i3 and the keys), then one line per trace.
void headers_csv(Server &server, const httplib::Request &req, httplib::Response &res) {
  kovview::TraceHeaders &h = *server.headers;
  if (h.keys().empty()) return Server::error(res, 404, "the dataset has no trace headers");
  auto parsed = kovview::parse_headers(query_of(req), traces_of(server.info),
                                       static_cast<int>(h.keys().size()), true);
  if (auto *message = std::get_if<std::string>(&parsed)) return Server::error(res, 400, *message);
  const kovview::HeaderRequest asked = std::get<kovview::HeaderRequest>(parsed);
  const std::int64_t n2 = server.info["n"][1].get<std::int64_t>();
  // A key name is quoted as CSV quotes a field (its quotes doubled).
  const auto field = [](const std::string &name) {
    std::string out = "\"";
    for (const char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  };
  std::string head = "trace,i2,i3";
  for (const kovview::Key &k : h.keys()) head += "," + field(k.name);
  head += "\n";
  auto done = std::make_shared<std::int64_t>(0);
  res.set_header("Content-Disposition", "attachment; filename=\"trace-headers.csv\"");
  res.set_chunked_content_provider(
      "text/csv; charset=utf-8", [&h, asked, n2, head, done](std::size_t, httplib::DataSink &sink) {
        constexpr std::int64_t rows = 4096;
        const std::int64_t end = std::min<std::int64_t>(asked.offset + asked.limit, asked.count);
        std::string text = *done == 0 ? head : std::string();
        kovview::HeaderRequest r = asked;
        r.offset = asked.offset + *done;
        r.limit = std::min<std::int64_t>(rows, end - r.offset);
        if (r.limit <= 0) {
          if (!text.empty() && !sink.write(text.data(), text.size())) return false;
          sink.done();
          return true;
        }
        auto got = h.page(r);
        // A failure ends the answer short: the client sees no last piece.
        if (std::holds_alternative<std::string>(got)) return false;
        const auto &p = std::get<kovview::TraceHeaders::Page>(got);
        const std::size_t nk = h.keys().size();
        for (std::size_t i = 0; i < p.traces.size(); ++i) {
          const std::int64_t t = p.traces[i];
          text += std::to_string(t) + "," + std::to_string(t % n2) + "," + std::to_string(t / n2);
          for (std::size_t k = 0; k < nk; ++k)
            text += "," + (p.present[i] ? h.text(k, p.values[i * nk + k], false) : std::string());
          text += '\n';
        }
        *done += std::ssize(p.traces);
        return sink.write(text.data(), text.size());
      });
}

void serve_asset(httplib::Response &res, const char *name, const char *type) {
  const std::string_view text = kovview::asset(name);
  res.set_content(std::string(text), type);
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  // Blocks of a window and the answers are large and short-lived: they are
  // mapped and given back whole when freed, not kept in the arenas of the
  // threads that used them, so memory stays bounded however many threads
  // have answered.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  mallopt(M_ARENA_MAX, 2);
  const std::string header = kovtool::start(argc, argv);
  kov_begin_prog();
  const int port = bounded("port", 0, 0, 65535);
  const std::string host = kovtool::text(getch_n, "host").value_or("127.0.0.1");
  const std::string browser = kovtool::text(getch_n, "browser").value_or("n");
  if (browser != "y" && browser != "n" && browser != "yes" && browser != "no")
    koverr("browser=%s: give y or n\n", browser.c_str());

  const kovtool::Description desc = kovtool::describe_input();
  kovtool::require_axes(desc, 3, 1);
  const auto element = kovview::element_of(desc.format, desc.esize);
  if (!element)
    koverr("cannot show data_format=%s esize=%d: give xdr_float, native_float or xdr_int "
           "samples of 4 bytes, or native_byte or xdr_byte samples of 1 byte\n",
           desc.format.c_str(), desc.esize);

  // A piped input is copied once into a scratch file that every view can
  // seek in; the samples are then read as they are stored and decoded here.
  if (kov_tag_is_pipe("in") != 0) make_unpipe("in");
  std::array<char, 1> none{};
  sreed_raw("in", none.data(), 0);
  set_format("in", "native_byte");
  const kov_off_t stored = sseek_l_l("in", 0, SEEK_END);
  if (stored >= 0 && stored < desc.bytes)
    koverr("the data are short: the header declares %lld bytes, only %lld are there\n",
           static_cast<long long>(desc.bytes), static_cast<long long>(stored));

  std::array<std::int64_t, 3> n{1, 1, 1};
  Server server;
  server.info["title"] = header == "standard input" ? "" : header;
  server.info["format"] = desc.format;
  server.info["esize"] = desc.esize;
  server.info["unit"] = kovtool::unit_of_values();
  server.info["axes"] = nlohmann::json::array();
  for (std::size_t k = 0; k < 3; ++k) {
    kovtool::Axis a;
    if (k < desc.axes.size()) a = desc.axes[k];
    n[k] = a.n;
    const std::string i = std::to_string(k + 1);
    server.info["axes"].push_back({{"n", a.n},
                                   {"o", a.o},
                                   {"d", a.d},
                                   {"label", a.label},
                                   {"unit", kovtool::header_text(("unit" + i).c_str())}});
  }
  server.info["n"] = n;
  server.info["limits"] = {{"side", kovview::kMaxSide}, {"pixels", kovview::kMaxPixels}};
  const char *history = nullptr;
  const int length = kov_history("in", &history);
  if (length > 0 && history != nullptr)
    server.history.assign(history, static_cast<std::size_t>(length));
  if (header != "standard input" && kov_tag_is_pipe("in") == 0) {
    server.files.emplace_back(header, identity(header));
    for (const std::string &f : desc.files) server.files.emplace_back(f, identity(f));
  }
  kovview::Reader reader(*element, desc.esize, n);
  // One data file that holds the samples from its first byte is read
  // directly, on every core.
  // KOVVIEW_READ=map stacks whole traces through a mapping of the file
  // instead of copying them out of it (slower on the machines measured:
  // bench/kovview_overview_bench.py).
  const char *how = std::getenv("KOVVIEW_READ");
  const bool map = how != nullptr && std::string_view(how) == "map";
  if (kov_tag_is_pipe("in") == 0 && desc.files.size() == 1)
    reader.read_directly(desc.files[0], map);
  // Data of one sign (velocities, for instance) are not around zero: the
  // page then asks for the mean of its first window without the peaks
  // (a fifth of the reading's processor time).  Judged on a few traces.
  if (const std::optional<bool> both = reader.both_signs_sampled(kSignTraces))
    server.info["one_sign"] = !*both;
  // KOV_SIMD=plain forces the plain stacking loops, avx2 (or avx512: the
  // widest kovview has) the AVX2 ones; unset, the widest the processor
  // has.  Both give the same values.
  if (const char *simd = std::getenv("KOV_SIMD"); simd != nullptr && *simd != '\0') {
    const std::string_view s = simd;
    if (s != "plain" && s != "avx2" && s != "avx512")
      std::fprintf(stderr,
                   "kovview: warning: KOV_SIMD=%s names no path (plain, avx2 or avx512); the "
                   "widest path is taken\n",
                   simd);
    else if (!reader.use(s == "plain" ? kovview::Simd::Plain : kovview::Simd::Avx2))
      std::fprintf(stderr,
                   "kovview: warning: KOV_SIMD=%s: this processor cannot run the avx2 path; "
                   "the plain path is taken\n",
                   simd);
  }
  server.reader = &reader;
  if (const char *hold = std::getenv("KOVVIEW_HOLD"); hold != nullptr) server.hold = hold;
  // The trace headers, when the dataset has them: their keys in the
  // description of the dataset, their values asked for by pages.
  kovview::TraceHeaders headers(reader.library(), n[1] * n[2]);
  server.headers = &headers;
  server.info["keys"] = nlohmann::json::array();
  for (const kovview::Key &k : headers.keys())
    server.info["keys"].push_back({{"name", k.name}, {"type", k.type}, {"fmt", k.fmt}});
  server.info["records"] = headers.records();
  if (!headers.problem().empty()) {
    std::fprintf(stderr, "kovview: warning: %s\n", headers.problem().c_str());
    server.info["headers_problem"] = headers.problem();
  }
  if (!headers.file().empty()) server.files.emplace_back(headers.file(), identity(headers.file()));
  server.token = random_token();

  if (!loopback(host))
    std::fprintf(stderr,
                 "kovview: warning: host=%s listens beyond this machine: anyone who can reach "
                 "this address and learns the token can read the dataset; prefer the default "
                 "127.0.0.1 and an ssh tunnel\n",
                 host.c_str());
  server.listening = host;
  if (!loopback(host)) server.names = kovview::machine_names(host);

  // The signals that end the program are taken by one thread, which stops
  // the server; the others never see them.
  sigset_t ending;
  sigemptyset(&ending);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  kovview::GuardedServer http(kovview::HeadLimits{}, kPerClient);
  http.new_task_queue = [] { return new BoundedPool; };
  // Address reuse for a quick restart, but not the library's default port
  // sharing: a second server on the same port must fail, not take half of
  // the connections.
  http.set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_keep_alive_timeout(2);
  http.set_read_timeout(5);
  http.set_write_timeout(10);
  http.set_stream_timeouts(std::chrono::seconds(5), std::chrono::seconds(10),
                           std::chrono::seconds(2));
  http.set_payload_max_length(4096);
  // Nothing of an exception reaches the answer but a plain message.
  http.set_exception_handler([](const httplib::Request &, httplib::Response &res,
                                std::exception_ptr) { Server::error(res, 500, "internal error"); });
  // Answers go out uncompressed.  The HTTP library compresses a text
  // answer for any browser that accepts it at its slowest setting: 20 to
  // 70 ms of processor time for each of the page's files, taken from the
  // first window's reading, and a trace header table of a million traces
  // exported as CSV in minutes instead of a second.  What it would save is
  // a few kilobytes, most often on a loopback connection.  The library
  // reads the request's Accept-Encoding when it sends the answer, from
  // the request object it made (not a constant), which therefore loses
  // that line here.
  http.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &res) {
    const_cast<httplib::Request &>(req).headers.erase("Accept-Encoding");
    return server.check(req, res);
  });
  // Texts of the header that are not UTF-8 are sent with their invalid
  // bytes replaced; the history as the bytes it holds.
  const std::string info_text =
      server.info.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // The page holds the description, so that its first script asks for the
  // first window at once (first.js).
  auto made = kovview::make_page(kovview::asset("index.html"), info_text,
                                 kovview::asset("first.js"), kovview::asset("kovview.css"));
  if (auto *message = std::get_if<std::string>(&made)) koverr("%s\n", message->c_str());
  const kovview::Page page = std::get<kovview::Page>(std::move(made));
  // Every path of the page starts with its token: /<token>/, the page's
  // files and its requests (relative addresses) below it.
  http.Get("/[^/]+/", [&](const httplib::Request &, httplib::Response &res) {
    res.set_header("Content-Security-Policy", page.policy);
    res.set_content(page.html, "text/html; charset=utf-8");
  });
  http.Get("/[^/]+/([a-z_]+\\.(js|css))", [](const httplib::Request &req, httplib::Response &res) {
    const std::string name = req.matches[1];
    if (kovview::asset(name).empty()) return Server::error(res, 404, "no such file");
    serve_asset(res, name.c_str(),
                name.ends_with(".js") ? "text/javascript; charset=utf-8"
                                      : "text/css; charset=utf-8");
  });
  const auto api = [&](const char *name, httplib::Server::Handler handler) {
    http.Get(std::string("/[^/]+/api/") + name, handler);
    http.Get(std::string("/api/") + name, handler);
  };
  api("info", [&](const httplib::Request &, httplib::Response &res) {
    res.set_content(info_text, "application/json");
  });
  api("history", [&](const httplib::Request &, httplib::Response &res) {
    res.set_content(server.history, "application/octet-stream");
  });
  api("headers",
      [&](const httplib::Request &req, httplib::Response &res) { headers_page(server, req, res); });
  api("headers\\.csv",
      [&](const httplib::Request &req, httplib::Response &res) { headers_csv(server, req, res); });
  api("window",
      [&](const httplib::Request &req, httplib::Response &res) { server.window(req, res); });

  int bound = port;
  if (port == 0)
    bound = http.bind_to_any_port(host);
  else if (!http.bind_to_port(host, port))
    bound = -1;
  if (bound <= 0)
    koverr("cannot listen on %s port %d: %s\n", host.c_str(), port,
           errno != 0 ? std::strerror(errno) : "in use or not an address of this machine");
  if (!http.set_backlog(kBacklog))
    std::fprintf(stderr, "kovview: warning: the listen backlog stays at the library's\n");
  const std::string shown_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  const std::string url =
      "http://" + shown_host + ":" + std::to_string(bound) + "/" + server.token + "/";
  std::printf("kovview: open %s\n", url.c_str());
  std::fflush(stdout);
  if (browser == "y" || browser == "yes") open_browser(url);

  std::thread stopper([&] {
    int sig = 0;
    sigwait(&ending, &sig);
    http.stop();
  });
  http.listen_after_bind();
  // When the server ended by itself (not by a signal), wake the stopper.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  kov_end_prog();
  return 0;
}
