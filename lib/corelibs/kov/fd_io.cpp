// SPDX-License-Identifier: Apache-2.0
// Descriptor back end: the data of a tag in one file, moved by system reads
// and writes; sizes and status of open files.
#include "backends.h"
#include "kovlib_internal.h"
#include "outputs.h"
#include "streaminf.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using kov::detail::expanded;
using kov::detail::refuse_name;

using kov::detail::FdState;

// Largest single system read.
constexpr long kChunk = 1L << 30;

std::string data_name(const streaminf *r) { return r->dataname.value_or(""); }

[[noreturn]] void invalid_dataset(const streaminf *r) {
  koverr("Invalid dataset \"%s\" for tag \"%s\"\n", data_name(r).c_str(), r->tagname.c_str());
}

int open_rw_created(const std::string &name) {
  return ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

FdState *state_of(void *ioinf) { return static_cast<FdState *>(ioinf); }

} // namespace

namespace kov::detail {

void cannot_create_data_file(const streaminf *r, const std::string &path) {
  const int error = errno;
  // The way out names what chose the file.
  std::string way_out = "set datapath= or DATAPATH to a directory you can write";
  const std::string param = r->tagname == "out" ? "out" : r->tagname + ".out";
  if (getch_string(param.c_str())) way_out = "set " + param + "= to a file you can write";
  koverr("cannot create the data file %s: %s (%s)\n", path.c_str(), std::strerror(error),
         way_out.c_str());
}

} // namespace kov::detail

namespace {

int fd_open(streaminf *r, void **ioinf) {
  // Data written so far by this process may be what is opened now.
  kov::detail::drain_all_gathers();
  auto state = std::make_unique<FdState>(r);
  const std::string name = data_name(r);
  int fd = -1;
  const char *mode = "r";
  switch (r->entrytype) {
  case STREAMIN: {
    refuse_name(r, name, "follow_hdr", "stdin");
    const std::string path = expanded(name, r);
    if (path == "-1") {
      // A dataset without data: nothing is opened, reading it is refused.
      kov::detail::install_state(ioinf, std::move(state));
      return 0;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      kov::detail::syserr("fd_open");
      kov::detail::note(kov::detail::format("unable to obtain input file \"%s\" for tag \"%s\"\n",
                                            path.c_str(), r->tagname.c_str()));
    }
    break;
  }
  case STREAMOUT:
  case STREAMSOCKOUT:
    refuse_name(r, name, "follow_hdr", "stdout");
    {
      const std::string path = expanded(name, nullptr);
      fd = -2;
      if (r->tagname == "out" && r->entrytype == STREAMOUT) {
        // Put in place when the program ends successfully.
        std::string temp;
        fd = kov::detail::create_pending(path, kov::detail::Commit::AtEnd, temp);
      }
      if (fd == -2) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      mode = "w";
      if (fd < 0) kov::detail::cannot_create_data_file(r, path);
      break;
    }
  case STREAMINOUT:
  case STREAMSCR: {
    const std::string path = expanded(name, r->entrytype == STREAMINOUT ? r : nullptr);
    // An existing in/out dataset keeps its data; otherwise it starts empty.
    if (r->entrytype == STREAMINOUT && r->headerbuf) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) fd = open_rw_created(path);
    mode = "r+";
    if (fd < 0) {
      kov::detail::syserr("fd_open");
      kov::detail::note(kov::detail::format("unable to open input/output datafile %s for tag %s \n",
                                            name.c_str(), r->tagname.c_str()));
    }
    break;
  }
  }
  if (fd < 0) {
    std::fflush(stderr);
    r->valid = 0;
    return -1;
  }
  state->file = kov::detail::OpenFile(fd);
  if (fdordinary(fd)) r->backseekable = 1;
  r->streamfd = fd;
  // Scratch datasets get a read-write stream too, so that auxscr and auxtmp
  // hand out a usable stream.
  r->streamfile = state->file.attach_stream(mode);
  kov::detail::install_state(ioinf, std::move(state));
  return 0;
}

