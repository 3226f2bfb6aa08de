// SPDX-License-Identifier: Apache-2.0
// kovview's page as the server sends it: index.html with the description
// of the dataset, the page's first script and its style put in at their
// marks, and the Content-Security-Policy that lets that one inline script
// run and that one inline style apply (each named by its hash) and nothing
// else inline.
#ifndef KOV_APP_KOVVIEW_PAGE_HPP
#define KOV_APP_KOVVIEW_PAGE_HPP

#include <string>
#include <string_view>
#include <variant>

namespace kovview {

// The SHA-256 digest of `text` in base64, as a policy names a script.
std::string sha256_base64(std::string_view text);

struct Page {
  std::string html;   // the page
  std::string policy; // its Content-Security-Policy
};

// The page from `index` (which holds the marks @KOVVIEW_INFO@,
// @KOVVIEW_FIRST@ and @KOVVIEW_STYLE@ once each: inside a JSON data block,
// a script element and a style element), the description `info` (JSON, put
// in with every '<' escaped, so that no text of the dataset ends the
// block), the script `first` and the style sheet `style` (inline, so that
// the page is laid out, and its first script runs, without waiting for
// another file); an error text when a mark is missing or given twice, or
// the script or style could end its element early.
std::variant<Page, std::string> make_page(std::string_view index, std::string_view info,
                                          std::string_view first, std::string_view style);

} // namespace kovview

#endif
