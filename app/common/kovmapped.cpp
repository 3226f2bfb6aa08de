// SPDX-License-Identifier: Apache-2.0
// kovmapped: the input's data file read through a mapping.
#include "kovmapped.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kovtool {

namespace {

std::int64_t page_size() {
  static const std::int64_t page = ::sysconf(_SC_PAGESIZE);
  return page;
}

} // namespace

bool MappedInput::allowed() {
  const char *value = std::getenv("KOV_MAP");
  if (value == nullptr) return true;
  const std::string_view v = value;
  return v != "0" && v != "n" && v != "no";
}

std::unique_ptr<MappedInput> MappedInput::open(const Description &desc) {
  if (desc.tag != "in" || !allowed() || desc.files.size() != 1 ||
      kov_is_socket_name(desc.location.c_str()) != 0 || kov_is_url(desc.files[0].c_str()) != 0 ||
      kov_is_url(text(getch_n, "stdin").value_or("").c_str()) != 0)
    return nullptr;
  struct stat named {};
  if (::stat(desc.files[0].c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return nullptr;
  std::FILE *data = input(); // the data of in, opened by the library as for its reads
  if (data == nullptr) return nullptr;
  const int fd = ::fileno(data);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::lseek(fd, 0, SEEK_CUR) != 0)
    return nullptr;
  if (st.st_size < desc.bytes) data_short(desc.bytes, st.st_size);
  if (st.st_size > desc.bytes) data_longer(desc.bytes, st.st_size - desc.bytes);
  void *base = nullptr;
  if (desc.bytes > 0) {
    base = ::mmap(nullptr, static_cast<std::size_t>(desc.bytes), PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return nullptr; // a file system that does not map: read it
  }
  std::unique_ptr<MappedInput> in(new MappedInput(desc, fd, desc.bytes));
  in->base_ = base;
  if (base != nullptr)
    in->data_ =
        std::span(static_cast<const std::byte *>(base), static_cast<std::size_t>(desc.bytes));
  return in;
}

MappedInput::MappedInput(const Description &desc, int fd, std::int64_t bytes)
    : tag_(desc.tag), fd_(fd), bytes_(bytes) {}

MappedInput::~MappedInput() {
  if (base_ != nullptr) ::munmap(base_, static_cast<std::size_t>(bytes_));
}

void MappedInput::prefetch(std::int64_t offset, std::int64_t length) const {
  if (base_ == nullptr || length <= 0) return;
  const std::int64_t start = offset / page_size() * page_size();
  const std::int64_t end = std::min(offset + length, bytes_);
#ifdef MADV_POPULATE_READ
  // Pages beyond the end of a file cut short fail the call, harmlessly:
  // their reads then meet the bus error that tells.
  if (::madvise(static_cast<char *>(base_) + start, static_cast<std::size_t>(end - start),
                MADV_POPULATE_READ) == 0)
    return;
#endif
  ::madvise(static_cast<char *>(base_) + start, static_cast<std::size_t>(end - start),
            MADV_WILLNEED);
}

void MappedInput::release(std::int64_t offset, std::int64_t length) const {
  if (base_ == nullptr || length <= 0) return;
  const std::int64_t start = offset / page_size() * page_size();
  const std::int64_t end = std::min(offset + length, bytes_);
  ::madvise(static_cast<char *>(base_) + start, static_cast<std::size_t>(end - start),
            MADV_DONTNEED);
}

void MappedInput::cut_short() const {
  struct stat st {};
  const std::int64_t now = ::fstat(fd_, &st) == 0 ? std::min<std::int64_t>(st.st_size, bytes_) : 0;
  data_short(tag_, bytes_, now);
}

} // namespace kovtool
