// SPDX-License-Identifier: Apache-2.0
// segy_read: the headers and samples of a SEG-Y file, as segy2kov reads
// them (see segy_read.hpp).
#include "segy_read.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <tuple>
#include <unistd.h>

namespace segy {

namespace {

std::string str(long long v) { return std::to_string(v); }

void read_at(const Source &src, std::int64_t offset, std::span<char> to) {
  std::size_t done = 0;
  while (done < to.size()) {
    const ssize_t r = ::pread(src.fd, to.data() + done, to.size() - done,
                              static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw Error(std::string("read error: ") + std::strerror(errno));
    if (r == 0) throw Error("read error (the file ends early)");
    done += static_cast<std::size_t>(r);
  }
}

// An unsigned field of `bytes` bytes (1 to 8) at `p`.
std::uint64_t unsigned_field(const char *p, int bytes, bool little) {
  std::uint64_t v = 0;
  for (int k = 0; k < bytes; ++k) {
    const auto b = static_cast<std::uint8_t>(p[little ? bytes - 1 - k : k]);
    v = (v << 8) | b;
  }
  return v;
}

std::int64_t signed_field(const char *p, int bytes, bool little) {
  const std::uint64_t v = unsigned_field(p, bytes, little);
  const int shift = 64 - 8 * bytes;
  return static_cast<std::int64_t>(v << shift) >> shift;
}

// The fields by their byte number (from 1) in the binary header or in a
// trace header.
std::int64_t bin16(const char *bin, int byte, bool little) {
  return signed_field(bin + byte - 3201, 2, little);
}
std::int64_t tr16(const char *h, int byte, bool little) {
  return signed_field(h + byte - 1, 2, little);
}
std::int64_t tr32(const char *h, int byte, bool little) {
  return signed_field(h + byte - 1, 4, little);
}

struct Format {
  int code;
  Sample kind;
  int width;
};

constexpr std::array<Format, 13> kFormats{{{1, Sample::ibm, 4},
                                           {2, Sample::i32, 4},
                                           {3, Sample::i16, 2},
                                           {5, Sample::ieee4, 4},
                                           {6, Sample::ieee8, 8},
                                           {7, Sample::i24, 3},
                                           {8, Sample::i8, 1},
                                           {9, Sample::i64, 8},
                                           {10, Sample::u32, 4},
                                           {11, Sample::u16, 2},
                                           {12, Sample::u64, 8},
                                           {15, Sample::u24, 3},
                                           {16, Sample::u8, 1}}};

const Format *format_of(std::int64_t code) {
  for (const Format &f : kFormats)
    if (f.code == code) return &f;
  return nullptr;
}

// EBCDIC (code page 37) to ASCII for the printable characters; anything
// else becomes a blank.
char from_ebcdic(unsigned char c) {
  static constexpr std::array<std::pair<unsigned char, char>, 38> kSigns{{
      {0x40, ' '}, {0x4B, '.'}, {0x4C, '<'},  {0x4D, '('}, {0x4E, '+'},  {0x4F, '|'},  {0x50, '&'},
      {0x5A, '!'}, {0x5B, '$'}, {0x5C, '*'},  {0x5D, ')'}, {0x5E, ';'},  {0x60, '-'},  {0x61, '/'},
      {0x6B, ','}, {0x6C, '%'}, {0x6D, '_'},  {0x6E, '>'}, {0x6F, '?'},  {0x79, '`'},  {0x7A, ':'},
      {0x7B, '#'}, {0x7C, '@'}, {0x7D, '\''}, {0x7E, '='}, {0x7F, '"'},  {0xA1, '~'},  {0xB0, '^'},
      {0xBA, '['}, {0xBB, ']'}, {0xC0, '{'},  {0xD0, '}'}, {0xE0, '\\'}, {0x25, '\n'}, {0x15, '\n'},
      {0x4A, ' '}, {0x5F, ' '}, {0x6A, '|'},
  }};
  const auto range = [c](unsigned char from, unsigned char to, char first) -> char {
    return c >= from && c <= to ? static_cast<char>(first + (c - from)) : '\0';
  };
  for (const auto &[from, to, first] :
       {std::tuple{0x81, 0x89, 'a'}, std::tuple{0x91, 0x99, 'j'}, std::tuple{0xA2, 0xA9, 's'},
        std::tuple{0xC1, 0xC9, 'A'}, std::tuple{0xD1, 0xD9, 'J'}, std::tuple{0xE2, 0xE9, 'S'},
        std::tuple{0xF0, 0xF9, '0'}})
    if (const char r =
            range(static_cast<unsigned char>(from), static_cast<unsigned char>(to), first))
      return r;
  for (const auto &[e, a] : kSigns)
    if (e == c) return a;
  return ' ';
}

// A textual header (or an extended one) as ASCII text: EBCDIC unless it
// reads as ASCII.  The EBCDIC blank is an ASCII '@' and its letters and
// digits lie above 0x80, so the blanks and letters of either code tell
// them apart.  Bytes that are not printable become blanks, lines end every
// 80 characters.
std::string decode_text(std::span<const char> bytes) {
  std::size_t ascii = 0, ebcdic = 0;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0x40 || u >= 0x80)
      ++ebcdic;
    else if (u >= 0x20 && u < 0x7f)
      ++ascii;
  }
  const bool is_ascii = ascii > ebcdic;
  std::string text;
  text.reserve(bytes.size() + bytes.size() / 80);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = is_ascii ? bytes[i] : from_ebcdic(static_cast<unsigned char>(bytes[i]));
    if (c < 0x20 || c >= 0x7f) c = ' ';
    text += c;
    if (i % 80 == 79) text += '\n';
  }
  return text;
}

