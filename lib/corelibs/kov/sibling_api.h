// SPDX-License-Identifier: Apache-2.0
// Internal routines the sibling libraries (kov3d, the typed layer) call are
// marked KOV_SIBLING_API: the shared core exports them for those libraries
// only; they are not public interface and may change with any release.
#ifndef KOV_SIBLING_API_H
#define KOV_SIBLING_API_H

#define KOV_SIBLING_API __attribute__((visibility("default")))

#endif
