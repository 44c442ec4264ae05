#include "names.h"

#include <gtest/gtest.h>

#include <string>

#include "strings.h"
#include "test_support.h"

namespace {

// A name holding a control or format character shows as something else than
// it is (U+202E makes "exe.knl.lnk" read "lnk.exe"; U+200B, U+00AD and U+FEFF
// do not show at all); the neighbours of each range, the zero-width joiners
// and other characters beyond the first plane are ordinary characters.
TEST(NameRules, PlainNamePartsRefuseReservedControlAndFormatCharacters) {
  const struct {
    std::wstring name;
    BOOL plain;
  } cases[] = {
      {L"18.2", TRUE},          {L"", TRUE},              {L"18.2 .1", TRUE},
      {L"a\\b", FALSE},        {L"a/b", FALSE},          {L"a:b", FALSE},
      {L"a?b", FALSE},          {L"a\tb", FALSE},         {L"18.2.", FALSE},
      {L"18.2 ", FALSE},        {L"a\x007F", FALSE},      {L"a\x0085", FALSE},
      {L"a\x00AD", FALSE},      {L"a\x061C", FALSE},      {L"a\x200B", FALSE},
      {L"a\x200E", FALSE},      {L"a\x202E" L"exe.knl", FALSE},
      {L"a\x2060", FALSE},      {L"a\x2069", FALSE},      {L"a\x206F", FALSE},
      {L"a\xFEFF", FALSE},      {L"a\xDB40\xDC01", FALSE}, {L"a\xDB40\xDC7F", FALSE},
      {L"a\x200C", TRUE},       {L"a\x200D", TRUE},       {L"a\x00AC\x00AE", TRUE},
      {L"a\x2010\x202F", TRUE}, {L"a\x2065\x2070", TRUE}, {L"a\xFEFE", TRUE},
      {L"a\xD83D\xDE00", TRUE}, {L"a\xDB40\xDC80", TRUE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPlainNamePart(c.name.c_str()), c.plain) << WideToUtf8(c.name);
  }
}

TEST(NameRules, DeviceNamesWithOrWithoutAnExtensionInAnyCase) {
  const struct {
    const wchar_t* name;
    BOOL device;
  } cases[] = {
      {L"CON", TRUE},      {L"prn", TRUE},     {L"Aux.txt", TRUE},  {L"nul .x", TRUE},
      {L"COM1", TRUE},     {L"com9.a.b", TRUE}, {L"LPT5", TRUE},    {L"lpt\x00B9", TRUE},
      {L"CONIN$", TRUE},   {L"conout$.log", TRUE}, {L"COM0", FALSE}, {L"LPT10", FALSE},
      {L"COM", FALSE},     {L"CONX", FALSE},   {L"xNUL", FALSE},    {L"AUX1", FALSE},
      {L".NUL", FALSE},    {L"", FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsDeviceName(c.name), c.device) << WideToUtf8(c.name);
  }
}

TEST(NameRules, AFolderNameIsJudgedPartByPart) {
  const struct {
    const wchar_t* folderName;
    const wchar_t* refused;  // null: every part passes
  } cases[] = {
      {L"Velmora RUVO 18.2", nullptr},
      {L"Velmora\\RUVO 18.2", nullptr},
      {L"\\Velmora//RUVO 18.2\\Fluid Dynamics\\", nullptr},
      {L"", nullptr},
      {L"a. \\b", L"a. "},
      {L"x\\AUX.txt\\y", L"AUX.txt"},
      {L"ok\\q?b", L"q?b"},
      {L"ok/c\x01", L"c\x01"},
      {L"a\\..\\b", L".."},
      {L"ok\\\x202E" L"fdp.exe", L"\x202E" L"fdp.exe"},
      {L"CON", L"CON"},
  };
  for (const auto& c : cases) {
    wchar_t* refused = CopyRefusedFolderPart(c.folderName);
    EXPECT_EQ(refused != nullptr, c.refused != nullptr) << WideToUtf8(c.folderName);
    if (refused != nullptr && c.refused != nullptr) {
      EXPECT_STREQ(refused, c.refused);
    }
    FreeAndClear(&refused);
  }
}


}  // namespace
