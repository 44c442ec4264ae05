#include "shortcuts.h"

#include <shlobj.h>
#include <gtest/gtest.h>

#include <string>

#include "install_layout.h"
#include "shortcut_reader.h"
#include "test_support.h"

namespace {

std::wstring ProgramsPath() {
  wchar_t* programs = CopyProgramsFolder();
  std::wstring path = programs;
  FreeAndClear(&programs);
  return path;
}

// A start-menu folder of this test's own below the Programs folder in use,
// removed with its content at the end.
class OwnStartMenuFolder {
 public:
  OwnStartMenuFolder() : name_(UniqueName(L"Velmora Test")), programs_(ProgramsPath()) {}
  ~OwnStartMenuFolder() { RemoveTree(programs_ + L"\\" + name_); }
  const std::wstring& name() const { return name_; }
  const std::wstring& programs() const { return programs_; }
  // The folder argument as both programs pass it.
  std::wstring argument() const { return L"\\" + name_ + L"\\Fluid Dynamics\\"; }
  std::wstring link(const std::wstring& file) const {
    return programs_ + argument() + L"\\" + file;
  }

 private:
  std::wstring name_;
  std::wstring programs_;
};

TEST(IsAdministrator, ElevatedTokenPassesAndDenyOnlyGroupFails) {
  EXPECT_NE(IsAdministrator(), FALSE);
  StandardUserScope standardUser;
  ASSERT_TRUE(standardUser.active());
  EXPECT_EQ(IsAdministrator(), FALSE);
}

TEST(GetProgramsFolder, FollowsTheCapacityFormForEitherFolder) {
  const struct {
    bool standardUser;
    int csidl;
  } cases[] = {{false, CSIDL_COMMON_PROGRAMS}, {true, CSIDL_PROGRAMS}};
  for (const auto& c : cases) {
    std::unique_ptr<StandardUserScope> scope;
    if (c.standardUser) scope = std::make_unique<StandardUserScope>();
    const std::wstring expected = ShellFolder(c.csidl);
    ASSERT_FALSE(expected.empty());
    const DWORD needed = static_cast<DWORD>(expected.size() + 1);
    EXPECT_EQ(GetProgramsFolder(nullptr, 0), needed);

    std::wstring shorter(needed, L'#');
    EXPECT_EQ(GetProgramsFolder(shorter.data(), needed - 1), needed);
    EXPECT_EQ(shorter[0], L'\0');
    EXPECT_EQ(shorter[1], L'#');

    std::wstring exact(needed, L'#');
    EXPECT_EQ(GetProgramsFolder(exact.data(), needed), 0u);
    EXPECT_STREQ(exact.c_str(), expected.c_str());
  }
}

TEST(LinkPath, KeepsTheDoubledBackslashAndAddsTheSuffixAfterABlank) {
  const wchar_t* folder = L"\\Suite 18.2\\Fluid Dynamics\\";
  wchar_t* link = BuildLinkPath(L"C:\\P", folder, L"RUVO", L"18.2");
  EXPECT_STREQ(link, L"C:\\P\\Suite 18.2\\Fluid Dynamics\\\\RUVO 18.2.lnk");
  FreeAndClear(&link);
  link = BuildLinkPath(L"C:\\P", folder, L"RUVO", L"");
  EXPECT_STREQ(link, L"C:\\P\\Suite 18.2\\Fluid Dynamics\\\\RUVO.lnk");
  FreeAndClear(&link);
}

TEST(WriteShortcut, StoresEveryPropertyAndCreatesTheFolders) {
  ScratchFolder scratch(L"write");
  const std::wstring link = scratch / L"a\\b\\\\Launcher.lnk";
  EXPECT_EQ(WriteShortcut(link.c_str(), L"\"C:\\S\\RUVO\\bin\\ruvo5.exe\"", L"-x 1",
                          L"%USERPROFILE%", L"Start VELMORA RUVO 18.2 Launcher",
                          L"C:\\S\\RUVO\\icons\\ruvo_hi.ico", 0, SW_SHOWNORMAL),
            S_OK);
  ASSERT_TRUE(FileExists(scratch / L"a\\b\\Launcher.lnk"));
  const ShortcutProperties read = ReadShortcut(link);
  ASSERT_TRUE(read.loaded);
  EXPECT_EQ(read.target, L"C:\\S\\RUVO\\bin\\ruvo5.exe");  // the shell drops the quotes
  EXPECT_EQ(read.arguments, L"-x 1");
  EXPECT_EQ(read.workingDirectory, L"%USERPROFILE%");
  EXPECT_EQ(read.description, L"Start VELMORA RUVO 18.2 Launcher");
  EXPECT_EQ(read.iconPath, L"C:\\S\\RUVO\\icons\\ruvo_hi.ico");
  EXPECT_EQ(read.iconIndex, 0);
  EXPECT_EQ(read.showCommand, SW_SHOWNORMAL);
}

TEST(WriteShortcut, ReportsAFailedSave) {
  ScratchFolder scratch(L"unsaved");
  WriteBytes(scratch / L"blocker", "a file where the folder should be");
  const std::wstring link = scratch / L"blocker\\sub\\x.lnk";
  const HRESULT result = WriteShortcut(link.c_str(), L"C:\\x.exe", L"", L"", L"", L"", 0, 1);
  EXPECT_TRUE(FAILED(result)) << std::hex << result;
  EXPECT_FALSE(FileExists(link));
}

TEST(DeleteShortcutFile, FailsOnlyWhenNothingWasDeleted) {
  ScratchFolder scratch(L"delete");
  const std::wstring link = scratch / L"x.lnk";
  EXPECT_EQ(DeleteShortcutFile(link.c_str()), E_FAIL);
  WriteBytes(link, "x");
  EXPECT_EQ(DeleteShortcutFile(link.c_str()), S_OK);
  EXPECT_FALSE(FileExists(link));
}

void ExpectLauncherShortcut(const OwnStartMenuFolder& own, const std::wstring& file) {
  const ShortcutProperties read = ReadShortcut(own.link(file));
  ASSERT_TRUE(read.loaded) << "no shortcut at " << std::string(file.begin(), file.end());
  EXPECT_EQ(read.target, L"D:\\S\\RUVO\\bin\\ruvo5.exe");
  EXPECT_EQ(read.workingDirectory, L"%USERPROFILE%");
  EXPECT_EQ(read.iconPath, L"D:\\S\\RUVO\\icons\\ruvo_hi.ico");
  EXPECT_EQ(read.iconIndex, 0);
}

int CreateLauncher(const OwnStartMenuFolder& own, const wchar_t* suffix) {
  return CreateProgramsShortcut(L"D:\\S\\RUVO\\bin\\", L"ruvo5.exe", L"",
                                L"D:\\S\\RUVO\\icons\\ruvo_hi.ico", L"%USERPROFILE%",
                                own.argument().c_str(), L"RUVO", L"Start", SW_SHOWNORMAL, suffix);
}

TEST(ProgramsShortcut, CreatesAndRemovesTheSameFileInTheAllUsersFolder) {
  OwnStartMenuFolder own;
  EXPECT_EQ(own.programs(), ShellFolder(CSIDL_COMMON_PROGRAMS));
  EXPECT_EQ(CreateLauncher(own, L"18.2"), 0);
  ExpectLauncherShortcut(own, L"RUVO 18.2.lnk");

  EXPECT_EQ(RemoveProgramsShortcut(own.argument().c_str(), L"RUVO", L"18.2"), 0);
  EXPECT_FALSE(FileExists(own.link(L"RUVO 18.2.lnk")));
  // Removing it again finds nothing and still answers 0.
  EXPECT_EQ(RemoveProgramsShortcut(own.argument().c_str(), L"RUVO", L"18.2"), 0);
}

TEST(ProgramsShortcut, StandardUserWorksInTheirOwnFolder) {
  StandardUserScope standardUser;
  ASSERT_TRUE(standardUser.active());
  OwnStartMenuFolder own;
  EXPECT_EQ(own.programs(), ShellFolder(CSIDL_PROGRAMS));
  EXPECT_EQ(CreateLauncher(own, L""), 0);
  ExpectLauncherShortcut(own, L"RUVO.lnk");
  EXPECT_FALSE(FolderExists(ShellFolder(CSIDL_COMMON_PROGRAMS) + L"\\" + own.name()));
  RemoveProgramsShortcutWithoutRevision(own.argument().c_str(), L"RUVO");
  EXPECT_FALSE(FileExists(own.link(L"RUVO.lnk")));
}

TEST(ProgramsShortcut, FixedRevisionVariantsUseEighteenPointOne) {
  OwnStartMenuFolder own;
  EXPECT_EQ(CreateProgramsShortcutWithFixedRevision(
                L"D:\\S\\RUVO\\bin\\", L"ruvo5.exe", L"", L"D:\\S\\RUVO\\icons\\ruvo_hi.ico",
                L"%USERPROFILE%", own.argument().c_str(), L"RUVO", L"Start", SW_SHOWNORMAL),
            0);
  ExpectLauncherShortcut(own, L"RUVO 18.1.lnk");
  EXPECT_EQ(RemoveProgramsShortcutWithFixedRevision(own.argument().c_str(), L"RUVO"), 0);
  EXPECT_FALSE(FileExists(own.link(L"RUVO 18.1.lnk")));
}

TEST(ProgramsShortcut, NothingIsWrittenOrDeletedOutsideTheProgramsFolder) {
  const std::wstring programs = ProgramsPath();
  // Programs -> Start Menu -> Windows -> Microsoft -> ProgramData: the name
  // climbs out to a folder of its own beside ProgramData's content.
  const std::wstring escape = UniqueName(L"escaped");
  const std::wstring folder = L"\\..\\..\\..\\..\\" + escape + L"\\Fluid Dynamics\\";
  wchar_t* full = nullptr;
  full = JoinStrings(2, programs.c_str(), L"\\..\\..\\..\\..");
  wchar_t resolved[MAX_PATH] = L"";
  GetFullPathNameW(full, MAX_PATH, resolved, nullptr);
  FreeAndClear(&full);
  const std::wstring outside = std::wstring(resolved) + L"\\" + escape;

  EXPECT_EQ(CreateProgramsShortcut(L"D:\\S\\RUVO\\bin\\", L"ruvo5.exe", L"", L"", L"",
                                   folder.c_str(), L"RUVO", L"", 1, L""),
            0);
  EXPECT_FALSE(FolderExists(outside));

  // A file that happens to lie at the escaped link path is left alone.
  CreateDirectoryTree((outside + L"\\Fluid Dynamics").c_str());
  WriteBytes(outside + L"\\Fluid Dynamics\\RUVO.lnk", "not ours");
  EXPECT_EQ(RemoveProgramsShortcut(folder.c_str(), L"RUVO", L""), 0);
  EXPECT_TRUE(FileExists(outside + L"\\Fluid Dynamics\\RUVO.lnk"));
  RemoveTree(outside);
}

}  // namespace