// The word after " key=" in the textual header, as kov2segy writes its
// axes ("label1=z", "d2=20").
std::string word_from_text(const std::string &text, const std::string &name) {
  const std::string key = " " + name + "=";
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + key.size();
  const std::size_t end = text.find_first_of(" \n", begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

double scaled(std::int64_t raw, std::int64_t scalar) {
  if (scalar > 0) return static_cast<double>(raw) * static_cast<double>(scalar);
  if (scalar < 0) return static_cast<double>(raw) / -static_cast<double>(scalar);
  return static_cast<double>(raw);
}

// Whether an extended textual header holds the end stanza ((SEG: EndText)),
// as its readers match it: letters in either case, blanks anywhere.
bool ends_text(std::string_view text) {
  std::string packed;
  packed.reserve(text.size());
  for (const char c : text)
    if (c != ' ' && c != '\t')
      packed.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return packed.find("((seg:endtext))") != std::string::npos;
}

// Where the traces start: after the textual and binary headers and the
// extended textual headers the binary header announces, a count or -1 for
// as many as end with the ((SEG: EndText)) stanza.
std::int64_t first_trace(const Source &src, std::int64_t extended) {
  const std::int64_t headers = kTextBytes + kBinaryBytes;
  if (extended >= 0) {
    const std::int64_t trace0 = headers + extended * kTextBytes;
    if (trace0 > src.size)
      throw Error("the " + str(extended) +
                  " extended textual headers the binary header announces (bytes 3505-3506) are "
                  "not there");
    return trace0;
  }
  if (extended != -1)
    throw Error("the binary header announces " + str(extended) +
                " extended textual headers (bytes 3505-3506): neither a count nor -1");
  std::array<char, kTextBytes> record{};
  for (std::int64_t at = headers; at + kTextBytes <= src.size; at += kTextBytes) {
    read_at(src, at, record);
    if (ends_text(decode_text(record))) return at + kTextBytes;
  }
  throw Error("the extended textual headers (announced as -1, an unknown number) end in no "
              "((SEG: EndText)) stanza");
}

// The byte order: the byte-order word of revision 2 (bytes 3297-3300,
// 0x01020304 as the file stores its fields) when it is there, else the
// order in which the format code is a known one.
bool little_endian(const char *bin) {
  const std::uint64_t word = unsigned_field(bin + 3297 - 3201, 4, false);
  if (word == 0x01020304) return false;
  if (word == 0x04030201) return true;
  const std::int64_t big = bin16(bin, 3225, false), little = bin16(bin, 3225, true);
  return format_of(big) == nullptr && big != 4 && (format_of(little) != nullptr || little == 4);
}

void choose_output(Layout &l, const Options &opts) {
  const std::string &f = opts.data_format;
  const bool floats = f == "xdr_float" || f == "native_float";
  const std::string code = str(l.code);
  switch (l.kind) {
  case Sample::i32:
  case Sample::u32:
    if (f.empty() || f == "xdr_int") {
      l.ints = true;
    } else if (floats) {
      l.warnings.push_back("the 32-bit integer samples (format " + code +
                           ") are rounded to 4-byte floats (data_format=" + f + ")");
    } else {
      throw Error("data_format=" + f + ": the 32-bit integer samples of format " + code +
                  " are read as xdr_int, or rounded as xdr_float");
    }
    return;
  case Sample::i64:
  case Sample::u64:
  case Sample::ieee8:
    if (!floats)
      throw Error("the 8-byte samples of format " + code +
                  " do not fit 4-byte samples exactly: give data_format=xdr_float to read them "
                  "rounded to 4-byte floats");
    l.warnings.push_back("the 8-byte samples of format " + code + " are rounded to 4-byte floats");
    return;
  default:
    if (!f.empty() && !floats)
      throw Error("data_format=" + f + ": the samples of format " + code +
                  " are read as 4-byte floats (xdr_float or native_float)");
  }
}

// The axes of a volume of inlines and crosslines, when every pair occurs
// once on an evenly spaced grid in the order of the file; otherwise
// nothing, with a warning naming the first irregularity when the line
// numbers vary at all.
bool volume_axes(Layout &l, const std::vector<std::int32_t> &il,
                 const std::vector<std::int32_t> &xl) {
  const std::int64_t n = l.traces;
  if (n < 4) return false;
  const bool by_inline = il[0] == il[1];
  if (by_inline == (xl[0] == xl[1])) return false; // no line numbers, or no order
  const std::vector<std::int32_t> &slow = by_inline ? il : xl, &fast = by_inline ? xl : il;
  std::int64_t per = 1; // traces per line
  while (per < n && slow[per] == slow[0]) ++per;
  if (per == n) return false; // a single line
  const auto irregular = [&](const std::string &what) {
    l.warnings.push_back(what + "; the file is read as a line of traces, not as a volume");
    return false;
  };
  if (n % per != 0)
    return irregular("the " + str(n) + " traces are not a whole number of lines of " + str(per) +
                     " (the traces of " + (by_inline ? "inline " : "crossline ") + str(slow[0]) +
                     ")");
  // In 64 bits: the steps between line numbers of 32 bits may not fit 32.
  const std::int64_t f0 = fast[0], df = std::int64_t{fast[1]} - f0, s0 = slow[0],
                     ds = std::int64_t{slow[per]} - s0;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t want_fast = f0 + (i % per) * df, want_slow = s0 + (i / per) * ds;
    if (fast[i] == want_fast && slow[i] == want_slow) continue;
    const std::int64_t want_il = by_inline ? want_slow : want_fast;
    const std::int64_t want_xl = by_inline ? want_fast : want_slow;
    std::string what = "trace " + str(i + 1);
    for (std::int64_t j = 0; j < i; ++j)
      if (il[j] == il[i] && xl[j] == xl[i]) {
        what += " repeats the pair of trace " + str(j + 1) + ",";
        break;
      }
    return irregular(what + " inline " + str(il[i]) + ", crossline " + str(xl[i]) +
                     ", where an evenly spaced volume has inline " + str(want_il) + ", crossline " +
                     str(want_xl));
  }
  const Axis f{static_cast<int>(per), static_cast<double>(f0), static_cast<double>(df),
               by_inline ? "crossline" : "inline"};
  const Axis s{static_cast<int>(n / per), static_cast<double>(s0), static_cast<double>(ds),
               by_inline ? "inline" : "crossline"};
  l.axes.push_back(f);
  l.axes.push_back(s);
  return true;
}

} // namespace

