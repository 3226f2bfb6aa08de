// SPDX-License-Identifier: Apache-2.0
// Buffered-stream back end: data that share a stream with their header or
// travel over the standard streams, with forward seeks emulated on streams
// that cannot be positioned.
#include "backends.h"
#include "kovlib_internal.h"
#include "streaminf.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using kov::detail::file_info;

constexpr long kDiscardPiece = 8192;

using Clock = std::chrono::steady_clock;

// Pipes and sockets (see end_of_write): write calls that begin less than
// kQuickGap after the previous one ended are quick; bytes they leave wait
// at most kHoldLimit while quick calls go on.
constexpr auto kQuickGap = std::chrono::microseconds(200);
constexpr auto kHoldLimit = std::chrono::milliseconds(2);

// Where the bytes skipped by emulated seeks go; shared by all tags.
char discard_buffer[kDiscardPiece];

file_info *state_of(void *ioinf) { return static_cast<file_info *>(ioinf); }

bool is_standard(std::FILE *f) { return f == stdin || f == stdout || f == stderr; }

[[noreturn]] void invalid_dataset(const streaminf *r) {
  koverr("Invalid dataset \"%s\" for tag \"%s\"\n", r->dataname.value_or("").c_str(),
         r->tagname.c_str());
}

file_info &open_state(streaminf *r, void *ioinf) {
  file_info *state = state_of(ioinf);
  if (state == nullptr || state->file == nullptr) invalid_dataset(r);
  state->pending.drain();
  return *state;
}

bool to_pipe(const streaminf *r) { return r->isapipe && !r->backseekable; }

// An output sharing its header stream: the data begin where the header
// text ends.  Whatever the first data operation (a write, a seek, a position
// query), the header is made ready first, so that its last lines and its
// end mark lie before the first data byte.
void settle_offset(streaminf *r, file_info &state) {
  if (!state.offset_pending) return;
  if (!r->ready_out) kovstr_ready_out(r);
  state.offset_pending = false;
  const off_t here = ::ftello(state.file);
  if (here >= 0) state.seekoffset = static_cast<long long>(here);
}

// The scratch (or in/out) data file of a stream record.
std::FILE *open_data_file(streaminf *r) {
  char *text = expand_info(r->dataname.value_or("").c_str(), r);
  const std::string path = text != nullptr ? text : "";
  std::free(text);
  std::FILE *f = nullptr;
  if (r->entrytype == STREAMINOUT && r->headerbuf) f = std::fopen(path.c_str(), "r+e");
  if (f == nullptr) f = std::fopen(path.c_str(), "w+e");
  if (f == nullptr) {
    kov::detail::syserr("file_open");
    if (r->entrytype == STREAMSCR)
      koverr("unable to open scratch datafile %s for tag %s \n", path.c_str(), r->tagname.c_str());
    koverr("unable to open input/output datafile %s for tag %s \n", path.c_str(),
           r->tagname.c_str());
  }
  return f;
}

int file_open(streaminf *r, void **ioinf) {
  // Data written so far by this process may be what is opened now.
  kov::detail::drain_all_gathers();
  auto state = std::make_unique<file_info>(r);
  const std::string name = r->dataname.value_or("");
  switch (r->entrytype) {
  case STREAMIN:
    // The data follow the header in its stream: take the stream over.
    state->file = r->headfile;
    if (state->file == nullptr && name == "stdin") state->file = stdin;
    r->headfile = nullptr;
    state->owned = true;
    if (state->file != nullptr) r->isapipe = isapipe(::fileno(state->file));
    break;
  case STREAMSOCKOUT:
    state->file = r->headfile;
    break;
  case STREAMOUT:
    if (name == "stdout") {
      state->file = stdout;
      r->isapipe = isapipe(STDOUT_FILENO);
    } else if (name == "follow_hdr") {
      state->file = r->headfile;
      state->offset_pending = true;
    }
    break;
  case STREAMINOUT:
  case STREAMSCR:
    state->file = open_data_file(r);
    state->owned = true;
    break;
  }
  if (state->file != nullptr) {
    struct stat st;
    if (::fstat(::fileno(state->file), &st) == 0 && S_ISREG(st.st_mode)) {
      r->backseekable = 1;
      const off_t here = ::ftello(state->file);
      state->seekoffset = here > 0 ? static_cast<long long>(here) : 0;
    } else {
      r->backseekable = 0;
      state->seekoffset = 0;
      state->offset_pending = false;
    }
    r->streamfile = state->file;
    r->streamfd = ::fileno(state->file);
    // A pipe as large as a gathered write: the writer hands over each in
    // one go and the reader takes it in large pieces.  Where the system
    // refuses, the pipe stays as it is.
    if (kov::detail::is_output_kind(r) && to_pipe(r))
      (void)::fcntl(r->streamfd, F_SETPIPE_SZ, static_cast<int>(kov::detail::Gather::kBytes));
  }
  kov::detail::install_state(ioinf, std::move(state));
  return 0;
}

