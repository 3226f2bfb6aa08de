// SPDX-License-Identifier: Apache-2.0
/* A tiny C program of the family, built against an installed kovlib. */
#include <kov/kovlib.h>

#include <stdio.h>

int main(int argc, char **argv) {
  int n1 = 0;
  float d1 = 0.0f;
  initpar(argc, argv);
  if (getch("n1", "d", &n1) != 1 || getch("d1", "f", &d1) != 1) erexit("missing n1 or d1");
  printf("n1=%d d1=%g\n", n1, d1);
  return 0;
}
