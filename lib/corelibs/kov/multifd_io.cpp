// SPDX-License-Identifier: Apache-2.0
// Multi-file back end: the data of a tag split over up to 1000 files of
// fixed capacities, filled in order; a file system that fills up pushes the
// data on into the next file.
#include "backends.h"
#include "kovlib_internal.h"
#include "outputs.h"
#include "streaminf.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using kov::detail::expanded;
using kov::detail::refuse_name;

using kov::detail::multifd_info;
using kov::detail::MultiFdFile;

constexpr int kDefaultFileSize = 999999; // megabytes
constexpr int kMegabyteShift = 20;

multifd_info *state_of(void *ioinf) { return static_cast<multifd_info *>(ioinf); }

std::vector<std::string> split_names(const std::string &list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size() &&
         names.size() < static_cast<std::size_t>(kov::detail::kMaxDataFiles)) {
    auto end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Capacities in bytes from the command-line list `filesize` (megabytes);
// positions beyond the values given repeat the last one.
std::vector<long long> capacities(int nfile) {
  std::vector<int> megabytes(kov::detail::kMaxDataFiles, kDefaultFileSize);
  const int given = std::clamp(
      kov::detail::getch_bounded("filesize", "d", megabytes.data(), kov::detail::kMaxDataFiles), 0,
      kov::detail::kMaxDataFiles);
  const int fill = given > 0 ? megabytes[given - 1] : kDefaultFileSize;
  std::vector<long long> bytes(static_cast<std::size_t>(nfile));
  for (int i = 0; i < nfile; ++i)
    bytes[i] = static_cast<long long>(i < given ? megabytes[i] : fill) << kMegabyteShift;
  return bytes;
}

int open_created(const std::string &path, int access) {
  return ::open(path.c_str(), access | O_CREAT | O_TRUNC | O_CLOEXEC, 0777);
}

int multifd_open(streaminf *r, void **ioinf) {
  // Data written so far by this process may be what is opened now.
  kov::detail::drain_all_gathers();
  if (r->entrytype == STREAMSOCKOUT)
    koverr("Stream socket can not be broken into multiple files \n");
  auto state = std::make_unique<multifd_info>(r);
  state->name = split_names(r->dataname.value_or(""));
  state->nfile = static_cast<int>(state->name.size());
  state->infos.resize(state->name.size());
  state->used.assign(state->name.size(), 0);
  state->path.resize(state->name.size());
  const std::vector<long long> capacity = capacities(state->nfile);
  int last_nonempty = 0;
  const char *mode = "r+";

  for (int i = 0; i < state->nfile; ++i) {
    const std::string &name = state->name[i];
    MultiFdFile &slot = state->infos[i];
    int fd = -1;
    switch (r->entrytype) {
    case STREAMIN: {
      refuse_name(r, name, "follow_hdr", "stdin");
      const std::string path = expanded(name, r);
      state->path[i] = path;
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        kov::detail::syserr("multifd_open");
        koverr("unable to obtain input file \"%s\" for tag \"%s\"\n", path.c_str(),
               r->tagname.c_str());
      }
      slot.file = kov::detail::OpenFile(fd);
      slot.size = fsize(fd);
      mode = "r";
      break;
    }
    case STREAMOUT:
    case STREAMSOCKOUT:
      refuse_name(r, name, "follow_hdr", "stdout");
      {
        const std::string path = expanded(name, nullptr);
        state->path[i] = path;
        fd = -2;
        if (r->tagname == "out" && r->entrytype == STREAMOUT) {
          // Put in place when the program ends successfully.
          std::string temp;
          fd = kov::detail::create_pending(path, kov::detail::Commit::AtEnd, temp);
        }
        if (fd == -2) fd = open_created(path, O_WRONLY);
        if (fd < 0) kov::detail::cannot_create_data_file(r, path);
      }
      slot.file = kov::detail::OpenFile(fd);
      slot.size = capacity[i];
      mode = "w";
      break;
    case STREAMINOUT:
    case STREAMSCR: {
      const std::string path = expanded(name, r->entrytype == STREAMINOUT ? r : nullptr);
      state->path[i] = path;
      if (r->headerbuf) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      if (fd >= 0) {
        // An existing file keeps what it holds.
        slot.size = fsize(fd);
        if (slot.size > 0) last_nonempty = i;
      } else {
        fd = open_created(path, O_RDWR);
        slot.size = capacity[i];
      }
      if (fd < 0) {
        kov::detail::syserr("multifd_open");
        if (r->entrytype == STREAMSCR)
          koverr("unable to open scratch datafile %s for tag %s \n", name.c_str(),
                 r->tagname.c_str());
        koverr("unable to open input/output datafile %s for tag %s \n", name.c_str(),
               r->tagname.c_str());
      }
      slot.file = kov::detail::OpenFile(fd);
      break;
    }
    }
  }
  // A read-write data set may grow from its last non-empty file on.
  if (r->entrytype == STREAMINOUT)
    for (int i = last_nonempty; i < state->nfile; ++i)
      state->infos[i].size = std::max(state->infos[i].size, capacity[i]);

  if (state->nfile > 0) {
    r->streamfd = state->infos[0].file.fd();
    r->streamfile = state->infos[0].file.attach_stream(mode);
  }
  r->backseekable = 1;
  kov::detail::install_state(ioinf, std::move(state));
  return 0;
}

