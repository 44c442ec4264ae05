#include "shell_notify.h"

#include <shlobj.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "folder_removal.h"
#include "install_layout.h"
#include "shortcuts.h"
#include "test_support.h"

// The shell delivers change notifications only to watchers in the process
// that sends them: a watcher window of the test's own sees what the library
// operations announce.

namespace {

struct Change {
  LONG event;
  std::wstring path;
  bool operator==(const Change& other) const {
    return event == other.event && path == other.path;
  }
};

void PrintTo(const Change& change, std::ostream* out) {
  const char* name = "other";
  switch (change.event) {
    case SHCNE_CREATE: name = "CREATE"; break;
    case SHCNE_UPDATEITEM: name = "UPDATEITEM"; break;
    case SHCNE_DELETE: name = "DELETE"; break;
    case SHCNE_MKDIR: name = "MKDIR"; break;
    case SHCNE_RMDIR: name = "RMDIR"; break;
    case SHCNE_UPDATEDIR: name = "UPDATEDIR"; break;
  }
  *out << name << "(0x" << std::hex << change.event << std::dec << ") " << WideToUtf8(change.path);
}

using Changes = std::vector<Change>;

// A message-only window on the test's thread, registered for every event in
// `folder` and below, recording the events and their paths as they arrive.
class ShellChangeWatcher {
 public:
  explicit ShellChangeWatcher(const std::wstring& folder) {
    static const ATOM windowClass = [] {
      WNDCLASSW description = {};
      description.lpfnWndProc = &ShellChangeWatcher::Procedure;
      description.hInstance = GetModuleHandleW(nullptr);
      description.lpszClassName = L"menutools-shell-change-watcher";
      return RegisterClassW(&description);
    }();
    window_ = CreateWindowExW(0, MAKEINTATOM(windowClass), L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) return;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    PIDLIST_ABSOLUTE item = ILCreateFromPathW(folder.c_str());
    if (item == nullptr) return;
    SHChangeNotifyEntry entry = {item, /*fRecursive=*/TRUE};
    registration_ = SHChangeNotifyRegister(
        window_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel | SHCNRF_NewDelivery, SHCNE_ALLEVENTS,
        kMessage, 1, &entry);
    ILFree(item);
  }
  ~ShellChangeWatcher() {
    if (registration_ != 0) SHChangeNotifyDeregister(registration_);
    if (window_ != nullptr) DestroyWindow(window_);
  }
  ShellChangeWatcher(const ShellChangeWatcher&) = delete;
  ShellChangeWatcher& operator=(const ShellChangeWatcher&) = delete;

  bool active() const { return registration_ != 0; }

  // The changes seen since the last call, once a short time has passed
  // without another one.
  Changes Take() {
    for (;;) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kSettleMilliseconds, QS_ALLINPUT) ==
          WAIT_TIMEOUT) {
        break;
      }
    }
    Changes taken;
    taken.swap(changes_);
    return taken;
  }

 private:
  static constexpr UINT kMessage = WM_APP + 7;
  static constexpr DWORD kSettleMilliseconds = 100;

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ShellChangeWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != kMessage || self == nullptr) {
      return DefWindowProcW(window, message, wParam, lParam);
    }
    PIDLIST_ABSOLUTE* items = nullptr;
    LONG event = 0;
    HANDLE lock = SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wParam),
                                            static_cast<DWORD>(lParam), &items, &event);
    if (lock == nullptr) {
      self->changes_.push_back({0, L"<not readable>"});
      return 0;
    }
    wchar_t path[MAX_PATH] = L"";
    if (items[0] == nullptr || !SHGetPathFromIDListW(items[0], path)) wcscpy(path, L"<no path>");
    self->changes_.push_back({event, path});
    SHChangeNotification_Unlock(lock);
    return 0;
  }

  HWND window_ = nullptr;
  ULONG registration_ = 0;
  Changes changes_;
};

// The suite's start-menu folders below the Programs folder in use, under a
// name of this test's own, with a watcher on the whole Programs folder.
class WatchedStartMenu : public ::testing::Test {
 protected:
  WatchedStartMenu()
      : programs_(menu_.programs()),
        suite_(menu_.suite()),
        fluidDynamics_(menu_.fluidDynamics()),
        link_(menu_.link(L"RUVO 18.2.lnk")),
        watcher_(programs_) {}

