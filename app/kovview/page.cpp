// SPDX-License-Identifier: Apache-2.0
#include "page.hpp"

#include <array>
#include <bit>
#include <cstdint>

namespace kovview {

namespace {

constexpr std::array<std::uint32_t, 64> kRound{
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void compress(std::array<std::uint32_t, 8> &h, const unsigned char *block) {
  std::array<std::uint32_t, 64> w{};
  for (std::size_t i = 0; i < 16; ++i)
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, k] = h;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint32_t t1 = k + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) +
                             ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 =
        (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<std::uint32_t, 8> add{a, b, c, d, e, f, g, k};
  for (std::size_t i = 0; i < 8; ++i) h[i] += add[i];
}

// Replaces the one `mark` of `text` by `with`; false when it is not there
// exactly once.
bool put(std::string &text, std::string_view mark, std::string_view with) {
  const std::size_t at = text.find(mark);
  if (at == std::string::npos || text.find(mark, at + 1) != std::string::npos) return false;
  text.replace(at, mark.size(), with);
  return true;
}

} // namespace

std::string sha256_base64(std::string_view text) {
  std::array<std::uint32_t, 8> h{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const std::size_t whole = text.size() / 64 * 64;
  for (std::size_t at = 0; at < whole; at += 64)
    compress(h, reinterpret_cast<const unsigned char *>(text.data()) + at);
  // The last bytes, the 1 bit, zeros and the length in bits (one or two blocks).
  std::array<unsigned char, 128> tail{};
  const std::size_t rest = text.size() - whole;
  for (std::size_t i = 0; i < rest; ++i) tail[i] = static_cast<unsigned char>(text[whole + i]);
  tail[rest] = 0x80;
  const std::size_t blocks = rest + 9 <= 64 ? 1 : 2;
  const std::uint64_t bits = static_cast<std::uint64_t>(text.size()) * 8;
  for (std::size_t i = 0; i < 8; ++i)
    tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (std::size_t b = 0; b < blocks; ++b) compress(h, tail.data() + 64 * b);

  std::array<unsigned char, 32> digest{};
  for (std::size_t i = 0; i < 32; ++i)
    digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < 32; i += 3) {
    const std::uint32_t v = std::uint32_t{digest[i]} << 16 |
                            (i + 1 < 32 ? std::uint32_t{digest[i + 1]} << 8 : 0) |
                            (i + 2 < 32 ? std::uint32_t{digest[i + 2]} : 0);
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += i + 1 < 32 ? alphabet[v >> 6 & 63] : '=';
    out += i + 2 < 32 ? alphabet[v & 63] : '=';
  }
  return out;
}

namespace {

// Whether `text`, put inside an element `name` of the page (script or
// style, whose text ends at the first "</name" in any case), could end it
// early or open a comment.
bool ends_element(std::string_view text, std::string_view name) {
  std::string lower(text);
  for (char &c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower.find("</" + std::string(name)) != std::string::npos ||
         lower.find("<!--") != std::string::npos;
}

} // namespace

std::variant<Page, std::string> make_page(std::string_view index, std::string_view info,
                                          std::string_view first, std::string_view style) {
  if (ends_element(first, "script"))
    return std::string("the page's first script holds text that would end its element");
  if (ends_element(style, "style"))
    return std::string("the page's style holds text that would end its element");
  std::string data;
  data.reserve(info.size());
  for (const char c : info) {
    if (c == '<')
      data += "\\u003c";
    else
      data += c;
  }
  Page page{std::string(index), {}};
  // The script and the style go in before the description, whose texts (a
  // title, a label) could hold the other marks; neither may hold a mark.
  for (const std::string_view part : {first, style})
    for (const std::string_view mark : {"@KOVVIEW_INFO@", "@KOVVIEW_FIRST@", "@KOVVIEW_STYLE@"})
      if (part.find(mark) != std::string_view::npos)
        return std::string("the page's first script or style holds a mark of the page");
  if (!put(page.html, "@KOVVIEW_FIRST@", first))
    return std::string("the page has not one mark for its first script");
  if (!put(page.html, "@KOVVIEW_STYLE@", style))
    return std::string("the page has not one mark for its style");
  if (!put(page.html, "@KOVVIEW_INFO@", data))
    return std::string("the page has not one mark for the description");
  page.policy = "default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'sha256-" +
                sha256_base64(style) + "'; script-src 'self' 'sha256-" + sha256_base64(first) +
                "'; connect-src 'self'";
  return page;
}

} // namespace kovview
