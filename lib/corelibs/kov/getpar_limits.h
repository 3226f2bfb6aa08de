// SPDX-License-Identifier: Apache-2.0
// Sizes private to the parameter scanner and its small-object allocator.
// They are not part of the public interface: a program never needs them,
// and the typed layer and the tests reach them from here.
#ifndef KOV_GETPAR_LIMITS_H
#define KOV_GETPAR_LIMITS_H

// Blocks of the small-object allocator (suballoc).
#define SMALLBLOCK 4096
// Longest token of the parameter scanner, one byte of room for its end
// included (64 KiB): a longer token is a fatal error naming the file and
// the line.
#define YYLMAX 65536

#endif // KOV_GETPAR_LIMITS_H
