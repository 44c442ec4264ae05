#include "shortcuts.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "install_layout.h"
#include "log.h"
#include "release.h"
#include "shell_notify.h"

namespace {

// The all-users Programs folder's path comes back in at most MAX_PATH
// characters; one more keeps the work buffer terminated whatever happens.
constexpr DWORD kProgramsWorkCapacity = MAX_PATH + 1;

// The administrator test: two private rights used nowhere else, granted to
// the Administrators group alone.
constexpr DWORD kAccessRead = 1;
constexpr DWORD kAccessWrite = 2;
constexpr DWORD kAccessAll = kAccessRead | kAccessWrite;
constexpr DWORD kTokenRights = TOKEN_DUPLICATE | TOKEN_QUERY;
// The ACL header and one access-allowed entry less the SID start it embeds.
constexpr DWORD kAclOverhead = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);

constexpr wchar_t kFixedRevision[] = L"18.1";
constexpr int kIconIndex = 0;
constexpr wchar_t kLinkExtension[] = L".lnk";
constexpr wchar_t kQuoteCharacter = L'"';
// The shell link stores its paths in MAX_PATH characters, the terminator
// included: a longer one is saved empty or cut short.
constexpr size_t kLongestLinkPath = MAX_PATH - 1;
constexpr DWORD kStoredTargetCapacity = MAX_PATH;
// What the shortcut operations answer when a link, or a file with more than
// one name, stands where they would act.
constexpr DWORD kRefusedLinkError = ERROR_CANT_ACCESS_FILE;
constexpr char kShortcutRefusal[] = "Shortcut refused";

// Returns a new wide string holding the link path for these arguments as the
// file system resolves it, or null when the shortcut would not lie directly
// in the folder asked for inside the Programs folder, or when its path would
// be too long for the shell to save or show. The caller releases it with
// FreeAndClear.
wchar_t* ResolveLinkPath(const wchar_t* programs, const wchar_t* folder, const wchar_t* baseName,
                         const wchar_t* suffix) {
  const bool hasSuffix = suffix != nullptr && suffix[0] != L'\0';
  wchar_t* linkPath = nullptr;
  wchar_t* folderPath = nullptr;
  wchar_t* resolvedFolder = nullptr;
  wchar_t* expected = nullptr;
  wchar_t* resolved = nullptr;
  wchar_t* refusedPart = nullptr;

  // The revision comes from a file and the caller may be elevated: a name that
  // would climb, or that the file system would read differently, is refused.
  if (!IsPlainNamePart(baseName) || (hasSuffix && !IsPlainNamePart(suffix))) {
    LogLine("Shortcut refused: its name part \"%s\" %S",
            IsPlainNamePart(baseName) ? suffix : baseName, kPlainNamePartRule);
    goto Cleanup;
  }
  linkPath = BuildLinkPath(programs, folder, baseName, suffix);
  if (!PathStaysInside(programs, linkPath)) {
    LogLine("Shortcut refused: %s leads out of the Programs folder %s", linkPath, programs);
    goto Cleanup;
  }
  // Every level is checked before any is made: a later one that could not be
  // made would leave the earlier ones behind, where nothing removes them.
  refusedPart = CopyRefusedFolderPart(folder);
  if (refusedPart != nullptr) {
    LogLine("Shortcut refused: its folder name part \"%s\" %S, or names a device", refusedPart,
            kPlainNamePartRule);
    goto Cleanup;
  }
  // Resolved with a trailing backslash, the folder is what the file name
  // must follow directly.
  folderPath = JoinStrings(3, programs, folder, L"\\");
  resolvedFolder = CopyFullPath(folderPath);
  resolved = CopyFullPath(linkPath);
  if (resolvedFolder == nullptr || resolved == nullptr) {
    LogFailure(GetLastError(), "Shortcut refused: %s cannot be resolved", linkPath);
    FreeAndClear(&resolved);
    goto Cleanup;
  }
  expected = JoinStrings(5, resolvedFolder, baseName, hasSuffix ? L" " : nullptr,
                         hasSuffix ? suffix : nullptr, kLinkExtension);
  if (wcscmp(resolved, expected) != 0) {
    LogLine("Shortcut refused: %s resolves to %s, not to %s", linkPath, resolved, expected);
    FreeAndClear(&resolved);
  } else if (wcslen(resolved) > kLongestLinkPath) {
    LogLine("Shortcut refused: %s is %u characters long, MAX_PATH (%u) or more", resolved,
            static_cast<DWORD>(wcslen(resolved)), static_cast<DWORD>(MAX_PATH));
    FreeAndClear(&resolved);
  }

Cleanup:
  FreeAndClear(&refusedPart);
  FreeAndClear(&expected);
  FreeAndClear(&resolvedFolder);
  FreeAndClear(&folderPath);
  FreeAndClear(&linkPath);
  return resolved;
}

