// SPDX-License-Identifier: Apache-2.0
// The version: the macros of <kov/kov_version.h>, the library's own answer,
// and the pkg-config modules that tie the layers to the core of the same
// version.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Version, MacrosAndTheLibraryAgree) {
  const std::string joined = std::to_string(KOV_VERSION_MAJOR) + "." +
                             std::to_string(KOV_VERSION_MINOR) + "." +
                             std::to_string(KOV_VERSION_PATCH);
  EXPECT_EQ(joined, KOV_VERSION_STRING);
  EXPECT_STREQ(kov_version(), KOV_VERSION_STRING);
}

TEST(Version, LayersRequireTheCoreOfTheirOwnVersion) {
  const std::string exact = std::string("kov = ") + KOV_VERSION_STRING;
  for (const char *module : {"kov3d.pc", "kov-typed.pc"}) {
    const std::string text = kovtest::read_file(std::string(KOV_PC_DIR) + "/" + module);
    EXPECT_NE(text.find(exact), std::string::npos) << module << ":\n" << text;
  }
}

} // namespace
