// SPDX-License-Identifier: Apache-2.0
// Prints the command line as the library captures it from the run time,
// one argument per line between brackets.
#include <kov/kovlib.h>

#include <cstdio>

int main() {
  finitpar();
  for (int i = 1; i < kovxargc; ++i) std::printf("[%s]\n", kovxargv[i]);
  return kovxargv[kovxargc] == nullptr ? 0 : 1;
}
