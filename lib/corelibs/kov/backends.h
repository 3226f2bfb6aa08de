// State of the three I/O back ends, kept behind a record's `ioinf` from the
// open operation until the close operation.
#ifndef KOV_BACKENDS_H
#define KOV_BACKENDS_H

#include "streaminf.h"

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kov::detail {

// A data file name with its heading environment variable expanded.
std::string expanded(const std::string &name, streaminf *record);

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

// The descriptor state of the descriptor back end (the record type named
// `fd_info`; the registry lookup of the same name is another thing).
struct FdState {
  OpenFile file;                 // -1 when no file is open
  unsigned long long curpos = 0; // bytes moved since the start of the data
};

// The state of the buffered-stream back end.
struct file_info {
  std::FILE *file = nullptr;
  long long curpos = 0;     // data bytes since the first data byte
  long long seekoffset = 0; // stream position of the first data byte
  // Whether this back end closes the stream: not when it is the header stream
  // of an output (the header side closes it) or a standard stream.
  bool owned = false;
  // An output that shares its header's stream learns where the data begin at
  // its first transfer, once the header text has been completed.
  bool offset_pending = false;
};

// One file of a multi-file data set.
struct MultiFdFile {
  OpenFile file;
  long long curpos = 0; // position within the file
  long long size = 0;   // real size for inputs, capacity for outputs
};

// The state of the multi-file back end.
struct multifd_info {
  int nfile = 0;
  int active = 0;
  std::vector<MultiFdFile> infos;
  std::vector<std::string> name;
  std::vector<char> used; // 1 once something was written to that file
  int last_used = -1;
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

} // namespace kov::detail

#endif
