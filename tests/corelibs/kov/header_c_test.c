// SPDX-License-Identifier: Apache-2.0
/* The public header compiles alone as C. */
#include <kov/kovlib.h>

int kov_header_c_probe(void) { return (int)sizeof(kov_off_t) + (int)sizeof(hash_item); }
