/*
 * kovlib: the dataset and parameter library of the kov program family.
 *
 * Every entry point has C linkage so that C, C++ and Fortran programs of the
 * family can call it.  Texts that a routine does not write are `const char *`,
 * destinations of lookups are `void *`, counts are `int`, file offsets are
 * `kov_off_t`.
 */
#ifndef KOV_KOVLIB_H
#define KOV_KOVLIB_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KOV_NORETURN __attribute__((noreturn))
#define KOV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KOV_NORETURN
#define KOV_PRINTF(f, a)
#endif

/* Offsets and file sizes are signed 64-bit everywhere. */
typedef int64_t kov_off_t;
typedef int64_t kov_file_size_t;

/* ---- Argument capture and parameter scanner ------------------------------ */

/* The captured command line: kovxargv[0] is the program name as invoked,
 * kovxargv[kovxargc] is null.  A null kovxargv means initpar was never called. */
extern int kovxargc;
extern char **kovxargv;

/* One name of a parameter store.  `tag` and `val` are not necessarily
 * terminated; `val` is null for a name given with an empty value. */
typedef struct hash_item {
  struct hash_item *next;
  char *tag;
  int tlen;
  char *val;
  int vlen;
  int timestamp;
} hash_item;

/* Bucket sizes of the stores the library makes. */
#define KOV_GETCH_QUEUE_SIZE 1023
#define KOV_HETCH_QUEUE_SIZE 4095
#define KOV_PUTCH_QUEUE_SIZE 251
/* Blocks of the small-object allocator. */
#define SMALLBLOCK 4096
/* Longest token of the parameter scanner. */
#define YYLMAX 8192

void initpar(int argc, char **argv);
void finitpar(void);

hash_item **new_queue(int len);
char *suballoc(int size);
void getpar_hash_store(hash_item **queue, int qlen, char *tag, char *val, int tlen, int vlen);
hash_item *getpar_hash_lookup(hash_item **queue, int qlen, const char *tag, int tlen);

void getpar_string_store(hash_item **queue, int qlen, char *word);
void getpar_push_input(char *text, int release);
void getpar_stack_par(const char *name);
void getpar_scan(hash_item **queue, int qlen);
int massage(const char *text, char *out, int len, int quote);

/* ---- Parameter lookup and conversion ------------------------------------ */

/* The command-line store, filled at the first getch or getch_add_string. */
extern hash_item **getch_queue;
extern int getch_queue_size;

int getpar_decode(hash_item **queue, int qlen, const char *names, const char *type, void *dest);
/* getch, hetch, fetch and auxpar store every value the text holds into
 * `dest` (a repeat count such as 1000*5 stores a thousand), and a text ("s")
 * whole with its terminator: the caller must give room for the largest value
 * any user may type or any header may hold.  Programs should use the bounded
 * forms below instead. */
int getch(const char *name, const char *type, void *dest);
/* Bounded lookups: store at most `room` values into `dest` (for "s", at most
 * `room` bytes, the text cut to room-1 characters and terminated) and return
 * the number of values the text held, which may exceed `room` (1 for a
 * text; 0 when the name is not found). */
int getch_n(const char *name, const char *type, void *dest, size_t room);
int getch_add_string(const char *string);
int kovarg(int i, char *buf);
int kov_prog(char *buf);

/* ---- Files and sizes ----------------------------------------------------- */

/* Open `name`: mode 0 read only, 1 create (truncate), 2 read and write. */
int file(const char *name, int mode);
kov_file_size_t fsize(int fd);

/* ---- Errors, warnings and exit ------------------------------------------ */

KOV_NORETURN void koverr(const char *format, ...) KOV_PRINTF(1, 2);
int kovwarn(int code, const char *format, ...) KOV_PRINTF(2, 3);
void *alloc(size_t size);
char *fsbrk(int nbytes);
char *ifsbrk(int len);
long fortalloc(char *base, int len);
int fortfree(char *buf);
KOV_NORETURN void fexit(int status);
KOV_NORETURN void erexit(const char *message);
int noieeeinterupt(void);

/* A program that embeds the library (an interpreter, say) may take over its
 * fatal errors.  With a handler set, koverr formats the message (without the
 * program-name prefix), prints nothing and calls handler(message, data),
 * which should not return: it unwinds (a C++ exception) back to the
 * embedding caller.  If it returns, koverr goes on as without a handler.
 * A null handler restores the default.  Likewise a warning handler receives
 * the text of every kovwarn instead of the two streams. */
