// menusetup: puts the suite's launcher shortcut into the start menu and runs
// the suite's host-setup tool. It opens no window, shows no message and always
// exits with 0; everything it needs follows from its own place in the
// installation and from the installation's relinfo.xml. Its one argument,
// /log=<file>, asks for a log of what it did.
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "dll_search.h"
#include "install_layout.h"
#include "log.h"
#include "menutools_version.h"
#include "redirection_trust.h"
#include "processes.h"
#include "shortcuts.h"

namespace {

constexpr wchar_t kSuiteDirectory[] = L"\\RUVO";
constexpr wchar_t kBinDirectory[] = L"\\bin\\";
constexpr wchar_t kLauncherFile[] = L"ruvo5.exe";
constexpr wchar_t kIconFile[] = L"\\icons\\ruvo_hi.ico";
constexpr wchar_t kFluidDynamicsFolder[] = L"\\Fluid Dynamics\\";
constexpr wchar_t kShortcutBaseName[] = L"RUVO";
constexpr wchar_t kWorkingDirectory[] = L"%USERPROFILE%";
constexpr wchar_t kDescriptionStart[] = L"Start VELMORA RUVO ";
constexpr wchar_t kDescriptionEnd[] = L" Launcher";
constexpr wchar_t kHostSetupFile[] = L"\\bin\\ruvo5parhosts.exe";
constexpr wchar_t kHostSetupArguments[] = L"\" -install-setup";
// Said where relinfo.xml is there but another program held it through every
// wait: a shortcut named without its values is one that no cleanup finds.
constexpr char kReleaseInfoHeld[] =
    "Shortcut not written: the release information is there but cannot be read";

// Creates the launcher shortcut in <Programs>\<folder name>\Fluid Dynamics.
// Returns 0.
int CreateLauncherShortcut(const wchar_t* suiteDirectory, const wchar_t* folderName) {
  wchar_t* suiteCopy = JoinStrings(1, suiteDirectory);
  wchar_t* targetDirectory = nullptr;
  wchar_t* iconPath = nullptr;
  wchar_t* startMenuFolder = nullptr;
  wchar_t* description = nullptr;
  wchar_t* revision = nullptr;

  PathRemoveBackslashW(suiteCopy);
  targetDirectory = JoinStrings(2, suiteCopy, kBinDirectory);
  FreeAndClear(&suiteCopy);

  // Read once: the description and the file name carry the same revision.
  revision = CopyReadableReleaseValue(GetRevisionSuffix);
  if (revision == nullptr) {
    LogLine("%S", kReleaseInfoHeld);
    goto Cleanup;
  }

  iconPath = JoinStrings(2, suiteDirectory, kIconFile);
  startMenuFolder = JoinStrings(3, L"\\", folderName, kFluidDynamicsFolder);
  description = JoinStrings(3, kDescriptionStart, revision, kDescriptionEnd);

  CreateProgramsShortcut(targetDirectory, kLauncherFile, /*arguments=*/L"", iconPath,
                         kWorkingDirectory, startMenuFolder, kShortcutBaseName, description,
                         SW_SHOWNORMAL, revision);

Cleanup:
  FreeAndClear(&targetDirectory);
  FreeAndClear(&iconPath);
  FreeAndClear(&startMenuFolder);
  FreeAndClear(&description);
  FreeAndClear(&revision);
  return 0;
}

// Runs the host-setup tool hidden with "-install-setup", handing on the
// inheritable handles, and waits for it as long as it runs; its exit code is
// not used.
void RunHostSetup(const wchar_t* suiteDirectory) {
  wchar_t* toolPath = JoinStrings(2, suiteDirectory, kHostSetupFile);
  wchar_t* shortPath = nullptr;
  wchar_t* commandLine = nullptr;

  // No program starts from a path of MAX_PATH characters or more; the short
  // form of the same path, where the file system keeps one, does.
  if (wcslen(toolPath) >= MAX_PATH) {
    shortPath = CopyShortPath(toolPath);
    LogLine("Host-setup tool %s: its path is MAX_PATH characters or longer; short form: %s",
            toolPath, shortPath != nullptr ? shortPath : L"none");
  }
  if (shortPath != nullptr && wcslen(shortPath) < MAX_PATH) {
    FreeAndClear(&toolPath);
    toolPath = shortPath;
    shortPath = nullptr;
  }
  commandLine = JoinStrings(3, L"\"", toolPath, kHostSetupArguments);
  RunHiddenAndWait(commandLine);

  FreeAndClear(&commandLine);
  FreeAndClear(&shortPath);
  FreeAndClear(&toolPath);
}

int SetupMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, const wchar_t* commandLine,
              int /*showCommand*/) {
  wchar_t* installRoot = nullptr;
  wchar_t* folderName = nullptr;
  wchar_t* suiteDirectory = nullptr;
  DWORD size = 0;

  StartLog(commandLine);
  LogLine("menusetup " MENUTOOLS_VERSION_TEXT);
  LogRedirectionTrust();

  size = GetInstallRoot(nullptr, 0);
  installRoot = new wchar_t[size > 0 ? size : 1];
  installRoot[0] = L'\0';
  GetInstallRoot(installRoot, size);
  LogLine("Install root: %s", installRoot);
  // A relative root names folders below the current one, where anybody may
  // have put a relinfo.xml and a host-setup tool.
  if (!IsAbsoluteInstallPath(installRoot)) {
    LogLine("Install root \"%s\" is not an absolute path: nothing is done", installRoot);
    goto Done;
  }

  folderName = CopyReadableReleaseValue(GetStartMenuFolderName);
  suiteDirectory = JoinStrings(2, installRoot, kSuiteDirectory);

  // The host-setup tool runs whatever became of the shortcut.
  if (folderName != nullptr) {
    CreateLauncherShortcut(suiteDirectory, folderName);
  } else {
    LogLine("%S", kReleaseInfoHeld);
  }
  RunHostSetup(suiteDirectory);

Done:
  FreeAndClear(&installRoot);
  FreeAndClear(&suiteDirectory);
  FreeAndClear(&folderName);
  LogLine("menusetup done, exit code 0");
  EndLog();
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int showCommand) {
  RestrictDllSearchToSystem();
  // Junctions that a non-administrator made are refused where the system can.
  RequestRedirectionTrust();
  return SetupMain(instance, /*previousInstance=*/nullptr, GetCommandLineW(), showCommand);
}