int multifd_close(streaminf *r, void *ioinf) {
  if (ioinf == nullptr) return 0;
  std::unique_ptr<multifd_info> state = kov::detail::reclaim_state<multifd_info>(r, ioinf);
  state->pending.drain();
  if (r != nullptr && !state->infos.empty()) {
    const kov::detail::OpenFile &first = state->infos[0].file;
    if (first.is_open() && r->streamfd == first.fd()) r->streamfd = -1;
    if (r->streamfile != nullptr && r->streamfile == first.stream()) r->streamfile = nullptr;
  }
  int error = 0;
  for (MultiFdFile &slot : state->infos) {
    if (!slot.file.reset()) {
      if (error == 0) error = errno;
      kov::detail::syserr("multifd_close");
    }
  }
  errno = error;
  return error == 0 ? 0 : -1;
}

// Make the next file active, positioned at its start.
void next_file(streaminf *r, multifd_info &state, bool writing) {
  ++state.active;
  if (state.active >= state.nfile) return;
  MultiFdFile &slot = state.infos[state.active];
  if (slot.curpos == 0) return;
  if (::lseek(slot.file.fd(), 0, SEEK_SET) < 0) {
    if (writing) {
      kov::detail::syserr("seeking in multi_fd_write() ");
      koverr("multifd_write() unable to seek to file start for tag \"%s\", file %d \n",
             r->tagname.c_str(), state.active);
    }
    kov::detail::syserr("seeking in multi_fd_read() ");
    koverr("multifd_read() unable to seek to file start for tag \"%s\", file %d \n",
           r->tagname.c_str(), state.active);
  }
  slot.curpos = 0;
}

long multifd_read(streaminf *r, void *ioinf, char *buffer, long nbytes) {
  multifd_info *state = state_of(ioinf);
  if (state != nullptr) state->pending.drain();
  if (state == nullptr || nbytes <= 0 || state->active >= state->nfile) return 0;
  long total = 0;
  while (total < nbytes && state->active < state->nfile) {
    MultiFdFile &slot = state->infos[state->active];
    const long long left = slot.size - slot.curpos;
    if (left <= 0) {
      next_file(r, *state, false);
      continue;
    }
    const long want = static_cast<long>(std::min<long long>({left, nbytes - total}));
    // An input is read at its own position (see fd_read).
    const ssize_t n = r->entrytype == STREAMIN
                          ? ::pread(slot.file.fd(), buffer + total, static_cast<size_t>(want),
                                    static_cast<off_t>(slot.curpos))
                          : ::read(slot.file.fd(), buffer + total, static_cast<size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      koverr("multifd_read() : I/O error, tag \"%s\" file number %d\n", r->tagname.c_str(),
             state->active);
    }
    if (n == 0) {
      // The file holds less than its size says: its data end here.
      next_file(r, *state, false);
      continue;
    }
    slot.curpos += n;
    total += n;
  }
  // Bytes delivered count even when the last file ended inside the request.
  return total;
}