  void SetUp() override { ASSERT_TRUE(watcher_.active()); }

  void CreateShortcut(const wchar_t* baseName = L"RUVO") {
    CreateLauncher(menu_.argument(), L"18.2", baseName);
  }

  const StartMenuFolders menu_;
  const std::wstring programs_;
  const std::wstring suite_;
  const std::wstring fluidDynamics_;
  const std::wstring link_;
  ShellChangeWatcher watcher_;
};

TEST_F(WatchedStartMenu, SavingAnnouncesEachNewFolderOutermostFirstThenTheShortcut) {
  CreateShortcut();
  ASSERT_TRUE(FileExists(link_));
  EXPECT_EQ(watcher_.Take(), (Changes{{SHCNE_MKDIR, suite_},
                                      {SHCNE_MKDIR, fluidDynamics_},
                                      {SHCNE_CREATE, link_},
                                      {SHCNE_UPDATEDIR, programs_}}));

  // Saved over: the file is updated and no folder was made.
  CreateShortcut();
  EXPECT_EQ(watcher_.Take(),
            (Changes{{SHCNE_UPDATEITEM, link_}, {SHCNE_UPDATEDIR, fluidDynamics_}}));

  // Only the innermost folder missing: only that one is new. The path as
  // the programs build it, with two backslashes before the file name, is
  // announced as the file system reads it: the shell takes no other.
  ASSERT_TRUE(DeleteFileW(link_.c_str()));
  ASSERT_TRUE(RemoveDirectoryW(fluidDynamics_.c_str()));
  const std::wstring doubled = fluidDynamics_ + L"\\\\RUVO 18.2.lnk";
  EXPECT_EQ(WriteShortcut(doubled.c_str(), L"C:\\Velmora\\RUVO\\bin\\ruvo5.exe", L"", L"",
                          L"", L"", 0, SW_SHOWNORMAL),
            S_OK);
  EXPECT_EQ(watcher_.Take(), (Changes{{SHCNE_MKDIR, fluidDynamics_},
                                      {SHCNE_CREATE, link_},
                                      {SHCNE_UPDATEDIR, suite_}}));

  // The steps one by one: the folders of a save that then failed, and one
  // more folder made by the caller.
  const std::wstring extra = suite_ + L"\\Extra";
  wchar_t* firstNew = CreateFolderTreeAnnounced((extra + L"\\Fluid Dynamics").c_str());
  EXPECT_STREQ(firstNew, extra.c_str());
  AnnounceShortcutSaved((extra + L"\\Fluid Dynamics\\x.lnk").c_str(), firstNew, FALSE, FALSE);
  FreeAndClear(&firstNew);
  ASSERT_TRUE(CreateDirectoryW((extra + L"\\More").c_str(), nullptr));
  AnnounceFolderCreated((extra + L"\\More").c_str());
  EXPECT_EQ(watcher_.Take(), (Changes{{SHCNE_MKDIR, extra},
                                      {SHCNE_MKDIR, extra + L"\\Fluid Dynamics"},
                                      {SHCNE_UPDATEDIR, suite_},
                                      {SHCNE_MKDIR, extra + L"\\More"}}));
}

