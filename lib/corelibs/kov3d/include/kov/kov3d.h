// SPDX-License-Identifier: Apache-2.0
/**
 * \file kov3d.h
 * kov3d: datasets of traces that carry header records and a grid.
 *
 * A three-dimensional dataset is its data (history tag such as "in" or
 * "out"), a header format file (hff: one record of 4-byte key values per
 * trace, axis 1 over the keys) and a grid format file (gff: 4-byte record
 * numbers, one per grid cell).  The data's history names them with "hff"
 * and "gff"; "-1" says there is none.  A program calls init_3d() first and
 * kov_3d_close() last.
 *
 * Conventions of every routine below (exceptions are marked where they
 * occur):
 * - Entry points have C linkage.  The first argument is the history tag of
 *   the dataset (a terminated text); inputs come before outputs.  Counts,
 *   indices, origins and steps are passed by reference (`const int *`),
 *   results through pointers the caller provides.
 * - The `int` result is a code: 0 success, 1 the tag has no stream record,
 *   2 the tag has no header or grid format file, 3 a key name not found, -1
 *   a key description missing; a negative parameter lookup result is
 *   passed back unchanged.  Outputs are left as they were on a non-zero
 *   code unless the routine says otherwise.
 * - Misuse (a key number out of range, describing keys of an input) and
 *   failed transfers are fatal: the routine prints the program name and
 *   the message on standard error and standard output and ends the process
 *   with status 23 through koverr(); such a routine does not return.
 * - State is per process: the hff, gff and key count of a tag are bound
 *   once and kept in the tag's stream record (see kovlib.h) until the tag
 *   is closed.  Nothing here is safe to call from two threads.
 * - Texts the caller receives are cut to the room given by the
 *   `KOV3D_*_ROOM` macros (terminator included).
 * - Callers that pass blank-padded texts by reference use the entry points
 *   of the same name followed by one or two underscores; they follow the
 *   foreign-caller conventions of kovlib.h.
 */
#ifndef KOV_KOV3D_H
#define KOV_KOV3D_H

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

/** \defgroup kov3d_rooms Room for text results
 * \details Room the caller provides for text results (terminator included); longer
 * texts are cut to fit.
 * @{ */
/** Room of the key name written by kov_get_key_name(). */
#define KOV3D_KEY_NAME_ROOM 255
/** Room of the text written by kov_get_key_type() and kov_get_key_fmt(). */
#define KOV3D_KEY_TYPE_ROOM 32
/** Room of the label written by the kov_get_*_axis_par() calls. */
#define KOV3D_LABEL_ROOM 256
/** Room of the name written by fget_header_format_tag() and fget_grid_format_tag(). */
#define KOV3D_TAG_ROOM 4096
/** @} */

/* ---- Header keys and axes ------------------------------------------------ */

/** \defgroup kov3d_keys Header keys and axes
 * \details Key descriptions (numbered from 1), the header and grid format files of
 * a tag, and the axis descriptions of the data, the hff and the gff.
 * @{ */

/** Bind the hff and gff of "in"; the first call of a three-dimensional
 * program.  The names come from the command-line parameters "hff_in" and
 * "gff_in", else from "hff" and "gff" of the input history; the hff is
 * opened as an auxiliary input, the gff too and made seekable.  Fatal when
 * either is already bound to "in" (init_3d called late) or the grid cannot
 * be made seekable.  Does nothing when "in" has no stream record. */
void init_3d(void);

/** Set the number of header keys of the tag's hff (found or created as by
 * kov_get_header_format_tag()) and write "n1" into the hff's history; the
 * descriptions of the first keys are kept.
 * \param tag history tag of the dataset
 * \param n_keys number of keys
 * \return 0, or the code of finding the hff */
int kov_put_number_keys(const char *tag, const int *n_keys);
/** The number of header keys, read from the hff's "n1" and "hdrtype%d" the
 * first time and then kept.  Fatal for an output tag whose count was never
 * set, and when "n1" or a key type is missing from the hff's history.
 * \param tag history tag of the dataset
 * \param[out] n_keys the number of keys (0 when the hff is not found)
 * \return 0, the code of finding the hff, or -1 when a key type is neither
 *   "scalar_float" nor "scalar_int" */
