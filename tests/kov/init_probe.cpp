// SPDX-License-Identifier: Apache-2.0
// A program that starts the library with kov_init and prints one
// parameter, fetched with its echo into the output history.
#include <kov/kov.hpp>

#include <cstdio>

int main() {
  kov::kov_init("init_probe.cpp");
  int n1 = 0;
  kov::from_param_int("n1", n1);
  std::printf("%d\n", n1);
  kov::kov_close();
  return 0;
}
