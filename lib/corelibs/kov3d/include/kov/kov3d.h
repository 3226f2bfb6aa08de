/*
 * kov3d: datasets of traces that carry header records and a grid.
 *
 * A three-dimensional dataset is its data (history tag such as "in" or
 * "out"), a header format file (hff: one record of 4-byte key values per
 * trace, axis 1 over the keys) and a grid format file (gff: 4-byte record
 * numbers, one per grid cell).  The data's history names them with "hff"
 * and "gff"; "-1" says there is none.
 *
 * Every entry point has C linkage.  Operations take the history tag of the
 * dataset and return a result code: 0 success, 1 the tag has no stream
 * record, 2 the tag has no header or grid format file, 3 a key name not
 * found, -1 a key description missing; a negative parameter lookup result
 * is passed back unchanged.  Counts and indices are passed by reference.
 */
#ifndef KOV_KOV3D_H
#define KOV_KOV3D_H

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

/* Room the caller provides for text results (terminator included); longer
 * texts are cut to fit. */
#define KOV3D_KEY_NAME_ROOM 255 /* kov_get_key_name */
#define KOV3D_KEY_TYPE_ROOM 32  /* kov_get_key_type, kov_get_key_fmt */
#define KOV3D_LABEL_ROOM 256    /* label of the get_*_axis_par calls */
#define KOV3D_TAG_ROOM 4096     /* fget_header_format_tag, fget_grid_format_tag */

/* ---- Header keys and axes ------------------------------------------------ */

/* Bind the hff and gff of "in"; the first call of a three-dimensional
 * program. */
void init_3d(void);

int kov_put_number_keys(const char *tag, const int *n_keys);
int kov_get_number_keys(const char *tag, int *n_keys);
/* Describe key *key_index (from 1): type "scalar_float" or "scalar_int",
 * key_fmt an element format name such as "xdr_float". */
int kov_put_key(const char *tag, const char *key_name, const char *key_type, const char *key_fmt,
                const int *key_index);
int kov_get_key_index(const char *tag, const char *key_name, int *key_index);
int kov_get_key_name(const char *tag, const int *key_index, char *key_name);
int kov_get_key_type(const char *tag, const int *key_index, char *key_type);
int kov_get_key_fmt(const char *tag, const int *key_index, char *key_fmt);
int kov_get_key_first_byte(const char *tag, const int *key_index, int *first_byte);
int kov_get_header_bytes(const char *tag, int *n_bytes);

int kov_put_header_format_tag(const char *tag, const char *name);
int kov_put_grid_format_tag(const char *tag, const char *name);
/* *name receives a new text from the C heap, released with free(). */
int kov_get_header_format_tag(const char *tag, char **name);
int kov_get_grid_format_tag(const char *tag, char **name);
/* The same into a buffer of KOV3D_TAG_ROOM bytes. */
int fget_header_format_tag(const char *tag, char *name);
int fget_grid_format_tag(const char *tag, char *name);

int kov_put_data_axis_par(const char *tag, const int *i_axis, const int *n, const float *o,
                          const float *d, const char *label);
int kov_get_data_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                          char *label);
int kov_put_header_axis_par(const char *tag, const int *i_axis, const int *n, const float *o,
                            const float *d, const char *label);
int kov_get_header_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                            char *label);
int kov_put_grid_axis_par(const char *tag, const int *i_axis, const int *n, const float *o,
                          const float *d, const char *label);
int kov_get_grid_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                          char *label);

/* Number of data axes: the highest axis whose length n%d differs from 1
 * (at least 1), scanning n1, n2, ... up to the first one absent from the
 * history.  n1 must be present as a single integer. */
int kov_get_number_data_axes(const char *tag, int *n_axis);
/* The same scan over n2, n3, ... of the hff. */
int kov_get_number_header_axes(const char *tag, int *n_axis);
/* The same scan over n2_grid, n3_grid, ... of the gff. */
int kov_get_number_grid_axes(const char *tag, int *n_axis);

/* ---- Header values -------------------------------------------------------- */

/* Key *key_index of records *record_number .. *record_number + *n_values - 1,
 * converted with the key's element format. */
int kov_put_val_by_index(const char *tag, const int *record_number, const int *key_index,
                         const int *n_values, const void *values);
int kov_get_val_by_index(const char *tag, const int *record_number, const int *key_index,
                         const int *n_values, void *values);
int kov_put_val_by_name(const char *tag, const int *record_number, const char *key_name,
                        const int *n_values, const void *values);
int kov_get_val_by_name(const char *tag, const int *record_number, const char *key_name,
                        const int *n_values, void *values);
/* Whole records.  The put form writes at the current position of the hff's
 * data: records are written in sequence, *record_number is not used to
 * position. */
int kov_put_val_headers(const char *tag, const int *record_number, const int *n_headers,
                        const void *header_values);
int kov_get_val_headers(const char *tag, const int *record_number, const int *n_headers,
                        void *header_values);
/* Between *n_values whole records in memory and one key's packed values. */
int kov_extract_val_by_index(const char *tag, const int *key_index, const int *n_values,
                             void *values, const void *all_values);
int kov_insert_val_by_index(const char *tag, const int *key_index, const int *n_values,
                            const void *values, void *all_values);

/* ---- Copy, reorder and close ---------------------------------------------- */

int kov_copy_data_pointer(const char *tag_in, const char *tag_out);
int kov_set_no_headers(const char *tag);
int kov_set_no_grid(const char *tag);
int kov_set_regular_grid(const char *tag);
int kov_copy_header_keys(const char *tag_in, const char *tag_out);
int kov_copy_hff(const char *tag_in, const char *tag_out);
int kov_copy_gff(const char *tag_in, const char *tag_out);
int kov_copy_grid(const char *intag, const char *outtag);
/* A window over grid axes 2 .. *n_dim_grid: the arrays hold *n_dim_grid - 1
 * entries (lengths, counts, first indices from 0, steps). */
int kov_get_grid_window(const char *tag, const int *n_dim_grid, const int *n_grid,
                        const int *n_wind, const int *f_wind, const int *j_wind,
                        int *header_numbers);
int kov_put_grid_window(const char *tag, const int *n_dim_grid, const int *n_grid,
                        const int *n_wind, const int *f_wind, const int *j_wind,
                        const int *header_numbers);
/* Write the traces order[0..n2h-1] (from 1) of tagin, tsize bytes each. */
int kov_reorder_data(const char *tagin, const char *tagout, int n2h, int tsize, const int *order);
int kov_reorder_data_fast(const char *tagin, const char *tagout, int n2h, int tsize,
                          const int *order, int megabyte);
/* Close the output history; a piped output hands its hff and gff over. */
void kov_3d_close(void);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KOV_KOV3D_H */
