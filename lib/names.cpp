#include "names.h"

#include <cstring>
#include <cwchar>

#include "strings.h"

namespace {

// Characters that a name cannot hold as they are: separators, a colon (which
// would name a stream of another file), wildcards and the rest that the file
// system reserves.
constexpr wchar_t kReservedNameCharacters[] = L"\\/:*?\"<>|";
// Device names, matched on what comes before the first dot, blanks dropped.
constexpr const wchar_t* kDeviceNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
constexpr const wchar_t* kNumberedDevicePrefixes[] = {L"COM", L"LPT"};
constexpr size_t kNumberedDevicePrefixLength = 3;
constexpr wchar_t kDeviceDigits[] = L"123456789\u00B9\u00B2\u00B3";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

BOOL IsPlainNamePart(const wchar_t* name) {
  const size_t length = wcslen(name);
  for (size_t at = 0; at < length;) {
    const wchar_t unit = name[at];
    if (IsDisguisingCharacter(NextCharacter(name, &at)) ||
        wcschr(kReservedNameCharacters, unit) != nullptr) {
      return FALSE;
    }
  }
  return length == 0 || (name[length - 1] != L'.' && name[length - 1] != L' ');
}

BOOL IsDeviceName(const wchar_t* name) {
  const wchar_t* dot = wcschr(name, L'.');
  int length = static_cast<int>(dot != nullptr ? dot - name : wcslen(name));
  while (length > 0 && name[length - 1] == L' ') {
    --length;
  }
  for (const wchar_t* device : kDeviceNames) {
    if (CompareStringOrdinal(name, length, device, /*cchCount2=*/-1, /*bIgnoreCase=*/TRUE) ==
        CSTR_EQUAL) {
      return TRUE;
    }
  }
  if (length != static_cast<int>(kNumberedDevicePrefixLength) + 1) {
    return FALSE;
  }
  for (const wchar_t* prefix : kNumberedDevicePrefixes) {
    if (CompareStringOrdinal(name, static_cast<int>(kNumberedDevicePrefixLength), prefix,
                             static_cast<int>(kNumberedDevicePrefixLength),
                             /*bIgnoreCase=*/TRUE) == CSTR_EQUAL &&
        name[kNumberedDevicePrefixLength] != L'\0' &&
        wcschr(kDeviceDigits, name[kNumberedDevicePrefixLength]) != nullptr) {
      return TRUE;
    }
  }
  return FALSE;
}

wchar_t* CopyRefusedFolderPart(const wchar_t* folderName) {
  const wchar_t* c = folderName;
  wchar_t* part = nullptr;
  while (*c != L'\0') {
    while (IsSeparator(*c)) {
      ++c;
    }
    const wchar_t* start = c;
    while (*c != L'\0' && !IsSeparator(*c)) {
      ++c;
    }
    const size_t length = static_cast<size_t>(c - start);
    if (length == 0) {
      continue;
    }
    part = new wchar_t[length + 1];
    memcpy(part, start, length * sizeof(wchar_t));
    part[length] = L'\0';
    if (!IsPlainNamePart(part) || IsDeviceName(part)) {
      return part;
    }
    FreeAndClear(&part);
  }
  return nullptr;
}
