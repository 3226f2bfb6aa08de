// SPDX-License-Identifier: Apache-2.0
/**
 * \file kovlib.h
 * kovlib: the dataset and parameter library of the kov program family.
 *
 * A program reads its parameters (`name=value` words of the command line,
 * parameter files named by `par=`, the history headers of its inputs),
 * reads and writes datasets known by a tag ("in", "out", or any other word
 * for an auxiliary dataset), and records what it did in the history header
 * of its output.  The routines a program calls come first below, grouped
 * by task; the entry points for callers that pass blank-padded texts by
 * reference follow; the plumbing that stays exported for compatibility
 * comes last, marked so.
 *
 * Conventions of every routine below (exceptions are marked where they
 * occur):
 * - Entry points have C linkage.  Inputs come before outputs.  Texts the
 *   routine does not write are terminated `const char *`; destinations of
 *   lookups are `void *`; counts are `int`; file offsets are `kov_off_t`.
 * - The meaning of an `int` result is that of the family: lookups return
 *   the number of values stored (0 when the name is not found, the
 *   destination then untouched); writers and most other routines return 0;
 *   transfers return the number of bytes moved; seeks the new position or
 *   -1.
 * - Fatal, below, means: the routine reports to the job-status master,
 *   prints the program name as invoked, ": " and the message on standard
 *   error and again on standard output, and ends the process with status
 *   23 (see koverr()); it does not return.  A handler set with
 *   kov_set_fatal_handler() takes the message instead.  Failures that are
 *   not fatal are returned as the routine says.  A dataset that cannot be
 *   opened is not an error where it is opened: its first transfer fails.
 *   A null pointer where a text or buffer is needed is fatal (an assertion
 *   naming the routine) unless the routine says what null means.
 * - State is per process and not locked: the captured command line, the
 *   parameter stores, the registry of datasets by tag with their headers
 *   and data streams, the echo and message handlers.  Nothing here is safe
 *   to call from two threads.  Stores and records are kept until the
 *   process ends (records until auxclose()).
 * - Texts returned as "a new string" are from the C heap and released by
 *   the caller with free(); other returned pointers belong to the library.
 * - Callers that pass every argument by reference and texts as blank-padded
 *   fields use the entry points whose names end in one or two underscores
 *   (group \ref kovlib_fortran).
 */
#ifndef KOV_KOVLIB_H
#define KOV_KOVLIB_H

#include <kov/kov_version.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

/** \defgroup kovlib_types Types and limits
 * \details Types and attributes shared by the declarations below.
 * @{ */

#if defined(__GNUC__)
#define KOV_NORETURN __attribute__((noreturn))
#define KOV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
/** Marks a routine that does not return. */
#define KOV_NORETURN
/** Marks a printf-like routine: argument f is the format, arguments from a
 * on are formatted. */
#define KOV_PRINTF(f, a)
#endif

/** A file offset, signed 64-bit. */
typedef int64_t kov_off_t;
/** A file size, signed 64-bit. */
typedef int64_t kov_file_size_t;

/** Longest parameter line of a history, terminator included. */
#define KOV_LINE_MAX 16374

/** @} */

/* ---- Start and the command line ------------------------------------------ */

/** \defgroup kovlib_start Start and the command line
 * \details Capture of the command line, which every lookup relies on.
 * @{ */

/** Number of captured arguments, the program name included. */
extern int kovxargc;
/** The captured command line: kovxargv[0] is the program name as invoked,
 * kovxargv[kovxargc] is null.  A null kovxargv means initpar was never
 * called. */
extern char **kovxargv;

/** The version of the library the program runs with, "major.minor.patch"
 * (KOV_VERSION_STRING of the headers it was built with may differ).
 * \return a text that belongs to the library */
const char *kov_version(void);

/** Capture the command line (the array is kept, not copied).  Must come
 * before any parameter lookup; a C program calls it first thing in main.
 * \param argc number of arguments, the program name included
 * \param argv the arguments, argv[argc] null */
void initpar(int argc, char **argv);
/** Capture the command line from the language run time instead (for
 * programs whose main is not C): each argument is cut to 255 characters
 * and its trailing blanks removed.  A failed allocation is fatal. */
void finitpar(void);
/** Add one `name=value` word to the command-line store as if it were given
 * after all real arguments (a private copy is kept).  Fatal before
 * initpar().
 * \param string the word; null adds nothing
 * \return 0 */
int getch_add_string(const char *string);
/** Copy argument `i` of the captured command line into `buf`.
 * \param i index, 0 for the program name as invoked
 * \param[out] buf room for the argument and its terminator
 * \return 0, or 1 (nothing copied) when there is no such argument */
int kovarg(int i, char *buf);
/** Copy the program's name (argument 0 after its last '/') into `buf`.
 * \param[out] buf room for the name and its terminator
 * \return 0 */
int kov_prog(char *buf);

/** @} */

/* ---- Parameter lookups --------------------------------------------------- */

/** \defgroup kovlib_lookup Parameter lookups
 * \details Named values from the command line and history headers, converted by a
 * code (first character of `type`): "d" or "i" 32-bit integers, "f" or "r"
 * 32-bit floats, "g" 64-bit doubles, "1" or "l" flags (1 when the value
 * begins with y, Y or 1), "s" a whole text.  A value is read as a list
 * ("1,2,3", "3*2.5"); `name` may hold several names separated by blanks,
 * the one given last winning.  A name given with an empty value counts as
 * not found.  An unknown code is fatal.  The unbounded forms store every
 * value the text holds: the caller must give room for the largest value
 * any user may type or any header may hold, so programs should use the
 * bounded `_n` forms.
 * @{ */

/** Look a name up on the command line and in the parameter files it names.
 * Fills the command-line store on the first call; 0 before initpar().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for every value the text holds
 * \return the number of values stored (1 for a text), 0 when not found */
int getch(const char *name, const char *type, void *dest);
/** Bounded getch(): store at most `room` values (for "s", at most `room`
 * bytes: the text cut to room-1 characters and terminated).
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for `room` values
 * \param room number of values (bytes for "s") `dest` holds
 * \return the number of values the text held, which may exceed `room` (1
 *   for a text); 0 when not found */
int getch_n(const char *name, const char *type, void *dest, size_t room);
/** Look a name up in the history of "in" (opened as an input on first use).
 * Fatal when "in" has no header, and before initpar().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for every value the text holds
 * \return the number of values stored, 0 when not found */
int hetch(const char *name, const char *type, void *dest);
/** Bounded hetch(), as getch_n().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for `room` values
 * \param room number of values (bytes for "s") `dest` holds
 * \return the number of values the text held; 0 when not found */
int hetch_n(const char *name, const char *type, void *dest, size_t room);
/** Look a name up on the command line, then in the history of "in": the
 * command line overrides the input header.  Fails as hetch().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for every value the text holds
 * \return the number of values stored, 0 when not found */
int fetch(const char *name, const char *type, void *dest);
/** Bounded fetch(), as getch_n().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for `room` values
 * \param room number of values (bytes for "s") `dest` holds
 * \return the number of values the text held; 0 when not found */
int fetch_n(const char *name, const char *type, void *dest, size_t room);
/** Look a name up in the history of the dataset `tag` (opened as an input
 * on first use).  Fatal when the dataset has no header, and before
 * initpar().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for every value the text holds
 * \param tag tag of the dataset
 * \return the number of values stored, 0 when not found */
int auxpar(const char *name, const char *type, void *dest, const char *tag);
/** Bounded auxpar(), as getch_n().
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for `room` values
 * \param room number of values (bytes for "s") `dest` holds
 * \param tag tag of the dataset
 * \return the number of values the text held; 0 when not found */
int auxpar_n(const char *name, const char *type, void *dest, size_t room, const char *tag);
/** Look a name up on the command line, then in the supplementary store of
 * "in", which nothing fills (but "in" is opened, its header read).
 * Exception: the destination is the third, variable argument.
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param ... the destination (`void *`), with room for every value
 * \return the number of values stored, 0 when not found */
int tetch(const char *name, const char *type, ...);

/** Receives one name of a history and its value (kov_history_params()).
 * \param name the name, not terminated
 * \param nlen its length
 * \param value the value, not terminated; null for a name given without one
 * \param vlen its length
 * \param data the caller's pointer */