int kov_get_number_keys(const char *tag, int *n_keys);
/** Describe key *key_index: one line in the hff's history carrying
 * "hdrkey%d", "hdrtype%d" and "hdrfmt%d".  Fatal when
 * kov_put_number_keys() was not called, the index is outside 1..n_keys, or
 * the type is unknown.
 * \param tag history tag of the dataset
 * \param key_name name of the key
 * \param key_type "scalar_float" or "scalar_int"
 * \param key_fmt element format name in which the values are stored, such
 *   as "xdr_float" or "xdr_int"
 * \param key_index number of the key, from 1
 * \return 0, 1 for a tag without stream record, or the code of finding the
 *   hff */
int kov_put_key(const char *tag, const char *key_name, const char *key_type, const char *key_fmt,
                const int *key_index);
/** Find a key by its name (exact comparison).
 * \param tag history tag of the dataset
 * \param key_name name of the key
 * \param[out] key_index its number from 1; 0 when not found
 * \return 0, 3 when no key has that name, or a code of the key count */
int kov_get_key_index(const char *tag, const char *key_name, int *key_index);
/** The name of a key ("hdrkey%d" of the hff).
 * \param tag history tag of the dataset
 * \param key_index number of the key, from 1
 * \param[out] key_name room for #KOV3D_KEY_NAME_ROOM bytes
 * \return 0, -1 when the key is not described, or a code of finding the
 *   hff */
int kov_get_key_name(const char *tag, const int *key_index, char *key_name);
/** The type of a key ("hdrtype%d": "scalar_float" or "scalar_int").
 * \param tag history tag of the dataset
 * \param key_index number of the key, from 1
 * \param[out] key_type room for #KOV3D_KEY_TYPE_ROOM bytes
 * \return 0, -1 when the key is not described, or a code of finding the
 *   hff */
int kov_get_key_type(const char *tag, const int *key_index, char *key_type);
/** The element format of a key ("hdrfmt%d", such as "xdr_float").
 * \param tag history tag of the dataset
 * \param key_index number of the key, from 1
 * \param[out] key_fmt room for #KOV3D_KEY_TYPE_ROOM bytes
 * \return 0, -1 when the key is not described, or a code of finding the
 *   hff */
int kov_get_key_fmt(const char *tag, const int *key_index, char *key_fmt);
/** Offset of a key in a header record: the sizes of the keys before it (4
 * bytes each).  Index n_keys + 1 gives the record length; a larger index
 * is fatal.
 * \param tag history tag of the dataset
 * \param key_index number of the key, from 1
 * \param[out] first_byte the offset in bytes
 * \return 0, or a code of the key count */
int kov_get_key_first_byte(const char *tag, const int *key_index, int *first_byte);
/** Length of one header record: the sum of the key sizes.
 * \param tag history tag of the dataset
 * \param[out] n_bytes the length in bytes
 * \return 0, or a code of the key count */
int kov_get_header_bytes(const char *tag, int *n_bytes);

/** Set the tag's hff (a new tag becomes an output): write "hff" into its
 * history and open the file, as an auxiliary output for an output tag (its
 * name removed at once when "out" goes to a pipe: the content reaches the
 * reader at close) and as a scratch dataset for an in/out or socket-out
 * tag.  Fatal for an input tag and for "out" through a pipe once its
 * history has ended.
 * \param tag history tag of the dataset
 * \param name name (tag) of the hff
 * \return 0 */
int kov_put_header_format_tag(const char *tag, const char *name);
/** Set the tag's gff as kov_put_header_format_tag() sets the hff, except
 * that the gff is a scratch dataset for in/out and scratch tags (and is
 * not opened for a socket-out tag); the gff's element format becomes
 * "xdr_int".
 * \param tag history tag of the dataset
 * \param name name (tag) of the gff
 * \return 0 */
int kov_put_grid_format_tag(const char *tag, const char *name);
/** Find or create the tag's hff.  An input takes "hff" of its history (the
 * command-line "hff_in" overrides it) and opens it; an output takes the
 * command-line "hff" or derives a name from its header file (fatal when
 * "out" is a file outside the current directory) or, through a pipe, from
 * the datapath, and sets it with kov_put_header_format_tag().  Fatal for
 * "in" before init_3d() bound it.
 * \param tag history tag of the dataset
 * \param[out] name a new text from the C heap, released with free()
 * \return 0, 1 for a tag without stream record, 2 when the dataset has no
 *   headers ("-1" or no "hff") */
int kov_get_header_format_tag(const char *tag, char **name);
/** Find or create the tag's gff, as kov_get_header_format_tag() does the
 * hff.
 * \param tag history tag of the dataset
 * \param[out] name a new text from the C heap, released with free()
 * \return 0, 1 for a tag without stream record, 2 when the dataset has no
 *   grid */
