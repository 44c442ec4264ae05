#include "environment.h"

#include <cstring>
#include <cwchar>

#include "install_layout.h"
#include "release.h"

namespace {

constexpr wchar_t kUserEnvironmentKey[] = L"Environment";
constexpr wchar_t kMachineEnvironmentKey[] =
    L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr wchar_t kEnvironmentText[] = L"Environment";
constexpr UINT kBroadcastTimeoutMs = 50;
constexpr DWORD kNumberDataSize = 4;

// Opens the scope's key with full access. Returns it, or null when it did not
// open or the scope is unknown; the caller closes it with CloseKeyAndClear.
HKEY OpenEnvironmentKey(int scope) {
  HKEY root = nullptr;
  const wchar_t* subkey = nullptr;
  HKEY key = nullptr;

  if (scope == kUserScope) {
    root = HKEY_CURRENT_USER;
    subkey = kUserEnvironmentKey;
  } else if (scope == kMachineScope) {
    root = HKEY_LOCAL_MACHINE;
    subkey = kMachineEnvironmentKey;
  } else {
    return nullptr;
  }
  if (RegOpenKeyExW(root, subkey, /*ulOptions=*/0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    key = nullptr;
  }
  return key;
}

void BroadcastEnvironmentChange() {
  DWORD_PTR reply = 0;
  const UINT environmentMessage = RegisterWindowMessageW(kEnvironmentText);
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, environmentMessage,
                      reinterpret_cast<LPARAM>(kEnvironmentText), SMTO_NORMAL,
                      kBroadcastTimeoutMs, &reply);
}

// Deletes `name` from `key`; when that succeeds, drops the variable from the
// process's environment and announces the change.
void DeleteAndAnnounce(HKEY key, const wchar_t* name) {
  if (RegDeleteValueW(key, name) != ERROR_SUCCESS) {
    return;
  }
  SetEnvironmentVariableW(name, /*lpValue=*/nullptr);
  BroadcastEnvironmentChange();
}

bool IsKnownScope(int scope) { return scope == kUserScope || scope == kMachineScope; }

}  // namespace

HRESULT SetEnvironmentValue(const wchar_t* name, const void* data, DWORD type, int scope) {
  HKEY key = nullptr;
  DWORD size = kNumberDataSize;
  HRESULT result = S_OK;

  if (!IsKnownScope(scope)) {
    result = E_INVALIDARG;
    goto Cleanup;
  }
  key = OpenEnvironmentKey(scope);
  if (key == nullptr) {
    result = E_FAIL;
    goto Cleanup;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    const DWORD length = static_cast<DWORD>(wcslen(static_cast<const wchar_t*>(data)));
    size = (length + 1) * sizeof(wchar_t);
  }
  if (RegSetValueExW(key, name, /*Reserved=*/0, type, static_cast<const BYTE*>(data), size) !=
      ERROR_SUCCESS) {
    result = E_FAIL;
    goto Cleanup;
  }
  // Only a plain string means the same in the process as in the registry; an
  // expandable one would need expanding first.
  if (type == REG_SZ) {
    SetEnvironmentVariableW(name, static_cast<const wchar_t*>(data));
  }
  BroadcastEnvironmentChange();

Cleanup:
  CloseKeyAndClear(&key);
  return result;
}

HRESULT DeleteEnvironmentValue(const wchar_t* name, int scope) {
  HKEY scopeKey = nullptr;
  HKEY userKey = nullptr;
  HRESULT result = S_OK;

  if (!IsKnownScope(scope)) {
    result = E_INVALIDARG;
    goto Cleanup;
  }
  // Every key the call needs is open before anything is deleted, so that a
  // key that does not open leaves both values as they were.
  scopeKey = OpenEnvironmentKey(scope);
  if (scopeKey == nullptr) {
    result = E_FAIL;
    goto Cleanup;
  }
  // A machine-wide deletion also drops the user's value of the same name,
  // which would otherwise go on hiding the machine's for this user.
  if (scope == kMachineScope) {
    userKey = OpenEnvironmentKey(kUserScope);
    if (userKey == nullptr) {
      result = E_FAIL;
      goto Cleanup;
    }
    DeleteAndAnnounce(userKey, name);
  }
  DeleteAndAnnounce(scopeKey, name);

Cleanup:
  CloseKeyAndClear(&userKey);
  CloseKeyAndClear(&scopeKey);
  return result;
}

void ReadRegistryString(HKEY key, const wchar_t* subkey, wchar_t* output,
                        const wchar_t* valueName) {
  HKEY opened = nullptr;
  wchar_t* work = nullptr;
  DWORD type = REG_NONE;
  DWORD size = kRegistryStringCapacity * sizeof(wchar_t);

  // Zero-filled, so that data shorter than the buffer without a terminator of
  // its own still ends in one.
  work = new wchar_t[kRegistryStringCapacity];
  memset(work, 0, kRegistryStringCapacity * sizeof(wchar_t));

  if (RegOpenKeyW(key, subkey, &opened) != ERROR_SUCCESS) {
    opened = nullptr;
    goto Cleanup;
  }
  if (RegQueryValueExW(opened, valueName, /*lpReserved=*/nullptr, &type,
                       reinterpret_cast<BYTE*>(work), &size) != ERROR_SUCCESS) {
    work[0] = L'\0';
  }
  // Data that fills the buffer without a terminator is cut by one unit.
  work[kRegistryStringCapacity - 1] = L'\0';
  wcscpy(output, work);

Cleanup:
  // For an empty subkey the registry hands back the caller's own key, which
  // is the caller's to close.
  if (opened == key) {
    opened = nullptr;
  }
  CloseKeyAndClear(&opened);
  FreeAndClear(&work);
}
