// SPDX-License-Identifier: Apache-2.0
// A tiny C++ program of the family on the typed layer, built against an
// installed kov (kov-typed / kov::typed).
#include <kov/kov.hpp>

#include <cstdio>

int main() {
  kov::kov_init();
  int n1 = 0;
  float d1 = 0.0f;
  kov::from_par_int("n1", n1);
  kov::from_par_real("d1", d1, 1.0f);
  std::printf("n1=%d d1=%g\n", n1, static_cast<double>(d1));
  return 0;
}