int kov_get_grid_format_tag(const char *tag, char **name);
/** kov_get_header_format_tag() into a buffer of the caller.
 * \param tag history tag of the dataset
 * \param[out] name room for #KOV3D_TAG_ROOM bytes
 * \return as kov_get_header_format_tag() */
int fget_header_format_tag(const char *tag, char *name);
/** kov_get_grid_format_tag() into a buffer of the caller.
 * \param tag history tag of the dataset
 * \param[out] name room for #KOV3D_TAG_ROOM bytes
 * \return as kov_get_grid_format_tag() */
int fget_grid_format_tag(const char *tag, char *name);

/** Describe data axis *i_axis in the tag's own history ("n%d", "o%d",
 * "d%d", "label%d" on one line; a new tag becomes an output).  A failed
 * write is fatal.
 * \param tag history tag of the dataset
 * \param i_axis axis number, from 1
 * \param n number of samples
 * \param o origin
 * \param d sampling interval
 * \param label axis label
 * \return 0 */
int kov_put_data_axis_par(const char *tag, const int *i_axis, const int *n, const float *o,
                          const float *d, const char *label);
/** Read data axis *i_axis from the tag's history; absent values read as
 * n 1, o 0, d 1 and an empty label.
 * \param tag history tag of the dataset
 * \param i_axis axis number, from 1
 * \param[out] n number of samples
 * \param[out] o origin
 * \param[out] d sampling interval
 * \param[out] label room for #KOV3D_LABEL_ROOM bytes, or null
 * \return 0, 1 for a tag without stream record, or a negative lookup
 *   result */
int kov_get_data_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                          char *label);
/** Describe header axis *i_axis (2 and up) in the hff's history; axis 1 is
 * the key axis and fatal here (use kov_put_number_keys()).
 * \param tag history tag of the dataset
 * \param i_axis axis number, from 2
 * \param n number of samples
 * \param o origin
 * \param d sampling interval
 * \param label axis label
 * \return 0, 1 for a tag without stream record, or the code of finding the hff */
int kov_put_header_axis_par(const char *tag, const int *i_axis, const int *n, const float *o,
                            const float *d, const char *label);
/** Read header axis *i_axis from the hff's history, with the defaults of
 * kov_get_data_axis_par().
 * \param tag history tag of the dataset
 * \param i_axis axis number, from 1
 * \param[out] n number of samples
 * \param[out] o origin
 * \param[out] d sampling interval
 * \param[out] label room for #KOV3D_LABEL_ROOM bytes, or null
 * \return 0, the code of finding the hff, or a negative lookup result */
int kov_get_header_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                            char *label);
/** Describe grid axis *i_axis (2 and up) in the gff's history ("n%d_grid"
 * and so on); axis 1 is fatal here.
 * \param tag history tag of the dataset
 * \param i_axis axis number, from 2
 * \param n number of cells
 * \param o origin
 * \param d sampling interval
 * \param label axis label
 * \return 0, 1 for a tag without stream record, or the code of finding the gff */
int kov_put_grid_axis_par(const char *tag, const int *i_axis, const int *n, const float *o,
                          const float *d, const char *label);
/** Read grid axis *i_axis from the gff's history, with the defaults of
 * kov_get_data_axis_par().
 * \param tag history tag of the dataset
 * \param i_axis axis number, from 1
 * \param[out] n number of cells
 * \param[out] o origin
 * \param[out] d sampling interval
 * \param[out] label room for #KOV3D_LABEL_ROOM bytes, or null
 * \return 0, the code of finding the gff, or a negative lookup result */
int kov_get_grid_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                          char *label);

/** Number of data axes: the highest axis whose length n%d differs from 1
 * (at least 1), scanning n1, n2, ... up to the first one absent from the
 * history.  Fatal unless n1 is present as a single integer.
 * \param tag history tag of the dataset
 * \param[out] n_axis the number of axes
 * \return 0, or 1 for a tag without stream record */
int kov_get_number_data_axes(const char *tag, int *n_axis);
/** The same scan over n2, n3, ... of the hff.
 * \param tag history tag of the dataset
 * \param[out] n_axis the number of header axes
 * \return 0, or the code of finding the hff */
int kov_get_number_header_axes(const char *tag, int *n_axis);
/** The same scan over n2_grid, n3_grid, ... of the gff.
 * \param tag history tag of the dataset
 * \param[out] n_axis the number of grid axes
 * \return 0, or the code of finding the gff */
