/*
 * kov3d: datasets of traces that carry header records and a grid.
 *
 * Every entry point has C linkage.  Operations take the history tag of the
 * dataset and return a result code: 0 success, 1 the tag has no stream
 * record, 2 the tag has no header or grid format file.
 */
#ifndef KOV_KOV3D_H
#define KOV_KOV3D_H

#ifdef __cplusplus
extern "C" {
#endif

/* Number of data axes: the highest axis whose length n%d differs from 1
 * (at least 1), scanning n1, n2, ... up to the first one absent from the
 * history.  n1 must be present as a single integer. */
int kov_get_number_data_axes(const char *tag, int *n_axis);

/* Number of grid axes: the same scan over n2_grid, n3_grid, ... of the
 * dataset's grid format file (at least 1). */
int kov_get_number_grid_axes(const char *tag, int *n_axis);

#ifdef __cplusplus
}
#endif

#endif /* KOV_KOV3D_H */
