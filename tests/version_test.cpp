#include "menutools_version.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// The programs name their version as wide text, written from the header's
// narrow literal; it must read as the numbers that the version block carries.
TEST(VersionHeader, WideTextReadsAsTheNumericVersion) {
  const std::wstring text = L"" MENUTOOLS_VERSION_TEXT;
  std::vector<unsigned long> parts;
  std::wistringstream reader(text);
  std::wstring part;
  while (std::getline(reader, part, L'.')) {
    ASSERT_FALSE(part.empty()) << "in " << std::string(MENUTOOLS_VERSION_TEXT);
    ASSERT_EQ(part.find_first_not_of(L"0123456789"), std::wstring::npos);
    parts.push_back(std::stoul(part));
  }
  ASSERT_GE(parts.size(), 1u);
  ASSERT_LE(parts.size(), 4u);
  parts.resize(4, 0);
  const std::vector<unsigned long> numbers = {MENUTOOLS_VERSION_MAJOR, MENUTOOLS_VERSION_MINOR,
                                              MENUTOOLS_VERSION_PATCH, MENUTOOLS_VERSION_TWEAK};
  EXPECT_EQ(parts, numbers);
}

}  // namespace