int file_close(streaminf *r, void *ioinf) {
  if (ioinf == nullptr) return 0;
  std::unique_ptr<file_info> state = kov::detail::reclaim_state<file_info>(r, ioinf);
  std::FILE *f = state->file;
  if (f == nullptr) return 0;
  state->pending.drain();
  if (r != nullptr) {
    if (r->streamfile == f) r->streamfile = nullptr;
    if (r->streamfd == ::fileno(f)) r->streamfd = -1;
  }
  if (state->owned && !is_standard(f)) {
    std::fclose(f);
  } else if (r != nullptr && kov::detail::is_output_kind(r) &&
             (is_standard(f) || r->headfile == f)) {
    // A stream that stays open elsewhere is only flushed; a header stream
    // that its owner has already closed is not touched.
    std::fflush(f);
  }
  return 0;
}

long file_read(streaminf *r, void *ioinf, char *buffer, long nbytes) {
  file_info &state = open_state(r, ioinf);
  long total = 0;
  while (total < nbytes) {
    // One request: the stream hands large ones straight to the system.
    const std::size_t want = static_cast<std::size_t>(nbytes - total);
    const std::size_t n = std::fread(buffer + total, 1, want, state.file);
    if (n < want && std::ferror(state.file)) {
      kov::detail::syserr("file_read()");
      koverr("file_read() : I/O error reading %s, tag \"%s\"\n",
             kov::detail::data_file_of(r).c_str(), r->tagname.c_str());
    }
    if (n == 0) break;
    total += static_cast<long>(n);
  }
  state.curpos += total;
  return total;
}

[[noreturn]] void write_error(const streaminf *r) {
  kov::detail::syserr("file_write()");
  koverr("file_write() : I/O error writing %s, tag \"%s\"\n", kov::detail::data_file_of(r).c_str(),
         r->tagname.c_str());
}

// Gathered bytes into a pipe or socket, after what the stream holds (the
// end of the header).  A reader that has gone away kills the writer with
// SIGPIPE, as in any pipeline; a writer that ignores SIGPIPE stops here with
// the write error.
void send_to_pipe(const streaminf *r, std::FILE *file, std::span<const char> bytes) {
  if (std::fflush(file) != 0) write_error(r);
  const int fd = ::fileno(file);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) write_error(r);
    done += static_cast<std::size_t>(n);
  }
}

// Gathered bytes into a file through its stream, which is flushed so that a
// full device is found here and not later.
void send_to_file(const streaminf *r, std::FILE *file, std::span<const char> bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    if (std::feof(file) && !std::ferror(file)) {
      std::fprintf(stderr, "unexpected eof for tag %s\n", r->tagname.c_str());
      std::fflush(stderr);
    }
    write_error(r);
  }
  if (std::fflush(file) != 0) write_error(r);
}

long file_write(streaminf *r, void *ioinf, const char *buffer, long nbytes) {
  file_info *state = state_of(ioinf);
  if (state == nullptr || state->file == nullptr) invalid_dataset(r);
  if (nbytes <= 0) return 0;
  settle_offset(r, *state);
  if (to_pipe(r)) {
    const Clock::time_point now = Clock::now();
    if (!state->in_call) state->call_start = now;
    state->in_call = true;
    if (!state->pending.empty() && now - state->held_since >= kHoldLimit) state->pending.drain();
    if (state->pending.empty()) state->held_since = now;
  }
  state->pending.add(std::span(buffer, static_cast<std::size_t>(nbytes)));
  state->curpos += nbytes;
  return nbytes;
}

// Read and drop `count` bytes; the number dropped.
long long discard(streaminf *r, file_info &state, long long count) {
  long long dropped = 0;
  while (dropped < count) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<long long>(kDiscardPiece, count - dropped));
    const std::size_t n = std::fread(discard_buffer, 1, want, state.file);
    if (n < want && std::ferror(state.file))
      koverr("sseek(): I/O error in seek for tag \"%s\"\n", r->tagname.c_str());
    if (n == 0) break;
    dropped += static_cast<long long>(n);
  }
  return dropped;
}

