// SPDX-License-Identifier: Apache-2.0
// kovview's page as the server sends it: index.html with the description
// of the dataset and the page's first script put in at their marks, and
// the Content-Security-Policy that lets that one inline script run (named
// by its hash) and nothing else inline.
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

// The page from `index` (which holds the marks @KOVVIEW_INFO@ and
// @KOVVIEW_FIRST@ once each, the first inside a JSON data block, the
// second inside a script element), the description `info` (JSON, put in
// with every '<' escaped, so that no text of the dataset ends the block)
// and the script `first`; an error text when a mark is missing or given
// twice, or the script could end its element early.
std::variant<Page, std::string> make_page(std::string_view index, std::string_view info,
                                          std::string_view first);

} // namespace kovview

#endif
