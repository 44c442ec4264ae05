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

// A surrogate pair is one character, a lone surrogate is itself; the table of
// control and format characters holds both ends of its ranges and no
// neighbour, the zero-width joiners left out.
TEST(Characters, PairsAreOneCharacterAndTheDisguisingOnesAreCcAndCf) {
  const wchar_t text[] = L"a\xD83D\xDE00\xDC00" L"b";
  size_t at = 0;
  EXPECT_EQ(NextCharacter(text, &at), UINT32{'a'});
  EXPECT_EQ(NextCharacter(text, &at), UINT32{0x1F600});
  EXPECT_EQ(at, 3u);
  EXPECT_EQ(NextCharacter(text, &at), UINT32{0xDC00});
  EXPECT_EQ(NextCharacter(text, &at), UINT32{'b'});

  const struct {
    UINT32 c;
    bool disguising;
  } cases[] = {
      {0x0000, true},  {0x001F, true},   {0x0020, false},  {0x007F, true},   {0x009F, true},
      {0x00A0, false}, {0x00AD, true},   {0x061C, true},   {0x200B, true},   {0x200C, false},
      {0x200D, false}, {0x200E, true},   {0x2065, false},  {0x206F, true},   {0x2070, false},
      {0xFEFF, true},  {0x1343F, true},  {0xE0001, true},  {0xE007F, true},  {0xE0080, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsDisguisingCharacter(c.c), c.disguising) << std::hex << c.c;
  }
}

}  // namespace