kov_off_t unknown_whence(kov_off_t result) {
  std::fprintf(stderr, "unknown seek type requested\n");
  std::fflush(stderr);
  return result;
}

kov_off_t refuse(const char *message) {
  std::fprintf(stderr, "%s", message);
  std::fflush(stderr);
  return -1;
}

kov_off_t seek_stream(streaminf *r, file_info &state, kov_off_t offset, int whence) {
  long long skip = 0;
  switch (whence) {
  case 0:
    if (offset < state.curpos) return refuse("backwards absolute seek on stream device \n");
    skip = offset - state.curpos;
    break;
  case 1:
    if (offset < 0) return refuse("backwards relative seek on stream device \n");
    skip = offset;
    break;
  case 2:
    return refuse("seek relative to end on stream device \n");
  default:
    return unknown_whence(-1);
  }
  if (skip <= 0) return state.curpos;
  // Bytes written to a stream cannot be skipped: the seek fails and the
  // caller decides (the windowed writer warns and returns).
  if (kov::detail::is_output_kind(r)) return refuse("forward seek on output stream device \n");
  state.curpos += discard(r, state, skip);
  return state.curpos;
}

kov_off_t seek_file(streaminf *r, file_info &state, kov_off_t offset, int whence) {
  settle_offset(r, state);
  off_t target = 0;
  int how = SEEK_SET;
  switch (whence) {
  case 0:
    target = static_cast<off_t>(state.seekoffset + offset);
    break;
  case 1:
    target = static_cast<off_t>(offset);
    how = SEEK_CUR;
    break;
  case 2:
    target = static_cast<off_t>(offset);
    how = SEEK_END;
    break;
  default:
    return unknown_whence(state.curpos);
  }
  if (::fseeko(state.file, target, how) != 0) {
    kov::detail::syserr("file_seek");
    return -1;
  }
  switch (whence) {
  case 0:
    state.curpos = offset;
    break;
  case 1:
    state.curpos += offset;
    break;
  default: {
    // Data positions count from the first data byte.
    const off_t here = ::ftello(state.file);
    if (here < 0) {
      kov::detail::syserr("file_seek");
      return -1;
    }
    state.curpos = static_cast<long long>(here) - state.seekoffset;
  }
  }
  return state.curpos;
}

kov_off_t file_seek(streaminf *r, void *ioinf, kov_off_t offset, int whence) {
  file_info *state = state_of(ioinf);
  if (state == nullptr || state->file == nullptr) return -1;
  state->pending.drain();
  if (r->backseekable) return seek_file(r, *state, offset, whence);
  return seek_stream(r, *state, offset, whence);
}

kov_file_size_t file_size(streaminf *r, void *ioinf) {
  file_info &state = open_state(r, ioinf);
  // Nothing written yet to an output that shares its header stream.
  if (!r->backseekable || state.offset_pending) return 0;
  if (kov::detail::is_output_kind(r)) std::fflush(state.file);
  const kov_file_size_t size = fsize(::fileno(state.file));
  return size < 0 ? size : size - state.seekoffset;
}

} // namespace

kov::detail::file_info::file_info(const streaminf *record)
    : pending(record, [this, record](std::span<const char> bytes) {
        if (to_pipe(record))
          send_to_pipe(record, file, bytes);
        else
          send_to_file(record, file, bytes);
      }) {}

// Data into a pipe or socket are gathered only while the program writes in
// quick succession: at the end of a write call, what is held goes out when
// the call began more than kQuickGap after the previous one ended (the
// program computes between its writes, and the reader gets each piece as it
// is written).  While quick writes go on, nothing waits longer than
// kHoldLimit; it all goes out at the latest when the program next uses the
// data in another way, closes them or ends.
void kov::detail::end_of_write(streaminf *r) {
  if (r == nullptr || r->write_func != file_write || r->ioinf == nullptr) return;
  file_info &state = *state_of(r->ioinf);
  if (!state.in_call) return;
  state.in_call = false;
  const bool quick = state.last_call_end != Clock::time_point{} &&
                     state.call_start - state.last_call_end < kQuickGap;
  if (!quick) state.pending.drain();
  state.last_call_end = Clock::now();
}

extern "C" void init_file_io(streaminf *r) {
  if (r == nullptr) kov::detail::assertion("init_file_io", "null record");
  r->open_func = file_open;
  r->close_func = file_close;
  r->read_func = file_read;
  r->write_func = file_write;
  r->seek_func = file_seek;
  r->size_func = file_size;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(init_file_io)
