#include "strings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JoinStrings, SkipsNullPiecesAndJoinsTheRest) {
  wchar_t* joined = JoinStrings(3, L"a", nullptr, L"bc");
  EXPECT_STREQ(joined, L"abc");
  FreeAndClear(&joined);
  EXPECT_EQ(joined, nullptr);
  joined = JoinStrings(0);
  EXPECT_STREQ(joined, L"");
  FreeAndClear(&joined);
  FreeAndClear(&joined);  // a second release of the cleared pointer does nothing
}

TEST(ToUpperAscii, ChangesOnlyTheLettersAToZ) {
  const wchar_t* source = L"hpc Pack 2008 r2 \u00DF\u00E9z{@";
  std::wstring destination(wcslen(source) + 1, L'#');
  ToUpperAscii(source, destination.data());
  EXPECT_STREQ(destination.c_str(), L"HPC PACK 2008 R2 \u00DF\u00E9Z{@");
}

}  // namespace