int fd_close(streaminf *r, void *ioinf) {
  if (ioinf == nullptr) return 0;
  std::unique_ptr<FdState> state = kov::detail::reclaim_state<FdState>(r, ioinf);
  state->pending.drain();
  if (r != nullptr && state->file.is_open()) {
    if (r->streamfile == state->file.stream()) r->streamfile = nullptr;
    if (r->streamfd == state->file.fd()) r->streamfd = -1;
  }
  if (!state->file.reset()) {
    kov::detail::syserr("fd_close");
    return -1;
  }
  return 0;
}

long fd_read(streaminf *r, void *ioinf, char *buffer, long nbytes) {
  FdState *state = state_of(ioinf);
  if (state == nullptr || !state->file.is_open()) invalid_dataset(r);
  state->pending.drain();
  // An input file is read at this record's own position: a descriptor
  // shared with forked processes has one offset for them all.
  const bool positioned = r->entrytype == STREAMIN && r->backseekable != 0;
  long total = 0;
  while (total < nbytes) {
    const auto want = static_cast<size_t>(std::min(kChunk, nbytes - total));
    const ssize_t n =
        positioned
            ? ::pread(state->file.fd(), buffer + total, want,
                      static_cast<off_t>(state->curpos + static_cast<unsigned long long>(total)))
            : ::read(state->file.fd(), buffer + total, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      kov::detail::syserr("fd_read()");
      koverr("fd_read() : I/O error reading %s, tag \"%s\"\n", kov::detail::data_file_of(r).c_str(),
             r->tagname.c_str());
    }
    if (n == 0) break; // end of the data
    total += n;
  }
  state->curpos += static_cast<unsigned long long>(total);
  return total;
}

// Hand gathered bytes to the system; any failure is fatal, a full device
// or an exceeded quota included: never a silent short write.
void write_all(const streaminf *r, int fd, std::span<const char> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      kov::detail::syserr("info_rite()");
      koverr("info_rite() : I/O error writing %s, tag \"%s\"\n",
             kov::detail::data_file_of(r).c_str(), r->tagname.c_str());
    }
    done += static_cast<std::size_t>(n);
  }
}

long fd_write(streaminf *r, void *ioinf, const char *buffer, long nbytes) {
  return kov::detail::fd_write_filled(r, ioinf, buffer, nbytes, nullptr);
}

kov_off_t fd_seek(streaminf *, void *ioinf, kov_off_t offset, int whence) {
  FdState *state = state_of(ioinf);
  if (state == nullptr) return -1;
  state->pending.drain();
  int how = SEEK_SET;
  switch (whence) {
  case 0:
    how = SEEK_SET;
    break;
  case 1:
    // From this record's own position (the descriptor's may be another
    // process's).
    how = SEEK_SET;
    offset += static_cast<kov_off_t>(state->curpos);
    break;
  case 2:
    how = SEEK_END;
    break;
  default:
    std::fprintf(stderr, "unknown seek type requested\n");
    std::fflush(stderr);
    return static_cast<kov_off_t>(state->curpos);
  }
  const off_t pos = ::lseek(state->file.fd(), static_cast<off_t>(offset), how);
  if (pos < 0) {
    kov::detail::syserr("fd_seek");
    return -1;
  }
  // The system's answer is the position for every whence, end-relative
  // seeks included.
  state->curpos = static_cast<unsigned long long>(pos);
  return static_cast<kov_off_t>(pos);
}

kov_file_size_t fd_size(streaminf *r, void *ioinf) {
  FdState *state = state_of(ioinf);
  if (state == nullptr || !state->file.is_open()) invalid_dataset(r);
  state->pending.drain();
  return fsize(state->file.fd());
}

} // namespace

