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

TEST(LiesBelow, NeedsTheFolderABackslashAndAName) {
  const struct {
    const wchar_t* folder;
    const wchar_t* path;
    BOOL below;
  } cases[] = {
      {L"C:\\P", L"C:\\P\\a", TRUE},       {L"C:\\P", L"C:\\P\\a\\b.lnk", TRUE},
      {L"C:\\P", L"C:\\P", FALSE},          {L"C:\\P", L"C:\\P\\", FALSE},
      {L"C:\\P", L"C:\\PX\\a", FALSE},      {L"", L"\\a", FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LiesBelow(c.folder, c.path), c.below) << WideToUtf8(c.path);
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
