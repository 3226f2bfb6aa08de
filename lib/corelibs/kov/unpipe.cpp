// SPDX-License-Identifier: Apache-2.0
// Unpiping: the rest of a piped input copied into a nameless scratch file
// that can be read again and positioned; and the test whether a tag's
// header travels through a pipe.
#include "kovlib_internal.h"
#include "kovsock.h"
#include "streaminf.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr long kBlock = 8192;
constexpr std::size_t kPathRoom = 4096; // what datapath() may write

// Whether the data of an input come through a pipe: known once they are
// open, and before that from the header stream they will take over.
bool data_is_pipe(const streaminf *r) {
  if (r->isapipe) return true;
  return r->ioinf == nullptr && r->iotype == FILE_IO && r->headfile != nullptr &&
         isapipe(::fileno(r->headfile)) == 1;
}

// The first directory of the datapath (the text before the first ';').
std::string first_data_directory() {
  std::vector<char> path(kPathRoom, '\0');
  datapath(path.data());
  std::string dir(path.data());
  if (const auto semicolon = dir.find(';'); semicolon != std::string::npos) dir.resize(semicolon);
  return dir;
}

[[noreturn]] void write_failed(const char *tag) {
  kov::detail::syserr("make_unpipe");
  koverr("make_unpipe: write failed for tag \"%s\" \n", tag);
}

} // namespace

extern "C" int make_unpipe(const char *tag) {
  if (tag == nullptr) kov::detail::assertion("make_unpipe", "null tag");
  streaminf *r = tag_info(tag, TAG_IN);
  if (r == nullptr) koverr("make_unpipe: unable to open tag \"%s\" \n", tag);
  if (r->entrytype != STREAMIN) kov::detail::assertion("make_unpipe", "tag is not an input");
  if (!data_is_pipe(r)) return 0;
  if (r->valid && r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
  if (!r->valid || r->ioinf == nullptr || r->read_func == nullptr)
    koverr("make_unpipe(): invalid input tag %s\n", tag);

  std::string name = first_data_directory() + "Unpipe_XXXXXX";
  {
    // The descriptor of the unique name is the one written to, and closed.
    kov::detail::UniqueFd scratch(::mkostemp(name.data(), O_CLOEXEC));
    if (!scratch) {
      kov::detail::syserr("Opening scratch file in make_unpipe()");
      koverr("Unable to create scratch file to buffer a pipe");
    }
    std::vector<char> block(kBlock);
    for (;;) {
      const long n = r->read_func(r, r->ioinf, block.data(), kBlock);
      if (n == 0) break;
      if (n < 0) {
        kov::detail::syserr("make_unpipe");
        koverr("make unpipe read failed for tag \"%s\" \n", tag);
      }
      long done = 0;
      while (done < n) {
        const ssize_t k =
            ::write(scratch.get(), block.data() + done, static_cast<size_t>(n - done));
        if (k <= 0) write_failed(tag);
        done += k;
      }
    }
    if (::close(scratch.release()) != 0) write_failed(tag);
  }

  kov::detail::forget_stream(r->streamfile);
  if (r->close_func != nullptr) r->close_func(r, r->ioinf);
  r->ioinf = nullptr;
  r->dataname = name;
  r->iotype = FD_IO;
  r->isapipe = 0;
  init_fd_io(r);
  r->open_func(r, &r->ioinf);
  // The open descriptor keeps the data readable; the name is not needed.
  ::unlink(name.c_str());
  if (!r->valid) koverr("make_unpipe(): invalid input tag %s\n", tag);
  r->backseekable = 1;
  return 0;
}

extern "C" int kov_tag_is_pipe(const char *tag) {
  if (tag == nullptr) kov::detail::assertion("kov_tag_is_pipe", "null tag");
  const streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 1;
  if (!r->isapipe && !(r->headfile != nullptr && isapipe(::fileno(r->headfile)) == 1)) return 0;
  return std::strcmp(tag, "out") == 0 ? 1 : -1;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(kov_tag_is_pipe)
KOV_PUBLIC_NAME(make_unpipe)
