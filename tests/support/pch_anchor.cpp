// SPDX-License-Identifier: Apache-2.0
// The one source of the target whose precompiled headers the test binaries
// share; it has nothing of its own.