typedef void (*kov_param_visitor)(const char *name, int nlen, const char *value, int vlen,
                                  void *data);
/** Visit every name of a dataset's history with its value (the one given
 * last), in the order the values were given.  The history is read (the tag
 * opened as an input) as for auxpar().
 * \param tag tag of the dataset
 * \param each called once per name
 * \param data passed to `each`
 * \return the number of names */
int kov_history_params(const char *tag, kov_param_visitor each, void *data);
/** The history text read for a registered input, in/out or scratch tag.
 * Nothing is opened.
 * \param tag tag of the dataset
 * \param[out] text points at the text afterwards (it lives until the tag is
 *   closed); may be null
 * \return its length, or -1 when the tag is unknown or has no history
 *   text */
int kov_history(const char *tag, const char **text);

/** @} */

/* ---- History writing ----------------------------------------------------- */

/** \defgroup kovlib_history History writing
 * \details Parameter lines and free-form lines appended to the history header of an
 * output; each line is flushed at once.  The first write creates the
 * output's header (and, for "out", copies the input history into it).
 * Writing to a closed header, or after the header of an output whose data
 * follow it in the same stream has ended, is fatal, as is a write error.
 * @{ */

/** Write a parameter line "name=value" into the history of "out", in the
 * form the parameter scanner reads back: "%d" for "d"/"i", "%g" for
 * "f"/"r", "%.15g" for "g", yes or no for "1"/"l", a text quoted for "s"
 * with each quote inside doubled (bare only when it already is one complete
 * quoted token), so that the scanner gives back exactly that text.
 * Only the first value is written.  An unknown code, a line longer than
 * #KOV_LINE_MAX, or a text a history cannot hold (a newline, the
 * end-of-transmission byte, a token longer than the scanner's limit) is
 * fatal, naming the parameter.
 * \param name parameter name
 * \param type conversion code
 * \param val the value (a terminated text for "s")
 * \return 0 */
int putch(const char *name, const char *type, const void *val);
/** putch() into the history of the dataset `tag` (an output created when
 * the tag is new; in/out and scratch histories see the line in later
 * lookups).
 * \param name parameter name
 * \param type conversion code
 * \param val the value (a terminated text for "s")
 * \param tag tag of the dataset
 * \return 0 */
int auxputch(const char *name, const char *type, const void *val, const char *tag);
/** Write a free-form line (a tab, the text, a newline) into the history of
 * "out".
 * \param line the text
 * \return 0 */
int putlin(const char *line);
/** Write a formatted free-form line and a newline into the history of the
 * dataset `tag`.
 * \param tag tag of the dataset
 * \param format printf format
 * \param ... its arguments
 * \return 0 */
int auxputhead(const char *tag, const char *format, ...) KOV_PRINTF(2, 3);
/** Copy the input history of `from` into the output history of `to`,
 * followed by the data-location line.  Fatal when `to` has already been
 * written to, or either history is missing.
 * \param from tag of an input dataset
 * \param to tag of an output dataset
 * \return 0 */
int copy_history(const char *from, const char *to);
/** Close the output history of "out": make it ready (title, data location,
 * "data_format") if no data were written and end it.  A second close only
 * warns; a header whose data follow it stays open for the data.
 * \return 0 */
int hclose(void);
/** hclose() for the output history of `tag`; an unknown tag is ignored.
 * \param tag tag of the dataset
 * \return 0 */
int auxhclose(const char *tag);
/** Put the output of "out" in place: the program has finished it.
 *
 * The header of "out", when it is a named file (the parameters "head" or
 * "stdout"), and its data files (the datapath's, "out=", every file of a
 * multi-file set) are written under temporary names
 * ".<name>.kovtmp-<pid>-<unique>" in their final directories.  This call
 * hands the data still held to the system, closes the data files and a
 * named header, checking each close, and renames the data files and then
 * the header onto their names.  Any failure on the way is fatal, naming the
 * file and the reason, and leaves the previous files of those names as they
 * were.
 *
 * An exit with status 0 makes this call when the program has not; a fatal
 * error, an exit with another status, or SIGINT, SIGTERM, SIGHUP or SIGPIPE
 * (unless ignored or handled by the program) removes the temporaries
 * instead.  A header on the standard output cannot be renamed: when it is a
 * regular file, a failure truncates it back to where it began, so that no
 * reader takes what was written for a dataset.  A process killed outright
 * leaves its temporaries; the next write of the same name removes those of
 * processes that no longer run.  Call it last: data written to "out"
 * afterwards start another output.  Outputs of other tags are written in
 * place.
 * \return 0 */
int kov_commit_outputs(void);

/** @} */

/* ---- Datasets by tag ----------------------------------------------------- */

/** \defgroup kovlib_tags Datasets by tag
 * \details Every dataset is known by a tag: "in" (header from the standard input or
 * the parameter "stdin"), "out" (header to the standard output or the
 * parameter "stdout"), or any other word, whose header is named by the
 * parameter of the same name (default: the tag itself).  The first use of
 * a tag decides its kind (input, output, in/out, scratch, socket output);
 * using it as another kind later is fatal.  The returned streams belong to
 * the library.
 * @{ */

/** The data stream of an auxiliary input, opened on first use.
 * \param tag tag of the dataset
 * \return the stream, or null when the dataset does not exist or has no
 *   data */
FILE *auxin(const char *tag);
/** The data stream of an auxiliary output, created on first use (header
 * named by the parameter `tag`, data in the datapath).
 * \param tag tag of the dataset
 * \return the stream, or null when it cannot be created */
FILE *auxout(const char *tag);
/** The data stream of a dataset read and written in place (created when
 * its header file does not exist or is empty).  A header that is not a
 * regular file is fatal.
 * \param tag tag of the dataset
 * \return the stream, or null when it cannot be opened */
FILE *auxinout(const char *tag);
/** The data stream of a scratch dataset (created and truncated).
 * \param tag tag of the dataset
 * \return the stream; null when it cannot be opened, or when its back end
 *   keeps no stream (sreed() and srite() still work) */
FILE *auxscr(const char *tag);
/** Register an output whose header and data are served through a socket:
 * its header name becomes "host:port" of a listening socket, accepted when
 * the writer hands it over (see kov_3d_close()).  The data side is not
 * opened.
 * \param tag tag of the dataset
 * \return the data stream (usually null until a reader connects) */
FILE *auxsockout(const char *tag);
/** auxscr(), then the dataset's files are removed from the disk at once: a
 * scratch dataset that disappears when the program ends.
 * \param tag tag of the dataset
 * \return the stream, as auxscr() */
FILE *auxtmp(const char *tag);
/** The data stream of "in".
 * \return the stream, or null when "in" does not exist or has no data */
FILE *input(void);
/** The data stream of "out", created on first use.
 * \return the stream, or null when it cannot be created */
FILE *output(void);
/** The header stream of "out", created on first use.
 * \return the stream (null once the header is closed) */
FILE *kov_head(void);
/** Close and forget a tag (header and data streams; nothing is written:
 * close an output history with auxhclose() first).  The tag may be used
 * again afterwards.
 * \param tag tag of the dataset; an unknown tag does nothing
 * \return 0 */
int auxclose(const char *tag);
/** Remove a registered tag's data files and header file from the disk.
 * Fatal for an unknown tag.
 * \param tag tag of the dataset
 * \return 0 */
int aux_unlink(const char *tag);
/** Whether a tag is registered or its header file can be opened for
 * reading; nothing is registered.
 * \param tag tag of the dataset
 * \return 1 or 0 */
int tag_exists(const char *tag);
/** Print a registered tag's record on standard error (print_streaminf()).
 * Fatal for an unknown tag.
 * \param tag tag of the dataset
 * \return 0 */
int debug_tag(const char *tag);
/** Whether a registered tag's header stream cannot seek (a pipe or socket).
 * \param tag tag of a registered dataset (an unknown tag is fatal)
 * \return 1 or 0 */
int sseekable(const char *tag);
/** Copy the rest of a piped input into a nameless scratch file in the
 * datapath, so that it can be read and positioned again.  Nothing happens
 * for an input that is not a pipe.  Fatal when the tag is not a valid
 * input or the copy fails.
 * \param tag tag of the input
 * \return 0 */
