// kovview's reader: windows of the input dataset at screen resolution,
// read through the library's windowed transfer in bounded blocks.
#ifndef KOV_APP_KOVVIEW_READER_HPP
#define KOV_APP_KOVVIEW_READER_HPP

#include "query.hpp"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kovview {

// How the stored samples become values.
enum class Element { XdrFloat, NativeFloat, XdrInt, Byte };

// The element of a data_format and esize, or nothing when the viewer
// cannot show it.
std::optional<Element> element_of(const std::string &format, int esize);

class Reader {
public:
  // The library's `in`, opened already, read as raw bytes of `esize`
  // bytes each; the cube has lengths `n` (axes 1 to 3).
  Reader(Element element, int esize, const std::array<std::int64_t, 3> &n);

  // The window `w` as rows x cols values, across fastest: each value the
  // mean of the finite samples of its cell (NaN when there are none).  An
  // error text when the data cannot be read.  Windows are read one at a
  // time; the block read at once stays below kBlockBytes.
  std::optional<std::string> read(const WindowRequest &w, std::vector<float> &out, int &rows,
                                  int &cols);

  static constexpr std::int64_t kBlockBytes = std::int64_t{4} << 20;

private:
  Element element_;
  int esize_;
  std::array<std::int64_t, 3> n_;
  std::mutex mutex_;
  std::vector<char> block_; // the bytes of one read, kept between windows
};

} // namespace kovview

#endif