// Place bytes in the files from the active one on; the number placed.
long write_through(streaminf *r, multifd_info *state, const char *buffer, long nbytes) {
  if (nbytes <= 0 || state->active >= state->nfile) return 0;
  state->used[state->active] = 1;
  long total = 0;
  while (total < nbytes && state->active < state->nfile) {
    MultiFdFile &slot = state->infos[state->active];
    // Where this call starts writing into this file, and how much of the
    // request was placed before it.
    const long long piece_start = slot.curpos;
    const long piece_total = total;
    const char was_used = state->used[state->active];
    bool moved_on = false;
    while (total < nbytes) {
      const long long room = slot.size - slot.curpos;
      if (room <= 0) break;
      const long want = static_cast<long>(std::min<long long>({room, nbytes - total}));
      const ssize_t n = ::write(slot.file.fd(), buffer + total, static_cast<size_t>(want));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != ENOSPC && errno != EDQUOT) {
          kov::detail::syserr("multifd_write()");
          koverr("multifd_write() : I/O error, tag \"%s\" file number %d\n", r->tagname.c_str(),
                 state->active);
        }
        // The device or the quota is full: this file ends where the call
        // began writing into it, and the same bytes go to the next file.
        if (::ftruncate(slot.file.fd(), static_cast<off_t>(piece_start)) != 0 ||
            ::lseek(slot.file.fd(), static_cast<off_t>(piece_start), SEEK_SET) < 0) {
          kov::detail::syserr("multifd_write()");
          koverr("multifd_write() : I/O error, tag \"%s\" file number %d\n", r->tagname.c_str(),
                 state->active);
        }
        slot.curpos = piece_start;
        slot.size = piece_start; // nothing more goes into this file
        state->used[state->active] = was_used;
        total = piece_total;
        moved_on = true;
        break;
      }
      if (n == 0) break;
      // Every file that receives data is listed in the data name, also one
      // this call ran on into.
      state->used[state->active] = 1;
      slot.curpos += n;
      total += n;
    }
    if (total >= nbytes && !moved_on) break;
    // Full, or took nothing: on to the next file.
    next_file(r, *state, true);
  }
  kov::detail::update_out(r, *state);
  return total;
}

// Find room for `bytes` more after the `ahead` bytes already gathered, and
// mark the files they will go to as used, as a write through would: the
// file the write begins in (a file filled exactly stays the one the next
// write begins in) and every file that receives some of them.  False, with
// nothing marked, when the files have not that much room left.
bool reserve(multifd_info &state, long long ahead, long long bytes) {
  int i = state.active;
  long long at = i < state.nfile ? state.infos[i].curpos : 0;
  while (i < state.nfile && ahead > state.infos[i].size - at) {
    ahead -= std::max(0LL, state.infos[i].size - at);
    ++i;
    at = 0;
  }
  if (i >= state.nfile) return false;
  at += ahead;
  const int first = i;
  int last = i;
  for (long long left = bytes, from = at;;) {
    left -= std::max(0LL, state.infos[last].size - from);
    if (left <= 0) break;
    if (++last >= state.nfile) return false;
    from = 0;
  }
  for (int k = first; k <= last; ++k) state.used[k] = 1;
  return true;
}

long multifd_write(streaminf *r, void *ioinf, const char *buffer, long nbytes) {
  multifd_info *state = state_of(ioinf);
  if (state == nullptr || nbytes <= 0) return 0;
  if (!reserve(*state, static_cast<long long>(state->pending.size()), nbytes)) {
    // At the end of the files: what fits is decided by the files
    // themselves, at once.
    state->pending.drain();
    return write_through(r, state, buffer, nbytes);
  }
  kov::detail::update_out(r, *state);
  state->pending.add(std::span(buffer, static_cast<std::size_t>(nbytes)));
  return nbytes;
}

// Position file `i` at `offset` and make it active; false on failure.
bool place(multifd_info &state, int i, long long offset) {
  MultiFdFile &slot = state.infos[i];
  if (slot.curpos != offset) {
    if (::lseek(slot.file.fd(), static_cast<off_t>(offset), SEEK_SET) < 0) {
      kov::detail::syserr("multifd_seek()");
      return false;
    }
    slot.curpos = offset;
  }
  state.active = i;
  return true;
}

long long position(const multifd_info &state) {
  if (state.nfile == 0) return 0;
  const int i = std::min(state.active, state.nfile - 1);
  long long pos = state.infos[i].curpos;
  for (int k = 0; k < i; ++k) pos += state.infos[k].size;
  return pos;
}