int make_unpipe(const char *tag);
/** Whether a tag's header goes through a pipe.
 * \param tag tag of the dataset
 * \return 1 for "out" through a pipe (and for a tag without a record), -1
 *   for another tag through a pipe, 0 when not a pipe */
int kov_tag_is_pipe(const char *tag);

/** @} */

/* ---- Axes of a dataset -------------------------------------------------- */

/** \defgroup kovlib_axes Axes of a dataset
 * \details The axes of a dataset as its history describes them, read with
 * bounded lookups: the one reading of n, o, d, label and unit per axis that
 * the programs and the Python package share.
 * @{ */

/** Room of an axis label or unit, with its terminator. */
#define KOV_AXIS_TEXT 256
/** The most axes kov_header_axes() reads. */
#define KOV_MAX_AXES 32

/** One axis as its header describes it. */
typedef struct {
  int n;                     /**< length, 1 to 2147483647 */
  double o;                  /**< origin (0 when not given) */
  double d;                  /**< sampling (1 when not given) */
  char label[KOV_AXIS_TEXT]; /**< label, "" when not given */
  char unit[KOV_AXIS_TEXT];  /**< unit, "" when not given */
} kov_axis;

/** The axes of the dataset `tag` from its history, axis 1 first: n1, n2,
 * ... up to the last one given, at most `max_axes` (at most
 * #KOV_MAX_AXES); an axis whose n is absent below the last has length 1.  Every n must be a whole number from 1 to 2147483647; o
 * and d, when given, finite numbers; labels and units texts that fit.
 * Never fatal and never a warning: the caller decides.  Opens the tag's
 * header as any lookup on it does.
 * \param tag tag of the dataset
 * \param max_axes room in `axes`
 * \param[out] axes the axes found
 * \param[out] why on failure, the reason, naming the parameter and its
 *   text, cut to `why_room` bytes with its terminator
 * \param why_room size of `why`
 * \return the number of axes, or -1 */
int kov_header_axes(const char *tag, int max_axes, kov_axis *axes, char *why, size_t why_room);

/** @} */

/* ---- Data transfer and element formats ------------------------------------ */

/** \defgroup kovlib_transfer Data transfer and element formats
 * \details Bytes moved between a buffer and a tag's data, converted to and from the
 * dataset's element format: 0 "xdr_float", 1 "xdr_int", 2 "xdr_byte"
 * (portable, big-endian), 3 "native_float", 4 "native_byte", 5 "drawl", 6
 * "tmc_float", 7 "tmc_byte" (bytes unchanged).  Reading a new tag opens it
 * as an input, writing a new tag creates an output; the first write makes
 * the output's header ready (its "data_format" line).  A tag whose data
 * cannot be opened, and an I/O or conversion error, are fatal; a short read
 * at the end of the data is not.
 * @{ */

/** Read with the tag's own element format.
 * \param tag tag of the dataset
 * \param[out] buffer room for `nbytes` bytes
 * \param nbytes bytes wanted
 * \return bytes read: fewer at the end of the data, 0 there */
int sreed(const char *tag, void *buffer, int nbytes);
/** Read with the named element format; the tag's own is not changed.  An
 * unknown format is fatal.
 * \param tag tag of the dataset
 * \param[out] buffer room for `nbytes` bytes
 * \param nbytes bytes wanted
 * \param format element format name
 * \return bytes read */
int sreed2(const char *tag, void *buffer, int nbytes, const char *format);
/** Read without conversion.
 * \param tag tag of the dataset
 * \param[out] buffer room for `nbytes` bytes
 * \param nbytes bytes wanted
 * \return bytes read */
int sreed_raw(const char *tag, void *buffer, int nbytes);
/** Write with the tag's own element format.
 * \param tag tag of the dataset
 * \param buffer the bytes
 * \param nbytes bytes to write; 0 writes and opens nothing
 * \return bytes written */
int srite(const char *tag, const void *buffer, int nbytes);
/** Set the tag's element format to the named one, then write with it (the
 * header's "data_format" names it when this is the first write).  An
 * unknown format is fatal.
 * \param tag tag of the dataset
 * \param buffer the bytes
 * \param nbytes bytes to write
 * \param format element format name
 * \return bytes written */
int srite2(const char *tag, const void *buffer, int nbytes, const char *format);
/** Write without conversion.
 * \param tag tag of the dataset
 * \param buffer the bytes
 * \param nbytes bytes to write
 * \return bytes written */
int srite_raw(const char *tag, const void *buffer, int nbytes);

/** The number of an element format name (exact, case-sensitive).
 * \param name the name
 * \return 0 to 7, or -1 for an unknown name */
int get_format_num(const char *name);
/** The name of an element format.
 * \param number 0 to 7
 * \return a new string; null for any other number */
char *get_format_name(int number);
/** Set the element format of an output tag (created when new).  An unknown
 * name is fatal.
 * \param tag tag of the dataset
 * \param name element format name
 * \return 0 */
int set_format(const char *tag, const char *name);
/** set_format() on "out".
 * \param name element format name
 * \return 0 */
int set_output_data_format(const char *name);
/** The element format of a tag (opened as an input when new).
 * \param tag tag of the dataset
 * \return a new string; null when the tag's format is not known */
char *get_format(const char *tag);

/** Position a tag's data (opened when not yet open; fatal when it cannot
 * be).  A stream that cannot seek emulates forward seeks by reading.
 * \param tag tag of a registered dataset (an unknown tag is fatal)
 * \param offset bytes
 * \param whence 0 from the start of the data, 1 from the current
 *   position, 2 from the end
 * \return the new position, or -1 */
int sseek(const char *tag, int offset, int whence);
/** sseek() with 64-bit offsets.
 * \param tag tag of a registered dataset (an unknown tag is fatal)
 * \param offset bytes
 * \param whence 0, 1 or 2 as for sseek()
 * \return the new position, or -1 */
kov_off_t sseek_l_l(const char *tag, kov_off_t offset, int whence);
/** Position in blocks, in steps that fit 31 bits (cubes beyond 2 GiB).
 * Failures warn and return -1.
 * \param tag tag of a registered dataset (an unknown tag is fatal)
 * \param offset number of blocks
 * \param block_size bytes per block
 * \param whence 0, 1 or 2 as for sseek()
 * \return the new position in blocks, or -1 */
double sseek_block_d(const char *tag, int offset, int block_size, int whence);
/** sseek_block_d() truncated to an integer.
 * \param tag tag of a registered dataset (an unknown tag is fatal)
 * \param offset number of blocks
 * \param block_size bytes per block
 * \param whence 0, 1 or 2 as for sseek()
 * \return the new position in blocks, or -1 */
int sseek_block(const char *tag, int offset, int block_size, int whence);
/** The current position of a tag's data in whole blocks and a remainder.
 * \param tag tag of a registered dataset (an unknown tag is fatal)
 * \param block_size bytes per block
 * \param[out] blocks whole blocks
 * \param[out] remainder bytes beyond them
 * \return 0, the negative position on failure, or 1 when the block count
 *   does not fit an int */
int file_position(const char *tag, int block_size, int *blocks, int *remainder);

/** @} */

/* ---- Windowed hypercube transfer ----------------------------------------- */

/** \defgroup kovlib_window Windowed hypercube transfer
 * \details A window over a cube of *ndim axes (axis 0 fastest): on axis i, n_wind[i]
 * samples from index f_wind[i] (from 0) in steps of j_wind[i], inside a
 * cube of n_cube[i] samples; esize bytes per sample.  The engine merges
 * leading axes into few large transfers.  It never ends the program: every
 * failure is warned about (kovwarn()) and returned.
 * @{ */

/** The window engine.
 * \param mode 1 writes `values` (the window's samples, densely) into the
 *   window of the tag's data; -1 reads the window into `values`; 0 stores
 *   into `values` the 1-based linear position of every window sample in
 *   the cube as a native 32-bit integer at the start of each esize-byte
 *   element (esize at least 4; the other bytes are left as they are; the
 *   tag is not used)
 * \param tag tag of the dataset
 * \param ndim number of axes
 * \param n_cube samples of the cube on each axis
 * \param n_wind samples of the window on each axis
 * \param f_wind first sample of the window on each axis, from 0
 * \param j_wind step on each axis, at least 1
 * \param esize bytes per sample
 * \param[in,out] values the window's samples, densely
 * \return 0; -1 after a failed seek or transfer; -2 for an invalid window
 *   or a cube too large */
