// platform: prints the platform this program runs on, as the system reports
// it: "x64" for a 64-bit program (on 64-bit Windows), "wow64" for a 32-bit
// program under WOW64 on 64-bit Windows, "win32" for a 32-bit program on
// 32-bit Windows (IsWow64Process). Exits with 1 when the system gives no
// answer.
#include <windows.h>

#include "tool_output.h"

int main() {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
    return 1;
  }
  if (sizeof(void*) == sizeof(UINT64)) {
    PrintUtf8(wow64 ? L"unknown\n" : L"x64\n");
  } else {
    PrintUtf8(wow64 ? L"wow64\n" : L"win32\n");
  }
  return 0;
}
