// SPDX-License-Identifier: Apache-2.0
/*
 * scale: multiplies every sample of a dataset by a factor.
 *
 *   velmodel | ./scale factor=2 > out.H
 *
 * Build:  cc -o scale scale.c $(pkg-config --cflags --libs kov)
 *
 * A filter of the family reads the dataset `in` (its history header on
 * standard input, or the file named by in=), writes the dataset `out` (the
 * header on standard output, or the file named by out=), and records what it
 * did in the output history, which starts as a copy of the input's.
 */
#include <kov/kovlib.h>

#include <stdlib.h>

int main(int argc, char **argv) {
  initpar(argc, argv); /* capture the command line first */

  /* The input's dimensions, from its history header. */
  int n1 = 0, n2 = 1, n3 = 1;
  if (hetch("n1", "d", &n1) != 1 || n1 <= 0) koverr("need n1 > 0 in the input history\n");
  hetch("n2", "d", &n2);
  hetch("n3", "d", &n3);

  /* The parameter, from the command line or a par= file, with a default. */
  float factor = 1.0f;
  getch("factor", "f", &factor);
  putch("factor", "f", &factor); /* remembered in the output history */

  float *trace = malloc(sizeof *trace * (size_t)n1);
  if (trace == NULL) koverr("no memory for a trace of %d samples\n", n1);
  const int nbytes = n1 * (int)sizeof *trace;
  for (long t = 0; t < (long)n2 * n3; ++t) {
    /* sreed and srite move native floats; the library converts from and to
     * the datasets' element formats (XDR by default). */
    if (sreed("in", trace, nbytes) != nbytes) koverr("the input ends before trace %ld\n", t + 1);
    for (int i = 0; i < n1; ++i) trace[i] *= factor;
    if (srite("out", trace, nbytes) != nbytes) koverr("cannot write trace %ld\n", t + 1);
  }
  free(trace);
  return 0; /* the output header and data reach their files at exit */
}