int kov_get_number_grid_axes(const char *tag, int *n_axis);

/** @} */

/* ---- Header values -------------------------------------------------------- */

/** \defgroup kov3d_values Header values
 * \details Key values of header records (numbered from 1) read from and written to
 * the hff's data, converted with the key's element format; failed seeks
 * and short transfers are fatal.
 * @{ */

/** Write key *key_index of *n_values records from *record_number on, one
 * seek and one write per record.
 * \param tag history tag of the dataset
 * \param record_number first record, from 1
 * \param key_index number of the key, from 1
 * \param n_values number of records
 * \param values the values, 4 bytes each
 * \return 0, or a code of finding the hff or the key */
int kov_put_val_by_index(const char *tag, const int *record_number, const int *key_index,
                         const int *n_values, const void *values);
/** Read key *key_index of *n_values records from *record_number on.
 * \param tag history tag of the dataset
 * \param record_number first record, from 1
 * \param key_index number of the key, from 1
 * \param n_values number of records
 * \param[out] values room for *n_values values of 4 bytes
 * \return 0, or a code of finding the hff or the key */
int kov_get_val_by_index(const char *tag, const int *record_number, const int *key_index,
                         const int *n_values, void *values);
/** kov_put_val_by_index() for the key of that name.
 * \param tag history tag of the dataset
 * \param record_number first record, from 1
 * \param key_name name of the key
 * \param n_values number of records
 * \param values the values, 4 bytes each
 * \return 0, 3 when no key has that name, or a code of finding the hff */
int kov_put_val_by_name(const char *tag, const int *record_number, const char *key_name,
                        const int *n_values, const void *values);
/** kov_get_val_by_index() for the key of that name.
 * \param tag history tag of the dataset
 * \param record_number first record, from 1
 * \param key_name name of the key
 * \param n_values number of records
 * \param[out] values room for *n_values values of 4 bytes
 * \return 0, 3 when no key has that name, or a code of finding the hff */
int kov_get_val_by_name(const char *tag, const int *record_number, const char *key_name,
                        const int *n_values, void *values);
/** Write whole records at the current position of the hff's data: records
 * are written in sequence, *record_number is not used to position.
 * \param tag history tag of the dataset
 * \param record_number number of the first record (not used)
 * \param n_headers number of records
 * \param header_values the records, kov_get_header_bytes() each
 * \return 0, or a code of finding the hff or the key count */
int kov_put_val_headers(const char *tag, const int *record_number, const int *n_headers,
                        const void *header_values);
/** Read whole records, converted with the hff's own element format.
 * \param tag history tag of the dataset
 * \param record_number first record, from 1
 * \param n_headers number of records
 * \param[out] header_values room for *n_headers records
 * \return 0, or a code of finding the hff or the key count */
int kov_get_val_headers(const char *tag, const int *record_number, const int *n_headers,
                        void *header_values);
/** Pick one key's values out of *n_values whole records in memory; no file
 * is touched.
 * \param tag history tag of the dataset (for the key layout)
 * \param key_index number of the key, from 1
 * \param n_values number of records
 * \param[out] values room for *n_values values
 * \param all_values the records
 * \return 0, or a code of the key layout */
int kov_extract_val_by_index(const char *tag, const int *key_index, const int *n_values,
                             void *values, const void *all_values);
/** Put one key's values into *n_values whole records in memory; no file is
 * touched.
 * \param tag history tag of the dataset (for the key layout)
 * \param key_index number of the key, from 1
 * \param n_values number of records
 * \param values the key's values
 * \param[in,out] all_values the records
 * \return 0, or a code of the key layout */
int kov_insert_val_by_index(const char *tag, const int *key_index, const int *n_values,
                            const void *values, void *all_values);

/** @} */

/* ---- Copy, reorder and close ---------------------------------------------- */

/** \defgroup kov3d_copy Copy, reorder and close
 * \details Descriptions passed on from input to output, grid windows, trace
 * reordering and the closing call.
 * @{ */

/** Point out's history at in's data file ("sets next: in"); the data are
 * shared, not copied.
 * \param tag_in tag whose data are pointed at
 * \param tag_out tag whose history gets the pointer
 * \return 0, or -1 when either tag has no stream record (nothing written) */
int kov_copy_data_pointer(const char *tag_in, const char *tag_out);
/** Write "hff" = "-1" (no headers) into the tag's history; a failed write
 * is fatal.
 * \param tag history tag of the dataset
 * \return 0 */