typedef void (*kov_message_handler)(const char *message, void *data);
void kov_set_fatal_handler(kov_message_handler handler, void *data);
void kov_set_warning_handler(kov_message_handler handler, void *data);

/* ---- Self-documentation -------------------------------------------------- */

/* Register one line of the program's documentation (copied). */
void kov_add_doc_line(const char *line);
/* Show the program's documentation when it is due (exactly the program name
 * on the command line and standard input a terminal) and end the process
 * with status 1; 0 when it is not due.  `name` is the program's source file,
 * or the documentation text itself when it begins with slash-star or with
 * '#', '!', 'c' or 'C'.  Registered lines take precedence over `name`. */
int doc(const char *name);
/* The path of the source file `name` in the documentation directories, or
 * `name` itself.  The path lives until the next call. */
const char *find_doc(const char *name);
/* Entry `index` (from 0) of the documentation directory list, null when
 * there are fewer entries; it lives until the next call. */
const char *get_doc_path(int index);
/* Page the registered lines through $PAGER (or more) and exit with 1. */
KOV_NORETURN void page_doc(void);

/* ---- Foreign-caller entry points ----------------------------------------- */

/* For callers that pass every argument by reference and every character
 * argument as a fixed-length blank-padded field, with the field lengths as
 * extra hidden arguments after all the ordinary ones, in the order of the
 * character arguments.  The lengths are size_t, the type GNU Fortran passes
 * since GCC 8.
 *
 * A text argument reaches the routine as no text (null) when its field is
 * at least 4 bytes long and begins with four NUL bytes, as the field itself
 * when it holds a NUL, and otherwise as a copy without trailing blanks.  An
 * in/out text is handed over without trailing blanks and copied back into
 * the field afterwards, padded with blanks or cut to the field's length.
 * Stream results are descriptor numbers, -1 for no stream.  Lookups with code
 * "s" write a terminated text into the caller's field, without padding.
 *
 * The names, types and tags of putch_, auxputch_ and auxpar_ are copied up
 * to their length or an earlier NUL, trailing blanks removed.  Their value is
 * a character argument only when the type begins with 's': only then does
 * its length follow the type's, and the tag's length comes after it; puthed_
 * converts a text value as putch_ does. */

void initpar_(void);
int getch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
int fetch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
int hetch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
int tetch_(const char *name, const char *type, void *value, size_t name_len, size_t type_len);
int getch_add_string_(const char *word, size_t len);
int getch_add_string__(const char *word, size_t len);
/* ...: [value_len,] tag_len */
int auxpar_(const char *name, const char *type, void *value, const char *tag, size_t name_len,
            size_t type_len, ...);
int kovarg_(const int *i, char *text, size_t len);
int kov_prog_(char *text, size_t len);
int kov_prog__(char *text, size_t len);

/* ...: value_len when the type begins with 's' */
int putch_(const char *name, const char *type, const void *value, size_t name_len, size_t type_len,
           ...);
int puthed_(const char *name, const char *type, const void *value, size_t name_len, size_t type_len,
            ...);
/* ...: [value_len,] tag_len */
int auxputch_(const char *name, const char *type, const void *value, const char *tag,
              size_t name_len, size_t type_len, ...);
int putlin_(const char *line, size_t len);
/* The line, then an empty line. */
int auxputlin_(const char *tag, const char *line, size_t tag_len, size_t line_len);

int head_(void);
int input_(void);
int output_(void);
int auxin_(const char *tag, size_t len);
int auxout_(const char *tag, size_t len);
int auxinout_(const char *tag, size_t len);
int auxsocketout_(const char *tag, size_t len);
int auxtmp_(const char *tag, size_t len);
int auxscr_(const char *tag, size_t len);
int auxclose_(const char *tag, size_t len);
int tag_exists_(const char *tag, size_t len);
int aux_unlink_(const char *tag, size_t len);
int aux_unlink__(const char *tag, size_t len);
int make_unpipe_(const char *tag, size_t len);
int kov_tag_is_pipe_(const char *tag, size_t len);
int kov_tag_is_pipe__(const char *tag, size_t len);
int sseekable_(const char *tag, size_t len);
int hclose_(void);
void copy_history_(const char *from, const char *to, size_t from_len, size_t to_len);
void copy_history__(const char *from, const char *to, size_t from_len, size_t to_len);