int kov_window(int mode, const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
               const int *f_wind, const int *j_wind, int esize, void *values);
/** kov_window() with mode 1.
 * \param tag tag of the dataset
 * \param ndim number of axes
 * \param n_cube samples of the cube on each axis
 * \param n_wind samples of the window on each axis
 * \param f_wind first sample of the window on each axis, from 0
 * \param j_wind step on each axis
 * \param esize bytes per sample
 * \param values the window's samples, densely
 * \return as kov_window() */
int srite_window(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                 const int *f_wind, const int *j_wind, int esize, const void *values);
/** kov_window() with mode -1.
 * \param tag tag of the dataset
 * \param ndim number of axes
 * \param n_cube samples of the cube on each axis
 * \param n_wind samples of the window on each axis
 * \param f_wind first sample of the window on each axis, from 0
 * \param j_wind step on each axis
 * \param esize bytes per sample
 * \param[out] values room for the window's samples
 * \return as kov_window() */
int sreed_window(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                 const int *f_wind, const int *j_wind, int esize, void *values);
/** Linear index to coordinates over the axis lengths n[0..ndim-1].
 * \param hindex linear index, from 0
 * \param n axis lengths
 * \param ndim number of axes
 * \param[out] cindex one coordinate per axis, from 0 */
void h2c(int hindex, const int *n, int ndim, int *cindex);
/** Coordinates to linear index over the axis lengths n[0..ndim-1].
 * \param[out] hindex linear index, from 0
 * \param n axis lengths
 * \param ndim number of axes
 * \param cindex one coordinate per axis, from 0 */
void c2h(int *hindex, const int *n, int ndim, const int *cindex);
/** Append one n1 by n2 slice (n1 = 1: a vector of n2 samples) to the
 * in/out dataset `name`, keeping its header's counts up to date.  Sizes
 * that do not match the earlier slices, and counts missing from an
 * existing header, are fatal.
 * \param name tag of the dataset
 * \param esize bytes per sample
 * \param n1 samples along axis 1
 * \param n2 samples along axis 2
 * \param data the slice
 * \return 0 */
int slice(const char *name, int esize, int n1, int n2, const void *data);
/** slice(name, 4, n1, n2, data) when the file named by the parameter `name`
 * (or `name` itself) exists; otherwise nothing.
 * \param name tag of the dataset, and name of the parameter naming it
 * \param n1 samples along axis 1
 * \param n2 samples along axis 2
 * \param data the slice of 4-byte samples
 * \return 0 */
int snap(const char *name, int n1, int n2, const void *data);

/** @} */

/* ---- Files and the datapath ---------------------------------------------- */

/** \defgroup kovlib_files Files and the datapath
 * \details Opening files by mode, file tests, and the datapath under which output
 * data files are placed.
 * @{ */

/** Open a file.  Failures of modes 0 and 1 are fatal.
 * \param name path of the file
 * \param mode 0 read only; 1 create (truncate, permissions 0664) and open
 *   for reading and writing; 2 read and write, created as by 1 when it
 *   cannot be opened
 * \return the descriptor, or -1 for any other mode (nothing opened) */
int file(const char *name, int mode);
/** The size of an open file.
 * \param fd descriptor
 * \return its size in bytes, or -1 */
kov_file_size_t fsize(int fd);
/** Whether a stream has been closed (a status query on its descriptor
 * fails).
 * \param stream the stream
 * \return 1 or 0 */
int isclosed(FILE *stream);
/** Whether a descriptor is a regular file.
 * \param fd descriptor
 * \return 1, or 0 (also when the query fails) */
int fdordinary(int fd);
/** Whether a path names a regular file.
 * \param path the path
 * \return 1, or 0 (also when the query fails) */
int isordinary(const char *path);
/** Whether a descriptor cannot be positioned (a pipe or a socket).
 * \param fd descriptor
 * \return 1 or 0 */
int isapipe(int fd);
/** Whether the standard input is redirected (not a terminal).
 * \return 1 or 0 */
int redin(void);
/** The datapath: the parameter "datapath", else $DATAPATH, else .datapath
 * in the current directory, else in $HOME, else "/tmp//<user>/_".  A
 * malformed .datapath file is fatal.
 * \param[out] buffer room for 4096 bytes
 * \return buffer */
char *datapath(char *buffer);
/** The base name of a tag's header file.  An unknown tag is registered as
 * an output.
 * \param tag tag of the dataset
 * \param[out] buffer room for the name
 * \return 0, or 1 when the header is not a named file (a pipe, socket or
 *   the standard output; buffer untouched) */
int get_data_name(const char *tag, char *buffer);
/** `in` followed by six characters that make a new, unique file name (the
 * file is created and removed again, so only the name remains).
 * \param in the prefix
 * \param[out] out room for the prefix and 7 more bytes */
void mkrandom_string(const char *in, char *out);

/** @} */

/* ---- Errors, warnings and exit ------------------------------------------ */

/** \defgroup kovlib_errors Errors, warnings and exit
 * \details The one fatal-error routine, warnings, checked allocation and exit.
 * @{ */

/** Fatal error: report "error" to the job-status master, print the program
 * name as invoked, ": " and the formatted message on standard error and
 * again on standard output, and end the process with status 23.  With a
 * fatal handler set (kov_set_fatal_handler()), the handler receives the
 * message instead.  Never returns.
 * \param format printf format; library messages end with their own newline
 * \param ... its arguments */
KOV_NORETURN void koverr(const char *format, ...) KOV_PRINTF(1, 2);
/** Warning: print the formatted message on standard error and on standard
 * output (no prefix), or hand it to the warning handler.
 * \param code returned unchanged
 * \param format printf format
 * \param ... its arguments
 * \return code */
int kovwarn(int code, const char *format, ...) KOV_PRINTF(2, 3);
/** Fatal error with the message followed by a newline (koverr("%s\n")).
 * \param message the text */
KOV_NORETURN void erexit(const char *message);
/** End the process with a status (buffered streams are flushed).
 * \param status exit status */
KOV_NORETURN void fexit(int status);
/** Checked allocation from the C heap, released with free().  Failure is
 * fatal.
 * \param size bytes
 * \return the memory, never null */
void *alloc(size_t size);

/** Receives the message of a fatal error or a warning.
 * \param message the formatted message (without the program-name prefix)
 * \param data the pointer given with the handler */
typedef void (*kov_message_handler)(const char *message, void *data);
/** Take over the library's fatal errors (for a program that embeds it, an
 * interpreter say): koverr() formats the message, prints nothing and calls
 * handler(message, data), which should not return but unwind (a C++
 * exception) back to the embedding caller.  If it returns, koverr goes on
 * as without a handler.
 * \param handler the handler; null restores the default
 * \param data passed to the handler */
void kov_set_fatal_handler(kov_message_handler handler, void *data);
/** Hand the text of every kovwarn() to a handler instead of the two
 * streams.
 * \param handler the handler; null restores the default
 * \param data passed to the handler */
void kov_set_warning_handler(kov_message_handler handler, void *data);

/** @} */

/* ---- Self-documentation -------------------------------------------------- */

/** \defgroup kovlib_doc Self-documentation
 * \details A program started from a terminal without arguments shows its manual and
 * exits with status 1.  Failures to open the source or start the pager are
 * fatal.
 * @{ */

/** Show the program's documentation when it is due (exactly the program
 * name on the command line and standard input a terminal) and end the
 * process with status 1.  Registered lines take precedence over `name`.
 * \param name the program's source file (searched with find_doc()), or the
 *   documentation text itself when it begins with slash-star or with '#',
 *   '!', 'c' or 'C'
 * \return 0 when documentation is not due */
int doc(const char *name);
/** Register one line of the program's documentation (copied).
 * \param line the line, without newline */
void kov_add_doc_line(const char *line);
/** The path of the source file `name` in the documentation directories
 * (two built-in ones, then $KOV_DOC_PATH), or `name` itself.
 * \param name the source file name
 * \return the path; it lives until the next call */
