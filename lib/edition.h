// Windows edition detection: which of nine known versions and editions, from
// Windows 2000 to Windows 8, the running system reports to this program, and
// three supporting queries (service-pack text, 64-bit processor, registry
// subkey names). No operation keeps state between calls or reports failures:
// a failed system call leads to no flag being set, or to the answer FALSE.
#pragma once

#include <windows.h>

// One flag per known version or edition, in this order and with no other
// field; a detection sets at most one of them to 1 and clears the others. The
// caller owns the record.
struct WindowsEdition {
  BYTE isWindows2000;          // 5.0
  BYTE isWindowsXP;            // 5.1, and 5.2 on a workstation (XP x64)
  BYTE isWindowsServer2003;    // 5.2, not a workstation
  BYTE isWindowsVista;         // 6.0, workstation
  BYTE isWindowsServer2008;    // 6.0, not a workstation, not HPC
  BYTE isWindowsServer2008R2;  // 6.1, not a workstation, not HPC
  BYTE isWindowsHpcServer;     // 6.0 or 6.1, not a workstation, HPC
  BYTE isWindows7;             // 6.1, workstation
  BYTE isWindows8;             // 6.2, workstation
};
static_assert(sizeof(WindowsEdition) == 9, "the edition record is nine one-byte flags");

// The product type that GetProductInfo reports for the high-performance-
// computing edition.
constexpr DWORD kHpcProductType = 0x12;  // PRODUCT_CLUSTER_SERVER

// Answers whether a server that reports version major.minor is HPC: TRUE or
// FALSE.
using HpcTest = BOOL (*)(DWORD majorVersion, DWORD minorVersion);

// GetProductInfo's shape: major and minor version, service-pack major and
// minor version, and where the product type goes.
using ProductInfoFunction = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, PDWORD);

// Fills the caller's record from the version that GetVersionExW reports:
// clears every flag, then sets the one that the version, the product type and,
// for servers of version 6.0 and 6.1, IsHpcMachine decide. Returns nothing.
// The two names are one operation.
void DetectWindowsEdition(WindowsEdition* edition);
void GetWindowsEdition(WindowsEdition* edition);

// The decision that DetectWindowsEdition makes once it has the version:
// clears every flag of `edition` and sets the one for major.minor and
// `productType` (VER_NT_WORKSTATION, 1, is a workstation; any other value is
// not). `isHpc` is called only for servers of version 6.0 and 6.1; a null
// `isHpc` counts as not HPC. Returns nothing.
void DecideWindowsEdition(DWORD majorVersion, DWORD minorVersion, DWORD productType,
                          HpcTest isHpc, WindowsEdition* edition);

// Returns TRUE when `getProductInfo` (skipped when null) reports
// kHpcProductType for major.minor with service pack 0.0, or else when a
// subkey of HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft has a name containing "HPC"
// in any letter case (in the 64-bit view on a 64-bit processor); FALSE
// otherwise. The registry key is created when it does not exist.
BOOL IsHpcMachineWith(ProductInfoFunction getProductInfo, DWORD majorVersion,
                      DWORD minorVersion);

// IsHpcMachineWith with kernel32's GetProductInfo, looked up at run time
// (skipped where the system lacks it). Returns TRUE or FALSE.
BOOL IsHpcMachine(DWORD majorVersion, DWORD minorVersion);

// Each returns the flag of the same name in `edition` as 1 or 0 (any nonzero
// byte counts as set). Run a detection first.
BOOL IsWindows2000(const WindowsEdition* edition);
BOOL IsWindowsXP(const WindowsEdition* edition);
BOOL IsWindowsServer2003(const WindowsEdition* edition);
BOOL IsWindowsVista(const WindowsEdition* edition);
BOOL IsWindowsServer2008(const WindowsEdition* edition);
BOOL IsWindowsServer2008R2(const WindowsEdition* edition);
BOOL IsWindowsHpcServer(const WindowsEdition* edition);
BOOL IsWindows7(const WindowsEdition* edition);
BOOL IsWindows8(const WindowsEdition* edition);

// Stores in *text a new wide string holding the service-pack text that
// GetVersionExW reports ("Service Pack 3", say), the empty string when there
// is none or the call fails. The caller releases it with FreeAndClear.
void GetServicePackText(wchar_t** text);

// Returns TRUE when the environment variable PROCESSOR_IDENTIFIER contains
// "EM64T", "AMD64" or "Intel64" (case-sensitively, anywhere); FALSE otherwise
// and when it is not set.
BOOL Is64BitProcessor();

// Returns TRUE when a subkey of HKEY_LOCAL_MACHINE\`keyPath` has a name that
// contains `text`, both upper-cased in the letters a to z only; FALSE when
// none does, when the key cannot be opened or read, and when it does not
// exist. A missing key is created, empty, when the caller may create keys
// there; nobody removes it. `use64BitView` looks in the 64-bit registry view;
// without it the search looks where a 32-bit program looks, in the 32-bit
// view of a 64-bit Windows, in the 64-bit build too.
BOOL HasSubkeyContaining(const wchar_t* keyPath, const wchar_t* text, BOOL use64BitView);
