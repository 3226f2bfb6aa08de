// SPDX-License-Identifier: Apache-2.0
/*
 * addkeys: copies a dataset of traces and gives every trace header keys,
 * making it a three-dimensional dataset: the key "trace" (the trace number,
 * an integer) and the key "x" (its lateral position o2 + (trace-1)*d2).
 *
 *   velmodel n2=100 | ./addkeys > keyed.H
 *
 * Build:  cc -o addkeys addkeys.c $(pkg-config --cflags --libs kov3d)
 *
 * The keys go to a header format file (hff) beside the data; the output
 * history names it.  kov_3d_close finishes the history and the hff.
 */
#include <kov/kov3d.h>
#include <kov/kovlib.h>

#include <stdlib.h>

int main(int argc, char **argv) {
  initpar(argc, argv);

  int n1 = 0, n2 = 1;
  float o1 = 0.0f, d1 = 1.0f, o2 = 0.0f, d2 = 1.0f;
  if (hetch("n1", "d", &n1) != 1 || n1 <= 0) koverr("need n1 > 0 in the input history\n");
  hetch("n2", "d", &n2);
  hetch("o1", "f", &o1);
  hetch("d1", "f", &d1);
  hetch("o2", "f", &o2);
  hetch("d2", "f", &d2);

  /* The data axes, then two keys, one header record per trace, no grid. */
  const int axis1 = 1, axis2 = 2, n_keys = 2, key_trace = 1, key_x = 2;
  kov_put_data_axis_par("out", &axis1, &n1, &o1, &d1, "depth");
  kov_put_data_axis_par("out", &axis2, &n2, &o2, &d2, "trace");
  kov_put_number_keys("out", &n_keys);
  kov_put_key("out", "trace", "scalar_int", "xdr_int", &key_trace);
  kov_put_key("out", "x", "scalar_float", "xdr_float", &key_x);
  const float one = 1.0f;
  kov_put_header_axis_par("out", &axis2, &n2, &one, &one, "record");
  kov_set_no_grid("out");

  float *trace = malloc(sizeof *trace * (size_t)n1);
  if (trace == NULL) koverr("no memory for a trace of %d samples\n", n1);
  const int nbytes = n1 * (int)sizeof *trace, one_record = 1;
  for (int t = 1; t <= n2; ++t) {
    if (sreed("in", trace, nbytes) != nbytes) koverr("the input ends before trace %d\n", t);
    const float x = o2 + (float)(t - 1) * d2;
    kov_put_val_by_name("out", &t, "trace", &one_record, &t);
    kov_put_val_by_name("out", &t, "x", &one_record, &x);
    if (srite("out", trace, nbytes) != nbytes) koverr("cannot write trace %d\n", t);
  }
  free(trace);
  kov_3d_close();
  return 0;
}
