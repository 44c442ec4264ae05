// A standard user's token, as the test tools and the library's tests make
// one: this process's own, with the Administrators group deny-only.
#pragma once

#include <windows.h>

// A new primary token, or null when the system refuses one; the caller closes
// it with CloseHandle.
inline HANDLE CreateStandardUserToken() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  HANDLE token = nullptr;
  HANDLE restricted = nullptr;
  if (AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                               DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators) &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    if (!CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted)) {
      restricted = nullptr;
    }
  }
  if (token != nullptr) CloseHandle(token);
  if (administrators != nullptr) FreeSid(administrators);
  return restricted;
}
