// SPDX-License-Identifier: Apache-2.0
// _kov: the library's calls for the Python package kov.
//
// The library is single-threaded and process-wide.  Every call here holds
// one lock while it runs the library; the interpreter lock is released only
// around calls that move data (the buffers stay referenced by the caller).
// Nothing the library does may end the interpreter: its fatal errors, and
// any exit it takes past them, become a C++ exception that reaches Python as
// _kov.Error(errno, message, name).  Its warnings, and the system's reasons
// it gives for failed calls, are collected until the package takes them.
#include <kov/kovlib.h>

#include "url_io.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace py = pybind11;

namespace {

struct LibraryError : std::runtime_error {
  LibraryError(const std::string &text, int code, std::string about = {})
      : std::runtime_error(text), error(code), name(std::move(about)) {}
  int error;        // errno of the system call that failed, or 0
  std::string name; // the URL whose request failed, or empty
};

// A header whose text the library refuses (a token longer than its scanner
// takes, a header beyond its size limit): ValueError in Python.
struct BadHeader : LibraryError {
  using LibraryError::LibraryError;
};

bool refuses_text(const LibraryError &e) {
  const std::string_view text = e.what();
  return e.error == 0 && (text.starts_with("token too long in ") ||
                          text.find(" is longer than the limit of ") != std::string_view::npos);
}

// Replaced in a forked child: another thread of the parent may have held it.
std::recursive_mutex *library_lock = new std::recursive_mutex;
thread_local int depth = 0;        // library calls running on this thread
std::vector<std::string> warnings; // collected until the package takes them
int system_error = 0;              // errno of the last reason the system gave

// A failed request names its URL and the kind of failure as an errno.
[[noreturn]] void on_fatal(const char *message, void *) {
  kov::detail::UrlFailure failure = kov::detail::take_url_failure();
  if (failure.code != 0) throw LibraryError(message, failure.code, std::move(failure.url));
  throw LibraryError(message, system_error);
}

// A system error's reason ends with the text of errno, still set here.
void on_warning(const char *message, void *) {
  const int saved = errno;
  std::string text = message;
  const std::string reason = std::string(": ") + std::strerror(saved) + "\n";
  if (saved != 0 && text.size() >= reason.size() &&
      text.compare(text.size() - reason.size(), reason.size(), reason) == 0)
    system_error = saved;
  warnings.push_back(std::move(text));
  errno = saved;
}

// Run `f` under the library lock.
template <class F> auto locked(F &&f) {
  std::lock_guard<std::recursive_mutex> guard(*library_lock);
  if (depth == 0) system_error = 0;
  ++depth;
  struct Leave {
    ~Leave() { --depth; }
  } leave;
  return f();
}

// The same without the interpreter lock, for calls that move data.
template <class F> auto unlocked(F &&f) {
  py::gil_scoped_release nogil;
  return locked(std::forward<F>(f));
}

[[noreturn]] void fail(const std::string &text, int code = 0) {
  throw LibraryError(text, code != 0 ? code : system_error);
}

py::list take_warnings() {
  std::lock_guard<std::recursive_mutex> guard(*library_lock);
  py::list out;
  for (const std::string &w : warnings) out.append(py::str(w));
  warnings.clear();
  return out;
}

void after_fork_in_child() {
  library_lock = new std::recursive_mutex; // the parent's may be held: left alone
  depth = 0;
}

std::vector<std::string> arguments;
std::vector<char *> argv;

void init(const std::string &program) {
  locked([&] {
    if (kovxargv != nullptr) return;
    arguments = {program};
    argv = {arguments[0].data(), nullptr};
    kov_set_fatal_handler(on_fatal, nullptr);
    kov_set_warning_handler(on_warning, nullptr);
    // Objects on a store appear when the package puts its dataset in place,
    // never because the interpreter ended.
    kov::detail::set_url_outputs_explicit(true);
    initpar(1, argv.data());
  });
}

// The command-line value of `name`, or nothing.
std::optional<std::string> command_line(const std::string &name) {
  std::vector<char> value(8192);
  const int held = getch_n(name.c_str(), "s", value.data(), value.size());
  if (held == 0) return std::nullopt;
  return std::string(value.data());
}

// Give the command-line parameter `name` the value (empty: as if absent).
// Nothing is stored when it holds that value already: the command-line
// store keeps every value given for the life of the process.
void set_param(const std::string &name, const std::string &value) {
  locked([&] {
    const auto now = command_line(name);
    if (now.value_or("") == value) return;
    const std::string word = name + "=" + value;
    getch_add_string(word.c_str());
  });
}

// Open an input tag: true when its history could be read.  Without the
// interpreter lock: a header behind a URL takes a request.
bool open_input(const std::string &tag) {
  return unlocked([&] {
    try {
      tag_info(tag.c_str(), TAG_IN);
      return kov_history(tag.c_str(), nullptr) >= 0;
    } catch (const LibraryError &e) {
      if (refuses_text(e)) throw BadHeader(e.what(), 0);
      throw;
    }
  });
}

void close_tag(const std::string &tag) {
  locked([&] { auxclose(tag.c_str()); });
}

py::bytes history(const std::string &tag) {
  return locked([&] {
    const char *text = nullptr;
    const int len = kov_history(tag.c_str(), &text);
    return len < 0 ? py::bytes() : py::bytes(text, static_cast<std::size_t>(len));
  });
}

// A parameter of the tag's history through the library's lookup: code "s"
// gives the text, "d" integers, "g" doubles, "1" flags; None when absent.
py::object param(const std::string &tag, const std::string &name, const std::string &code) {
  return locked([&]() -> py::object {
    const char *t = tag.c_str();
    if (code == "s") {
      // A text longer than a history line (a hand-written header) is read whole.
      std::vector<char> value(KOV_LINE_MAX + 1);
      // The lookup cuts a text at its room: one that fills it is read again
      // with twice the room.
      for (;;) {
        if (auxpar_n(name.c_str(), "s", value.data(), value.size(), t) == 0) return py::none();
        if (std::strlen(value.data()) + 1 < value.size()) return py::str(value.data());
        value.assign(2 * value.size(), '\0');
      }
    }
    if (code != "d" && code != "g" && code != "1")
      throw std::invalid_argument("unknown conversion code " + code);
    std::size_t room = 16;
    for (;;) {
      std::vector<double> doubles(code == "g" ? room : 0);
      std::vector<int> ints(code == "g" ? 0 : room);
      void *dest = code == "g" ? static_cast<void *>(doubles.data()) : ints.data();
      const int held = auxpar_n(name.c_str(), code.c_str(), dest, room, t);
      if (held == 0) return py::none();
      if (static_cast<std::size_t>(held) > room) {
        room = static_cast<std::size_t>(held);
        continue;
      }
      py::list values;
      for (int i = 0; i < held; ++i) {
        if (code == "g")
          values.append(doubles[i]);
        else if (code == "1")
          values.append(ints[i] != 0);
        else
          values.append(ints[i]);
      }
      return values;
    }
  });
}

// Every parameter of the tag's history, in the order given: (name, value).
py::list params(const std::string &tag) {
  return locked([&] {
    std::vector<std::pair<std::string, std::optional<std::string>>> found;
    kov_history_params(
        tag.c_str(),
        [](const char *name, int nlen, const char *value, int vlen, void *data) {
          auto *list = static_cast<decltype(found) *>(data);
          std::optional<std::string> v;
          if (value != nullptr) v = std::string(value, static_cast<std::size_t>(vlen));
          list->emplace_back(std::string(name, static_cast<std::size_t>(nlen)), std::move(v));
        },
        &found);
    py::list out;
    for (auto &[name, value] : found)
      out.append(
          py::make_tuple(py::bytes(name), value ? py::object(py::bytes(*value)) : py::none()));
    return out;
  });
}

// The axes of the tag's history, through the library's one reading of them:
// a list of (n, o, d, label, unit), axis 1 first; ValueError with the reason.
py::list axes(const std::string &tag) {
  return locked([&] {
    std::vector<kov_axis> found(KOV_MAX_AXES);
    std::vector<char> why(1024, '\0');
    const int count =
        kov_header_axes(tag.c_str(), KOV_MAX_AXES, found.data(), why.data(), why.size());
    if (count < 0) throw py::value_error(why.data());
    py::list out;
    for (int i = 0; i < count; ++i) {
      const kov_axis &a = found[static_cast<std::size_t>(i)];
      out.append(py::make_tuple(a.n, a.o, a.d, py::str(a.label), py::str(a.unit)));
    }
    return out;
  });
}

py::object format(const std::string &tag) {
  return locked([&]() -> py::object {
    std::unique_ptr<char, decltype(&std::free)> name(get_format(tag.c_str()), &std::free);
    if (!name) return py::none();
    return py::str(name.get());
  });
}

// A writable or readable view of a caller's buffer as bytes.
struct Bytes {
  char *data;
  std::size_t size;
};

Bytes bytes_of(const py::buffer &buffer, bool writable) {
  py::buffer_info info = buffer.request(writable);
  if (!PyBuffer_IsContiguous(info.view(), 'C'))
    throw std::invalid_argument("the buffer must be contiguous");
  return {static_cast<char *>(info.ptr), static_cast<std::size_t>(info.size * info.itemsize)};
}

constexpr std::size_t kMaxTransfer = std::size_t{1} << 30; // a multiple of every element size

// Read up to `nbytes` bytes of the tag's data from its current position into
// the buffer; the count read (short at the end of the data).
std::size_t read_data(const std::string &tag, py::buffer buffer, std::size_t nbytes) {
  const Bytes to = bytes_of(buffer, true);
  if (nbytes > to.size) throw std::invalid_argument("the buffer is too small");
  return unlocked([&] {
    std::size_t total = 0;
    while (total < nbytes) {
      const int want = static_cast<int>(std::min(nbytes - total, kMaxTransfer));
      const int got = sreed(tag.c_str(), to.data + total, want);
      if (got <= 0) break;
      total += static_cast<std::size_t>(got);
      if (got < want) break;
    }
    return total;
  });
}

// Write `nbytes` bytes of the buffer to the tag's data at its position.
void write_data(const std::string &tag, py::buffer buffer, std::size_t nbytes) {
  const Bytes from = bytes_of(buffer, false);
  if (nbytes > from.size) throw std::invalid_argument("the buffer is too small");
  unlocked([&] {
    std::size_t total = 0;
    while (total < nbytes) {
      const int want = static_cast<int>(std::min(nbytes - total, kMaxTransfer));
      const int put = srite(tag.c_str(), from.data + total, want);
      // The reason is the one the library gave (errno may be stale here).
      if (put != want) fail("srite(): short write to tag " + tag);
      total += static_cast<std::size_t>(put);
    }
  });
}

// The windowed engine: mode -1 reads the window into the buffer, 1 writes it.
void window(int mode, const std::string &tag, const std::vector<int> &n_cube,
            const std::vector<int> &n_wind, const std::vector<int> &f_wind,
            const std::vector<int> &j_wind, int esize, py::buffer buffer) {
  const std::size_t ndim = n_cube.size();
  if (n_wind.size() != ndim || f_wind.size() != ndim || j_wind.size() != ndim || ndim == 0)
    throw std::invalid_argument("window and cube differ in their number of axes");
  std::size_t want = static_cast<std::size_t>(esize);
  for (int n : n_wind) want *= static_cast<std::size_t>(std::max(n, 0));
  const Bytes values = bytes_of(buffer, mode < 0);
  if (values.size < want) throw std::invalid_argument("the buffer is too small for the window");
  unlocked([&] {
    const int nd = static_cast<int>(ndim);
    (void)kov::detail::take_url_failure();
    const int status = kov_window(mode, tag.c_str(), &nd, n_cube.data(), n_wind.data(),
                                  f_wind.data(), j_wind.data(), esize, values.data);
    // A short read or seek returns here: the reason is the one the library
    // gave, if any (errno may be stale), and the URL and kind of a refusal
    // of a store.
    if (status != 0) {
      kov::detail::UrlFailure request = kov::detail::take_url_failure();
      if (request.code != 0)
        throw LibraryError("kov_window(): failed for tag " + tag, request.code,
                           std::move(request.url));
      fail("kov_window(): failed for tag " + tag);
    }
  });
}

long long seek(const std::string &tag, long long offset, int whence) {
  return locked([&] {
    const kov_off_t at = sseek_l_l(tag.c_str(), offset, whence);
    if (at < 0) fail("sseek(): cannot position tag " + tag);
    return static_cast<long long>(at);
  });
}

// Create an output tag and open its data: false when it cannot be made.
bool open_output(const std::string &tag) {
  return locked([&] {
    if (auxout(tag.c_str()) != nullptr) return true;
    // Data going up to a store have no stream of their own.
    const streaminf *r = tag_info(tag.c_str(), TAG_INQUIRE);
    return r != nullptr && r->valid != 0 && r->iotype == URL_IO;
  });
}

// Open a read-write tag with its data: false when it cannot be opened.
bool open_inout(const std::string &tag) {
  return locked([&] { return auxinout(tag.c_str()) != nullptr; });
}

void copy_history_to(const std::string &from, const std::string &to) {
  locked([&] { copy_history(from.c_str(), to.c_str()); });
}

void put_text(const std::string &tag, const std::string &name, const std::string &value) {
  locked([&] { auxputch(name.c_str(), "s", value.c_str(), tag.c_str()); });
}

void put_int(const std::string &tag, const std::string &name, int value) {
  locked([&] { auxputch(name.c_str(), "d", &value, tag.c_str()); });
}

void put_double(const std::string &tag, const std::string &name, double value) {
  locked([&] { auxputch(name.c_str(), "g", &value, tag.c_str()); });
}

void close_header(const std::string &tag) {
  locked([&] { auxhclose(tag.c_str()); });
}

void set_tag_format(const std::string &tag, const std::string &name) {
  locked([&] { set_format(tag.c_str(), name.c_str()); });
}

std::string current_datapath() {
  return locked([&] {
    std::vector<char> buffer(4096 + 1, '\0');
    datapath(buffer.data());
    return std::string(buffer.data());
  });
}

std::string data_names(const std::string &path, const std::string &base) {
  return locked([&] {
    std::unique_ptr<char, decltype(&std::free)> names(makenames(path.c_str(), base.c_str(), 0),
                                                      &std::free);
    return std::string(names ? names.get() : "");
  });
}

// The credentials of the URLs of a tag (None: those of the environment):
// a dict of texts with the keys "profile", "key", "secret", "token",
// "region", "endpoint_url", and "anon" (unsigned requests when true).
void set_credentials(const std::string &tag, const py::object &given) {
  std::optional<kov::detail::UrlCredentials> credentials;
  if (!given.is_none()) {
    const py::dict d = given.cast<py::dict>();
    auto text = [&](const char *key) {
      return d.contains(key) ? d[key].cast<std::string>() : std::string();
    };
    credentials.emplace();
    credentials->profile = text("profile");
    credentials->key_id = text("key");
    credentials->secret = text("secret");
    credentials->token = text("token");
    credentials->region = text("region");
    credentials->endpoint = text("endpoint_url");
    credentials->anonymous = d.contains("anon") && d["anon"].cast<bool>();
  }
  locked([&] { kov::detail::set_url_credentials(tag, std::move(credentials)); });
}

std::string expand(const std::string &name, const std::string &tag) {
  return locked([&] {
    std::unique_ptr<char, decltype(&std::free)> full(expandnm(name.c_str(), tag.c_str()),
                                                     &std::free);
    return std::string(full ? full.get() : name.c_str());
  });
}

} // namespace