TEST_F(WatchedStartMenu, RefusedSavesAnnounceNothingAndFailedOnesOnlyTheirFolders) {
  const wchar_t* target = L"C:\\Velmora\\RUVO\\bin\\ruvo5.exe";
  // A name that would climb out of its folder is refused before anything.
  CreateShortcut(L"..\\RUVO");
  // A target the shell link cannot hold whole creates nothing.
  EXPECT_EQ(WriteShortcut(link_.c_str(), L"\"\"", L"", L"", L"", L"", 0, SW_SHOWNORMAL),
            E_INVALIDARG);
  EXPECT_FALSE(FolderExists(suite_));
  EXPECT_EQ(watcher_.Take(), Changes{});

  // A file name the file system refuses (a wildcard) in new folders: the
  // folders were made, the file not.
  const std::wstring refused = fluidDynamics_ + L"\\RUVO*.lnk";
  EXPECT_FALSE(SUCCEEDED(
      WriteShortcut(refused.c_str(), target, L"", L"", L"", L"", 0, SW_SHOWNORMAL)));
  ASSERT_TRUE(FolderExists(fluidDynamics_));
  EXPECT_EQ(watcher_.Take(), (Changes{{SHCNE_MKDIR, suite_},
                                      {SHCNE_MKDIR, fluidDynamics_},
                                      {SHCNE_UPDATEDIR, programs_}}));

  // A folder stands where the file would go: the save fails and nothing
  // changed.
  ASSERT_TRUE(CreateDirectoryW(link_.c_str(), nullptr));
  watcher_.Take();
  EXPECT_FALSE(SUCCEEDED(
      WriteShortcut(link_.c_str(), target, L"", L"", L"", L"", 0, SW_SHOWNORMAL)));
  EXPECT_EQ(watcher_.Take(), Changes{});
}

TEST_F(WatchedStartMenu, DeletingAnnouncesOnlyAShortcutThatWasThere) {
  CreateShortcut();
  watcher_.Take();
  RemoveProgramsShortcut(menu_.argument().c_str(), L"RUVO", L"18.2");
  ASSERT_FALSE(FileExists(link_));
  EXPECT_EQ(watcher_.Take(),
            (Changes{{SHCNE_DELETE, link_}, {SHCNE_UPDATEDIR, fluidDynamics_}}));

  RemoveProgramsShortcut(menu_.argument().c_str(), L"RUVO", L"18.2");
  EXPECT_EQ(DeleteShortcutFile(link_.c_str()), E_FAIL);
  EXPECT_EQ(watcher_.Take(), Changes{});
  // Announced directly, the deletion gives the same two changes as above.
  AnnounceFileDeleted(link_.c_str());
  EXPECT_EQ(watcher_.Take(),
            (Changes{{SHCNE_DELETE, link_}, {SHCNE_UPDATEDIR, fluidDynamics_}}));
}

TEST_F(WatchedStartMenu, RemovingAnnouncesOnlyFoldersThatWent) {
  ASSERT_EQ(CreateDirectoryTree(fluidDynamics_.c_str()), 0);
  const std::wstring userFile = fluidDynamics_ + L"\\notes.txt";
  WriteBytes(userFile, "mine");
  watcher_.Take();

  // A file of the user's keeps the folder, and so does a hidden one, which the
  // shell does not enumerate but the removal refuses.
  RemoveProgramsSubfolder(menu_.argument().c_str());
  ASSERT_TRUE(SetFileAttributesW(userFile.c_str(), FILE_ATTRIBUTE_HIDDEN));
  RemoveProgramsSubfolder(menu_.argument().c_str());
  // The suite's folder still holds Fluid Dynamics.
  RemoveProgramsFolder(menu_.name().c_str());
  EXPECT_TRUE(FolderExists(fluidDynamics_));
  EXPECT_EQ(watcher_.Take(), Changes{});

  ASSERT_TRUE(SetFileAttributesW(userFile.c_str(), FILE_ATTRIBUTE_NORMAL) &&
              DeleteFileW(userFile.c_str()));
  RemoveProgramsSubfolder(menu_.argument().c_str());
  ASSERT_FALSE(FolderExists(fluidDynamics_));
  EXPECT_EQ(watcher_.Take(),
            (Changes{{SHCNE_RMDIR, fluidDynamics_}, {SHCNE_UPDATEDIR, suite_}}));
  RemoveProgramsFolder(menu_.name().c_str());
  ASSERT_FALSE(FolderExists(suite_));
  EXPECT_EQ(watcher_.Take(), (Changes{{SHCNE_RMDIR, suite_}, {SHCNE_UPDATEDIR, programs_}}));
  // Announced directly, the removal gives the same two changes.
  AnnounceFolderRemoved(suite_.c_str());
  EXPECT_EQ(watcher_.Take(), (Changes{{SHCNE_RMDIR, suite_}, {SHCNE_UPDATEDIR, programs_}}));
}

}  // namespace