kov::detail::FdState::FdState(const streaminf *record)
    : pending(record, [this, record](std::span<const char> bytes) {
        write_all(record, file.fd(), bytes);
      }) {}

extern "C" void init_fd_io(streaminf *r) {
  if (r == nullptr) kov::detail::assertion("init_fd_io", "null record");
  r->open_func = fd_open;
  r->close_func = fd_close;
  r->read_func = fd_read;
  r->write_func = fd_write;
  r->seek_func = fd_seek;
  r->size_func = fd_size;
}

extern "C" kov_file_size_t fsize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<kov_file_size_t>(st.st_size);
}

extern "C" int redin(void) { return ::isatty(STDIN_FILENO) ? 0 : 1; }

namespace kov::detail {

bool writes_to_descriptor(const streaminf *r) { return r->write_func == fd_write; }

long fd_write_filled(streaminf *r, void *ioinf, const char *buffer, long nbytes,
                     Gather::Fill fill) {
  FdState *state = state_of(ioinf);
  if (state == nullptr || !state->file.is_open()) invalid_dataset(r);
  if (nbytes <= 0) return 0;
  state->pending.add(std::span(buffer, static_cast<std::size_t>(nbytes)), fill);
  state->curpos += static_cast<unsigned long long>(nbytes);
  return nbytes;
}

bool stream_open(std::FILE *stream) {
  if (stream == nullptr) return false;
  const int fd = ::fileno(stream);
  struct stat st;
  return fd >= 0 && ::fstat(fd, &st) == 0;
}

} // namespace kov::detail

namespace kov::detail {

std::string expanded(const std::string &name, streaminf *record) {
  char *text = expand_info(name.c_str(), record);
  std::string result = text != nullptr ? text : "";
  std::free(text);
  return result;
}

void refuse_name(const streaminf *r, const std::string &name, const char *a, const char *b) {
  if (name == a || name == b)
    koverr("%s is invalid for file descriptor I/O for tag \"%s\"\n", name.c_str(),
           r->tagname.c_str());
}

} // namespace kov::detail

namespace kov::detail {

namespace {

// The gathers alive, for the drain at exit.
Gather *gathers = nullptr;

void drain_at_exit() { drain_all_gathers(); }

} // namespace

Gather::Gather(const streaminf *owner, Sink sink) : owner_(owner), sink_(std::move(sink)) {
  static const bool registered = std::atexit(drain_at_exit) == 0;
  (void)registered;
  next_ = gathers;
  if (gathers != nullptr) gathers->prev_ = this;
  gathers = this;
}

Gather::~Gather() {
  if (prev_ != nullptr) prev_->next_ = next_;
  if (next_ != nullptr) next_->prev_ = prev_;
  if (gathers == this) gathers = next_;
}

void Gather::add(std::span<const char> bytes, Fill fill) {
  if (used_ + bytes.size() > kBytes) drain();
  if (bytes.size() >= kBytes) {
    if (fill != nullptr) assertion("Gather::add", "too many bytes to fill at once");
    // Large enough to go as it is.
    sink_(bytes);
    return;
  }
  if (!held_) held_ = PageBlock(kBytes);
  if (fill != nullptr)
    fill(held_.data() + used_, bytes.data(), bytes.size());
  else
    std::memcpy(held_.data() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
}

void Gather::drain() {
  if (used_ == 0 || draining_) return;
  draining_ = true;
  sink_(std::span<const char>(held_.data(), used_));
  used_ = 0;
  draining_ = false;
}

void drain_all_gathers() {
  for (Gather *g = gathers; g != nullptr; g = g->next_) g->drain();
}

void drain_pending(const streaminf *record) {
  for (Gather *g = gathers; g != nullptr; g = g->next_)
    if (g->owner_ == record) g->drain();
}

} // namespace kov::detail

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(fsize)
KOV_PUBLIC_NAME(init_fd_io)
KOV_PUBLIC_NAME(redin)