const char *find_doc(const char *name);
/** An entry of the documentation directory list.
 * \param index from 0
 * \return the directory, or null when there are fewer entries; it lives
 *   until the next call */
const char *get_doc_path(int index);
/** Page the registered lines through $PAGER (or more) on standard error and
 * exit with status 1. */
KOV_NORETURN void page_doc(void);

/** @} */

/* ---- Job status reporting ------------------------------------------------ */

/** \defgroup kovlib_status Job status reporting
 * \details Messages to a monitoring master, configured by the command-line
 * parameters "kov.jobid", "kov.mach_label", "kov.master_ip" and
 * "kov.master_port" ("kov.par_job" 0 switches them off).  Without them
 * nothing is sent.  A partial configuration, or a master that cannot be
 * reached, is fatal, except for the error status, which returns 1 instead.
 * @{ */

/** Send one status message and wait for the acknowledgement.
 * \param status the status word ("record", "progress", "finish", "exit",
 *   "error")
 * \param extra extra text
 * \return 0 when sent or not due; 1 when sending the "error" status failed */
int kov_send_msg(const char *status, const char *extra);
/** Send "record" when the parameter "kov.begin_par" is 1.
 * \return as kov_send_msg() */
int kov_begin_prog(void);
/** Send "finish" when the parameter "kov.end_par" is 1.
 * \return as kov_send_msg() */
int kov_end_prog(void);
/** Send "progress" with a text.
 * \param text the text
 * \return as kov_send_msg() */
int kov_progress_prog(const char *text);
/** Send "exit".
 * \return as kov_send_msg() */
int kov_exit_prog(void);
/** Send "error" (koverr() does so itself); never fatal.
 * \return 0, or 1 when sending failed */
int kov_err_prog(void);
/** Write "<msg> finished=<i> of <n>" on standard error and, when `isend` is
 * 1, send it as progress.
 * \param msg the text
 * \param i steps done
 * \param n steps in all
 * \param isend 1 to send the line
 * \return as kov_progress_prog(), 0 when not sent */
int kov_prog_stat(const char *msg, int i, int n, int isend);

/** @} */

/* ---- Foreign-caller entry points ----------------------------------------- */

/** \defgroup kovlib_fortran Foreign-caller entry points
 * \details For callers that pass every argument by reference and every character
 * argument as a fixed-length blank-padded field, with the field lengths as
 * extra hidden arguments after all the ordinary ones, in the order of the
 * character arguments.  The lengths are size_t, the type GNU Fortran passes
 * since GCC 8.  Each forwards to the routine of the same name without the
 * underscores (exceptions are named); results and failures are that
 * routine's.
 *
 * A text argument reaches the routine as no text (null) when its field is
 * at least 4 bytes long and begins with four NUL bytes, as the field itself
 * when it holds a NUL, and otherwise as a copy without trailing blanks.  An
 * in/out text is handed over without trailing blanks and copied back into
 * the field afterwards, padded with blanks or cut to the field's length.
 * Stream results are descriptor numbers, -1 for no stream.  Lookups with
 * code "s" write a terminated text into the caller's field, without
 * padding.
 *
 * The names, types and tags of putch_, auxputch_ and auxpar_ are copied up
 * to their length or an earlier NUL, trailing blanks removed.  Their value
 * is a character argument only when the type begins with 's': only then
 * does its length follow the type's, and the tag's length comes after it;
 * puthed_ converts a text value as putch_ does.
 * @{ */

/** finitpar(). */
void initpar_(void);
/** getch().
 * \param name,type blank-padded fields
 * \param[out] value the destination
 * \param name_len,type_len their lengths
 * \return as getch() */
int getch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
/** fetch().
 * \param name,type blank-padded fields
 * \param[out] value the destination
 * \param name_len,type_len their lengths
 * \return as fetch() */
int fetch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
/** hetch().
 * \param name,type blank-padded fields
 * \param[out] value the destination
 * \param name_len,type_len their lengths
 * \return as hetch() */
int hetch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
/** tetch().
 * \param name,type blank-padded fields
 * \param[out] value the destination
 * \param name_len,type_len their lengths
 * \return as tetch() */
int tetch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
/** getch_add_string().
 * \param word blank-padded field
 * \param len its length
 * \return 0 */
int getch_add_string_(const char *word, size_t len);
/** getch_add_string().
 * \param word blank-padded field
 * \param len its length
 * \return 0 */
int getch_add_string__(const char *word, size_t len);
/** auxpar().
 * \param name,type blank-padded fields
 * \param[out] value the destination
 * \param tag blank-padded field
 * \param name_len,type_len lengths of name and type
 * \param ... the value's length when the type begins with 's', then the
 *   tag's length
 * \return as auxpar() */
int auxpar_(const char *name, const char *type, void *value, const char *tag, size_t name_len,
            size_t type_len, ...);
/** kovarg().
 * \param i index of the argument
 * \param[out] text blank-padded field
 * \param len its length
 * \return as kovarg() */
int kovarg_(const int *i, char *text, size_t len);
/** kov_prog().
 * \param[out] text blank-padded field
 * \param len its length
 * \return 0 */
int kov_prog_(char *text, size_t len);
/** kov_prog().
 * \param[out] text blank-padded field
 * \param len its length
 * \return 0 */
int kov_prog__(char *text, size_t len);

/** putch().
 * \param name,type blank-padded fields
 * \param value the value (a blank-padded field when the type begins with
 *   's')
 * \param name_len,type_len their lengths
 * \param ... the value's length when the type begins with 's'
 * \return 0 */
int putch_(const char *name, const char *type, const void *value, size_t name_len, size_t type_len,
           ...);
/** putch(), converting a text value as putch_() does.
 * \param name,type blank-padded fields
 * \param value the value
 * \param name_len,type_len their lengths
 * \param ... the value's length when the type begins with 's'
 * \return 0 */
int puthed_(const char *name, const char *type, const void *value, size_t name_len, size_t type_len,
            ...);
/** auxputch().
 * \param name,type blank-padded fields
 * \param value the value
 * \param tag blank-padded field
 * \param name_len,type_len lengths of name and type
 * \param ... the value's length when the type begins with 's', then the
 *   tag's length
 * \return 0 */
int auxputch_(const char *name, const char *type, const void *value, const char *tag,
              size_t name_len, size_t type_len, ...);
/** putlin().
 * \param line blank-padded field
 * \param len its length
 * \return 0 */
int putlin_(const char *line, size_t len);
/** auxputhead() with "%s\n": the line, then an empty line.
 * \param tag,line blank-padded fields
 * \param tag_len,line_len their lengths
 * \return 0 */
int auxputlin_(const char *tag, const char *line, size_t tag_len, size_t line_len);

/** kov_head().
 * \return the descriptor, or -1 */
int head_(void);
/** input().
 * \return the descriptor, or -1 */
int input_(void);
/** output().
 * \return the descriptor, or -1 */
int output_(void);
/** auxin().
 * \param tag blank-padded field
 * \param len its length
 * \return the descriptor, or -1 */
int auxin_(const char *tag, size_t len);
/** auxout().
 * \param tag blank-padded field
 * \param len its length
 * \return the descriptor, or -1 */
int auxout_(const char *tag, size_t len);
/** auxinout().
 * \param tag blank-padded field
 * \param len its length
 * \return the descriptor, or -1 */
int auxinout_(const char *tag, size_t len);
/** auxsockout().
 * \param tag blank-padded field
 * \param len its length
 * \return the descriptor, or -1 */
int auxsocketout_(const char *tag, size_t len);
/** auxtmp().
 * \param tag blank-padded field
 * \param len its length
 * \return the descriptor, or -1 */
int auxtmp_(const char *tag, size_t len);
/** auxscr().
 * \param tag blank-padded field
 * \param len its length
 * \return the descriptor, or -1 */
int auxscr_(const char *tag, size_t len);
/** auxclose().
 * \param tag blank-padded field
 * \param len its length
 * \return 0 */
int auxclose_(const char *tag, size_t len);
/** tag_exists().
 * \param tag blank-padded field
 * \param len its length
 * \return 1 or 0 */
int tag_exists_(const char *tag, size_t len);
/** aux_unlink().
 * \param tag blank-padded field
 * \param len its length
 * \return 0 */
