// SPDX-License-Identifier: Apache-2.0
// Outputs that appear whole or not at all: files written under temporary
// names beside their final names and renamed into place when the program
// ends successfully (kov_commit_outputs, or an exit with status 0); removed
// when it fails or is stopped by a signal.
#ifndef KOV_OUTPUTS_H
#define KOV_OUTPUTS_H

#include "streaminf.h"

#include <optional>
#include <string>

namespace kov::detail {

// What a pending file is committed by.
enum class Commit {
  AtEnd,   // the output of tag out: kov_commit_outputs or an exit with status 0
  Explicit // a tool's own file: commit_pending only, removed otherwise
};

// Creates a temporary file beside `final` (a symbolic link is followed to
// its target, which is what gets replaced) named
// ".<name>.kovtmp-<pid>-<unique>", with the permissions the file would get
// when created in place (an existing file's own), and registers it.
// Temporaries of the same name left by processes that no longer run are
// removed first.  Returns its descriptor (read-write, close-on-exec) and
// sets `temp`; -1 with errno set when it cannot be made; -2 when `final`
// exists and is not a regular file (a device, a pipe): the caller writes to
// it directly.
int create_pending(const std::string &final, Commit when, std::string &temp);

// Outputs of tag out written in place, as before (for callers inside one
// process that read back what they wrote before it ends: the library's
// in-process tests).
void set_outputs_in_place(bool in_place);

// Renames one registered temporary onto its final name (fatal on failure)
// or removes it, and forgets it.
void commit_pending(const std::string &temp);
void discard_pending(const std::string &temp);

// Records that the header of out goes to the standard output; when that is
// a regular file, a failure truncates it back to where the header began.
void header_on_stdout();

// The final name of out's header when it is written under a temporary name.
std::optional<std::string> pending_header_name();
void set_pending_header_name(const std::string &final);

// Removes every temporary and truncates a header on the standard output
// (the fatal-error path, before exit).
void discard_outputs() noexcept;

// Outputs on a store, which the owner commits with the files: the hooks
// that commit at a successful exit and discard otherwise are (re)registered
// now, after what the commit needs was made, so that it is still there.
void commit_at_exit();

// The target of a name after following symbolic links, also a link whose
// target does not exist yet; the name itself when it is not a link.
std::string link_target(std::string path);

} // namespace kov::detail

#endif
