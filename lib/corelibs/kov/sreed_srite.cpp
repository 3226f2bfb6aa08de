// SPDX-License-Identifier: Apache-2.0
// Moving samples between a caller's buffer and a tag's data, converting the
// portable formats through one fixed buffer per direction.
#include "backends.h"
#include "kovlib_internal.h"
#include "streaminf.h"

#include <rpc/xdr.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int kBufferBytes = 16384;
constexpr int kWriteChunk = 16380; // 4095 elements

// The conversion buffer of writes and its memory stream, created on first
// use and shared by all tags.
struct Conversion {
  char buffer[kBufferBytes];
  XDR xdrs;
  explicit Conversion(xdr_op op) { xdrmem_create(&xdrs, buffer, sizeof buffer, op); }
};

Conversion &outxdr() {
  static Conversion c(XDR_ENCODE);
  return c;
}

bool converted(int format) { return format >= 0 && format <= 2; }

// XDR floats and ints are 32-bit IEEE floats and two's-complement ints in
// big-endian byte order.  The memory stream hands out its buffer for a whole
// chunk (xdr_inline), which is then converted in one byte-order loop; one
// library call per element would be slower than the disk.  Where the stream
// refuses inline access the element routines do the same work.
static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4 && sizeof(int) == 4);

void swap_tail(char *to, const char *from, unsigned first, unsigned words) {
  for (unsigned i = first; i < words; ++i) {
    uint32_t w;
    std::memcpy(&w, from + 4 * i, 4);
    w = __builtin_bswap32(w);
    std::memcpy(to + 4 * i, &w, 4);
  }
}

#if defined(__x86_64__)
// Reverse the bytes of each 4-byte word, 32 bytes at a time with one byte
// shuffle, on processors that have AVX2.
__attribute__((target("avx2"))) void swap_words_avx2(char *to, const char *from, unsigned words) {
  const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2,
                                         1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  unsigned i = 0;
  for (; i + 8 <= words; i += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + 4 * i));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + 4 * i), _mm256_shuffle_epi8(v, order));
  }
  swap_tail(to, from, i, words);
}

// The same 16 bytes at a time with SSE2 alone, which every x86-64 processor
// has.
void swap_words_sse2(char *to, const char *from, unsigned words) {
  unsigned i = 0;
  for (; i + 4 <= words; i += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 4 * i));
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); // bytes within halves
    v = _mm_shufflelo_epi16(v, 0xB1);                             // halves within words
    v = _mm_shufflehi_epi16(v, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 4 * i), v);
  }
  swap_tail(to, from, i, words);
}

// Whether to shuffle with AVX2: where the processor has it, unless the
// environment asks for the plain path (KOV_SIMD=plain, which the programs'
// own vector code follows too).  The variable is read at every call, which
// is once for many kilobytes, so that a test can try each path.
bool use_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  const char *request = std::getenv("KOV_SIMD");
  return has && (request == nullptr || std::strcmp(request, "plain") != 0);
}
#endif

// Reverse the bytes of each 4-byte word with the widest shuffle the
// processor has.
void swap_words(char *to, const char *from, unsigned words) {
#if defined(__x86_64__)
  if (use_avx2())
    swap_words_avx2(to, from, words);
  else
    swap_words_sse2(to, from, words);
#else
  swap_tail(to, from, 0, words);
#endif
}

// Host words to big-endian words (and back: the swap is its own inverse).
void to_big_endian(char *to, const char *from, unsigned words) {
  if constexpr (std::endian::native == std::endian::big) {
    if (to != from) std::memcpy(to, from, 4 * static_cast<std::size_t>(words));
  } else
    swap_words(to, from, words);
}

xdrproc_t element_routine(int format) {
  return format == 0 ? reinterpret_cast<xdrproc_t>(xdr_float)
                     : reinterpret_cast<xdrproc_t>(xdr_int);
}

