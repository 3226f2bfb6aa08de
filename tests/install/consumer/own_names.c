// SPDX-License-Identifier: Apache-2.0
/* A program with a routine of its own under a name the library also has
   (alloc).  Its calls reach its own routine; the library's calls reach the
   library's, whether the program is linked static or shared. */
#include <kov/kovlib.h>

#include <stdio.h>
#include <stdlib.h>

static int own_calls = 0;

/* Hands out nothing: the library would stop at its first parameter if its
   own allocations came here. */
void *alloc(size_t size) {
  (void)size;
  ++own_calls;
  return NULL;
}

int main(int argc, char **argv) {
  int n1 = 0;
  float d1 = 0.0f;
  initpar(argc, argv);
  if (getch("n1", "d", &n1) != 1 || getch("d1", "f", &d1) != 1) erexit("missing n1 or d1");
  if (own_calls != 0) {
    fprintf(stderr, "the library called the program's alloc %d times\n", own_calls);
    return 1;
  }
  if (alloc(16) != NULL || own_calls != 1) {
    fprintf(stderr, "the program's alloc was not its own\n");
    return 1;
  }
  printf("n1=%d d1=%g\n", n1, d1);
  return 0;
}
