// SPDX-License-Identifier: Apache-2.0
// Entry points for callers that pass blank-padded texts with hidden lengths:
// datasets, headers, data transfer, seeking and data file names.  The
// conversions are those of kovfort.h; a data buffer passed as a character
// argument brings a hidden length of its own, which is ignored.
#include "kovfort.h"
#include "kovlib_internal.h"

#include <cstring>

using kov::fort::descriptor;
using kov::fort::TextIn;
using kov::fort::TextInOut;

namespace {

// The datapath, terminator included, fits the 4096 bytes of its buffer.
constexpr std::size_t kDatapathRoom = 4096;
// mkrandom_string appends six characters to its text.
constexpr std::size_t kRandomSuffix = 6;

} // namespace

// ---- Streams and headers ------------------------------------------------------

extern "C" int head_(void) { return descriptor(kov_head()); }
extern "C" int input_(void) { return descriptor(input()); }
extern "C" int output_(void) { return descriptor(output()); }

extern "C" int auxin_(const char *tag, std::size_t len) {
  return descriptor(auxin(TextIn(tag, len)));
}
extern "C" int auxout_(const char *tag, std::size_t len) {
  return descriptor(auxout(TextIn(tag, len)));
}
extern "C" int auxinout_(const char *tag, std::size_t len) {
  return descriptor(auxinout(TextIn(tag, len)));
}
extern "C" int auxsocketout_(const char *tag, std::size_t len) {
  return descriptor(auxsockout(TextIn(tag, len)));
}
extern "C" int auxtmp_(const char *tag, std::size_t len) {
  return descriptor(auxtmp(TextIn(tag, len)));
}
extern "C" int auxscr_(const char *tag, std::size_t len) {
  return descriptor(auxscr(TextIn(tag, len)));
}

extern "C" int auxclose_(const char *tag, std::size_t len) { return auxclose(TextIn(tag, len)); }

extern "C" int tag_exists_(const char *tag, std::size_t len) {
  return tag_exists(TextIn(tag, len));
}

extern "C" int aux_unlink_(const char *tag, std::size_t len) {
  return aux_unlink(TextIn(tag, len));
}
extern "C" int aux_unlink__(const char *tag, std::size_t len) { return aux_unlink_(tag, len); }

extern "C" int sseekable_(const char *tag, std::size_t len) { return sseekable(TextIn(tag, len)); }

extern "C" int hclose_(void) { return hclose(); }

extern "C" void copy_history_(const char *from, const char *to, std::size_t from_len,
                              std::size_t to_len) {
  copy_history(TextIn(from, from_len), TextIn(to, to_len));
}
extern "C" void copy_history__(const char *from, const char *to, std::size_t from_len,
                               std::size_t to_len) {
  copy_history_(from, to, from_len, to_len);
}

// ---- Data transfer and seeking --------------------------------------------------

extern "C" int sreed_(const char *tag, void *data, const int *nbytes, std::size_t tag_len) {
  return sreed(TextIn(tag, tag_len), data, *nbytes);
}

extern "C" int srite_(const char *tag, const void *data, const int *nbytes, std::size_t tag_len) {
  return srite(TextIn(tag, tag_len), data, *nbytes);
}

extern "C" int sreed2_(const char *tag, void *data, const int *nbytes, const char *format,
                       std::size_t tag_len, std::size_t format_len) {
  return sreed2(TextIn(tag, tag_len), data, *nbytes, TextIn(format, format_len));
}

extern "C" int srite2_(const char *tag, const void *data, const int *nbytes, const char *format,
                       std::size_t tag_len, std::size_t format_len) {
  return srite2(TextIn(tag, tag_len), data, *nbytes, TextIn(format, format_len));
}

extern "C" int sseek_(const char *tag, const int *offset, const int *whence, std::size_t len) {
  return sseek(TextIn(tag, len), *offset, *whence);
}

extern "C" int sseek_block_(const char *tag, const int *offset, const int *block_size,
                            const int *whence, std::size_t len) {
  return sseek_block(TextIn(tag, len), *offset, *block_size, *whence);
}
extern "C" int sseek_block__(const char *tag, const int *offset, const int *block_size,
                             const int *whence, std::size_t len) {
  return sseek_block_(tag, offset, block_size, whence, len);
}

extern "C" int file_position_(const char *tag, const int *block_size, int *blocks, int *remainder,
                              std::size_t len) {
  return file_position(TextIn(tag, len), *block_size, blocks, remainder);
}

// ---- Data file names ------------------------------------------------------------

// Returns the caller's field, which holds the datapath once the call is over.
extern "C" char *datapath_(char *path, std::size_t len) {
  char *found = nullptr;
  {
    TextInOut buffer(path, len, kDatapathRoom);
    found = datapath(buffer.data());
  }
  return found != nullptr ? path : nullptr;
}

extern "C" void mkrandom_string_(const char *text, char *result, std::size_t text_len,
                                 std::size_t result_len) {
  const TextIn in(text, text_len);
  const char *base = in;
  TextInOut out(result, result_len, (base != nullptr ? std::strlen(base) : 0) + kRandomSuffix + 1);
  mkrandom_string(in, out.data());
}

// ---- Pipes ------------------------------------------------------------------------

extern "C" int make_unpipe_(const char *tag, std::size_t len) {
  return make_unpipe(TextIn(tag, len));
}

extern "C" int kov_tag_is_pipe_(const char *tag, std::size_t len) {
  return kov_tag_is_pipe(TextIn(tag, len));
}
extern "C" int kov_tag_is_pipe__(const char *tag, std::size_t len) {
  return kov_tag_is_pipe_(tag, len);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(aux_unlink_)
KOV_PUBLIC_NAME(aux_unlink__)
KOV_PUBLIC_NAME(auxclose_)
KOV_PUBLIC_NAME(auxin_)
KOV_PUBLIC_NAME(auxinout_)
KOV_PUBLIC_NAME(auxout_)
KOV_PUBLIC_NAME(auxscr_)
KOV_PUBLIC_NAME(auxsocketout_)
KOV_PUBLIC_NAME(auxtmp_)
KOV_PUBLIC_NAME(copy_history_)
KOV_PUBLIC_NAME(copy_history__)
KOV_PUBLIC_NAME(datapath_)
KOV_PUBLIC_NAME(file_position_)
KOV_PUBLIC_NAME(hclose_)
KOV_PUBLIC_NAME(head_)
KOV_PUBLIC_NAME(input_)
KOV_PUBLIC_NAME(kov_tag_is_pipe_)
KOV_PUBLIC_NAME(kov_tag_is_pipe__)
KOV_PUBLIC_NAME(make_unpipe_)
KOV_PUBLIC_NAME(mkrandom_string_)
KOV_PUBLIC_NAME(output_)
KOV_PUBLIC_NAME(sreed2_)
KOV_PUBLIC_NAME(sreed_)
KOV_PUBLIC_NAME(srite2_)
KOV_PUBLIC_NAME(srite_)
KOV_PUBLIC_NAME(sseek_)
KOV_PUBLIC_NAME(sseek_block_)
KOV_PUBLIC_NAME(sseek_block__)
KOV_PUBLIC_NAME(sseekable_)
KOV_PUBLIC_NAME(tag_exists_)