// Returns S_OK when the shell link can hold `target` whole: not empty and
// shorter than MAX_PATH once its enclosing double quotes are gone.
HRESULT CheckTarget(const wchar_t* target) {
  size_t length = target != nullptr ? wcslen(target) : 0;
  if (length >= 2 && target[0] == kQuoteCharacter && target[length - 1] == kQuoteCharacter) {
    length -= 2;
  }
  if (length == 0) {
    return E_INVALIDARG;
  }
  return length > kLongestLinkPath ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) : S_OK;
}

// Tells whether the shortcut file at `linkPath` went and, when it did not,
// why, from `error`, what the deletion of the plain path reported.
void LogDeletion(const wchar_t* linkPath, bool deleted, DWORD error) {
  const DWORD attributes = deleted ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(linkPath);
  const bool readOnly =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (deleted) {
    LogLine("Shortcut deleted: %s", linkPath);
  } else if (readOnly) {
    LogFailure(error, "Shortcut %s not deleted: it is read-only", linkPath);
  } else {
    LogFailure(error, "Shortcut %s not deleted", linkPath);
  }
}

int CreateWithRevisionFrom(DWORD (*reader)(wchar_t**), const wchar_t* targetDirectory,
                           const wchar_t* targetFile, const wchar_t* arguments,
                           const wchar_t* iconPath, const wchar_t* workingDirectory,
                           const wchar_t* folder, const wchar_t* baseName,
                           const wchar_t* description, int showCommand) {
  wchar_t* revision = CopyReleaseValue(reader);
  const int result = CreateProgramsShortcut(targetDirectory, targetFile, arguments, iconPath,
                                            workingDirectory, folder, baseName, description,
                                            showCommand, revision);
  FreeAndClear(&revision);
  return result;
}

int RemoveWithRevisionFrom(DWORD (*reader)(wchar_t**), const wchar_t* folder,
                           const wchar_t* baseName) {
  wchar_t* revision = CopyReleaseValue(reader);
  const int result = RemoveProgramsShortcut(folder, baseName, revision);
  FreeAndClear(&revision);
  return result;
}

}  // namespace

BOOL IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  HANDLE token = nullptr;
  HANDLE impersonation = nullptr;
  PSID administrators = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  DWORD daclSize = 0;
  GENERIC_MAPPING mapping;
  PRIVILEGE_SET privileges;
  DWORD privilegesSize = sizeof(privileges);
  DWORD granted = 0;
  BOOL status = FALSE;

  if (!OpenThreadToken(GetCurrentThread(), kTokenRights, /*OpenAsSelf=*/TRUE, &token)) {
    token = nullptr;
    if (GetLastError() != ERROR_NO_TOKEN ||
        !OpenProcessToken(GetCurrentProcess(), kTokenRights, &token)) {
      token = nullptr;
      goto Cleanup;
    }
  }
  if (!DuplicateToken(token, SecurityImpersonation, &impersonation)) {
    impersonation = nullptr;
    goto Cleanup;
  }
  if (!AllocateAndInitializeSid(&ntAuthority, /*nSubAuthorityCount=*/2,
                                SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                0, 0, 0, &administrators)) {
    administrators = nullptr;
    goto Cleanup;
  }
  descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor == nullptr ||
      !InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    goto Cleanup;
  }
  daclSize = GetLengthSid(administrators) + kAclOverhead;
  dacl = static_cast<PACL>(LocalAlloc(LPTR, daclSize));
  if (dacl == nullptr || !InitializeAcl(dacl, daclSize, ACL_REVISION) ||
      !AddAccessAllowedAce(dacl, ACL_REVISION, kAccessAll, administrators) ||
      !SetSecurityDescriptorDacl(descriptor, /*bDaclPresent=*/TRUE, dacl,
                                 /*bDaclDefaulted=*/FALSE)) {
    goto Cleanup;
  }
  // The check needs an owner and a group; their results change nothing here.
  SetSecurityDescriptorGroup(descriptor, administrators, /*bGroupDefaulted=*/FALSE);
  SetSecurityDescriptorOwner(descriptor, administrators, /*bOwnerDefaulted=*/FALSE);
  if (!IsValidSecurityDescriptor(descriptor)) {
    goto Cleanup;
  }

  mapping.GenericRead = kAccessRead;
  mapping.GenericWrite = kAccessWrite;
  mapping.GenericExecute = 0;
  mapping.GenericAll = kAccessAll;
  if (!AccessCheck(descriptor, impersonation, kAccessRead, &mapping, &privileges,
                   &privilegesSize, &granted, &status)) {
    status = FALSE;
  }