int aux_unlink_(const char *tag, size_t len);
/** aux_unlink().
 * \param tag blank-padded field
 * \param len its length
 * \return 0 */
int aux_unlink__(const char *tag, size_t len);
/** make_unpipe().
 * \param tag blank-padded field
 * \param len its length
 * \return 0 */
int make_unpipe_(const char *tag, size_t len);
/** kov_tag_is_pipe().
 * \param tag blank-padded field
 * \param len its length
 * \return as kov_tag_is_pipe() */
int kov_tag_is_pipe_(const char *tag, size_t len);
/** kov_tag_is_pipe().
 * \param tag blank-padded field
 * \param len its length
 * \return as kov_tag_is_pipe() */
int kov_tag_is_pipe__(const char *tag, size_t len);
/** sseekable().
 * \param tag blank-padded field
 * \param len its length
 * \return 1 or 0 */
int sseekable_(const char *tag, size_t len);
/** hclose().
 * \return 0 */
int hclose_(void);
/** copy_history().
 * \param from,to blank-padded fields
 * \param from_len,to_len their lengths */
void copy_history_(const char *from, const char *to, size_t from_len, size_t to_len);
/** copy_history().
 * \param from,to blank-padded fields
 * \param from_len,to_len their lengths */
void copy_history__(const char *from, const char *to, size_t from_len, size_t to_len);

/** sreed().
 * \param tag blank-padded field
 * \param[out] data room for *nbytes bytes
 * \param nbytes bytes wanted
 * \param tag_len the tag's length
 * \return bytes read */
int sreed_(const char *tag, void *data, const int *nbytes, size_t tag_len);
/** srite().
 * \param tag blank-padded field
 * \param data the bytes
 * \param nbytes bytes to write
 * \param tag_len the tag's length
 * \return bytes written */
int srite_(const char *tag, const void *data, const int *nbytes, size_t tag_len);
/** sreed2().
 * \param tag blank-padded field
 * \param[out] data room for *nbytes bytes
 * \param nbytes bytes wanted
 * \param format blank-padded field
 * \param tag_len,format_len their lengths
 * \return bytes read */
int sreed2_(const char *tag, void *data, const int *nbytes, const char *format, size_t tag_len,
            size_t format_len);
/** srite2().
 * \param tag blank-padded field
 * \param data the bytes
 * \param nbytes bytes to write
 * \param format blank-padded field
 * \param tag_len,format_len their lengths
 * \return bytes written */
int srite2_(const char *tag, const void *data, const int *nbytes, const char *format,
            size_t tag_len, size_t format_len);
/** sseek().
 * \param tag blank-padded field
 * \param offset bytes
 * \param whence 0, 1 or 2
 * \param len the tag's length
 * \return the new position, or -1 */
int sseek_(const char *tag, const int *offset, const int *whence, size_t len);
/** sseek_block().
 * \param tag blank-padded field
 * \param offset number of blocks
 * \param block_size bytes per block
 * \param whence 0, 1 or 2
 * \param len the tag's length
 * \return the new position in blocks, or -1 */
int sseek_block_(const char *tag, const int *offset, const int *block_size, const int *whence,
                 size_t len);
/** sseek_block().
 * \param tag blank-padded field
 * \param offset number of blocks
 * \param block_size bytes per block
 * \param whence 0, 1 or 2
 * \param len the tag's length
 * \return the new position in blocks, or -1 */
int sseek_block__(const char *tag, const int *offset, const int *block_size, const int *whence,
                  size_t len);
/** file_position().
 * \param tag blank-padded field
 * \param block_size bytes per block
 * \param[out] blocks whole blocks
 * \param[out] remainder bytes beyond them
 * \param len the tag's length
 * \return as file_position() */
int file_position_(const char *tag, const int *block_size, int *blocks, int *remainder, size_t len);

/** datapath().
 * \param[out] path blank-padded field, which then holds the datapath
 * \param len its length
 * \return path */
char *datapath_(char *path, size_t len);
/** mkrandom_string().
 * \param text blank-padded field
 * \param[out] result blank-padded field
 * \param text_len,result_len their lengths */
void mkrandom_string_(const char *text, char *result, size_t text_len, size_t result_len);

/** doc().
 * \param name blank-padded field
 * \param len its length
 * \return 0 when documentation is not due */
int doc_(const char *name, size_t len);
/** kov_add_doc_line().
 * \param line blank-padded field
 * \param len its length */
void kov_add_doc_line_(const char *line, size_t len);
/** kov_add_doc_line().
 * \param line blank-padded field
 * \param len its length */
void kov_add_doc_line__(const char *line, size_t len);

/** kov_begin_prog().
 * \return as kov_begin_prog() */
int kov_begin_prog_(void);
/** kov_begin_prog().
 * \return as kov_begin_prog() */
int kov_begin_prog__(void);
/** kov_end_prog().
 * \return as kov_end_prog() */
int kov_end_prog_(void);
/** kov_end_prog().
 * \return as kov_end_prog() */
int kov_end_prog__(void);
/** kov_progress_prog().
 * \param text blank-padded field
 * \param len its length
 * \return as kov_progress_prog() */
int kov_progress_prog_(const char *text, size_t len);
/** kov_progress_prog().
 * \param text blank-padded field
 * \param len its length
 * \return as kov_progress_prog() */
int kov_progress_prog__(const char *text, size_t len);
/** kov_prog_stat().
 * \param msg blank-padded field
 * \param i steps done
 * \param n steps in all
 * \param isend 1 to send the line
 * \param len the text's length
 * \return as kov_prog_stat() */
int kov_prog_stat_(const char *msg, const int *i, const int *n, const int *isend, size_t len);
/** kov_prog_stat().
 * \param msg blank-padded field
 * \param i steps done
 * \param n steps in all
 * \param isend 1 to send the line
 * \param len the text's length
 * \return as kov_prog_stat() */
int kov_prog_stat__(const char *msg, const int *i, const int *n, const int *isend, size_t len);

/** erexit(): prints the text and a newline and ends the program (status
 * 23).
 * \param message blank-padded field
 * \param len its length */
KOV_NORETURN void koverr_(const char *message, size_t len);
/** erexit(): prints the text and a newline and ends the program (status
 * 23).
 * \param message blank-padded field
 * \param len its length */
KOV_NORETURN void erexit_(const char *message, size_t len);
/** kovwarn() with the text as its format: prints it as it stands.
 * \param code returned unchanged
 * \param message blank-padded field
 * \param len its length
 * \return *code */
int kovwarn_(const int *code, const char *message, size_t len);
/** fexit().
 * \param status exit status */
KOV_NORETURN void exit_(const int *status);
/** fortalloc().
 * \param base the caller's array
 * \param len bytes
 * \return as fortalloc() */
long fortalloc_(char *base, const int *len);
/** fortfree().
 * \param buf memory from fortalloc()
 * \return 0 */
int fortfree_(char *buf);
/** fsbrk().
 * \param nbytes bytes
 * \return as fsbrk() */
char *fsbrk_(const int *nbytes);
/** noieeeinterupt().
 * \return 0 */
int noieeeinterupt_(void);
/** The address of a variable as an integer.
 * \param variable any variable
 * \return its address */
long kovloc_(const void *variable);

/** Foreign-caller form of srite_window().
 * \param tag blank-padded field
 * \param ndim,n_cube,n_wind,f_wind,j_wind the window, as for kov_window()
 * \param esize bytes per sample
 * \param values the window's samples
 * \param tag_len the tag's length
 * \return as kov_window() */
int srite_window_(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                  const int *f_wind, const int *j_wind, const int *esize, const void *values,
                  size_t tag_len);
/** Foreign-caller form of srite_window().
 * \param tag blank-padded field
 * \param ndim,n_cube,n_wind,f_wind,j_wind the window, as for kov_window()
 * \param esize bytes per sample
 * \param values the window's samples
 * \param tag_len the tag's length
 * \return as kov_window() */
int srite_window__(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                   const int *f_wind, const int *j_wind, const int *esize, const void *values,
                   size_t tag_len);
