#include "access.h"

#include <aclapi.h>

#include "release.h"

namespace {

// The administrator test: two private rights used nowhere else, granted to
// the Administrators group alone.
constexpr DWORD kAccessRead = 1;
constexpr DWORD kAccessWrite = 2;
constexpr DWORD kAccessAll = kAccessRead | kAccessWrite;
constexpr DWORD kTokenRights = TOKEN_DUPLICATE | TOKEN_QUERY;
// The ACL header and one access-allowed entry less the SID start it embeds.
constexpr DWORD kAclOverhead = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
// Everyone: generic read, write and execute, delete, read control, write DAC
// and the thirteen object-specific rights; neither WRITE_OWNER nor SYNCHRONIZE.
constexpr DWORD kOpenDirectoryRights = 0xE0071FFF;

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


int CreateOpenDirectory(const wchar_t* path) {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPLICIT_ACCESS_W access;
  SECURITY_ATTRIBUTES attributes;

  if (!AllocateAndInitializeSid(&worldAuthority, /*nSubAuthorityCount=*/1, SECURITY_WORLD_RID,
                                0, 0, 0, 0, 0, 0, 0, &everyone)) {
    return 0;
  }

  ZeroMemory(&access, sizeof(access));
  access.grfAccessPermissions = kOpenDirectoryRights;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = CONTAINER_INHERIT_ACE;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);

  if (SetEntriesInAclW(/*cCountOfExplicitEntries=*/1, &access, /*OldAcl=*/nullptr, &list) !=
      ERROR_SUCCESS) {
    goto Cleanup;
  }
  descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor == nullptr ||
      !InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor, /*bDaclPresent=*/TRUE, list,
                                 /*bDaclDefaulted=*/FALSE)) {
    goto Cleanup;
  }

  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  CreateDirectoryW(path, &attributes);

Cleanup:
  FreeSidAndClear(&everyone);
  LocalFreeAndClear(&list);
  LocalFreeAndClear(&descriptor);
  return 0;
}