Cleanup:
  LocalFreeAndClear(&dacl);
  LocalFreeAndClear(&descriptor);
  FreeSidAndClear(&administrators);
  CloseHandleAndClear(&impersonation);
  CloseHandleAndClear(&token);
  return status;
}

DWORD GetProgramsFolder(wchar_t* buffer, DWORD capacity) {
  wchar_t* work = nullptr;
  DWORD needed = 0;
  DWORD result = 0;

  if (buffer != nullptr && capacity > 0) {
    buffer[0] = L'\0';
  }
  const int folder = IsAdministrator() ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
  work = new wchar_t[kProgramsWorkCapacity];
  work[0] = L'\0';
  SHGetSpecialFolderPathW(/*hwnd=*/nullptr, work, folder, /*fCreate=*/FALSE);
  work[kProgramsWorkCapacity - 1] = L'\0';

  needed = static_cast<DWORD>(wcslen(work)) + 1;
  if (buffer == nullptr || capacity < needed) {
    result = needed;
  } else {
    memcpy(buffer, work, needed * sizeof(wchar_t));
    LogLine("Administrator: %s; Programs folder: %s",
            folder == CSIDL_COMMON_PROGRAMS ? L"yes" : L"no",
            work[0] != L'\0' ? work : L"none, the shell gives no path");
  }
  FreeAndClear(&work);
  return result;
}

wchar_t* CopyProgramsFolder() {
  const DWORD size = GetProgramsFolder(nullptr, 0);
  wchar_t* programs = new wchar_t[size > 0 ? size : 1];
  programs[0] = L'\0';
  GetProgramsFolder(programs, size);
  return programs;
}

wchar_t* BuildLinkPath(const wchar_t* programsFolder, const wchar_t* folder,
                       const wchar_t* baseName, const wchar_t* suffix) {
  const bool hasSuffix = suffix != nullptr && suffix[0] != L'\0';
  return JoinStrings(7, programsFolder, folder, L"\\", baseName, hasSuffix ? L" " : nullptr,
                     hasSuffix ? suffix : nullptr, L".lnk");
}

