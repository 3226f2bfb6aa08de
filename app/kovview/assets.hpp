// SPDX-License-Identifier: Apache-2.0
// The page's files (index.html, kovview.js, kovview.css), embedded into
// the program when it is built (kovview_embed), so that nothing is read or
// fetched at run time.
#ifndef KOV_APP_KOVVIEW_ASSETS_HPP
#define KOV_APP_KOVVIEW_ASSETS_HPP

#include <string_view>

namespace kovview {

// The contents of the file `name`; empty for a name not embedded.
std::string_view asset(std::string_view name);

} // namespace kovview

#endif