bool encode_words(XDR *xdrs, const char *from, unsigned words, int format) {
  if (auto *to = reinterpret_cast<char *>(xdr_inline(xdrs, static_cast<u_int>(4 * words)))) {
    to_big_endian(to, from, words);
    return true;
  }
  return xdr_vector(xdrs, const_cast<char *>(from), words, 4, element_routine(format));
}

// Open the data of a record if they are not open yet; false when the record
// is not usable.
bool ensure_open(streaminf *r) {
  if (r->valid && r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
  return r->valid && r->ioinf != nullptr;
}

// The data are read straight into the caller's buffer, in as few back-end
// reads as the back end needs, and converted there: the byte-order swap is
// its own inverse and works in place.
int converted_read(streaminf *r, char *dest, int nbytes, int format) {
  if (format < 0 || format > 2)
    // Message kept as it always read ("grok"): scripts match it as it stands.
    koverr("xdr_reed(): tag \"%s\" I don't grok this format\n", r->tagname.c_str());
  long total = 0;
  while (total < nbytes) {
    const long got = r->read_func(r, r->ioinf, dest + total, nbytes - total);
    if (got <= 0) break;
    total += got;
  }
  // Bytes (format 2) are stored as they are.  A trailing partial element at
  // the end of the data is delivered as it was stored.
  if (format != 2) to_big_endian(dest, dest, static_cast<unsigned>(total / 4));
  return static_cast<int>(total);
}

// Host words to big-endian words, a trailing partial word as it is.
void encode_copy(char *to, const char *from, std::size_t bytes) {
  const std::size_t words = bytes / 4;
  to_big_endian(to, from, static_cast<unsigned>(words));
  std::memcpy(to + 4 * words, from + 4 * words, bytes - 4 * words);
}

// Words to a descriptor: converted straight into the bytes the back end
// gathers, without a copy in between.
int encoded_to_descriptor(streaminf *r, const char *src, int nbytes) {
  constexpr long kChunk = 1 << 16;
  long total = 0;
  while (total < nbytes) {
    const long chunk = std::min<long>(nbytes - total, kChunk);
    const long wrote = kov::detail::fd_write_filled(r, r->ioinf, src + total, chunk, encode_copy);
    if (wrote != chunk)
      koverr("xdr_rite(): I/O error on output for tag \"%s\" -- ierr=%d \n", r->tagname.c_str(),
             static_cast<int>(wrote));
    total += chunk;
  }
  return static_cast<int>(total);
}

int converted_write(streaminf *r, const char *src, int nbytes, int format) {
  if ((format == 0 || format == 1) && kov::detail::writes_to_descriptor(r))
    return encoded_to_descriptor(r, src, nbytes);
  Conversion &out = outxdr();
  long total = 0;
  while (total < nbytes) {
    const int chunk = static_cast<int>(std::min<long>(nbytes - total, kWriteChunk));
    xdr_setpos(&out.xdrs, 0);
    const unsigned elements = static_cast<unsigned>(chunk / 4);
    // xdr_opaque takes a non-const pointer even when it only reads.
    char *from = const_cast<char *>(src + total);
    bool ok = true;
    switch (format) {
    case 0:
    case 1:
      ok = encode_words(&out.xdrs, from, elements, format);
      break;
    case 2:
      ok = xdr_opaque(&out.xdrs, from, static_cast<u_int>(chunk));
      break;
    default:
      // Message kept as it always read ("grok"): scripts match it as it stands.
      koverr("xdr_rite(): tag \"%s\" I don't grok this format\n", r->tagname.c_str());
    }
    if (!ok) koverr("xdr_rite(): xdr error, tag \"%s\" \n", r->tagname.c_str());
    const long encoded = format == 2 ? chunk : static_cast<long>(elements) * 4;
    if (encoded < chunk)
      std::memcpy(out.buffer + encoded, from + encoded, static_cast<size_t>(chunk - encoded));
    const long wrote = r->write_func(r, r->ioinf, out.buffer, chunk);
    if (wrote != chunk)
      koverr("xdr_rite(): I/O error on output for tag \"%s\" -- ierr=%d \n", r->tagname.c_str(),
             static_cast<int>(wrote));
    total += chunk;
  }
  return static_cast<int>(total);
}

int read_common(const char *routine, const char *tag, void *buffer, int nbytes,
                const char *format_name, bool raw) {
  if (tag == nullptr || buffer == nullptr) kov::detail::assertion(routine, "null tag or buffer");
  streaminf *r = tag_info(tag, TAG_IN);
  int format = r->format_num;
  if (format_name != nullptr) {
    format = get_format_num(format_name);
    if (format < 0)
      koverr("sreed2(): Unknown format name \"%s\" for tag \"%s\" \n", format_name, tag);
  }
  if (!ensure_open(r)) koverr("sreed(): invalid input tag %s\n", tag);
  if (nbytes <= 0) return 0;
  if (!raw && converted(format))
    return converted_read(r, static_cast<char *>(buffer), nbytes, format);
  return static_cast<int>(r->read_func(r, r->ioinf, static_cast<char *>(buffer), nbytes));
}

int write_common(const char *routine, const char *tag, const void *buffer, int nbytes,
                 const char *format_name, bool raw) {
  if (tag == nullptr || buffer == nullptr) kov::detail::assertion(routine, "null tag or buffer");
  if (nbytes == 0) return 0;
  streaminf *r = tag_info(tag, TAG_OUT);
  if (format_name != nullptr) {
    const int format = get_format_num(format_name);
    if (format < 0)
      koverr("srite2(): Unknown format name \"%s\" for tag \"%s\" \n", format_name, tag);
    r->format_num = format;
  }
  if (!kov::detail::is_output_kind(r)) kov::detail::assertion(routine, "tag is an input");
  if (!ensure_open(r)) koverr("srite(): invalid output tag %s\n", tag);
  if (!r->ready_out) kovstr_ready_out(r);
  if (nbytes < 0) return 0;
  const int wrote =
      !raw && converted(r->format_num)
          ? converted_write(r, static_cast<const char *>(buffer), nbytes, r->format_num)
          : static_cast<int>(r->write_func(r, r->ioinf, static_cast<const char *>(buffer), nbytes));
  kov::detail::end_of_write(r);
  return wrote;
}

} // namespace

