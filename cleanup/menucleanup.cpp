// menucleanup: takes the suite's launcher shortcut out of the start menu and
// removes its Fluid Dynamics folder and the suite's own folder, each only when
// nothing is left in it. It opens no window, shows no message and always exits
// with 0; the folder name and the revision come from the installation's
// relinfo.xml, found from the program's own place. Its one argument,
// /log=<file>, asks for a log of what it did.
#include <windows.h>

#include "dll_search.h"
#include "folder_removal.h"
#include "install_layout.h"
#include "log.h"
#include "menutools_version.h"
#include "redirection_trust.h"
#include "shortcuts.h"

namespace {

constexpr wchar_t kFluidDynamicsFolder[] = L"\\Fluid Dynamics\\";
constexpr wchar_t kShortcutBaseName[] = L"RUVO";

// Deletes <Programs>\<folder name>\Fluid Dynamics\RUVO <revision>.lnk, the
// file that menusetup made. Returns 0.
int RemoveLauncherShortcut(const wchar_t* folderName, const wchar_t* revision) {
  wchar_t* startMenuFolder = JoinStrings(3, L"\\", folderName, kFluidDynamicsFolder);
  RemoveProgramsShortcut(startMenuFolder, kShortcutBaseName, revision);
  FreeAndClear(&startMenuFolder);
  return 0;
}

// Removes <Programs>\<folder name>\Fluid Dynamics when it is empty, then each
// level of the folder name, innermost first, while each goes. Returns 0.
int RemoveStartMenuFolders(const wchar_t* folderName) {
  wchar_t* startMenuFolder = JoinStrings(3, L"\\", folderName, kFluidDynamicsFolder);
  RemoveProgramsFolderLevels(startMenuFolder);
  FreeAndClear(&startMenuFolder);
  return 0;
}

int CleanupMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, const wchar_t* commandLine,
                int /*showCommand*/) {
  wchar_t* installRoot = nullptr;
  wchar_t* folderName = nullptr;
  wchar_t* revision = nullptr;

  StartLog(commandLine);
  LogLine("menucleanup " MENUTOOLS_VERSION_TEXT);
  LogRedirectionTrust();
  installRoot = CopyInstallRoot();
  LogLine("Install root: %s", installRoot);
  // A relative root names a relinfo.xml below the current folder, which
  // anybody may have put there.
  if (!IsAbsoluteInstallPath(installRoot)) {
    LogLine("Install root \"%s\" is not an absolute path: nothing is done", installRoot);
    goto Done;
  }

  folderName = CopyReadableReleaseValue(GetStartMenuFolderName);
  revision = folderName != nullptr ? CopyReadableReleaseValue(GetRevisionSuffix) : nullptr;
  // Values that could not be read would name another shortcut and other
  // folders (RUVO.lnk, the Programs folder's own Fluid Dynamics): nothing is
  // touched.
  if (revision == nullptr) {
    LogLine("Nothing removed: the release information is there but cannot be read");
    goto Done;
  }

  // Each step runs whatever became of the one before; a folder goes only once
  // what lay in it is gone.
  RemoveLauncherShortcut(folderName, revision);
  RemoveStartMenuFolders(folderName);
  // Without a name the suite has no folder of its own; the Programs folder
  // itself is never addressed.
  if (folderName[0] == L'\0') {
    LogLine("No start-menu folder name: the Programs folder itself is left alone");
  }

Done:
  FreeAndClear(&revision);
  FreeAndClear(&folderName);
  FreeAndClear(&installRoot);
  LogLine("menucleanup done, exit code 0");
  EndLog();
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int showCommand) {
  RestrictDllSearchToSystem();
  // Junctions that a non-administrator made are refused where the system can.
  RequestRedirectionTrust();
  return CleanupMain(instance, /*previousInstance=*/nullptr, GetCommandLineW(), showCommand);
}