/** Foreign-caller form of sreed_window().
 * \param tag blank-padded field
 * \param ndim,n_cube,n_wind,f_wind,j_wind the window, as for kov_window()
 * \param esize bytes per sample
 * \param[out] values room for the window's samples
 * \param tag_len the tag's length
 * \return as kov_window() */
int sreed_window_(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                  const int *f_wind, const int *j_wind, const int *esize, void *values,
                  size_t tag_len);
/** Foreign-caller form of sreed_window().
 * \param tag blank-padded field
 * \param ndim,n_cube,n_wind,f_wind,j_wind the window, as for kov_window()
 * \param esize bytes per sample
 * \param[out] values room for the window's samples
 * \param tag_len the tag's length
 * \return as kov_window() */
int sreed_window__(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                   const int *f_wind, const int *j_wind, const int *esize, void *values,
                   size_t tag_len);
/** Foreign-caller form of slice(); the name is an in/out text.
 * \param[in,out] name blank-padded field
 * \param esize bytes per sample
 * \param n1,n2 samples along axes 1 and 2
 * \param data the slice
 * \param name_len the name's length
 * \return 0 */
int slice_(char *name, const int *esize, const int *n1, const int *n2, const void *data,
           size_t name_len);
/** Foreign-caller form of snap().
 * \param name blank-padded field
 * \param n1,n2 samples along axes 1 and 2
 * \param data the slice
 * \param name_len the name's length
 * \return 0 */
int snap_(const char *name, const int *n1, const int *n2, const void *data, size_t name_len);

/** @} */

/* ==== Internal: exported for compatibility; programs do not call these ==== */

/** \defgroup kovlib_internal Internal: exported for compatibility
 * \details The plumbing of the library: the parameter scanner and its stores, the
 * stream registry and its records, header and data set-up, I/O back ends,
 * sockets and old allocation calls.  The library's own layers (the typed
 * layer, the three-dimensional layer, the Python module) build on them, and
 * they stay exported so that programs built against earlier versions keep
 * linking; programs do not call them.  They may ask more of their
 * arguments than the routines above (records of the right kind, an
 * initialised library).
 * @{ */

/** Bucket count of the command-line store. */
#define KOV_GETCH_QUEUE_SIZE 1023
/** Bucket count of the store of a history read. */
#define KOV_HETCH_QUEUE_SIZE 4095
/** Bucket count of the store of a history written and read back. */
#define KOV_PUTCH_QUEUE_SIZE 251

/** One name of a parameter store.  `tag` and `val` are not necessarily
 * terminated; `val` is null for a name given with an empty value. */
typedef struct hash_item {
  struct hash_item *next; /**< Next item of the same bucket, or null. */
  char *tag;              /**< The name's bytes. */
  int tlen;               /**< Length of the name. */
  char *val;              /**< The value's bytes, or null. */
  int vlen;               /**< Length of the value. */
  int timestamp;          /**< Store time of the current value: larger is later, across stores. */
} hash_item;

/** The command-line store, filled at the first getch or getch_add_string. */
extern hash_item **getch_queue;
/** Bucket count of getch_queue. */
extern int getch_queue_size;

/** A new parameter store; a failed allocation is fatal.
 * \param len number of buckets
 * \return the buckets, all null */
hash_item **new_queue(int len);
/** Memory from the small-object allocator (never freed).
 * \param size bytes
 * \return the memory */
char *suballoc(int size);
/** Store a name and value (not copied); a name stored before gets the new
 * value.
 * \param queue the store
 * \param qlen its bucket count
 * \param tag,val the name and value
 * \param tlen,vlen their lengths */
void getpar_hash_store(hash_item **queue, int qlen, char *tag, char *val, int tlen, int vlen);
/** Find a name in a store.
 * \param queue the store
 * \param qlen its bucket count
 * \param tag the name
 * \param tlen its length
 * \return the item, or null */
hash_item *getpar_hash_lookup(hash_item **queue, int qlen, const char *tag, int tlen);
/** Store one command-line word ("name=value", quoted words scanned).
 * \param queue the store
 * \param qlen its bucket count
 * \param word the word (kept, not copied) */
void getpar_string_store(hash_item **queue, int qlen, char *word);
/** Push a text as the scanner's next input; more than ten nested inputs is
 * fatal.
 * \param text terminated text
 * \param release non-zero: released with free() once scanned */
void getpar_push_input(char *text, int release);
/** Push a parameter file as the scanner's next input; a file that cannot
 * be read is fatal.
 * \param name path of the file */
void getpar_stack_par(const char *name);
/** Scan the pushed inputs into a store; a "par" name pushes its file.  A
 * token longer than the scanner's limit ends the process with status 2.
 * \param queue the store
 * \param qlen its bucket count */
void getpar_scan(hash_item **queue, int qlen);
/** Copy a quoted value, each doubled quote made one.
 * \param text the value
 * \param[out] out room for `len` bytes
 * \param len characters to copy
 * \param quote the quote character
 * \return characters written */
int massage(const char *text, char *out, int len, int quote);
/** The lookup of one store; see the lookups above.
 * \param queue the store
 * \param qlen its bucket count
 * \param names the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for every value the text holds
 * \return the number of values stored, 0 when not found */
int getpar_decode(hash_item **queue, int qlen, const char *names, const char *type, void *dest);

/** How a tag is used. */
typedef enum {
  STREAMIN = 0,      /**< Input only. */
  STREAMOUT = 1,     /**< Output only. */
  STREAMINOUT = 2,   /**< Read and written. */
  STREAMSOCKOUT = 3, /**< Output served through a socket. */
  STREAMSCR = 4      /**< Scratch. */
} strtype;
/** Requests of tag_info. */
typedef enum {
  TAG_OUT = 0,     /**< An output. */
  TAG_IN = 1,      /**< An input. */
  TAG_INOUT = 2,   /**< A dataset read and written. */
  TAG_SOCKET = 3,  /**< An output served through a socket. */
  TAG_INQUIRE = 4, /**< Look up only, never create. */
  TAG_SCR = 5      /**< A scratch dataset. */
} tagtype;
/** I/O back ends. */
typedef enum {
  FD_IO = 0,      /**< One file through a descriptor. */
  FILE_IO = 1,    /**< A buffered stream (data after the header, standard streams). */
  CM_SDA_IO = 2,  /**< Not provided. */
  CM_REG_IO = 3,  /**< Not provided. */
  MULTI_FD_IO = 4, /**< Data split over several files. */
  URL_IO = 5       /**< An object behind a URL (http://, https://, s3://), by range requests. */
} IOtyp;

/** The stream record of a tag; its layout is private to the library. */
typedef struct streaminf streaminf;

/** The first record of the registry.
 * \return the record, or null */
streaminf *kovstr_head(void);
/** Link a record at the tail of the registry.
 * \param record the record */
void kovstr_addend(streaminf *record);
/** Link a record at the head of the registry.
 * \param record the record */
void kovstr_addstart(streaminf *record);
/** Unlink a record from the registry (not freed).
 * \param record the record */
void kovstr_del(streaminf *record);
/** A new, unlinked record with its header name resolved; TAG_INQUIRE is
 * fatal.
 * \param tag the tag
 * \param request its kind
 * \return the record */
streaminf *kovstr_new(const char *tag, tagtype request);
/** The record of a tag, created (and its header opened) when new.
 * \param tag the tag
 * \param request its kind when new
 * \return the record; null only for TAG_INQUIRE on an unknown tag */
streaminf *tag_info(const char *tag, tagtype request);
/** The record whose data stream has a descriptor; none is fatal.
 * \param fd descriptor
 * \return the record */
streaminf *fd_info(int fd);
/** Print a record on standard error.
 * \param record the record */
void print_streaminf(streaminf *record);

/** Header routine of an input record: open and read its header, set up its
 * data side.
 * \param record the record */
void kovstr_in_head(streaminf *record);
/** Header routine of an in/out record.
 * \param record the record */
void kovstr_inout_head(streaminf *record);
/** Header routine of a scratch record.
 * \param record the record */
void kovstr_scr_head(streaminf *record);
/** Read a record's header text from its header stream.
 * \param record the record */
void readhdr(streaminf *record);
/** Whether the command-line parameter "noheader" begins with y.
 * \return 1 or 0 */
