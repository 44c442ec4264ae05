#include "shortcuts.h"

#include <shlobj.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "folder_removal.h"
#include "install_layout.h"
#include "shortcut_reader.h"
#include "test_support.h"

namespace {

TEST(GetProgramsFolder, FollowsTheCapacityFormForEitherFolder) {
  ForEachUser([](const TestUser& user) {
    const std::wstring expected = ShellFolder(user.programs);
    ASSERT_FALSE(expected.empty());
    const DWORD needed = static_cast<DWORD>(expected.size() + 1);
    EXPECT_EQ(GetProgramsFolder(nullptr, 0), needed);

    GuardedBuffer shorter(needed - 1);
    EXPECT_EQ(GetProgramsFolder(shorter.data(), needed - 1), needed);
    EXPECT_EQ(shorter.text(), L"");
    EXPECT_TRUE(shorter.untouchedFrom(1));

    GuardedBuffer exact(needed);
    EXPECT_EQ(GetProgramsFolder(exact.data(), needed), 0u);
    EXPECT_EQ(exact.text(), expected);
    EXPECT_TRUE(exact.guardIntact());
  });
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

// The file holds exactly the bytes that the shell link object's own save to a
// file writes; a write that fails (the name is refused by the rename) leaves
// no temporary file behind.
TEST(WriteShortcut, WritesWhatASaveToTheFileWritesAndLeavesNoTemporaryFile) {
  ScratchFolder scratch(L"bytes");
  const std::wstring link = scratch / L"Launcher.lnk";
  const std::wstring saved = scratch / L"saved\\Launcher.lnk";
  const wchar_t* target = L"\"C:\\S\\RUVO\\bin\\ruvo5.exe\"";
  ASSERT_EQ(WriteShortcut(link.c_str(), target, L"-x 1", L"%USERPROFILE%", L"Start",
                          L"C:\\S\\RUVO\\icons\\ruvo_hi.ico", 2, SW_SHOWMAXIMIZED),
            S_OK);
  CreateDirectoryW((scratch / L"saved").c_str(), nullptr);
  IShellLinkW* shell = nullptr;
  IPersistFile* file = nullptr;
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IShellLinkW, reinterpret_cast<void**>(&shell)));
  shell->SetPath(target);
  shell->SetArguments(L"-x 1");
  shell->SetWorkingDirectory(L"%USERPROFILE%");
  shell->SetDescription(L"Start");
  shell->SetIconLocation(L"C:\\S\\RUVO\\icons\\ruvo_hi.ico", 2);
  shell->SetShowCmd(SW_SHOWMAXIMIZED);
  ASSERT_HRESULT_SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
  EXPECT_HRESULT_SUCCEEDED(file->Save(saved.c_str(), TRUE));
  file->Release();
  shell->Release();
  EXPECT_EQ(ReadBytes(link), ReadBytes(saved));

