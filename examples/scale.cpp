// SPDX-License-Identifier: Apache-2.0
// scale (C++): multiplies every sample of a dataset by a factor, through the
// typed layer: typed parameters with defaults, echoed into the output
// history, and whole-array transfer.
//
//   velmodel | ./scale_typed factor=2 > out.H
//
// Build:  c++ -std=c++20 -o scale_typed scale.cpp $(pkg-config --cflags --libs kov-typed)
#include <kov/kov.hpp>

#include <cstddef>
#include <vector>

int main() {
  kov::kov_init(); // captures the command line: the first call of a program

  int n1 = 0, n2 = 0;
  kov::from_history_int("n1", n1); // required: the program ends if missing
  kov::from_history_int("n2", n2, 1);
  float factor = 1.0f;
  kov::from_param_real("factor", factor, 1.0f); // echoed as "From par: factor=..."

  std::vector<float> samples(static_cast<std::size_t>(n1) * static_cast<std::size_t>(n2));
  kov::array_view<float, 2> data(samples.data(), {n1, n2});
  kov::kov_read_2d(data);
  for (float &v : samples) v *= factor;
  kov::kov_write_2d(data);
  return 0;
}
