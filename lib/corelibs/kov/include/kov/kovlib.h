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
int getch(const char *name, const char *type, void *dest);
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
int tetch(const char *name, const char *type, ...);
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

#ifdef __cplusplus
}
#endif

#endif /* KOV_KOVLIB_H */
