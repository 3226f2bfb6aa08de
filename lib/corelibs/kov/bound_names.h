// SPDX-License-Identifier: Apache-2.0
// The libraries' own calls to the core's public routines.
//
// Each public routine is compiled under an internal name, kovlib_<name>, and
// its public name is a weak alias of it, made in the file that defines it
// (KOV_PUBLIC_NAME).  The core, kov3d and the typed layer are compiled with
// this header included first, so every call they make goes to the internal
// name: a program that defines a routine of the same name as one of ours
// (its own alloc(), say) replaces it for its own calls only, whether it
// links the libraries static or shared, and the libraries keep their own.
// The internal names are exported by the shared core for its siblings and
// are no interface of their own.
#ifndef KOV_BOUND_NAMES_H
#define KOV_BOUND_NAMES_H

#include <kov/kovlib.h>

// Every routine kovlib.h declares (checked against the shared core's
// exports by the install tests).
// clang-format off
#define KOV_PUBLIC_ROUTINES(X) \
  X(alloc) \
  X(aux_unlink) \
  X(aux_unlink_) \
  X(aux_unlink__) \
  X(auxclose) \
  X(auxclose_) \
  X(auxhclose) \
  X(auxin) \
  X(auxin_) \
  X(auxinout) \
  X(auxinout_) \
  X(auxout) \
  X(auxout_) \
  X(auxpar) \
  X(auxpar_) \
  X(auxpar_n) \
  X(auxputch) \
  X(auxputch_) \
  X(auxputhead) \
  X(auxputlin_) \
  X(auxscr) \
  X(auxscr_) \
  X(auxsocketout_) \
  X(auxsockout) \
  X(auxtmp) \
  X(auxtmp_) \
  X(c2h) \
  X(catchem) \
  X(copy_history) \
  X(copy_history_) \
  X(copy_history__) \
  X(datapath) \
  X(datapath_) \
  X(debug_tag) \
  X(doc) \
  X(doc_) \
  X(envhead) \
  X(erexit) \
  X(erexit_) \
  X(exit_) \
  X(expand_info) \
  X(expand_name) \
  X(expandnm) \
  X(fd_info) \
  X(fdordinary) \
  X(fetch) \
  X(fetch_) \
  X(fetch_n) \
  X(fexit) \
  X(file) \
  X(file_position) \
  X(file_position_) \
  X(find_doc) \
  X(findnm) \
  X(finitpar) \
  X(fortalloc) \
  X(fortalloc_) \
  X(fortfree) \
  X(fortfree_) \
  X(fsbrk) \
  X(fsbrk_) \
  X(fsize) \
  X(fullnm) \
  X(get_data_name) \
  X(get_doc_path) \
  X(get_format) \
  X(get_format_name) \
  X(get_format_num) \
  X(getch) \
  X(getch_) \
  X(getch_add_string) \
  X(getch_add_string_) \
  X(getch_add_string__) \
  X(getch_n) \
  X(getpar_decode) \
  X(getpar_hash_lookup) \
  X(getpar_hash_store) \
  X(getpar_push_input) \
  X(getpar_scan) \
  X(getpar_stack_par) \
  X(getpar_string_store) \
  X(h2c) \
  X(hclose) \
  X(hclose_) \
  X(head_) \
  X(hetch) \
  X(hetch_) \
  X(hetch_n) \
  X(ifsbrk) \
  X(init_fd_io) \
  X(init_file_io) \
  X(init_io) \
  X(init_multifd_io) \
  X(init_url_io) \
  X(initpar) \
  X(initpar_) \
  X(input) \
  X(input_) \
  X(isapipe) \
  X(isclosed) \
  X(isordinary) \
  X(kov_add_doc_line) \
  X(kov_add_doc_line_) \
  X(kov_add_doc_line__) \
  X(kov_begin_prog) \
  X(kov_begin_prog_) \
  X(kov_begin_prog__) \
  X(kov_commit_outputs) \
  X(kov_end_prog) \
  X(kov_end_prog_) \
  X(kov_end_prog__) \
  X(kov_err_prog) \
  X(kov_exit_prog) \
  X(kov_head) \
  X(kov_header_axes) \
  X(kov_headername) \
  X(kov_history) \
  X(kov_history_params) \
  X(kov_is_socket_name) \
  X(kov_is_url) \
  X(kov_prog) \
  X(kov_prog_) \
  X(kov_prog__) \
  X(kov_prog_stat) \
  X(kov_prog_stat_) \
  X(kov_prog_stat__) \
  X(kov_progress_prog) \
  X(kov_progress_prog_) \
  X(kov_progress_prog__) \
  X(kov_send_msg) \
  X(kov_set_fatal_handler) \
  X(kov_set_warning_handler) \
  X(kov_tag_is_pipe) \
  X(kov_tag_is_pipe_) \
  X(kov_tag_is_pipe__) \
  X(kov_tail) \
  X(kov_version) \
  X(kov_window) \
  X(kovarg) \
  X(kovarg_) \
  X(koverr) \
  X(koverr_) \
  X(kovloc_) \
  X(kovstr_addend) \
  X(kovstr_addstart) \
  X(kovstr_copyh) \
  X(kovstr_del) \
  X(kovstr_hclose) \
  X(kovstr_head) \
  X(kovstr_in_head) \
  X(kovstr_inout_head) \
  X(kovstr_new) \
  X(kovstr_out_head) \
  X(kovstr_ready_out) \
  X(kovstr_scr_head) \
  X(kovstr_socket_head) \
  X(kovstrpar) \
  X(kovstrput) \
  X(kovstrputlast) \
  X(kovwarn) \
  X(kovwarn_) \
  X(make_unpipe) \
  X(make_unpipe_) \
  X(makenames) \
  X(maketitle) \
  X(massage) \
  X(mkrandom_string) \
  X(mkrandom_string_) \
  X(new_queue) \
  X(noheader) \
  X(noieeeinterupt) \
  X(noieeeinterupt_) \
  X(open_inoutstream) \
  X(open_instream) \
  X(open_outstream) \
  X(open_scrstream) \
  X(open_socketstream) \
  X(opensock1) \
  X(opensock2) \
  X(outname) \
  X(output) \
  X(output_) \
  X(page_doc) \
  X(print_streaminf) \
  X(putch) \
  X(putch_) \
  X(putch_format) \
  X(puthed_) \
  X(putlin) \
  X(putlin_) \
  X(readhdr) \
  X(readpath) \
  X(redin) \
  X(set_format) \
  X(set_output_data_format) \
  X(slice) \
  X(slice_) \
  X(snap) \
  X(snap_) \
  X(socklisten) \
  X(sreed) \
  X(sreed2) \
  X(sreed2_) \
  X(sreed_) \
  X(sreed_raw) \
  X(sreed_window) \
  X(sreed_window_) \
  X(sreed_window__) \
  X(srite) \
  X(srite2) \
  X(srite2_) \
  X(srite_) \
  X(srite_raw) \
  X(srite_window) \
  X(srite_window_) \
  X(srite_window__) \
  X(sseek) \
  X(sseek_) \
  X(sseek_block) \
  X(sseek_block_) \
  X(sseek_block__) \
  X(sseek_block_d) \
  X(sseek_l_l) \
  X(sseekable) \
  X(sseekable_) \
  X(strget) \
  X(strput) \
  X(suballoc) \
  X(syncin) \
  X(syncout) \
  X(tag_exists) \
  X(tag_exists_) \
  X(tag_info) \
  X(tetch) \
  X(tetch_) \
  X(write_outname) \
  X(write_title)
// clang-format on

#define KOV_BIND_(name) extern "C" __typeof__(name) name __asm__("kovlib_" #name);
KOV_PUBLIC_ROUTINES(KOV_BIND_)
#undef KOV_BIND_

// The public name of a routine this file defines.  Weak, so that a static
// link takes a program's own definition of the name without a clash.  It
// carries the routine's attributes (noreturn, format) where the compiler
// can copy them.
#if defined(__clang__)
#define KOV_COPY_ATTRIBUTES_(name)
#else
#define KOV_COPY_ATTRIBUTES_(name) copy(name),
#endif
#define KOV_PUBLIC_NAME(name)                                                                      \
  extern "C" __typeof__(name) kov_public_##name __asm__(#name) __attribute__((                     \
      KOV_COPY_ATTRIBUTES_(name) weak, alias("kovlib_" #name), visibility("default")));

#endif