  const std::wstring refused = scratch / L"Launcher*.lnk";
  EXPECT_TRUE(FAILED(WriteShortcut(refused.c_str(), target, L"", L"", L"", L"", 0, 1)));
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((scratch / L"*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  std::set<std::wstring> names;
  do {
    names.insert(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_EQ(names, (std::set<std::wstring>{L".", L"..", L"Launcher.lnk", L"saved"}));
}

// The values a shortcut also gets when nothing is set (show command 1, icon
// index 0) can't tell a stored value from an ignored one: these can. Read back
// through the shell link object and from the file's header, where the
// published format keeps the icon index at 0x38 and the show command at 0x3C.
// Wine's shell link object reads every shortcut's show command as 1 (the
// header holds the value saved), so that one is taken from the header alone;
// write_shortcut_e2e.py reads the same values with lnkinfo.
TEST(WriteShortcut, StoresAShowCommandAndIconIndexOtherThanTheDefaults) {
  constexpr size_t kIconIndexOffset = 0x38;
  constexpr size_t kShowCommandOffset = 0x3C;
  constexpr int kIconIndex = 3;
  ScratchFolder scratch(L"write-show");
  const std::wstring link = scratch / L"Minimized.lnk";
  EXPECT_EQ(WriteShortcut(link.c_str(), L"C:\\S\\RUVO\\bin\\ruvo5.exe", L"", L"%USERPROFILE%",
                          L"Minimized", L"C:\\S\\RUVO\\icons\\ruvo_hi.ico", kIconIndex,
                          SW_SHOWMINNOACTIVE),
            S_OK);
  const ShortcutProperties read = ReadShortcut(link);
  ASSERT_TRUE(read.loaded);
  EXPECT_EQ(read.iconPath, L"C:\\S\\RUVO\\icons\\ruvo_hi.ico");
  EXPECT_EQ(read.iconIndex, kIconIndex);

  const std::string bytes = ReadBytes(link);
  ASSERT_GE(bytes.size(), kShowCommandOffset + sizeof(INT32));
  INT32 iconIndex = 0;
  INT32 showCommand = 0;
  memcpy(&iconIndex, bytes.data() + kIconIndexOffset, sizeof(iconIndex));
  memcpy(&showCommand, bytes.data() + kShowCommandOffset, sizeof(showCommand));
  EXPECT_EQ(iconIndex, kIconIndex);
  EXPECT_EQ(showCommand, SW_SHOWMINNOACTIVE);
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

void ExpectLauncherShortcut(const StartMenuFolders& own, const std::wstring& file) {
  const ShortcutProperties read = ReadShortcut(own.link(file));
  ASSERT_TRUE(read.loaded) << "no shortcut at " << WideToUtf8(file);
  EXPECT_EQ(read.target, kLauncherTarget);
  EXPECT_EQ(read.workingDirectory, L"%USERPROFILE%");
  EXPECT_EQ(read.iconPath, kLauncherIcon);
  EXPECT_EQ(read.iconIndex, 0);
}

TEST(ProgramsShortcut, CreatesAndRemovesTheSameFileInTheAllUsersFolder) {
  StartMenuFolders own;
  EXPECT_EQ(own.programs(), ShellFolder(CSIDL_COMMON_PROGRAMS));
  EXPECT_EQ(CreateLauncher(own.argument(), L"18.2"), 0);
  ExpectLauncherShortcut(own, L"RUVO 18.2.lnk");

  EXPECT_EQ(RemoveProgramsShortcut(own.argument().c_str(), L"RUVO", L"18.2"), 0);
  EXPECT_FALSE(FileExists(own.link(L"RUVO 18.2.lnk")));
  // Removing it again finds nothing and still answers 0.
  EXPECT_EQ(RemoveProgramsShortcut(own.argument().c_str(), L"RUVO", L"18.2"), 0);
}

TEST(ProgramsShortcut, StandardUserWorksInTheirOwnFolder) {
  StandardUserScope standardUser;
  ASSERT_TRUE(standardUser.active());
  StartMenuFolders own;
  EXPECT_EQ(own.programs(), ShellFolder(CSIDL_PROGRAMS));
  EXPECT_EQ(CreateLauncher(own.argument(), L""), 0);
  ExpectLauncherShortcut(own, L"RUVO.lnk");
  EXPECT_FALSE(FolderExists(ShellFolder(CSIDL_COMMON_PROGRAMS) + L"\\" + own.name()));
  RemoveProgramsShortcutWithoutRevision(own.argument().c_str(), L"RUVO");
  EXPECT_FALSE(FileExists(own.link(L"RUVO.lnk")));
}

TEST(ProgramsShortcut, FixedRevisionVariantsUseEighteenPointOne) {
  StartMenuFolders own;
  EXPECT_EQ(CreateProgramsShortcutWithFixedRevision(
                L"D:\\S\\RUVO\\bin\\", L"ruvo5.exe", L"", kLauncherIcon,
                L"%USERPROFILE%", own.argument().c_str(), L"RUVO", L"Start", SW_SHOWNORMAL),
            0);
  ExpectLauncherShortcut(own, L"RUVO 18.1.lnk");
  EXPECT_EQ(RemoveProgramsShortcutWithFixedRevision(own.argument().c_str(), L"RUVO"), 0);
  EXPECT_FALSE(FileExists(own.link(L"RUVO 18.1.lnk")));
}

TEST(ProgramsShortcut, NothingIsWrittenOrDeletedOutsideTheProgramsFolder) {
  const std::wstring programs = ProgramsFolderInUse();
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

  EXPECT_EQ(CreateLauncher(folder, L""), 0);
  EXPECT_FALSE(FolderExists(outside));

  // A file that happens to lie at the escaped link path is left alone.
  CreateDirectoryTree((outside + L"\\Fluid Dynamics").c_str());
  WriteBytes(outside + L"\\Fluid Dynamics\\RUVO.lnk", "not ours");
  EXPECT_EQ(RemoveProgramsShortcut(folder.c_str(), L"RUVO", L""), 0);
  EXPECT_TRUE(FileExists(outside + L"\\Fluid Dynamics\\RUVO.lnk"));
  RemoveTree(outside);
}

TEST(WriteShortcut, RefusesATargetTheShellLinkCouldNotHoldWhole) {
  ScratchFolder scratch(L"targets");
  // Enclosed in quotes as the Programs operations pass it.
  const auto quoted = [](size_t length) {
    return L"\"C:\\" + std::wstring(length - 7, L't') + L".exe\"";
  };
  const struct {
    std::wstring target;
    HRESULT result;
  } cases[] = {
      {L"\"\"", E_INVALIDARG},
      {L"", E_INVALIDARG},
      {quoted(MAX_PATH), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)},
      {quoted(MAX_PATH - 1), S_OK},
  };
  for (const auto& c : cases) {
    const std::wstring folder = scratch / UniqueName(L"made");
    const std::wstring link = folder + L"\\x.lnk";
    EXPECT_EQ(WriteShortcut(link.c_str(), c.target.c_str(), L"", L"", L"", L"", 0, 1), c.result)
        << c.target.size();
    // A refused shortcut leaves not even its folder behind.
    EXPECT_EQ(FolderExists(folder), c.result == S_OK) << c.target.size();
    if (c.result == S_OK) {
      EXPECT_EQ(ReadShortcut(link).target, c.target.substr(1, c.target.size() - 2));
    }
  }
}

TEST(ProgramsShortcut, RevisionsAndBaseNamesThatLeaveTheirFolderCreateAndDeleteNothing) {
  StartMenuFolders own;
  // A file of the user's where a climbing revision would put the shortcut.
  CreateDirectoryTree(own.suite().c_str());
  WriteBytes(own.suite() + L"\\Word.lnk", "the user's");
  const struct {
    const wchar_t* baseName;
    const wchar_t* suffix;
  } cases[] = {
      {L"RUVO", L"..\\..\\Word"}, {L"RUVO", L"..\\..\\..\\..\\Word"}, {L"..\\..\\Word", L""},
      {L"RUVO", L"18.2/x"},      {L"RUVO", L"x:stream"},           {L"RUVO", L"18.2."},
      {L"RUVO", L"18.2 "},       {L"RUVO.", L""},                  {L"RUVO", L"a\tb"},
      {L"RUVO", L"a*b"},
  };
  for (const auto& c : cases) {
    CreateLauncher(own.argument(), c.suffix, c.baseName);
    EXPECT_EQ(ReadBytes(own.suite() + L"\\Word.lnk"), "the user's") << c.suffix;
    EXPECT_FALSE(FolderExists(own.suite() + L"\\Fluid Dynamics")) << c.baseName << c.suffix;
    RemoveProgramsShortcut(own.argument().c_str(), c.baseName, c.suffix);
    EXPECT_TRUE(FileExists(own.suite() + L"\\Word.lnk")) << c.baseName << c.suffix;
  }
  // A revision with dots and blanks inside is an ordinary name.
  EXPECT_EQ(CreateLauncher(own.argument(), L"18.2 .1"), 0);
  ExpectLauncherShortcut(own, L"RUVO 18.2 .1.lnk");
}

TEST(ProgramsShortcut, ALinkPathOfMaxPathOrMoreIsRefusedBeforeAnyFolderIsMade) {
  StartMenuFolders own;
  // <Programs>\<own>\<padding>\Fluid Dynamics\RUVO.lnk of exactly `length`
  // characters, once the doubled backslash counts as one.
  const auto folderFor = [&own](size_t length) {
    const size_t fixed = own.programs().size() + own.name().size() +
                         std::wstring(L"\\\\\\Fluid Dynamics\\RUVO.lnk").size();
    return L"\\" + own.name() + L"\\" + std::wstring(length - fixed, L'p') + L"\\Fluid Dynamics\\";
  };
  const std::wstring tooLong = folderFor(MAX_PATH);
  CreateLauncher(tooLong, L"");
  EXPECT_FALSE(FolderExists(own.suite()));

  const std::wstring longest = folderFor(MAX_PATH - 1);
  CreateLauncher(longest, L"");
  EXPECT_TRUE(ReadShortcut(own.programs() + longest + L"RUVO.lnk").loaded);
  RemoveProgramsShortcut(longest.c_str(), L"RUVO", L"");
  EXPECT_FALSE(FileExists(own.programs() + longest + L"RUVO.lnk"));

  // A name of thousands of levels is refused at once, not level by level.
  std::wstring deep = L"\\" + own.name();
  for (int level = 0; level < 20000; ++level) deep += L"\\a";
  CreateLauncher(deep + L"\\Fluid Dynamics\\", L"");
  EXPECT_FALSE(FolderExists(own.suite() + L"\\a"));
}

TEST(ProgramsShortcut, ForwardSlashesAndRepeatedBackslashesNameTheSameFolders) {
  StartMenuFolders own;
  const std::wstring slashed = L"\\" + own.name() + L"/Suite//Fluid Dynamics\\";
  const std::wstring nested = own.suite() + L"\\Suite";
  CreateLauncher(slashed, L"18.2");
  EXPECT_TRUE(ReadShortcut(nested + L"\\Fluid Dynamics\\RUVO 18.2.lnk").loaded);
  RemoveProgramsShortcut(slashed.c_str(), L"RUVO", L"18.2");
  EXPECT_FALSE(FileExists(nested + L"\\Fluid Dynamics\\RUVO 18.2.lnk"));
  RemoveProgramsSubfolder(slashed.c_str());
  EXPECT_FALSE(FolderExists(nested + L"\\Fluid Dynamics"));
  RemoveProgramsFolder((own.name() + L"/Suite").c_str());
  EXPECT_FALSE(FolderExists(nested));
  EXPECT_TRUE(FolderExists(own.suite()));
}

// Runs in a copy of the test program four folders below an install root,
// with the install root's relinfo.xml and another one beside the program: the
// variants that read a revision, in the folder that MENUTOOLS_TEST_FOLDER
// names.
void PrintReadRevisionProbe() {
  const struct {
    const wchar_t* name;
    decltype(&CreateProgramsShortcutWithRevision) create;
    decltype(&RemoveProgramsShortcutWithRevision) remove;
    const wchar_t* file;
  } variants[] = {
      {L"global", CreateProgramsShortcutWithRevision, RemoveProgramsShortcutWithRevision,
       L"RUVO 18.2.lnk"},
      {L"local", CreateProgramsShortcutWithLocalRevision, RemoveProgramsShortcutWithLocalRevision,
       L"RUVO 18.2.7.lnk"},
  };
  wchar_t folder[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"MENUTOOLS_TEST_FOLDER", folder, MAX_PATH);
  wchar_t* programs = CopyProgramsFolder();
  for (const auto& v : variants) {
    v.create(L"D:\\S\\RUVO\\bin\\", L"ruvo5.exe", L"", L"", L"", folder, L"RUVO", L"Start",
             SW_SHOWNORMAL);
    const std::wstring link = std::wstring(programs) + folder + v.file;
    ProbePrint(std::wstring(v.name) + L"_created", FileExists(link) ? L"1" : L"0");
    ProbePrint(std::wstring(v.name) + L"_unnamed",
               FileExists(std::wstring(programs) + folder + L"RUVO.lnk") ? L"1" : L"0");
    v.remove(folder, L"RUVO");
    ProbePrint(std::wstring(v.name) + L"_removed", FileExists(link) ? L"0" : L"1");
  }
  FreeAndClear(&programs);
}
const bool kReadRevisionProbe = RegisterProbe("read-revision", PrintReadRevisionProbe);

TEST(ProgramsShortcut, RevisionVariantsReadTheInstallRootsOrTheProgramsOwnFile) {
  StartMenuFolders own;
  ScratchFolder root(L"revisions");
  const std::wstring programFolder = root / L"commonfiles\\setup\\menu\\win32";
  CreateDirectoryTree((root / L"commonfiles\\globalsettings").c_str());
  CreateDirectoryTree(programFolder.c_str());
  WriteBytes(root / L"commonfiles\\globalsettings\\relinfo.xml",
             "startMenuShortcutAppendRevision=\"18.2\"");
  WriteBytes(programFolder + L"\\relinfo.xml", "startMenuShortcutAppendRevision=\"18.2.7\"");
  ScopedEnvironmentVariable folder(L"MENUTOOLS_TEST_FOLDER", own.argument().c_str());
  const ProgramRun run = RunProbeCopy(programFolder + L"\\probe.exe", "read-revision");
  SCOPED_TRACE(run);
  for (const std::wstring variant : {L"global", L"local"}) {
    EXPECT_EQ(ProbeValue(run.output, variant + L"_created"), L"1") << WideToUtf8(variant);
    EXPECT_EQ(ProbeValue(run.output, variant + L"_removed"), L"1") << WideToUtf8(variant);
  }
  // The install root's file held by another program through every wait: no
  // shortcut named without its revision, which no cleanup would find.
  HANDLE holder = CreateFileW((root / L"commonfiles\\globalsettings\\relinfo.xml").c_str(),
                              GENERIC_READ, /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const ProgramRun held = RunProbeCopy(programFolder + L"\\probe.exe", "read-revision");
  CloseHandle(holder);
  EXPECT_EQ(ProbeValue(held.output, L"global_created"), L"0") << held;
  EXPECT_EQ(ProbeValue(held.output, L"global_unnamed"), L"0") << held;
  EXPECT_EQ(ProbeValue(held.output, L"local_created"), L"1") << held;
}

}  // namespace

