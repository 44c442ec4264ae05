#include "edition.h"

#include <cstring>
#include <cwchar>

#include "install_layout.h"
#include "release.h"

namespace {

// The published size of OSVERSIONINFOEXW, which GetVersionExW checks.
constexpr DWORD kVersionInfoSize = 284;
static_assert(sizeof(OSVERSIONINFOEXW) == kVersionInfoSize, "OSVERSIONINFOEXW has 284 bytes");

constexpr DWORD kWorkstation = VER_NT_WORKSTATION;
// Major versions of the known releases: 2000 to Server 2003, Vista to 8.
constexpr DWORD kMajorVersion5 = 5;
constexpr DWORD kMajorVersion6 = 6;

constexpr wchar_t kMicrosoftKey[] = L"SOFTWARE\\Microsoft";
constexpr wchar_t kHpcText[] = L"HPC";
constexpr wchar_t kProcessorIdentifier[] = L"PROCESSOR_IDENTIFIER";
// The registry view searched unless the 64-bit one is asked for: the one a
// 32-bit program sees, so that the 64-bit build answers as the 32-bit one.
#ifdef _WIN64
constexpr REGSAM kDefaultView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kDefaultView = 0;
#endif
// Markers of a 64-bit processor, tested in this order.
constexpr const wchar_t* kProcessor64Markers[] = {L"EM64T", L"AMD64", L"Intel64"};

// Registry key names have at most 255 characters; the buffer leaves room.
constexpr DWORD kSubkeyNameCapacity = 260;

// Asks GetVersionExW for the version the system reports to this program; on
// failure every field stays zero.
void ReadVersion(OSVERSIONINFOEXW* version) {
  memset(version, 0, sizeof(*version));
  version->dwOSVersionInfoSize = kVersionInfoSize;
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)  // the version reported to this program is what is wanted
#endif
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(version));
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
}

ProductInfoFunction FindProductInfo() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) {
    return nullptr;
  }
  const FARPROC address = GetProcAddress(kernel, "GetProductInfo");
  // Through the generic function pointer type, which converts to any other
  // without a warning about incompatible function types.
  return reinterpret_cast<ProductInfoFunction>(reinterpret_cast<void (*)()>(address));
}

BOOL AsBoolean(BYTE flag) { return flag != 0 ? TRUE : FALSE; }

bool AskHpc(HpcTest isHpc, DWORD majorVersion, DWORD minorVersion) {
  return isHpc != nullptr && isHpc(majorVersion, minorVersion) != FALSE;
}

}  // namespace

void DecideWindowsEdition(DWORD majorVersion, DWORD minorVersion, DWORD productType,
                          HpcTest isHpc, WindowsEdition* edition) {
  memset(edition, 0, sizeof(*edition));
  const bool workstation = productType == kWorkstation;

  if (majorVersion == kMajorVersion5) {
    if (minorVersion == 0) {
      edition->isWindows2000 = 1;
    } else if (minorVersion == 1 || (minorVersion == 2 && workstation)) {
      edition->isWindowsXP = 1;
    } else if (minorVersion == 2) {
      edition->isWindowsServer2003 = 1;
    }
    return;
  }
  if (majorVersion != kMajorVersion6) {
    return;
  }
  if (minorVersion == 0) {
    if (workstation) {
      edition->isWindowsVista = 1;
    } else if (AskHpc(isHpc, majorVersion, minorVersion)) {
      edition->isWindowsHpcServer = 1;
    } else {
      edition->isWindowsServer2008 = 1;
    }
  } else if (minorVersion == 1) {
    if (workstation) {
      edition->isWindows7 = 1;
    } else if (AskHpc(isHpc, majorVersion, minorVersion)) {
      edition->isWindowsHpcServer = 1;
    } else {
      edition->isWindowsServer2008R2 = 1;
    }
  } else if (minorVersion == 2 && workstation) {
    edition->isWindows8 = 1;
  }
}

BOOL IsHpcMachineWith(ProductInfoFunction getProductInfo, DWORD majorVersion,
                      DWORD minorVersion) {
  DWORD productType = 0;  // PRODUCT_UNDEFINED unless the call supplies one
  if (getProductInfo != nullptr) {
    getProductInfo(majorVersion, minorVersion, /*dwSpMajorVersion=*/0, /*dwSpMinorVersion=*/0,
                   &productType);
  }
  if (productType == kHpcProductType) {
    return TRUE;
  }
  return HasSubkeyContaining(kMicrosoftKey, kHpcText, Is64BitProcessor());
}

BOOL IsHpcMachine(DWORD majorVersion, DWORD minorVersion) {
  return IsHpcMachineWith(FindProductInfo(), majorVersion, minorVersion);
}

void DetectWindowsEdition(WindowsEdition* edition) {
  OSVERSIONINFOEXW version;
  memset(edition, 0, sizeof(*edition));
  ReadVersion(&version);
  DecideWindowsEdition(version.dwMajorVersion, version.dwMinorVersion, version.wProductType,
                       IsHpcMachine, edition);
}

