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

#ifdef __cplusplus
}
#endif

#endif /* KOV_KOVLIB_H */
