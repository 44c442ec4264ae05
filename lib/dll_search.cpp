#include "dll_search.h"

namespace {

constexpr wchar_t kKernelModule[] = L"kernel32.dll";
constexpr char kSetDefaultDllDirectories[] = "SetDefaultDllDirectories";
// An empty folder for SetDllDirectoryW: the current folder leaves the search.
constexpr wchar_t kNoExtraFolder[] = L"";

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD directoryFlags);

// Returns SetDefaultDllDirectories of the loaded kernel32, or null where the
// system lacks it. Nothing is loaded: kernel32 is in every process.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
  const HMODULE kernel = GetModuleHandleW(kKernelModule);
  if (kernel == nullptr) {
    return nullptr;
  }
  const FARPROC address = GetProcAddress(kernel, kSetDefaultDllDirectories);
  // Through the generic function pointer type, which converts to any other
  // without a warning about incompatible function types.
  return reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void (*)()>(address));
}

}  // namespace

BOOL RestrictDllSearchToSystem() {
  // The system folder alone: neither the program's folder nor the folders of
  // PATH, which the wider search flags would bring back.
  const SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
      FindSetDefaultDllDirectories();
  if (setDefaultDllDirectories != nullptr &&
      setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return TRUE;
  }
  return SetDllDirectoryW(kNoExtraFolder);
}