int noheader(void);
/** The lookup of one record's history (hetch() and auxpar() use it).  An
 * output record, or an input without header text, is fatal.
 * \param record the record
 * \param name the name, or names separated by blanks
 * \param type conversion code
 * \param[out] dest room for every value the text holds
 * \return the number of values stored, 0 when not found */
int kovstrpar(streaminf *record, const char *name, const char *type, void *dest);

/** The common writer of parameter lines (putch() and auxputch() use it).
 * \param record an output, in/out, scratch or socket-out record
 * \param name parameter name
 * \param type conversion code
 * \param val the value
 * \return 0 */
int kovstrput(streaminf *record, const char *name, const char *type, const void *val);
/** Write or replace a trailing marked line "putlast: <name>=value" of a
 * seekable header.
 * \param record the record
 * \param name parameter name
 * \param type conversion code
 * \param val the value
 * \return 0 */
int kovstrputlast(streaminf *record, const char *name, const char *type, const void *val);
/** Format one parameter line into a buffer.
 * \param[out] buffer room for #KOV_LINE_MAX bytes
 * \param name parameter name
 * \param type conversion code
 * \param val the value
 * \return 0 */
int putch_format(char *buffer, const char *name, const char *type, const void *val);

/** Header routine of an output record: open the header, decide the data
 * location, copy the input history for "out".
 * \param record the record */
void kovstr_out_head(streaminf *record);
/** Write the title line once (unless "<tag>.write_title" is 0).
 * \param record the record */
void write_title(streaminf *record);
/** Write the data-location line once.
 * \param record the record */
void write_outname(streaminf *record);
/** Make an output header ready for data: title, location, "data_format".
 * \param record the record */
void kovstr_ready_out(streaminf *record);
/** Close an output header (hclose() and auxhclose() use it).
 * \param record the record
 * \return 0 */
int kovstr_hclose(streaminf *record);
/** Copy an input history into an output header.
 * \param in the input record
 * \param out the output record */
void kovstr_copyh(streaminf *in, streaminf *out);
/** The title text of an output history.
 * \param[out] buffer room for the title
 * \return buffer */
char *maketitle(char *buffer);
/** The file name of a registered tag's header; an unknown tag is fatal.
 * \param tag the tag
 * \param[out] name room for 257 bytes
 * \return 0 */
int kov_headername(const char *tag, char *name);

/** Read a .datapath file into a buffer and close it.
 * \param file the open file
 * \param[out] buffer room for 4096 bytes */
void readpath(FILE *file, char *buffer);
/** The data file names of a dataset, joined by ';'.
 * \param path the datapath
 * \param base base name
 * \param randit 1 for random, unique names
 * \return a new string */
char *makenames(const char *path, const char *base, int randit);
/** Decide the data name of "out"-like records and set up the back end.
 * \param record the record */
void open_outstream(streaminf *record);
/** Decide the data name of other output kinds.
 * \param record the record */
void outname(streaminf *record);
/** A name made absolute (unless it begins with "./").
 * \param name the name
 * \return a new string */
char *expand_name(const char *name);
/** Put the current directory in front of a relative name, in place.
 * \param[in,out] string the name
 * \param maxlen its room
 * \return characters cut off at the end */
int fullnm(char *string, int maxlen);
/** The environment variable that heads a name ("$VAR/...").
 * \param name the name
 * \return a new string, or null */
char *envhead(const char *name);
/** A name with its heading variable replaced by its value (environment,
 * command line, or the record's history); an unknown variable is fatal.
 * \param name the name
 * \param record a record, or null
 * \return a new string */
char *expand_info(const char *name, streaminf *record);
/** expand_info() with the record of a tag, for a name its history
 * records: a relative name is resolved against the directory of the tag's
 * header first.
 * \param name the name
 * \param tag the tag, or null
 * \return a new string */
char *expandnm(const char *name, const char *tag);
/** The name under which an open file stands in the current directory.
 * \param fd descriptor
 * \param[out] buffer room for maxlen + 1 bytes
 * \param maxlen longest name
 * \return its length, 0 when not there, -1 on error or when too long */
int findnm(int fd, char *buffer, int maxlen);
/** The part of a name after its last '/' (no copy).
 * \param name the name
 * \return a pointer into name */
const char *kov_tail(const char *name);

/** Set up the data side of an input record.
 * \param record the record */
void open_instream(streaminf *record);
/** Set up the data side of an in/out record.
 * \param record the record */
void open_inoutstream(streaminf *record);
/** Set up the data side of a scratch record.
 * \param record the record */
void open_scrstream(streaminf *record);
/** Set up the data side of a socket-out record.
 * \param record the record */
void open_socketstream(streaminf *record);

/** Choose and install the back end of a record from its data name.
 * \param record the record */
void init_io(streaminf *record);
/** Install the descriptor back end.
 * \param record the record */
void init_fd_io(streaminf *record);
/** Install the buffered-stream back end.
 * \param record the record */
void init_file_io(streaminf *record);
/** Install the multi-file back end.
 * \param record the record */
void init_multifd_io(streaminf *record);
/** Install the URL back end: data read by range requests from a web server
 * or an S3-protocol object store.
 * \param record the record */
void init_url_io(streaminf *record);

/** A listening stream socket: TCP (unixdom 0) on the port in `portstr`,
 * where "0" or "" lets the system choose and the chosen port is written
 * back (room for 6 bytes), or a local socket (unixdom 1) at the path
 * `portstr`.  Creation or binding failures are fatal (status 23).
 * \param[in,out] portstr the port or path
 * \param unixdom 0 or 1
 * \return the descriptor */
int opensock1(char *portstr, int unixdom);
/** A stream socket connected to `portstr` of `remhost` ("unix": the local
 * socket at the path `portstr`).
 * \param remhost host name
 * \param portstr port or path
 * \return the descriptor, or -1 when nobody answers or the host is unknown
 *   (said on standard error) */
int opensock2(const char *remhost, const char *portstr);
/** Whether a header or data name names a socket endpoint: "host:port" with
 * a decimal port, "unix:path", ":port" or "::path".  Any other name, colons
 * or not, is a file name.  Touches no state.
 * \param name the name
 * \return 1 for an endpoint, 0 for a file name */
int kov_is_socket_name(const char *name);
/** Whether a header or data name is a URL read over the network
 * (http://, https:// or s3://).  Touches no state.
 * \param name the name
 * \return 1 for a URL, 0 otherwise */
int kov_is_url(const char *name);
/** Wait for one peer.
 * \param sock listening socket
 * \param secs at most this many seconds when positive
 * \return the connected descriptor, or -1 on time-out, alarm or failure */
int socklisten(int sock, int secs);
/** The alarm handler of socklisten().
 * \param signo the signal */
void catchem(int signo);
/** Read one NUL-terminated string.  Exception: a failed read or a string
 * that does not fit ends the program with status 1.
 * \param fd descriptor
 * \param[out] buf room for cnt bytes
 * \param cnt its size
 * \param err text of the message when it does not fit
 * \return its length */
int strget(int fd, char *buf, int cnt, const char *err);
/** Write a string with its NUL.
 * \param fdes descriptor
 * \param buf the string
 * \return the result of the last write */
int strput(int fdes, const char *buf);
/** Header routine of socket-out records (auxsockout()).
 * \param record the record */
void kovstr_socket_head(streaminf *record);
/** The writer's side of the end-of-header handshake of a piped header.
 * \param record the record */
void syncout(streaminf *record);
/** The reader's side of the end-of-header handshake.
 * \param record the record */
void syncin(streaminf *record);

/** Checked allocation; failure is fatal.
 * \param nbytes bytes
 * \return the memory, or null for 0 bytes */
char *fsbrk(int nbytes);
/** fsbrk().
 * \param len bytes
 * \return as fsbrk() */
char *ifsbrk(int len);
/** Allocation as a 1-based byte position counted from `base`.
 * \param base the caller's array
 * \param len bytes
 * \return the position, or 1 when the allocation fails */
long fortalloc(char *base, int len);
/** Release memory to the heap.
 * \param buf the memory
 * \return 0 */
int fortfree(char *buf);
/** Kept for callers that switch off floating-point traps; does nothing.
 * \return 0 */
int noieeeinterupt(void);

/** @} */

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KOV_KOVLIB_H */
