// SPDX-License-Identifier: Apache-2.0
// State of the three I/O back ends, kept behind a record's `ioinf` from the
// open operation until the close operation.
#ifndef KOV_BACKENDS_H
#define KOV_BACKENDS_H

#include "streaminf.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kov::detail {

// A data file name with its heading environment variable expanded.
std::string expanded(const std::string &name, streaminf *record);

// Fatal, in one line naming the file, the system's reason (errno) and the
// way out, for an output's data file that cannot be created.
[[noreturn]] void cannot_create_data_file(const streaminf *r, const std::string &path);

// Refuse the reserved data names `a` and `b` for a file-descriptor back end.
void refuse_name(const streaminf *r, const std::string &name, const char *a, const char *b);

// A descriptor and, optionally, a buffered stream over that same descriptor
// (the stream handed to callers as `streamfile`).  Closing the stream closes
// the descriptor, so the pair is released as one.
class OpenFile {
public:
  OpenFile() = default;
  explicit OpenFile(int fd) : fd_(fd) {}
  OpenFile(const OpenFile &) = delete;
  OpenFile &operator=(const OpenFile &) = delete;
  OpenFile(OpenFile &&other) noexcept
      : fd_(std::exchange(other.fd_, -1)), stream_(std::exchange(other.stream_, nullptr)) {}
  OpenFile &operator=(OpenFile &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
      stream_ = std::exchange(other.stream_, nullptr);
    }
    return *this;
  }
  ~OpenFile() { reset(); }

  int fd() const { return fd_; }
  std::FILE *stream() const { return stream_; }
  bool is_open() const { return fd_ >= 0; }

  // Make the stream over the descriptor; null when that fails.
  std::FILE *attach_stream(const char *mode) {
    if (fd_ >= 0 && stream_ == nullptr) stream_ = ::fdopen(fd_, mode);
    return stream_;
  }

  // Close the stream (and with it the descriptor) or the bare descriptor;
  // false when the system reported an error on the way.
  bool reset() {
    bool ok = true;
    if (stream_ != nullptr) {
      ok = std::fclose(stream_) == 0;
    } else if (fd_ >= 0) {
      ok = ::close(fd_) == 0;
    }
    stream_ = nullptr;
    fd_ = -1;
    return ok;
  }

private:
  int fd_ = -1;
  std::FILE *stream_ = nullptr;
};

// Bytes written to a data set, gathered into large system calls.  What
// `add` is given is kept until about 1 MiB has gathered or `drain` is
// called; a back end drains before every other operation on its data (read,
// seek, size, position, close), and every gather still holding bytes is
// drained when the process exits (after a fatal error too), so the bytes
// reach the file or pipe exactly as if they had been written at once.
class Gather {
public:
  // Writes all of the bytes where they belong or ends the program.
  using Sink = std::function<void(std::span<const char>)>;

  static constexpr std::size_t kBytes = std::size_t{1} << 20;

  Gather(const streaminf *owner, Sink sink);
  Gather(const Gather &) = delete;
  Gather &operator=(const Gather &) = delete;
  // Leaves the bytes still held alone: the owner drains first.
  ~Gather();

  // Puts `bytes` bytes read from `from` in place at `to`: a copy that
  // converts as it goes.
  using Fill = void (*)(char *to, const char *from, std::size_t bytes);
  // `fill` (a plain copy when null) puts the bytes in place; with a fill,
  // fewer than kBytes at a time.
  void add(std::span<const char> bytes, Fill fill = nullptr);
  void drain();
  bool empty() const { return used_ == 0; }
  std::size_t size() const { return used_; }

private:
  friend void drain_all_gathers();
  friend void drain_pending(const streaminf *record);
  const streaminf *owner_;
  Sink sink_;
  PageBlock held_; // kBytes once something was held
  std::size_t used_ = 0;
  bool draining_ = false; // a failing sink ends the program: no second try
  Gather *prev_ = nullptr, *next_ = nullptr;
};

// Drain every gather that holds bytes (run at exit).
void drain_all_gathers();

// Hand the bytes a record's back end still holds to the system, as before
// its header stream is closed (the data may share it).
void drain_pending(const streaminf *record);

// Whether a record's data go through the descriptor back end, and that
// back end's write with the bytes put in place by `fill`.
bool writes_to_descriptor(const streaminf *r);
long fd_write_filled(streaminf *r, void *ioinf, const char *buffer, long nbytes, Gather::Fill fill);

// The descriptor state of the descriptor back end (the record type named
// `fd_info`; the registry lookup of the same name is another thing).
struct FdState {
  explicit FdState(const streaminf *record);
  OpenFile file;                 // -1 when no file is open
  unsigned long long curpos = 0; // bytes moved since the start of the data
  Gather pending;                // written bytes not yet handed to the system
};

// The state of the buffered-stream back end.
struct file_info {
  explicit file_info(const streaminf *record);
  std::FILE *file = nullptr;
  long long curpos = 0;     // data bytes since the first data byte
  long long seekoffset = 0; // stream position of the first data byte
  // Whether this back end closes the stream: not when it is the header stream
  // of an output (the header side closes it) or a standard stream.
  bool owned = false;
  // An output that shares its header's stream learns where the data begin at
  // its first transfer, once the header text has been completed.
  bool offset_pending = false;
  Gather pending; // written bytes not yet handed to the system
  // Pipes and sockets: when the bytes now held began to wait, when the last
  // write call ended and when the current one began (see end_of_write).
  std::chrono::steady_clock::time_point held_since{}, last_call_end{}, call_start{};
  bool in_call = false;
};

// Called after every write call on a record: data into a pipe or socket
// leave before the call returns unless the program writes in quick
// succession.
void end_of_write(streaminf *record);

// One file of a multi-file data set.
struct MultiFdFile {
  OpenFile file;
  long long curpos = 0; // position within the file
  long long size = 0;   // real size for inputs, capacity for outputs
};

// The state of the multi-file back end.
struct multifd_info {
  explicit multifd_info(streaminf *record);
  int nfile = 0;
  int active = 0;
  std::vector<MultiFdFile> infos;
  std::vector<std::string> name;
  std::vector<std::string> path; // the names as opened, variables expanded
  std::vector<char> used;        // 1 once something was written to that file
  int last_used = -1;
  Gather pending; // written bytes not yet placed in the files
};

// Hand a freshly made state to a record's `ioinf` and take it back in close.
template <class State> void install_state(void **ioinf, std::unique_ptr<State> state) {
  *ioinf = state.release();
}
template <class State> std::unique_ptr<State> reclaim_state(streaminf *record, void *ioinf) {
  if (record != nullptr && record->ioinf == ioinf) record->ioinf = nullptr;
  return std::unique_ptr<State>(static_cast<State *>(ioinf));
}

// Largest number of files of a multi-file data set.
inline constexpr int kMaxDataFiles = 1000;

// After a write: when a file beyond `last_used` has been used, make it the
// last one and list files 0 to `last_used` as the record's data name.
void update_out(streaminf *record, multifd_info &state);

// Every file that the open multi-file data set of a record opened or made,
// used or not; empty for other records.
std::vector<std::string> multifd_paths(const streaminf *record);

} // namespace kov::detail

#endif
