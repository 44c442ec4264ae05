#include "shortcuts.h"

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "install_layout.h"
#include "release.h"

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

// Reads a revision text by the pointer form of `reader` into a new wide string
// that the caller releases with FreeAndClear.
wchar_t* ReadRevision(DWORD (*reader)(wchar_t**)) {
  const DWORD size = reader(nullptr);
  wchar_t* revision = new wchar_t[size > 0 ? size : 1];
  revision[0] = L'\0';
  reader(&revision);
  return revision;
}

int CreateWithRevisionFrom(DWORD (*reader)(wchar_t**), const wchar_t* targetDirectory,
                           const wchar_t* targetFile, const wchar_t* arguments,
                           const wchar_t* iconPath, const wchar_t* workingDirectory,
                           const wchar_t* folder, const wchar_t* baseName,
                           const wchar_t* description, int showCommand) {
  wchar_t* revision = ReadRevision(reader);
  const int result = CreateProgramsShortcut(targetDirectory, targetFile, arguments, iconPath,
                                            workingDirectory, folder, baseName, description,
                                            showCommand, revision);
  FreeAndClear(&revision);
  return result;
}

int RemoveWithRevisionFrom(DWORD (*reader)(wchar_t**), const wchar_t* folder,
                           const wchar_t* baseName) {
  wchar_t* revision = ReadRevision(reader);
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

HRESULT WriteShortcut(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                      const wchar_t* workingDirectory, const wchar_t* description,
                      const wchar_t* iconPath, int iconIndex, int showCommand) {
  wchar_t* directory = nullptr;
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  BSTR savePath = nullptr;
  HRESULT result = S_OK;

  // COM stays initialised on this thread: callers may go on using the shell.
  CoInitialize(/*pvReserved=*/nullptr);

  directory = JoinStrings(1, linkPath);
  CutLastComponent(directory);
  PathRemoveBackslashW(directory);
  CreateDirectoryTree(directory);

  result = CoCreateInstance(CLSID_ShellLink, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                            IID_IShellLinkW, reinterpret_cast<void**>(&link));
  if (FAILED(result)) {
    goto Cleanup;
  }
  link->SetPath(target);
  link->SetArguments(arguments);
  link->SetWorkingDirectory(workingDirectory);
  link->SetDescription(description);
  link->SetIconLocation(iconPath, iconIndex);
  link->SetShowCmd(showCommand);

  result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (FAILED(result)) {
    goto Cleanup;
  }
  savePath = SysAllocString(linkPath);
  result = file->Save(savePath, /*fRemember=*/TRUE);
  if (SUCCEEDED(result)) {
    result = S_OK;
  }

Cleanup:
  SysFreeString(savePath);
  ReleaseAndClear(&file);
  ReleaseAndClear(&link);
  FreeAndClear(&directory);
  return result;
}

HRESULT DeleteShortcutFile(const wchar_t* linkPath) {
  wchar_t* quoted = JoinStrings(3, L"\"", linkPath, L"\"");
  // The quoted form has always been tried as well; both calls always run.
  const int deleted = (DeleteFileW(linkPath) ? 1 : 0) + (DeleteFileW(quoted) ? 1 : 0);
  FreeAndClear(&quoted);
  return deleted != 0 ? S_OK : E_FAIL;
}

int CreateProgramsShortcut(const wchar_t* targetDirectory, const wchar_t* targetFile,
                           const wchar_t* arguments, const wchar_t* iconPath,
                           const wchar_t* workingDirectory, const wchar_t* folder,
                           const wchar_t* baseName, const wchar_t* description, int showCommand,
                           const wchar_t* suffix) {
  wchar_t* programs = CopyProgramsFolder();
  wchar_t* linkPath = BuildLinkPath(programs, folder, baseName, suffix);
  wchar_t* target = JoinStrings(4, L"\"", targetDirectory, targetFile, L"\"");

  // The folder name comes from a file and the caller may be elevated: write
  // nothing, and create no folder, outside the Programs folder.
  if (PathStaysInside(programs, linkPath)) {
    WriteShortcut(linkPath, target, arguments, workingDirectory, description, iconPath,
                  kIconIndex, showCommand);
  }

  FreeAndClear(&target);
  FreeAndClear(&linkPath);
  FreeAndClear(&programs);
  return 0;
}

int RemoveProgramsShortcut(const wchar_t* folder, const wchar_t* baseName, const wchar_t* suffix) {
  wchar_t* programs = CopyProgramsFolder();
  wchar_t* linkPath = BuildLinkPath(programs, folder, baseName, suffix);

  if (PathStaysInside(programs, linkPath)) {
    DeleteShortcutFile(linkPath);
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