extern "C" int sreed(const char *tag, void *buffer, int nbytes) {
  if (nbytes == 0) return 0;
  return read_common("sreed", tag, buffer, nbytes, nullptr, false);
}

extern "C" int sreed2(const char *tag, void *buffer, int nbytes, const char *format) {
  if (nbytes == 0) return 0;
  if (format == nullptr) kov::detail::assertion("sreed2", "null format");
  return read_common("sreed2", tag, buffer, nbytes, format, false);
}

extern "C" int sreed_raw(const char *tag, void *buffer, int nbytes) {
  return read_common("sreed_raw", tag, buffer, nbytes, nullptr, true);
}

extern "C" int srite(const char *tag, const void *buffer, int nbytes) {
  return write_common("srite", tag, buffer, nbytes, nullptr, false);
}

extern "C" int srite2(const char *tag, const void *buffer, int nbytes, const char *format) {
  if (format == nullptr) kov::detail::assertion("srite2", "null format");
  return write_common("srite2", tag, buffer, nbytes, format, false);
}

extern "C" int srite_raw(const char *tag, const void *buffer, int nbytes) {
  return write_common("srite_raw", tag, buffer, nbytes, nullptr, true);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(sreed)
KOV_PUBLIC_NAME(sreed2)
KOV_PUBLIC_NAME(sreed_raw)
KOV_PUBLIC_NAME(srite)
KOV_PUBLIC_NAME(srite2)
KOV_PUBLIC_NAME(srite_raw)
