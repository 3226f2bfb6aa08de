// SPDX-License-Identifier: Apache-2.0
/* A tiny C program on the three-dimensional layer, built against an
 * installed kov (kov3d / kov::kov3d): a tag without a stream record answers
 * with result code 1. */
#include <kov/kov3d.h>
#include <kov/kovlib.h>

#include <stdio.h>

int main(int argc, char **argv) {
  int n1 = 0, n_keys = -1;
  float d1 = 0.0f;
  initpar(argc, argv);
  if (getch("n1", "d", &n1) != 1 || getch("d1", "f", &d1) != 1) erexit("missing n1 or d1");
  if (kov_get_number_keys("nosuch", &n_keys) != 1) erexit("a tag without a record answered");
  printf("n1=%d d1=%g\n", n1, d1);
  return 0;
}