namespace {

// WriteShortcut, where each level of `linkPath` below the folder `top` (when
// not null), whether it is there or is made here, and the shortcut file
// itself, must be no link, and an existing shortcut file must have one name.
HRESULT SaveShortcut(const wchar_t* top, const wchar_t* linkPath, const wchar_t* target,
                     const wchar_t* arguments, const wchar_t* workingDirectory,
                     const wchar_t* description, const wchar_t* iconPath, int iconIndex,
                     int showCommand) {
  wchar_t* directory = nullptr;
  wchar_t* firstNewFolder = nullptr;
  wchar_t* storedTarget = nullptr;
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  BSTR savePath = nullptr;
  BOOL existedBefore = FALSE;
  HRESULT result = S_OK;

  // COM stays initialised on this thread: callers may go on using the shell.
  CoInitialize(/*pvReserved=*/nullptr);

  // Nothing is created for a shortcut that could not be saved whole.
  result = CheckTarget(target);
  if (FAILED(result)) {
    LogFailure(result,
               result == E_INVALIDARG
                   ? "Shortcut %s not written: its target \"%s\" is empty"
                   : "Shortcut %s not written: its target %s is MAX_PATH characters or longer",
               linkPath, target);
    goto Cleanup;
  }
  if (wcslen(linkPath) > kLongestLinkPath) {
    result = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    LogFailure(result, "Shortcut %s not written: its path is MAX_PATH characters or longer",
               linkPath);
    goto Cleanup;
  }

  result = CoCreateInstance(CLSID_ShellLink, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                            IID_IShellLinkW, reinterpret_cast<void**>(&link));
  if (FAILED(result)) {
    LogFailure(result, "Shortcut %s not written: no shell link object", linkPath);
    goto Cleanup;
  }
  result = link->SetPath(target);
  if (FAILED(result)) {
    LogFailure(result, "Shortcut %s not written: the shell link refuses the target %s", linkPath,
               target);
    goto Cleanup;
  }
  link->SetArguments(arguments);
  link->SetWorkingDirectory(workingDirectory);
  link->SetDescription(description);
  link->SetIconLocation(iconPath, iconIndex);
  link->SetShowCmd(showCommand);

  // A shell link that took the target in name only would be saved pointing
  // nowhere.
  storedTarget = new wchar_t[kStoredTargetCapacity];
  storedTarget[0] = L'\0';
  if (FAILED(link->GetPath(storedTarget, static_cast<int>(kStoredTargetCapacity),
                           /*pfd=*/nullptr, SLGP_RAWPATH)) ||
      storedTarget[0] == L'\0') {
    result = E_INVALIDARG;
    LogFailure(result, "Shortcut %s not written: the shell link keeps no target for %s",
               linkPath, target);
    goto Cleanup;
  }

  result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (FAILED(result)) {
    LogFailure(result, "Shortcut %s not written: the shell link cannot be saved", linkPath);
    goto Cleanup;
  }

  directory = JoinStrings(1, linkPath);
  CutLastComponent(directory);
  PathRemoveBackslashW(directory);
  // The save writes by path and follows whatever link is at the file's name
  // (one that leads nowhere too): each level is judged right before the save,
  // the folders as they are made. Whether the file was there tells the shell
  // what the save made of it.
  if (!CreateFolderLevelsAnnounced(top, directory, &firstNewFolder) ||
      !MayWriteFileItself(linkPath, kShortcutRefusal, &existedBefore)) {
    // Logged where it was refused.
    result = HRESULT_FROM_WIN32(kRefusedLinkError);
    AnnounceShortcutSaved(linkPath, firstNewFolder, existedBefore, /*saved=*/FALSE);
    goto Cleanup;
  }
  savePath = SysAllocString(linkPath);
  result = file->Save(savePath, /*fRemember=*/TRUE);
  if (SUCCEEDED(result)) {
    result = S_OK;
    LogLine("Shortcut written: %s", linkPath);
    LogLine("Shortcut target: %s", target);
    LogLine("Shortcut arguments: %s",
            arguments != nullptr && arguments[0] != L'\0' ? arguments : L"(none)");
    LogLine("Shortcut working directory: %s", workingDirectory);
    LogLine("Shortcut description: %s", description);
    LogLine("Shortcut icon: %s, index %u", iconPath, static_cast<DWORD>(iconIndex));
    LogLine("Shortcut show command: %u", static_cast<DWORD>(showCommand));
  } else {
    LogFailure(result, "Shortcut %s not written: saving failed", linkPath);
  }
  AnnounceShortcutSaved(linkPath, firstNewFolder, existedBefore, SUCCEEDED(result));

Cleanup:
  SysFreeString(savePath);
  ReleaseAndClear(&file);
  ReleaseAndClear(&link);
  FreeAndClear(&storedTarget);
  FreeAndClear(&firstNewFolder);
  FreeAndClear(&directory);
  return result;
}

// DeleteShortcutFile, where each level of `linkPath` below the folder `top`
// (when not null), and the shortcut file itself, must be no link; the file is
// deleted through the handle it was judged by.
HRESULT DeleteShortcut(const wchar_t* top, const wchar_t* linkPath) {
  wchar_t* directory = JoinStrings(1, linkPath);
  wchar_t* quoted = nullptr;
  ObjectProblem problem = kObjectCannotOpen;
  HANDLE file = INVALID_HANDLE_VALUE;
  BOOL deletedPlain = FALSE;
  BOOL deletedQuoted = FALSE;
  DWORD plainError = ERROR_SUCCESS;

  CutLastComponent(directory);
  if (top != nullptr && !NoLinkBelow(top, directory, kShortcutRefusal)) {
    goto Cleanup;
  }
  file = OpenObjectItself(linkPath, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING, /*flags=*/0,
                          &problem);
  plainError = GetLastError();
  if (problem == kObjectIsReparsePoint || problem == kObjectLiesElsewhere) {
    LogLine("%S: %s %S", kShortcutRefusal, linkPath, DescribeObjectProblem(problem));
    goto Cleanup;
  }
  if (problem == kObjectIsItself) {
    deletedPlain = DeleteOpenObject(file);
    plainError = deletedPlain ? ERROR_SUCCESS : GetLastError();
    // The file goes as its last handle closes.
    CloseHandleAndClear(&file);
  }
  // The quoted form has always been tried as well; both always run.
  quoted = JoinStrings(3, L"\"", linkPath, L"\"");
  deletedQuoted = DeleteFileW(quoted);
  if (deletedPlain) {
    AnnounceFileDeleted(linkPath);
  }
  LogDeletion(linkPath, deletedPlain || deletedQuoted, plainError);

Cleanup:
  CloseHandleAndClear(&file);
  FreeAndClear(&quoted);
  FreeAndClear(&directory);
  return deletedPlain || deletedQuoted ? S_OK : E_FAIL;
}

}  // namespace