Layout read_layout(const Source &src, const Options &opts) {
  const std::int64_t headers = kTextBytes + kBinaryBytes;
  if (src.size < headers)
    throw Error("not a SEG-Y file: " + str(src.size) +
                " bytes, fewer than its textual and binary headers take (3600)");
  std::array<char, kTextBytes> text_bytes{};
  std::array<char, kBinaryBytes> bin{};
  read_at(src, 0, text_bytes);
  read_at(src, kTextBytes, bin);

  Layout l;
  l.little = little_endian(bin.data());
  const std::int64_t code = bin16(bin.data(), 3225, l.little);
  if (code == 4)
    throw Error("sample format 4 (fixed point with gain, obsolete since 1983) is not read");
  const Format *format = format_of(code);
  if (format == nullptr)
    throw Error("unknown or unsupported sample format code " + str(code) +
                " (binary header bytes 3225-3226)");
  l.code = format->code;
  l.kind = format->kind;
  l.width = format->width;
  choose_output(l, opts);

  const auto revision = (bin16(bin.data(), 3501, l.little) >> 8) & 0xff;
  if (revision >= 2 && tr32(bin.data(), 3507 - 3200, l.little) != 0)
    throw Error("the traces carry additional trace headers (binary header bytes 3507-3510), "
                "which are not read");
  l.trace0 = first_trace(src, bin16(bin.data(), 3505, l.little));

  // The samples per trace: the binary header's unsigned 2-byte count, else
  // its 4-byte count of revision 2, else the first trace header's.
  std::int64_t samples = bin16(bin.data(), 3221, l.little) & 0xffff;
  if (samples == 0 && revision >= 2)
    samples = std::max<std::int64_t>(0, tr32(bin.data(), 3269 - 3200, l.little));
  std::array<char, kTraceHeaderBytes> h0{};
  const bool has_trace = src.size - l.trace0 >= kTraceHeaderBytes;
  if (has_trace) read_at(src, l.trace0, h0);
  if (samples == 0 && has_trace) samples = tr16(h0.data(), 115, l.little) & 0xffff;
  if (samples <= 0) throw Error("not a SEG-Y file: neither header gives a sample count");
  if (samples > INT_MAX / 8)
    throw Error(str(samples) + " samples per trace are more than are read");
  l.samples = static_cast<int>(samples);
  l.trace_bytes = kTraceHeaderBytes + samples * l.width;
  if (src.size == l.trace0) throw Error("holds no traces");
  const std::int64_t body = src.size - l.trace0;
  if (body % l.trace_bytes != 0)
    throw Error("truncated: " + str(body) + " bytes of traces are not a whole number of " +
                str(l.trace_bytes) + "-byte traces of " + str(l.samples) + " samples");
  l.traces = body / l.trace_bytes;
  if (l.traces > INT_MAX) throw Error(str(l.traces) + " traces are more than a dataset axis holds");

  // The sample interval: the first trace header's, else the binary
  // header's, unless d1= gives it.
  const std::int64_t tr_dt = tr16(h0.data(), 117, l.little),
                     bin_dt = bin16(bin.data(), 3217, l.little);
  double d1 = 0.0;
  if (opts.d1) {
    d1 = *opts.d1;
  } else {
    if (tr_dt <= 0 && bin_dt <= 0)
      throw Error("no sample interval: the first trace header says " + str(tr_dt) +
                  " (bytes 117-118), the binary header " + str(bin_dt) +
                  " (bytes 3217-3218); give it as d1=");
    if (tr_dt > 0 && bin_dt > 0 && tr_dt != bin_dt)
      l.warnings.push_back("the sample interval of the first trace header (" + str(tr_dt) +
                           ") differs from the binary header's (" + str(bin_dt) + "); " +
                           str(tr_dt) + " is used");
    d1 = static_cast<double>(tr_dt > 0 ? tr_dt : bin_dt) / opts.dscale;
  }
  const double delay = static_cast<double>(tr16(h0.data(), 109, l.little));
  const std::string textual = decode_text(text_bytes);
  const std::string label1 = word_from_text(textual, "label1");
  l.axes.push_back({l.samples, delay * 1000.0 / opts.dscale, d1, label1.empty() ? "time" : label1});

  // The coordinates of the first two traces and the line numbers of every
  // trace.  The line numbers are kept only when the first two traces are
  // in a volume's order (one of them changes, the other not), and they are
  // kept as they are read, never in memory sized by the file's claims
  // before the headers are there.
  std::vector<std::int32_t> il, xl;
  std::array<char, kTraceHeaderBytes> h{};
  std::array<double, 2> x{}, y{};
  for (std::int64_t i = 0; i < l.traces; ++i) {
    if (i == 2 && (l.traces < 4 || (il[0] == il[1]) == (xl[0] == xl[1]))) break;
    read_at(src, l.trace0 + i * l.trace_bytes, h);
    il.push_back(static_cast<std::int32_t>(tr32(h.data(), 189, l.little)));
    xl.push_back(static_cast<std::int32_t>(tr32(h.data(), 193, l.little)));
    if (i < 2) {
      const std::int64_t scalar = tr16(h.data(), 71, l.little);
      x[i] = scaled(tr32(h.data(), 181, l.little), scalar);
      y[i] = scaled(tr32(h.data(), 185, l.little), scalar);
    }
  }
  if (std::ssize(il) == l.traces && volume_axes(l, il, xl)) return l;

  // A line: by the CDP x coordinates when they vary, else by the y ones,
  // else by the trace numbers.  A single trace is at its coordinates when
  // its header gives any (a coordinate, a scalar or a unit), also at 0.
  Axis a2{static_cast<int>(l.traces), 1.0, 1.0, "trace"};
  if (l.traces >= 2) {
    if (x[0] != x[1]) {
      a2 = {a2.n, x[0], x[1] - x[0], "cdp_x"};
      l.by_coordinate = true;
    } else if (y[0] != y[1]) {
      a2 = {a2.n, y[0], y[1] - y[0], "cdp_y"};
      l.by_coordinate = true;
      l.coordinate_byte = 185;
    }
  } else if (x[0] != 0.0 || y[0] != 0.0 || tr16(h0.data(), 71, l.little) != 0 ||
             tr16(h0.data(), 89, l.little) != 0) {
    l.by_coordinate = true;
    if (x[0] == 0.0 && y[0] != 0.0) {
      a2 = {1, y[0], 1.0, "cdp_y"};
      l.coordinate_byte = 185;
    } else {
      a2 = {1, x[0], 1.0, "cdp_x"};
    }
  }
  if (const std::string label2 = word_from_text(textual, "label2");
      !label2.empty() && l.by_coordinate && l.coordinate_byte == 181)
    a2.label = label2;
  // One trace has no spacing of its own: the step kov2segy recorded.
  if (const std::string d2 = word_from_text(textual, "d2"); a2.n == 1 && !d2.empty()) {
    char *end = nullptr;
    const double step = std::strtod(d2.c_str(), &end);
    if (end != d2.c_str() && *end == '\0' && std::isfinite(step) && step != 0.0) a2.d = step;
  }
  l.axes.push_back(a2);
  return l;
}