void GetWindowsEdition(WindowsEdition* edition) { DetectWindowsEdition(edition); }

BOOL IsWindows2000(const WindowsEdition* edition) { return AsBoolean(edition->isWindows2000); }
BOOL IsWindowsXP(const WindowsEdition* edition) { return AsBoolean(edition->isWindowsXP); }
BOOL IsWindowsServer2003(const WindowsEdition* edition) {
  return AsBoolean(edition->isWindowsServer2003);
}
BOOL IsWindowsVista(const WindowsEdition* edition) { return AsBoolean(edition->isWindowsVista); }
BOOL IsWindowsServer2008(const WindowsEdition* edition) {
  return AsBoolean(edition->isWindowsServer2008);
}
BOOL IsWindowsServer2008R2(const WindowsEdition* edition) {
  return AsBoolean(edition->isWindowsServer2008R2);
}
BOOL IsWindowsHpcServer(const WindowsEdition* edition) {
  return AsBoolean(edition->isWindowsHpcServer);
}
BOOL IsWindows7(const WindowsEdition* edition) { return AsBoolean(edition->isWindows7); }
BOOL IsWindows8(const WindowsEdition* edition) { return AsBoolean(edition->isWindows8); }

void GetServicePackText(wchar_t** text) {
  OSVERSIONINFOEXW version;
  ReadVersion(&version);
  // Bounded by the field, should the system leave it unterminated.
  size_t length = 0;
  while (length < ARRAYSIZE(version.szCSDVersion) && version.szCSDVersion[length] != L'\0') {
    ++length;
  }
  *text = new wchar_t[length + 1];
  memcpy(*text, version.szCSDVersion, length * sizeof(wchar_t));
  (*text)[length] = L'\0';
}

BOOL Is64BitProcessor() {
  wchar_t* identifier = nullptr;
  DWORD size = 0;
  DWORD length = 0;
  BOOL is64Bit = FALSE;

  size = GetEnvironmentVariableW(kProcessorIdentifier, nullptr, 0);
  if (size == 0) {
    goto Cleanup;
  }
  identifier = new wchar_t[size];
  identifier[0] = L'\0';
  length = GetEnvironmentVariableW(kProcessorIdentifier, identifier, size);
  if (length == 0 || length >= size) {
    goto Cleanup;  // gone or grown in between: the buffer holds nothing usable
  }
  for (const wchar_t* marker : kProcessor64Markers) {
    if (wcsstr(identifier, marker) != nullptr) {
      is64Bit = TRUE;
      break;
    }
  }

Cleanup:
  FreeAndClear(&identifier);
  return is64Bit;
}

BOOL HasSubkeyContaining(const wchar_t* keyPath, const wchar_t* text, BOOL use64BitView) {
  wchar_t* path = nullptr;
  wchar_t* upperText = nullptr;
  HKEY key = nullptr;
  DWORD disposition = 0;
  DWORD subkeyCount = 0;
  wchar_t name[kSubkeyNameCapacity];
  BOOL found = FALSE;

  path = JoinStrings(1, keyPath);
  const REGSAM view = use64BitView ? KEY_WOW64_64KEY : kDefaultView;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, /*Reserved=*/0, /*lpClass=*/nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | view,
                      /*lpSecurityAttributes=*/nullptr, &key, &disposition) != ERROR_SUCCESS) {
    key = nullptr;
    goto Cleanup;
  }
  // A key that had to be created holds nothing to match.
  if (disposition != REG_OPENED_EXISTING_KEY) {
    goto Cleanup;
  }
  RegQueryInfoKeyW(key, /*lpClass=*/nullptr, /*lpcchClass=*/nullptr, /*lpReserved=*/nullptr,
                   &subkeyCount, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  CloseKeyAndClear(&key);

  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, /*Reserved=*/0, /*lpClass=*/nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_ENUMERATE_SUB_KEYS | view,
                      /*lpSecurityAttributes=*/nullptr, &key, &disposition) != ERROR_SUCCESS) {
    key = nullptr;
    goto Cleanup;
  }
  upperText = new wchar_t[wcslen(text) + 1];
  ToUpperAscii(text, upperText);
  for (DWORD index = 0; index < subkeyCount; ++index) {
    DWORD nameLength = kSubkeyNameCapacity;
    if (RegEnumKeyExW(key, index, name, &nameLength, /*lpReserved=*/nullptr, /*lpClass=*/nullptr,
                      /*lpcchClass=*/nullptr, /*lpftLastWriteTime=*/nullptr) != ERROR_SUCCESS) {
      continue;
    }
    wchar_t* upperName = new wchar_t[nameLength + 1];
    ToUpperAscii(name, upperName);
    if (wcsstr(upperName, upperText) != nullptr) {
      found = TRUE;
    }
    FreeAndClear(&upperName);
  }

Cleanup:
  FreeAndClear(&upperText);
  CloseKeyAndClear(&key);
  FreeAndClear(&path);
  return found;
}
