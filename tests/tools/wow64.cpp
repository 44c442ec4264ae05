// wow64: prints 1 when this 32-bit program runs under WOW64, on a 64-bit
// Windows, and 0 on a 32-bit Windows, as IsWow64Process answers. Exits with 1
// when the system gives no answer.
#include <windows.h>

#include "tool_output.h"

int main() {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
    return 1;
  }
  PrintUtf8(wow64 ? L"1\n" : L"0\n");
  return 0;
}
