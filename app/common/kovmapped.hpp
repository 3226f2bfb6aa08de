// SPDX-License-Identifier: Apache-2.0
// kovmapped: the data of the input `in` read through a read-only mapping of
// its data file instead of read() into a buffer: no copy through the kernel,
// and any number of threads read the same bytes at once.  Only for data in
// one regular local file; data after the header, pipes, sets of files and
// remote data are read as before.  Shared by kovstack and the trace
// programs' input (kovtraces.hpp).
//
// The whole file is mapped, but its pages are handed back (release()) once
// read, so that resident memory stays at the few windows in use, not the
// file.  A file cut short while it is mapped makes a read past its new end
// raise a bus error: reads of the mapping run inside guarded()
// (kovbus.hpp), whose handler this object installs for its lifetime, and a
// failed one ends with the short-data message (cut_short()).
#ifndef KOV_APP_KOVMAPPED_HPP
#define KOV_APP_KOVMAPPED_HPP

#include "kovbus.hpp"
#include "kovtool.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kovtool {

class MappedInput {
public:
  // The bytes a reader takes at a time from the mapping, before it hands
  // them back: large enough that the handing back costs little, small
  // enough that resident memory stays small.
  static constexpr std::int64_t kWindow = std::int64_t{32} << 20;

  // The input `desc` (tag in) mapped, when its data are one regular local
  // file that maps and the environment does not turn mapping off
  // (KOV_MAP=0); nothing otherwise (the data are then read as before).
  // Fatal, with the messages of data_short() and data_longer(), when the
  // file is shorter or longer than the header declares.
  static std::unique_ptr<MappedInput> open(const Description &desc);

  MappedInput(const MappedInput &) = delete;
  MappedInput &operator=(const MappedInput &) = delete;
  ~MappedInput();

  // Whether mapping is allowed by the environment: KOV_MAP unset, or set to
  // anything but 0, n or no.
  static bool allowed();

  // The data: desc.bytes bytes.  Read it inside guarded() only.
  std::span<const std::byte> data() const { return data_; }

  // Bytes [offset, offset + length) fetched into memory ahead of their
  // reads (faulted in at once rather than page by page); a range the file
  // no longer has is left alone.
  void prefetch(std::int64_t offset, std::int64_t length) const;

  // Bytes [offset, offset + length) read and no longer needed: their pages
  // leave the program's resident memory (they stay in the page cache).  A
  // thread that still reads a page at the edges maps it again.
  void release(std::int64_t offset, std::int64_t length) const;

  // Fatal after a guarded read of the mapping failed: the file was cut
  // short meanwhile (the short-data message, with the size it has now).
  [[noreturn]] void cut_short() const;

private:
  MappedInput(const Description &desc, int fd, std::int64_t bytes);

  BusErrors catching_;
  std::string tag_;
  int fd_ = -1;
  std::int64_t bytes_ = 0;
  void *base_ = nullptr;
  std::span<const std::byte> data_;
};

} // namespace kovtool

#endif
