#include "folder_removal.h"

#include <objbase.h>
#include <shlobj.h>
#include <gtest/gtest.h>

#include <string>
#include <functional>
#include <thread>

#include "install_layout.h"
#include "folder_walk.h"
#include "known_folders.h"
#include "paths.h"
#include "shortcuts.h"
#include "test_support.h"

namespace {

// Runs `work` on a thread of its own and tells whether it left COM initialised
// there: a thread on which nothing initialised COM can still join the
// multithreaded apartment.
bool LeavesComInitialised(const std::function<void()>& work) {
  HRESULT joined = E_FAIL;
  std::thread thread([&] {
    work();
    joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(joined)) CoUninitialize();
  });
  thread.join();
  return joined != S_OK;
}

TEST(RemoveFolderIfEmpty, MissingPathFailsWithoutTouchingCom) {
  ScratchFolder scratch(L"gone");
  HRESULT result = S_OK;
  EXPECT_FALSE(LeavesComInitialised(
      [&] { result = RemoveFolderIfEmpty((scratch / L"never-made").c_str()); }));
  EXPECT_EQ(result, E_FAIL);
  // The same thread shape does show a call that reaches COM.
  EXPECT_TRUE(LeavesComInitialised([&] { RemoveFolderIfEmpty(scratch.path().c_str()); }));
}

TEST(RemoveFolderIfEmpty, RemovesOnlyFoldersWithNothingInThem) {
  ScratchFolder scratch(L"empty");
  const struct {
    const char* what;
    void (*fill)(const std::wstring& folder);
    HRESULT result;
    bool stays;
    std::wstring keeps;
  } cases[] = {
      {"empty", [](const std::wstring&) {}, S_OK, false, L""},
      {"one visible file", [](const std::wstring& f) { WriteBytes(f + L"\\user.txt", "mine"); },
       ERROR_FILE_EXISTS, true, L"user.txt"},
      // Neither a sub-folder nor a hidden file is enumerated: the test passes,
      // and the removal itself refuses the folder.
      {"only a sub-folder", [](const std::wstring& f) { CreateDirectoryW((f + L"\\sub").c_str(), nullptr); },
       S_OK, true, L"sub"},
      {"only a hidden file",
       [](const std::wstring& f) {
         WriteBytes(f + L"\\hidden.txt", "mine");
         SetFileAttributesW((f + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
       },
       S_OK, true, L"hidden.txt"},
  };
  for (const auto& c : cases) {
    const std::wstring folder = scratch / UniqueName(L"case");
    CreateDirectoryW(folder.c_str(), nullptr);
    c.fill(folder);
    EXPECT_EQ(RemoveFolderIfEmpty(folder.c_str()), c.result) << c.what;
    EXPECT_EQ(FolderExists(folder), c.stays) << c.what;
    // Whatever was inside is still there.
    for (const wchar_t* entry : {L"\\user.txt", L"\\sub", L"\\hidden.txt"}) {
      EXPECT_EQ(GetFileAttributesW((folder + entry).c_str()) != INVALID_FILE_ATTRIBUTES,
                c.stays && c.keeps == std::wstring(entry).substr(1))
          << c.what;
    }
  }
}

TEST(RemoveFolderIfEmpty, TakesPathsWithTrailingOrRepeatedBackslashes) {
  ScratchFolder scratch(L"trailing");
  for (const wchar_t* form : {L"\\empty\\", L"\\\\empty", L"\\\\empty\\\\"}) {
    const std::wstring folder = scratch / L"empty";
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_EQ(RemoveFolderIfEmpty((scratch.path() + form).c_str()), S_OK);
    EXPECT_FALSE(FolderExists(folder));
  }
}

TEST(ProgramsFolders, RemovesTheSuiteFoldersInTheFolderTheCallerWorksIn) {
  ForEachUser([](const TestUser& user) {
    StartMenuFolders own(user.programs);
    own.Create();
    // The same names in the other Programs folder are not touched.
    StartMenuFolders other(user.otherPrograms, own.name());
    other.Create();

    // The suite's folder still holds Fluid Dynamics: it stays.
    EXPECT_EQ(RemoveProgramsFolder(own.name().c_str()), 0);
    EXPECT_TRUE(FolderExists(own.suite()));
    EXPECT_EQ(RemoveProgramsSubfolder(own.argument().c_str()), 0);
    EXPECT_FALSE(FolderExists(own.fluidDynamics()));
    EXPECT_EQ(RemoveProgramsFolder(own.name().c_str()), 0);
    EXPECT_FALSE(FolderExists(own.suite()));
    EXPECT_TRUE(FolderExists(other.fluidDynamics()));
    // Both levels at once.
    own.Create();
    EXPECT_EQ(RemoveProgramsFolderLevels(own.argument().c_str()), 0);
    EXPECT_FALSE(FolderExists(own.suite()));
    // Beside them, a folder of the system's own, which is never removed.
    const std::wstring startUp = own.programs() + L"\\StartUp";
    CreateDirectoryW(startUp.c_str(), nullptr);
    HANDLE levels[] = {OpenTrustedFolder(own.programs().c_str(), 0),
                       OpenTrustedFolder(startUp.c_str(), 0)};
    size_t level = 0;
    wchar_t* known = CopyInnermostKnownFolder(levels, std::size(levels), &level);
    EXPECT_STREQ(known, user.standard ? L"Startup" : L"Common Startup");
    EXPECT_EQ(level, 1u);
    FreeAndClear(&known);
    for (HANDLE handle : levels) CloseHandle(handle);
  });
}

TEST(ProgramsFolders, NamesThatLeaveTheProgramsFolderRemoveNothing) {
  // Programs -> Start Menu -> Windows -> Microsoft -> ProgramData -> C:\.
  const std::wstring escape = UniqueName(L"escaped");
  const std::wstring outside = L"C:\\" + escape;
  CreateDirectoryTree((outside + L"\\Fluid Dynamics").c_str());
  RemoveProgramsSubfolder((L"\\..\\..\\..\\..\\..\\" + escape + L"\\Fluid Dynamics\\").c_str());
  EXPECT_TRUE(FolderExists(outside + L"\\Fluid Dynamics"));
  RemoveTree(outside + L"\\Fluid Dynamics");
  RemoveProgramsFolder((L"..\\..\\..\\..\\..\\" + escape).c_str());
  EXPECT_TRUE(FolderExists(outside));
  RemoveTree(outside);
}

TEST(ProgramsFolders, TheEmptyNameNeverRemovesAnEmptyProgramsFolder) {
  ScratchFolder scratch(L"programs");
  const std::wstring programs = scratch / L"Programs";
  CreateDirectoryW(programs.c_str(), nullptr);
  StandardUserScope standardUser;
  ASSERT_TRUE(standardUser.active());
  // The shell reads the user's Programs folder from the user's shell folders.
  OverriddenRoot user(HKEY_CURRENT_USER);
  ASSERT_TRUE(user.active());
  WriteRegistryText(user.key(),
                    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                    L"Programs", programs);
  ASSERT_EQ(ProgramsFolderInUse(), programs);

  EXPECT_EQ(RemoveProgramsFolder(L""), 0);
  EXPECT_EQ(RemoveProgramsSubfolder(L"\\"), 0);
  EXPECT_TRUE(FolderExists(programs));
  // The same calls do remove an empty folder below it.
  CreateDirectoryW((programs + L"\\Suite").c_str(), nullptr);
  RemoveProgramsFolder(L"Suite");
  EXPECT_FALSE(FolderExists(programs + L"\\Suite"));
}

}  // namespace