// The position just past the last data byte: the files are filled in
// order, so the data end in the last file that holds any.
long long data_end(const multifd_info &state) {
  for (int i = state.nfile - 1; i >= 0; --i) {
    const long long held = fsize(state.infos[i].file.fd());
    if (held <= 0) continue;
    long long end = held;
    for (int k = 0; k < i; ++k) end += state.infos[k].size;
    return end;
  }
  return 0;
}

kov_off_t multifd_seek(streaminf *r, void *ioinf, kov_off_t offset, int whence) {
  multifd_info *state = state_of(ioinf);
  if (state == nullptr || state->nfile == 0) return -1;
  state->pending.drain();
  int i = 0;
  long long pos = offset;
  switch (whence) {
  case 0:
    while (pos > state->infos[i].size) {
      pos -= state->infos[i].size;
      if (++i >= state->nfile) return -1;
    }
    break;
  case 1:
    i = std::min(state->active, state->nfile - 1);
    pos = state->infos[i].curpos + offset;
    while (pos < 0) {
      if (--i < 0) return -1;
      pos += state->infos[i].size;
    }
    while (pos > state->infos[i].size) {
      pos -= state->infos[i].size;
      if (++i >= state->nfile) return -1;
    }
    break;
  case 2:
    if (r->entrytype == STREAMOUT)
      kov::detail::assertion("multifd_seek", "seek relative to the end of an output");
    // As with the system's positioning, the offset counts from the end of
    // the data (not from the capacity of a file that may still grow).
    pos = data_end(*state) + offset;
    if (pos < 0)
      koverr("multifd_seek(): seeking past start of all available files for tag \"%s\" \n",
             r->tagname.c_str());
    while (pos > state->infos[i].size) {
      pos -= state->infos[i].size;
      if (++i >= state->nfile) return -1;
    }
    break;
  default:
    std::fprintf(stderr, "unknown seek type requested\n");
    std::fflush(stderr);
    return position(*state);
  }
  if (!place(*state, i, pos)) return -1;
  return position(*state);
}

kov_file_size_t multifd_size(streaminf *, void *ioinf) {
  multifd_info *state = state_of(ioinf);
  if (state == nullptr) return 0;
  state->pending.drain();
  kov_file_size_t total = 0;
  for (const MultiFdFile &slot : state->infos) {
    const kov_file_size_t one = fsize(slot.file.fd());
    if (one > 0) total += one;
  }
  return total;
}

} // namespace

namespace kov::detail {

multifd_info::multifd_info(streaminf *record)
    : pending(record, [this, record](std::span<const char> bytes) {
        const long placed =
            write_through(record, this, bytes.data(), static_cast<long>(bytes.size()));
        if (placed != static_cast<long>(bytes.size()))
          koverr("multifd_write() : I/O error, tag \"%s\" file number %d\n",
                 record->tagname.c_str(), active);
      }) {}

std::vector<std::string> multifd_paths(const streaminf *r) {
  if (r == nullptr || r->iotype != MULTI_FD_IO || r->ioinf == nullptr) return {};
  const auto *state = static_cast<const multifd_info *>(r->ioinf);
  std::vector<std::string> paths;
  for (const std::string &path : state->path)
    if (!path.empty()) paths.push_back(path);
  return paths;
}

void update_out(streaminf *r, multifd_info &state) {
  int highest = -1;
  for (int i = state.nfile - 1; i >= 0; --i)
    if (state.used[i]) {
      highest = i;
      break;
    }
  if (highest <= state.last_used) return;
  state.last_used = highest;
  std::string list;
  for (int i = 0; i <= highest; ++i) {
    if (i > 0) list += ';';
    list += state.name[i];
  }
  r->dataname = std::move(list);
}

} // namespace kov::detail

extern "C" void init_multifd_io(streaminf *r) {
  if (r == nullptr) kov::detail::assertion("init_multifd_io", "null record");
  r->open_func = multifd_open;
  r->close_func = multifd_close;
  r->read_func = multifd_read;
  r->write_func = multifd_write;
  r->seek_func = multifd_seek;
  r->size_func = multifd_size;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(init_multifd_io)
