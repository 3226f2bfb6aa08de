// SPDX-License-Identifier: Apache-2.0
// Choosing the I/O back end of a record from its data name.
#include "kovlib_internal.h"
#include "streaminf.h"
#include "url_io.h"

#include <string>

extern "C" void init_io(streaminf *r) {
  if (r == nullptr) kov::detail::assertion("init_io", "null record");
  const std::string name = r->dataname.value_or("");
  if (name == "stdin" || name == "follow_hdr" || name == "stdout")
    r->iotype = FILE_IO;
  else if (kov::detail::is_url(name))
    r->iotype = URL_IO; // one object, or a set of them
  else if (name.find(';') != std::string::npos)
    r->iotype = MULTI_FD_IO;
  else
    r->iotype = FD_IO;
  if ((r->entrytype == STREAMINOUT || r->entrytype == STREAMSCR) &&
      (name == "follow_hdr" || name == r->headername))
    koverr("tag \"%s\" in/out dataset cannot be a pipe or the same file as the header\n",
           r->tagname.c_str());
  switch (r->iotype) {
  case FD_IO:
    init_fd_io(r);
    break;
  case FILE_IO:
    init_file_io(r);
    break;
  case MULTI_FD_IO:
    init_multifd_io(r);
    break;
  case URL_IO:
    // Written data go up to a store; web servers are read only.
    if (name.find(';') != std::string::npos)
      kov::detail::init_url_set_io(r);
    else if (r->entrytype == STREAMIN)
      init_url_io(r);
    else
      kov::detail::init_url_write_io(r);
    break;
  default:
    koverr("unknown IO type\n");
  }
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(init_io)