HRESULT WriteShortcut(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                      const wchar_t* workingDirectory, const wchar_t* description,
                      const wchar_t* iconPath, int iconIndex, int showCommand) {
  return SaveShortcut(/*top=*/nullptr, linkPath, target, arguments, workingDirectory, description,
                      iconPath, iconIndex, showCommand);
}

HRESULT DeleteShortcutFile(const wchar_t* linkPath) {
  return DeleteShortcut(/*top=*/nullptr, linkPath);
}

int CreateProgramsShortcut(const wchar_t* targetDirectory, const wchar_t* targetFile,
                           const wchar_t* arguments, const wchar_t* iconPath,
                           const wchar_t* workingDirectory, const wchar_t* folder,
                           const wchar_t* baseName, const wchar_t* description, int showCommand,
                           const wchar_t* suffix) {
  wchar_t* programs = CopyProgramsFolder();
  // The folder name and the revision come from a file and the caller may be
  // elevated: write nothing, and create no folder, anywhere but directly in
  // the folder asked for inside the Programs folder.
  wchar_t* linkPath = ResolveLinkPath(programs, folder, baseName, suffix);
  wchar_t* target = JoinStrings(4, L"\"", targetDirectory, targetFile, L"\"");

  if (linkPath != nullptr) {
    SaveShortcut(programs, linkPath, target, arguments, workingDirectory, description, iconPath,
                 kIconIndex, showCommand);
  }

  FreeAndClear(&target);
  FreeAndClear(&linkPath);
  FreeAndClear(&programs);
  return 0;
}

int RemoveProgramsShortcut(const wchar_t* folder, const wchar_t* baseName, const wchar_t* suffix) {
  wchar_t* programs = CopyProgramsFolder();
  wchar_t* linkPath = ResolveLinkPath(programs, folder, baseName, suffix);

  if (linkPath != nullptr) {
    DeleteShortcut(programs, linkPath);
  }

  FreeAndClear(&linkPath);
  FreeAndClear(&programs);
  return 0;
}

int CreateProgramsShortcutWithRevision(const wchar_t* targetDirectory, const wchar_t* targetFile,
                                       const wchar_t* arguments, const wchar_t* iconPath,
                                       const wchar_t* workingDirectory, const wchar_t* folder,
                                       const wchar_t* baseName, const wchar_t* description,
                                       int showCommand) {
  return CreateWithRevisionFrom(GetRevisionSuffix, targetDirectory, targetFile, arguments,
                                iconPath, workingDirectory, folder, baseName, description,
                                showCommand);
}

int CreateProgramsShortcutWithLocalRevision(const wchar_t* targetDirectory,
                                            const wchar_t* targetFile, const wchar_t* arguments,
                                            const wchar_t* iconPath,
                                            const wchar_t* workingDirectory,
                                            const wchar_t* folder, const wchar_t* baseName,
                                            const wchar_t* description, int showCommand) {
  return CreateWithRevisionFrom(GetLocalRevisionSuffix, targetDirectory, targetFile, arguments,
                                iconPath, workingDirectory, folder, baseName, description,
                                showCommand);
}

int CreateProgramsShortcutWithFixedRevision(const wchar_t* targetDirectory,
                                            const wchar_t* targetFile, const wchar_t* arguments,
                                            const wchar_t* iconPath,
                                            const wchar_t* workingDirectory,
                                            const wchar_t* folder, const wchar_t* baseName,
                                            const wchar_t* description, int showCommand) {
  return CreateProgramsShortcut(targetDirectory, targetFile, arguments, iconPath,
                                workingDirectory, folder, baseName, description, showCommand,
                                kFixedRevision);
}

int RemoveProgramsShortcutWithRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveWithRevisionFrom(GetRevisionSuffix, folder, baseName);
}

int RemoveProgramsShortcutWithLocalRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveWithRevisionFrom(GetLocalRevisionSuffix, folder, baseName);
}

int RemoveProgramsShortcutWithFixedRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveProgramsShortcut(folder, baseName, kFixedRevision);
}

int RemoveProgramsShortcutWithoutRevision(const wchar_t* folder, const wchar_t* baseName) {
  return RemoveProgramsShortcut(folder, baseName, L"");
}
