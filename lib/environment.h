// Persistent environment variables in the registry, of the current user or
// of the machine, and a reader for one string value of a registry key. Nothing
// is kept between calls; every key a call opens is closed before it returns.
//
// Scope of an environment variable:
// - kUserScope: "Environment" under HKEY_CURRENT_USER;
// - kMachineScope: "System\CurrentControlSet\Control\Session Manager\Environment"
//   under HKEY_LOCAL_MACHINE.
// Both keys are opened with full access (KEY_ALL_ACCESS); the machine key
// therefore opens only for administrators.
//
// After every successful write or deletion all top-level windows are told
// that the environment changed: WM_SETTINGCHANGE with the text "Environment"
// as lParam and the message number registered for that text as wParam, sent
// with a time-out of 50 ms per window. A window that does not answer in time
// delays the caller by that much.
#pragma once

#include <windows.h>

constexpr int kUserScope = 0;
constexpr int kMachineScope = 1;

// Writes the value `name` of type `type` into the scope's key. For REG_SZ and
// REG_EXPAND_SZ, `data` is a wide string written with its terminator; for any
// other type, `data` is the address of the four bytes written. A REG_SZ value
// is also set in the calling process's own environment; other types change
// the registry only. Returns 0 when the value was written; E_INVALIDARG for a
// scope other than the two above (nothing touched); E_FAIL when the scope's
// key did not open or the registry refused the write (then nothing was
// changed and nothing was announced).
HRESULT SetEnvironmentValue(const wchar_t* name, const void* data, DWORD type, int scope);

// Deletes the value `name` from the scope's key. In the machine scope the
// user's value of that name is deleted first, before the machine key's own.
// Every key the call needs (in the machine scope both) is opened before
// anything is deleted. Every successful deletion also removes the variable
// from the calling process's environment and is announced on its own. Returns
// 0 when the call ran to its end, whether or not a value was there;
// E_INVALIDARG for another scope (nothing touched); E_FAIL when a key it needs
// did not open (nothing deleted, removed or announced).
HRESULT DeleteEnvironmentValue(const wchar_t* name, int scope);

// Capacity, in UTF-16 units with the terminator, of the text that
// ReadRegistryString reads and writes.
constexpr DWORD kRegistryStringCapacity = 260;

// Reads the value `valueName` (null or empty: the key's default value) of the
// key `subkey` below the open key `key` into `output`, which holds at least
// kRegistryStringCapacity units. The data, of whatever type, is taken as
// UTF-16 text up to its first NUL and is cut to kRegistryStringCapacity - 1
// units when it has no terminator within the capacity. When the key does not
// open, `output` is left as it was; when the value cannot be read (missing, or
// its data larger than kRegistryStringCapacity units) it receives the empty
// text. The caller's `key` stays open, also when `subkey` is empty.
void ReadRegistryString(HKEY key, const wchar_t* subkey, wchar_t* output,
                        const wchar_t* valueName);