int sreed_(const char *tag, void *data, const int *nbytes, size_t tag_len);
int srite_(const char *tag, const void *data, const int *nbytes, size_t tag_len);
int sreed2_(const char *tag, void *data, const int *nbytes, const char *format, size_t tag_len,
            size_t format_len);
int srite2_(const char *tag, const void *data, const int *nbytes, const char *format,
            size_t tag_len, size_t format_len);
int sseek_(const char *tag, const int *offset, const int *whence, size_t len);
int sseek_block_(const char *tag, const int *offset, const int *block_size, const int *whence,
                 size_t len);
int sseek_block__(const char *tag, const int *offset, const int *block_size, const int *whence,
                  size_t len);
int file_position_(const char *tag, const int *block_size, int *blocks, int *remainder, size_t len);

/* Returns `path`, which then holds the datapath. */
char *datapath_(char *path, size_t len);
void mkrandom_string_(const char *text, char *result, size_t text_len, size_t result_len);

int doc_(const char *name, size_t len);
void kov_add_doc_line_(const char *line, size_t len);
void kov_add_doc_line__(const char *line, size_t len);

int kov_begin_prog_(void);
int kov_begin_prog__(void);
int kov_end_prog_(void);
int kov_end_prog__(void);
int kov_progress_prog_(const char *text, size_t len);
int kov_progress_prog__(const char *text, size_t len);
int kov_prog_stat_(const char *msg, const int *i, const int *n, const int *isend, size_t len);
int kov_prog_stat__(const char *msg, const int *i, const int *n, const int *isend, size_t len);

/* koverr_ and erexit_ print the text and a newline and end the program;
 * kovwarn_ prints the text as it stands. */
KOV_NORETURN void koverr_(const char *message, size_t len);
KOV_NORETURN void erexit_(const char *message, size_t len);
int kovwarn_(const int *code, const char *message, size_t len);
KOV_NORETURN void exit_(const int *status);
long fortalloc_(char *base, const int *len);
int fortfree_(char *buf);
char *fsbrk_(const int *nbytes);
int noieeeinterupt_(void);
/* The address of `variable` as an integer. */
long kovloc_(const void *variable);

/* ---- Job status reporting ------------------------------------------------ */

int kov_send_msg(const char *status, const char *extra);
int kov_begin_prog(void);
int kov_end_prog(void);
int kov_progress_prog(const char *text);
int kov_exit_prog(void);
int kov_err_prog(void);
int kov_prog_stat(const char *msg, int i, int n, int isend);

/* ---- Stream registry and tags -------------------------------------------- */

/* How a tag is used. */
typedef enum {
  STREAMIN = 0,
  STREAMOUT = 1,
  STREAMINOUT = 2,
  STREAMSOCKOUT = 3,
  STREAMSCR = 4
} strtype;
/* Requests of tag_info. */
typedef enum {
  TAG_OUT = 0,
  TAG_IN = 1,
  TAG_INOUT = 2,
  TAG_SOCKET = 3,
  TAG_INQUIRE = 4,
  TAG_SCR = 5
} tagtype;
/* I/O back ends. */
typedef enum { FD_IO = 0, FILE_IO = 1, CM_SDA_IO = 2, CM_REG_IO = 3, MULTI_FD_IO = 4 } IOtyp;

/* The stream record of a tag; its layout is private to the library. */
typedef struct streaminf streaminf;

streaminf *kovstr_head(void);
void kovstr_addend(streaminf *record);
void kovstr_addstart(streaminf *record);
void kovstr_del(streaminf *record);
streaminf *kovstr_new(const char *tag, tagtype request);
streaminf *tag_info(const char *tag, tagtype request);
streaminf *fd_info(int fd);
void print_streaminf(streaminf *record);

FILE *auxin(const char *tag);
FILE *auxout(const char *tag);
FILE *auxinout(const char *tag);
FILE *auxscr(const char *tag);
FILE *auxsockout(const char *tag);
FILE *auxtmp(const char *tag);
FILE *input(void);
FILE *output(void);
FILE *kov_head(void);
int auxclose(const char *tag);
int aux_unlink(const char *tag);
int copy_history(const char *from, const char *to);
int tag_exists(const char *tag);
int hclose(void);
int auxhclose(const char *tag);
int debug_tag(const char *tag);
/* The history text read for a registered input, in/out or scratch tag:
 * its length, with *text pointing at it (it lives until the tag is closed);
 * -1 when the tag is unknown or has no history text. */
int kov_history(const char *tag, const char **text);