int kov_set_no_headers(const char *tag);
/** Write "gff" = "-1" (no grid) into the tag's history; a failed write is
 * fatal.
 * \param tag history tag of the dataset
 * \return 0 */
int kov_set_no_grid(const char *tag);
/** Make the tag's grid regular: its gff points at no data ("-1"), and the
 * record number of a cell is its position in the grid.
 * \param tag history tag of the dataset
 * \return 0, or the code of finding the gff */
int kov_set_regular_grid(const char *tag);
/** Copy the key count and every key description from one dataset to
 * another.
 * \param tag_in source tag
 * \param tag_out destination tag
 * \return 0, or the code of the first step that failed */
int kov_copy_header_keys(const char *tag_in, const char *tag_out);
/** Copy the hff: key count, header axes 2 and up, key descriptions, and a
 * pointer to in's header values (shared, not copied).
 * \param tag_in source tag
 * \param tag_out destination tag
 * \return 0, or the code of the first step that failed */
int kov_copy_hff(const char *tag_in, const char *tag_out);
/** Copy the gff: grid axes 2 and up and a pointer to in's grid cells.
 * \param tag_in source tag
 * \param tag_out destination tag
 * \return 0, or the code of the first step that failed */
int kov_copy_gff(const char *tag_in, const char *tag_out);
/** Copy the gff's history and every grid cell value; short transfers are
 * fatal.
 * \param intag source tag
 * \param outtag destination tag
 * \return 0, 1 when in has no gff, -1 when out has none or an axis cannot
 *   be read */
int kov_copy_grid(const char *intag, const char *outtag);
/** Read a window over grid axes 2 .. *n_dim_grid: the record numbers of
 * its cells, or for a regular grid their 1-based positions.  The window is
 * handled by kov_window(), which warns and does not end the program.
 * \param tag history tag of the dataset
 * \param n_dim_grid number of grid axes; the arrays hold *n_dim_grid - 1
 *   entries
 * \param n_grid cells of each grid axis
 * \param n_wind cells of the window on each axis
 * \param f_wind first cell of the window on each axis, from 0
 * \param j_wind step on each axis
 * \param[out] header_numbers one record number per window cell
 * \return 0, the code of finding the gff, or the result of kov_window() */
int kov_get_grid_window(const char *tag, const int *n_dim_grid, const int *n_grid,
                        const int *n_wind, const int *f_wind, const int *j_wind,
                        int *header_numbers);
/** Write record numbers into a window of the grid cells; arguments as for
 * kov_get_grid_window().
 * \param tag history tag of the dataset
 * \param n_dim_grid number of grid axes
 * \param n_grid cells of each grid axis
 * \param n_wind cells of the window on each axis
 * \param f_wind first cell of the window on each axis, from 0
 * \param j_wind step on each axis
 * \param header_numbers one record number per window cell
 * \return 0, the code of finding the gff, or the result of kov_window() */
int kov_put_grid_window(const char *tag, const int *n_dim_grid, const int *n_grid,
                        const int *n_wind, const int *f_wind, const int *j_wind,
                        const int *header_numbers);
/** Write the traces order[0..n2h-1] (from 1) of tagin to tagout, reading
 * runs of consecutive traces at once and writing in batches of up to 10000
 * traces.  Fatal for a trace size below 1, an order entry outside the
 * input's traces, and a failed seek, read or write.
 * \param tagin input tag
 * \param tagout output tag
 * \param n2h number of traces to write
 * \param tsize bytes per trace
 * \param order input trace numbers, from 1, in output order
 * \return 0 */
int kov_reorder_data(const char *tagin, const char *tagout, int n2h, int tsize, const int *order);
/** kov_reorder_data() in blocks that fit a memory budget: each block of
 * the order list is sorted by input position, read in ascending order and
 * permuted in memory.  Failures are fatal as there.
 * \param tagin input tag
 * \param tagout output tag
 * \param n2h number of traces to write
 * \param tsize bytes per trace
 * \param order input trace numbers, from 1, in output order
 * \param megabyte memory budget of the two trace buffers, in megabytes
 * \return 0 */
int kov_reorder_data_fast(const char *tagin, const char *tagout, int n2h, int tsize,
                          const int *order, int megabyte);
/** Close the output history of "out"; the last call of a three-dimensional
 * program.  When "out" goes to a pipe its hff and gff are handed to the
 * reader over sockets (waiting "timeout" seconds, default 5); a reader that
 * does not connect, or a hff or gff closed beforehand, is fatal. */
void kov_3d_close(void);

/** @} */

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KOV_KOV3D_H */