void read_trace(const Source &src, const Layout &l, std::int64_t i, std::vector<char> &raw) {
  raw.resize(static_cast<std::size_t>(l.trace_bytes));
  try {
    read_at(src, l.trace0 + i * l.trace_bytes, raw);
  } catch (const Error &e) {
    throw Error("trace " + str(i + 1) + ": " + e.what());
  }
}

namespace {

// The nearest 4-byte float; beyond its range an infinity.
float to_float(double v) {
  if (std::abs(v) > static_cast<double>(std::numeric_limits<float>::max()) && std::isfinite(v))
    return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

// An IBM hexadecimal float as the nearest 4-byte float.
float from_ibm(std::uint32_t w) {
  const std::uint32_t mantissa = w & 0x00ffffffu;
  if (mantissa == 0) return (w & 0x80000000u) != 0 ? -0.0f : 0.0f;
  const int exponent = static_cast<int>((w >> 24) & 0x7f) - 64;
  const double v = std::ldexp(static_cast<double>(mantissa), 4 * exponent - 24);
  return to_float((w & 0x80000000u) != 0 ? -v : v);
}

} // namespace

void convert(const Layout &l, std::span<const char> raw, std::span<char> out, std::int64_t trace) {
  const char *p = raw.data() + kTraceHeaderBytes;
  for (int i = 0; i < l.samples; ++i, p += l.width) {
    float f = 0.0f;
    std::int32_t n = 0;
    const bool little = l.little;
    switch (l.kind) {
    case Sample::ibm:
      f = from_ibm(static_cast<std::uint32_t>(unsigned_field(p, 4, little)));
      break;
    case Sample::ieee4: {
      const auto w = static_cast<std::uint32_t>(unsigned_field(p, 4, little));
      std::memcpy(&f, &w, 4);
      break;
    }
    case Sample::ieee8: {
      const std::uint64_t w = unsigned_field(p, 8, little);
      double d = 0.0;
      std::memcpy(&d, &w, 8);
      f = to_float(d);
      break;
    }
    case Sample::i8:
    case Sample::i16:
    case Sample::i24:
      f = static_cast<float>(signed_field(p, l.width, little));
      break;
    case Sample::u8:
    case Sample::u16:
    case Sample::u24:
      f = static_cast<float>(unsigned_field(p, l.width, little));
      break;
    case Sample::i32:
      n = static_cast<std::int32_t>(signed_field(p, 4, little));
      f = static_cast<float>(n);
      break;
    case Sample::u32: {
      const std::uint64_t u = unsigned_field(p, 4, little);
      if (l.ints && u > INT32_MAX)
        throw Error("trace " + str(trace + 1) + ", sample " + str(i + 1) + ": " +
                    str(static_cast<long long>(u)) +
                    " is more than a 32-bit integer sample (xdr_int) holds; give "
                    "data_format=xdr_float to read the samples rounded to 4-byte floats");
      n = static_cast<std::int32_t>(u);
      f = static_cast<float>(u);
      break;
    }
    case Sample::i64:
      f = static_cast<float>(signed_field(p, 8, little));
      break;
    case Sample::u64:
      f = static_cast<float>(unsigned_field(p, 8, little));
      break;
    }
    if (l.ints)
      std::memcpy(out.data() + 4 * i, &n, 4);
    else
      std::memcpy(out.data() + 4 * i, &f, 4);
  }
}

double position(const Layout &l, std::span<const char> raw) {
  return scaled(tr32(raw.data(), l.coordinate_byte, l.little), tr16(raw.data(), 71, l.little));
}

} // namespace segy