/* ---- Input headers ------------------------------------------------------- */

void kovstr_in_head(streaminf *record);
void kovstr_inout_head(streaminf *record);
void kovstr_scr_head(streaminf *record);
void readhdr(streaminf *record);
int noheader(void);
int redin(void);

/* ---- Header lookups ------------------------------------------------------ */

int hetch(const char *name, const char *type, void *dest);
int fetch(const char *name, const char *type, void *dest);
int auxpar(const char *name, const char *type, void *dest, const char *tag);
/* Bounded forms of hetch, fetch and auxpar: see getch_n. */
int hetch_n(const char *name, const char *type, void *dest, size_t room);
int fetch_n(const char *name, const char *type, void *dest, size_t room);
int auxpar_n(const char *name, const char *type, void *dest, size_t room, const char *tag);
int tetch(const char *name, const char *type, ...);
/* Every name of the tag's history store with its value (the one given
 * last), in the order the values were given: each(name, name length, value,
 * value length, data); the value is null for a name given without one.
 * Returns the number of names. */
typedef void (*kov_param_visitor)(const char *name, int nlen, const char *value, int vlen,
                                  void *data);
int kov_history_params(const char *tag, kov_param_visitor each, void *data);
int kovstrpar(streaminf *record, const char *name, const char *type, void *dest);

/* ---- History parameter writing ------------------------------------------- */

/* Longest parameter line, terminator included. */
#define KOV_LINE_MAX 16374

int putch(const char *name, const char *type, const void *val);
int auxputch(const char *name, const char *type, const void *val, const char *tag);
int kovstrput(streaminf *record, const char *name, const char *type, const void *val);
int kovstrputlast(streaminf *record, const char *name, const char *type, const void *val);
int putch_format(char *buffer, const char *name, const char *type, const void *val);
int putlin(const char *line);
int auxputhead(const char *tag, const char *format, ...) KOV_PRINTF(2, 3);

/* ---- Output header life cycle -------------------------------------------- */

void kovstr_out_head(streaminf *record);
void write_title(streaminf *record);
void write_outname(streaminf *record);
void kovstr_ready_out(streaminf *record);
int kovstr_hclose(streaminf *record);
void kovstr_copyh(streaminf *in, streaminf *out);
char *maketitle(char *buffer);
int kov_headername(const char *tag, char *name);

/* ---- Data file naming and datapath --------------------------------------- */

/* Routines documented as returning "a new string" return memory from the C
 * heap that the caller releases with free(). */
char *datapath(char *buffer);
void readpath(FILE *file, char *buffer);
char *makenames(const char *path, const char *base, int randit);
void open_outstream(streaminf *record);
void outname(streaminf *record);
char *expand_name(const char *name);
int fullnm(char *string, int maxlen);
char *envhead(const char *name);
char *expand_info(const char *name, streaminf *record);
char *expandnm(const char *name, const char *tag);
int findnm(int fd, char *buffer, int maxlen);
int isapipe(int fd);
const char *kov_tail(const char *name);
int get_data_name(const char *tag, char *buffer);
void mkrandom_string(const char *in, char *out);

/* ---- Element formats and data set-up ------------------------------------- */

int get_format_num(const char *name);
char *get_format_name(int number);
int set_format(const char *tag, const char *name);
int set_output_data_format(const char *name);
char *get_format(const char *tag);
void open_instream(streaminf *record);
void open_inoutstream(streaminf *record);
void open_scrstream(streaminf *record);
void open_socketstream(streaminf *record);

int sreed(const char *tag, void *buffer, int nbytes);
int sreed2(const char *tag, void *buffer, int nbytes, const char *format);
int sreed_raw(const char *tag, void *buffer, int nbytes);
int srite(const char *tag, const void *buffer, int nbytes);
int srite2(const char *tag, const void *buffer, int nbytes, const char *format);
int srite_raw(const char *tag, const void *buffer, int nbytes);

/* ---- I/O back ends and seeking ------------------------------------------- */

void init_io(streaminf *record);
void init_fd_io(streaminf *record);
void init_file_io(streaminf *record);
void init_multifd_io(streaminf *record);
int sseek(const char *tag, int offset, int whence);
kov_off_t sseek_l_l(const char *tag, kov_off_t offset, int whence);
double sseek_block_d(const char *tag, int offset, int block_size, int whence);
int sseek_block(const char *tag, int offset, int block_size, int whence);
int file_position(const char *tag, int block_size, int *blocks, int *remainder);
int sseekable(const char *tag);
int isclosed(FILE *stream);
int fdordinary(int fd);
int isordinary(const char *path);

