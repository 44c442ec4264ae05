// Null-safe release helpers for the resources that library operations hold:
// each releases what its argument points to when that is set and clears it, so
// a single exit path can release everything in reverse order whatever was
// obtained before a failure.
#pragma once

#include <windows.h>

// Releases a byte buffer obtained with array new.
inline void FreeBytesAndClear(char** bytes) {
  if (*bytes != nullptr) {
    delete[] * bytes;
    *bytes = nullptr;
  }
}

// Closes a kernel handle; null and INVALID_HANDLE_VALUE count as unset.
inline void CloseHandleAndClear(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
    CloseHandle(*handle);
  }
  *handle = nullptr;
}

// Frees local memory obtained with LocalAlloc or handed out by the system.
template <typename T>
inline void LocalFreeAndClear(T** memory) {
  if (*memory != nullptr) {
    LocalFree(*memory);
    *memory = nullptr;
  }
}

// Frees a SID obtained with AllocateAndInitializeSid.
inline void FreeSidAndClear(PSID* sid) {
  if (*sid != nullptr) {
    FreeSid(*sid);
    *sid = nullptr;
  }
}

// Closes a registry key.
inline void CloseKeyAndClear(HKEY* key) {
  if (*key != nullptr) {
    RegCloseKey(*key);
    *key = nullptr;
  }
}

// Releases a COM interface pointer.
template <typename T>
inline void ReleaseAndClear(T** object) {
  if (*object != nullptr) {
    (*object)->Release();
    *object = nullptr;
  }
}
