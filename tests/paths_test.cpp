#include "paths.h"

#include <gtest/gtest.h>

#include <string>

#include "release.h"
#include "strings.h"
#include "test_support.h"

namespace {

TEST(CutLastComponent, KeepsTheBackslashBeforeTheLastComponent) {
  struct Case {
    const wchar_t* path;
    const wchar_t* cut;
    BOOL found;
  } cases[] = {
      {L"C:\\a\\b", L"C:\\a\\", TRUE},  {L"C:\\a\\b\\", L"C:\\a\\", TRUE},
      {L"name", L"name", FALSE},        {L"name\\", L"name", FALSE},
      {L"C:\\", L"C:\\", TRUE},
  };
  for (const Case& c : cases) {
    std::wstring path = c.path;
    EXPECT_EQ(CutLastComponent(path.data()), c.found) << c.path;
    EXPECT_STREQ(path.c_str(), c.cut) << c.path;
  }
}

TEST(ClimbDirectories, RemovesFiveComponentsAndStopsAtTheDrive) {
  struct Case {
    const wchar_t* source;
    const wchar_t* climbed;
  } cases[] = {
      {L"C:\\R\\a\\b\\c\\d\\menusetup.exe", L"C:\\R"},
      {L"D:\\S\\x\\y\\z\\w\\v\\u\\menusetup.exe", L"D:\\S\\x\\y"},
      {L"C:\\a\\b\\c\\menusetup.exe", L"C:\\"},
      {L"menusetup.exe", L"menusetup.exe"},
  };
  for (const Case& c : cases) {
    std::wstring destination(wcslen(c.source) + 1, L'#');
    ClimbDirectories(c.source, destination.data());
    EXPECT_STREQ(destination.c_str(), c.climbed) << c.source;
  }
}

TEST(Directories, CreateDirectoryTreeCreatesEveryMissingLevel) {
  ScratchFolder scratch(L"tree");
  const std::wstring deepest = scratch / L"x\\y\\z";
  EXPECT_EQ(CreateDirectoryTree(deepest.c_str()), 0);
  EXPECT_TRUE(FolderExists(deepest));
  // An existing tree, and a path with a trailing backslash, change nothing.
  WriteBytes(deepest + L"\\keep.txt", "kept");
  EXPECT_EQ(CreateDirectoryTree((deepest + L"\\").c_str()), 0);
  EXPECT_EQ(ReadBytes(deepest + L"\\keep.txt"), "kept");
  // Plain folders pass the judges of levels, one by one and all the way down.
  BOOL created = FALSE;
  EXPECT_TRUE(CreateLevelItself((deepest + L"\\w").c_str(), /*judge=*/TRUE, "Refused", &created));
  EXPECT_TRUE(created);
  BOOL missing = TRUE;
  EXPECT_TRUE(IsLevelItself(deepest.c_str(), "Refused", &missing));
  EXPECT_FALSE(missing);
  EXPECT_TRUE(NoLinkBelow(scratch.path().c_str(), (deepest + L"\\w").c_str(), "Refused"));
}

TEST(Directories, EnsureDirectoryCreatesOneLevelOnly) {
  ScratchFolder scratch(L"ensure");
  const std::wstring file = scratch / L"file.txt";
  WriteBytes(file, "x");
  EXPECT_TRUE(EnsureDirectory(file.c_str()));  // exists, as a file
  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(EnsureDirectory((scratch / L"new").c_str()));
  EXPECT_TRUE(FolderExists(scratch / L"new"));
  EXPECT_FALSE(EnsureDirectory((scratch / L"missing\\child").c_str()));
  EXPECT_FALSE(FolderExists(scratch / L"missing"));

  EXPECT_TRUE(PathExists(file.c_str()));
  EXPECT_TRUE(PathExists(scratch.path().c_str()));
  EXPECT_FALSE(PathExists((scratch / L"nothing").c_str()));

  // A file of one name may be written in place, and goes through its handle.
  BOOL exists = FALSE;
  EXPECT_TRUE(MayWriteFileItself(file.c_str(), "Refused", &exists));
  EXPECT_TRUE(exists);
  ObjectProblem problem = kObjectMissing;
  HANDLE opened = OpenObjectItself(file.c_str(), DELETE, OPEN_EXISTING, 0, &problem);
  EXPECT_EQ(problem, kObjectIsItself);
  EXPECT_TRUE(DeleteOpenObject(opened));
  CloseHandleAndClear(&opened);
  EXPECT_FALSE(FileExists(file));
  EXPECT_STREQ(DescribeObjectProblem(kObjectIsReparsePoint), "is a link (a reparse point)");
}

// Wine keeps no access list of its own on files (it shows one made from the
// Unix permissions), so only the folder itself can be checked here.
TEST(Directories, CreateOpenDirectoryCreatesOneFolder) {
  ScratchFolder scratch(L"open");
  const std::wstring folder = scratch / L"shared";
  EXPECT_EQ(CreateOpenDirectory(folder.c_str()), 0);
  EXPECT_TRUE(FolderExists(folder));
  EXPECT_EQ(CreateOpenDirectory(folder.c_str()), 0);
  EXPECT_EQ(CreateOpenDirectory((scratch / L"missing\\child").c_str()), 0);
  EXPECT_FALSE(FolderExists(scratch / L"missing"));
}

TEST(PathStaysInside, AcceptsOnlyPathsThatResolveBelowTheFolder) {
  const wchar_t* folder = L"C:\\Start\\Programs";
  struct Case {
    const wchar_t* path;
    BOOL inside;
  } cases[] = {
      {L"C:\\Start\\Programs\\Suite\\Fluid Dynamics\\\\RUVO 18.2.lnk", TRUE},
      {L"C:\\Start\\Programs\\Vendor\\Suite\\Fluid Dynamics\\", TRUE},
      {L"C:\\Start\\Programs\\Suite\\..\\Other\\x.lnk", TRUE},
      {L"C:\\Start\\Programs\\.\\x.lnk", TRUE},
      {L"C:\\Start\\Programs\\..\\x.lnk", FALSE},
      {L"C:\\Start\\Programs\\..\\..\\..\\Windows\\Fluid Dynamics\\\\RUVO.lnk", FALSE},
      {L"C:\\Start\\Programs\\a/../../x.lnk", FALSE},
      {L"C:\\Start\\Programs\\..\\Programs\\x.lnk", FALSE},  // leaves on the way
      {L"C:\\Start\\Programs\\...\\x.lnk", FALSE},
      {L"C:\\Start\\Programs\\.. \\x.lnk", FALSE},
      {L"C:\\Start\\Programs\\Suite\\..", FALSE},  // the folder itself
      {L"C:\\Start\\Programs\\", FALSE},
      {L"C:\\Start\\ProgramsX\\x.lnk", FALSE},
      {L"C:\\Elsewhere\\x.lnk", FALSE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathStaysInside(folder, c.path), c.inside) << c.path;
  }
  wchar_t* full = CopyFullPath(L"C:\\Start\\Programs\\a/..\\\\b.\\x.lnk");
  EXPECT_STREQ(full, L"C:\\Start\\Programs\\b\\x.lnk");
  FreeAndClear(&full);
  EXPECT_FALSE(PathStaysInside(L"", L"\\Suite\\x.lnk"));
  EXPECT_FALSE(PathStaysInside(L"\\Start", L"\\Start\\x.lnk"));
  EXPECT_FALSE(PathStaysInside(L"C:\\Start\\", L"C:\\Start\\x.lnk"));
}

// A name holding a bidirectional control shows as something else than it is
// (U+202E makes "exe.knl.lnk" read "lnk.exe"); the neighbours of each range
// are ordinary characters.
TEST(NameRules, PlainNamePartsRefuseReservedControlAndBidirectionalCharacters) {
  const struct {
    std::wstring name;
    BOOL plain;
  } cases[] = {
      {L"18.2", TRUE},         {L"", TRUE},             {L"18.2 .1", TRUE},
      {L"a\\b", FALSE},        {L"a/b", FALSE},         {L"a:b", FALSE},
      {L"a?b", FALSE},         {L"a\tb", FALSE},        {L"18.2.", FALSE},
      {L"18.2 ", FALSE},       {L"a\x200E", FALSE},     {L"a\x200F", FALSE},
      {L"a\x202A", FALSE},     {L"a\x202B", FALSE},     {L"a\x202C", FALSE},
      {L"a\x202D", FALSE},     {L"a\x202E" L"exe.knl", FALSE},
      {L"a\x2066", FALSE},     {L"a\x2067", FALSE},     {L"a\x2068", FALSE},
      {L"a\x2069", FALSE},     {L"a\x200D", TRUE},      {L"a\x2010", TRUE},
      {L"a\x2029", TRUE},      {L"a\x202F", TRUE},      {L"a\x2065", TRUE},
      {L"a\x206A", TRUE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPlainNamePart(c.name.c_str()), c.plain) << WideToUtf8(c.name);
    // Past U+2000 the cases hold one character after "a": a bidirectional
    // control where the name is refused.
    if (c.name.size() == 2 && c.name[1] >= 0x2000) {
      EXPECT_EQ(IsBidirectionalControl(c.name[1]), !c.plain) << WideToUtf8(c.name);
    }
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

TEST(CopyShortPath, GivesAShortFormOfAPathTooLongToStartAProgramFrom) {
  ScratchFolder scratch(L"short");
  std::wstring longPath = L"\\\\?\\" + scratch.path();
  while (longPath.size() < MAX_PATH + 40) {
    longPath += L"\\a folder name far longer than eight characters";
    CreateDirectoryW(longPath.c_str(), nullptr);
  }
  longPath += L"\\ruvo5parhosts.exe";
  HANDLE file = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);

  wchar_t* shortPath = CopyShortPath(longPath.c_str() + 4);
  ASSERT_NE(shortPath, nullptr);
  const std::wstring result = shortPath;
  FreeAndClear(&shortPath);
  EXPECT_LT(result.size(), static_cast<size_t>(MAX_PATH)) << WideToUtf8(result);
  EXPECT_NE(result.rfind(L"\\\\?\\", 0), 0u) << "the extended prefix is not for a command line";
  EXPECT_TRUE(PathExists(result.c_str()));
  EXPECT_EQ(CopyShortPath((scratch / L"missing.exe").c_str()), nullptr);
  // Too deep for the scratch folder's own clean-up.
  DeleteFileW(longPath.c_str());
  for (size_t cut = longPath.rfind(L'\\'); cut > scratch.path().size() + 4; cut = longPath.rfind(L'\\')) {
    longPath.resize(cut);
    RemoveDirectoryW(longPath.c_str());
  }
}

}  // namespace
