// SPDX-License-Identifier: Apache-2.0
// kovview's reader: windows of the input dataset at screen resolution,
// read through the library's windowed transfer in bounded blocks.
#ifndef KOV_APP_KOVVIEW_READER_HPP
#define KOV_APP_KOVVIEW_READER_HPP

#include "kovaligned.hpp"
#include "kovbus.hpp"
#include "query.hpp"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
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

// The vector instructions the stacking loops use: those every processor
// of the architecture has, or AVX2 (x86-64).
enum class Simd { Plain, Avx2 };

// The best this processor has.
Simd best_simd();

class Reader {
public:
  // The library's `in`, opened already, read as raw bytes of `esize`
  // bytes each; the cube has lengths `n` (axes 1 to 3).
  Reader(Element element, int esize, const std::array<std::int64_t, 3> &n);

  // The window `w` as rows x cols values, across fastest: each value the
  // mean, the RMS or the peak (w.overview) of the finite samples of its
  // cell (NaN when there are none).  An
  // error text when the data cannot be read.  Up to kWindows windows are
  // read at once; the block read at once stays below kBlockBytes.
  // `cancelled` is asked between columns: when it says yes (a newer
  // request supersedes this one), the read stops with an error text.
  // With `peaks` (and a mean or RMS asked for), the peak overview of the
  // same window is made in the same pass, into `peaks`.
  std::optional<std::string> read(const WindowRequest &w, std::vector<float> &out, int &rows,
                                  int &cols, const std::function<bool()> &cancelled = {},
                                  std::vector<float> *peaks = nullptr);

  // The stacking loops to use from now on (the best the processor has by
  // default); false, and nothing changed, when the processor lacks them.
  bool use(Simd simd);

  // Reads the samples from `path` itself (the only data file, holding the
  // samples from its first byte) where the traces lie along axis 1, on as
  // many threads as the machine has cores (up to kThreads), instead of
  // through the library one block at a time.  False when it cannot be
  // opened: the library's reads stay.
  // With `map`, whole traces (a window of every sample of axis 1 across
  // axis 2) are stacked where they lie, through a mapping of the whole
  // file (a bus error of a file cut meanwhile is caught), instead of being
  // copied out of it as the other windows are.
  bool read_directly(const std::string &path, bool map = false);
  ~Reader();

  // Whether `traces` traces spread evenly over the data (their first
  // kSampledSamples samples each), read directly, hold a finite sample
  // below zero and one above; nothing when the data are not read
  // directly or cannot be read.  Bytes are unsigned: never.  A hint for
  // the page (data of one sign need no peak overview), not a promise.
  std::optional<bool> both_signs_sampled(int traces) const;
  static constexpr std::int64_t kSampledSamples = 4096;

  // The lock of every call of the library (which is not thread-safe).
  std::mutex &library() { return library_; }

  static constexpr std::int64_t kBlockBytes = std::int64_t{4} << 20;
  // Samples along the down axis stacked at once.
  static constexpr std::int64_t kStack = std::int64_t{1} << 18;
  static constexpr int kThreads = 8;
  // Windows read at once; a further one waits for one of them to end.
  static constexpr int kWindows = 4;

private:
  // The working memory of one thread, kept between windows.
  struct Work {
    // The bytes of one read, aligned to a page (see kovaligned.hpp).
    std::vector<char, kovtool::PageAligned<char>> block;
    std::vector<double> stack;        // sums over the traces of a cell, per sample
    std::vector<double> peak;         // peaks over the traces of a cell, per sample (integers)
    std::vector<float> peakf;         // the same of floats and bytes
    std::vector<std::int32_t> finite; // finite samples summed, per sample
  };
  bool columns(const WindowRequest &w, std::int64_t from, std::int64_t to, Work &work,
               std::vector<float> &out, std::vector<float> *peaks,
               const std::function<bool()> &cancelled);
  bool direct(const WindowRequest &w, std::int64_t p0, std::int64_t pn, std::int64_t qs,
              std::int64_t qn, char *block) const;

  Element element_;
  int esize_;
  std::array<std::int64_t, 3> n_;
  Simd simd_;
  std::mutex library_; // the library is not thread-safe
  // The working memory not in use, and the windows being read.
  std::mutex pool_mutex_;
  std::condition_variable pool_free_;
  std::vector<std::unique_ptr<Work>> pool_;
  int reading_ = 0;
  int fd_ = -1;                                    // the data file read directly, or -1
  void *map_ = nullptr;                            // the data file mapped whole, or null
  std::unique_ptr<kovtool::BusErrors> bus_errors_; // caught while a file is mapped
  std::size_t mapped_ = 0;
};

} // namespace kovview

#endif