/* ---- Pipes, sockets and unpiping ----------------------------------------- */

/* A listening stream socket: TCP (unixdom 0) on the port in `portstr`, where
 * "0" or "" lets the system choose and the chosen port is written back (room
 * for 6 bytes), or a local socket (unixdom 1) at the path `portstr`.
 * Creation or binding failures end the program with status 1. */
int opensock1(char *portstr, int unixdom);
/* A stream socket connected to `portstr` of `remhost` ("unix": the local
 * socket at the path `portstr`); -1 when nobody answers.  An unknown host
 * ends the program with status 2. */
int opensock2(const char *remhost, const char *portstr);
/* Wait for one peer (at most `secs` seconds when positive); the connected
 * descriptor, or -1 on time-out, alarm or failure. */
int socklisten(int sock, int secs);
/* The alarm handler of socklisten. */
void catchem(int signo);
/* Read one NUL-terminated string into `buf` of `cnt` bytes (status 1 when
 * it cannot be read or does not fit); returns its length. */
int strget(int fd, char *buf, int cnt, const char *err);
/* Write the string with its NUL; the result of the last write. */
int strput(int fdes, const char *buf);
/* The header routine of socket-out tags (auxsockout). */
void kovstr_socket_head(streaminf *record);
/* The two sides of the end-of-header handshake of a piped header. */
void syncout(streaminf *record);
void syncin(streaminf *record);
/* Copy the rest of a piped input into a scratch file that can be read and
 * positioned again; 0. */
int make_unpipe(const char *tag);
/* 1 for "out" through a pipe (and for a tag without a record), -1 for
 * another tag through a pipe, 0 when not a pipe. */
int kov_tag_is_pipe(const char *tag);

/* ---- Windowed hypercube transfer ----------------------------------------- */

/* A window over a cube of *ndim axes (axis 0 fastest): on axis i, n_wind[i]
 * samples from index f_wind[i] (from 0) in steps of j_wind[i], inside a cube
 * of n_cube[i] samples; esize bytes per sample.  Mode 1 writes `values` (the
 * window's samples, densely) into the window of the tag's data, -1 reads the
 * window into `values`, 0 stores into `values` the 1-based linear position
 * of every window sample in the cube as a native 32-bit integer at the start
 * of each esize-byte element (esize at least 4; the other bytes of each
 * element are left as they are; the tag is not used).  Returns 0, -1 after a
 * failed seek or transfer, -2 for an invalid window or a cube too large;
 * every failure is warned about and none ends the program. */
int kov_window(int mode, const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
               const int *f_wind, const int *j_wind, int esize, void *values);
int srite_window(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                 const int *f_wind, const int *j_wind, int esize, const void *values);
int sreed_window(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                 const int *f_wind, const int *j_wind, int esize, void *values);
/* Linear index to coordinates over the axis lengths n[0..ndim-1], and back. */
void h2c(int hindex, const int *n, int ndim, int *cindex);
void c2h(int *hindex, const int *n, int ndim, const int *cindex);
/* Append one n1 by n2 slice (n1 = 1: a vector of n2 samples) to the
 * in/out dataset `name`, keeping its header's counts up to date; 0. */
int slice(const char *name, int esize, int n1, int n2, const void *data);
/* slice(name, 4, n1, n2, data) when the file named by the parameter `name`
 * (or `name` itself) exists; otherwise nothing; 0. */
int snap(const char *name, int n1, int n2, const void *data);

/* Foreign-caller forms: the tag or name a blank-padded text, the rest by
 * reference; slice_'s name is an in/out text. */
int srite_window_(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                  const int *f_wind, const int *j_wind, const int *esize, const void *values,
                  size_t tag_len);
int srite_window__(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                   const int *f_wind, const int *j_wind, const int *esize, const void *values,
                   size_t tag_len);
int sreed_window_(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                  const int *f_wind, const int *j_wind, const int *esize, void *values,
                  size_t tag_len);
int sreed_window__(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                   const int *f_wind, const int *j_wind, const int *esize, void *values,
                   size_t tag_len);
int slice_(char *name, const int *esize, const int *n1, const int *n2, const void *data,
           size_t name_len);
int snap_(const char *name, const int *n1, const int *n2, const void *data, size_t name_len);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KOV_KOVLIB_H */