// The library is linked with its calls to exit routed here: inside a library
// call, an exit is the call's failure, never the end of the interpreter.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (depth > 0) {
    std::fflush(stderr);
    std::string text = "the library stopped with status " + std::to_string(status);
    if (!warnings.empty()) text = warnings.back() + text;
    throw LibraryError(text, 0);
  }
  __real_exit(status);
}

// Make the object of an output on a store appear (its data or its header).
void commit_url(const std::string &url) {
  unlocked([&] {
    (void)kov::detail::take_url_failure();
    if (const auto failure = kov::detail::commit_url_output(url)) {
      kov::detail::UrlFailure request = kov::detail::take_url_failure();
      if (request.code != 0) throw LibraryError(*failure, request.code, std::move(request.url));
      fail(*failure);
    }
  });
}

// Abort an output on a store, or remove its object once committed.
void discard_url(const std::string &url) {
  unlocked([&] { kov::detail::discard_url_output(url); });
}

PYBIND11_MODULE(_kov, m) {
  m.doc() = "The kov dataset library's calls (use the package kov)";
  static py::exception<LibraryError> error(m, "Error", PyExc_Exception);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const BadHeader &e) {
      // The package's KovValueError (a KovError too) when it is loaded.
      std::string text = e.what();
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      py::object kind = py::reinterpret_borrow<py::object>(PyExc_ValueError);
      const py::dict modules = py::module_::import("sys").attr("modules");
      if (modules.contains("kov") && py::hasattr(modules["kov"], "KovValueError"))
        kind = modules["kov"].attr("KovValueError");
      PyErr_SetString(kind.ptr(), text.c_str());
    } catch (const LibraryError &e) {
      std::string text = e.what();
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      py::object name = py::none();
      if (!e.name.empty()) name = py::str(e.name);
      PyErr_SetObject(error.ptr(), py::make_tuple(e.error, text, name).ptr());
    }
  });
  m.def("take_warnings", &take_warnings);
  m.def("after_fork_in_child", &after_fork_in_child);
  m.def("init", &init);
  m.def("set_param", &set_param);
  m.def("open_input", &open_input);
  m.def("close", &close_tag);
  m.def("history", &history);
  m.def("param", &param);
  m.def("params", &params);
  m.def("axes", &axes);
  m.def("format", &format);
  m.def("read", &read_data);
  m.def("write", &write_data);
  m.def("window", &window);
  m.def("seek", &seek);
  m.def("open_output", &open_output);
  m.def("open_inout", &open_inout);
  m.def("copy_history", &copy_history_to);
  m.def("put_text", &put_text);
  m.def("put_int", &put_int);
  m.def("put_double", &put_double);
  m.def("close_header", &close_header);
  m.def("set_format", &set_tag_format);
  m.def("datapath", &current_datapath);
  m.def("makenames", &data_names);
  m.def("expand", &expand);
  m.def("set_credentials", &set_credentials);
  m.def("commit_url", &commit_url);
  m.def("discard_url", &discard_url);
}
