// The end of a header whose data follow it in the same stream.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <cstdio>

namespace kov::detail {

// Writer's side: end the header text with a newline, two form feeds and an
// end-of-transmission byte, so that the reader stops there.
void syncout(streaminf *r) {
  if (r->headfile == nullptr) return;
  if (std::fputs("\n\f\f\004", r->headfile) < 0 || std::fflush(r->headfile) != 0) {
    syserr("kovstrput()");
    koverr("kovstrput() I/O error on output header for tag %s\n", r->tagname.c_str());
  }
}

// Reader's side: drop the two form feeds of the normal end.
void syncin(streaminf *r) {
  if (!r->headerbuf) return;
  std::string &text = *r->headerbuf;
  if (text.size() >= 2 && text[text.size() - 1] == '\f' && text[text.size() - 2] == '\f') {
    text.resize(text.size() - 2);
    r->hdrlen = static_cast<int>(text.size());
  }
}

} // namespace kov::detail
