// The programs' entry point in the MinGW build, in place of the runtime's
// start-up code, which takes more room than the programs' own work and does
// nothing they need: it runs static constructors, thread-local data callbacks
// and pseudo-relocations, and builds an argument vector. The programs have no
// static constructors (every global is constant-initialised) and no
// thread-local data; the link refuses auto-imported data, which nothing would
// relocate; msvcrt.dll sets itself up when it is loaded. The MSVC build keeps
// its runtime's own start-up.
#include <windows.h>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Returns what follows the program's name and the blanks after it in
// `commandLine`, as WinMain receives it: the name ends at the first blank
// outside double quotes.
LPSTR SkipProgramName(LPSTR commandLine) {
  bool quoted = false;
  LPSTR c = commandLine;
  for (; *c != '\0' && (quoted || !IsBlank(*c)); ++c) {
    if (*c == '"') {
      quoted = !quoted;
    }
  }
  while (IsBlank(*c)) {
    ++c;
  }
  return c;
}

}  // namespace

// Named to the linker with --entry; never returns.
extern "C" void ProgramStart() {
  STARTUPINFOW startup;
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const int showCommand =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
  const int exitCode = WinMain(GetModuleHandleW(/*lpModuleName=*/nullptr),
                               /*hPrevInstance=*/nullptr, SkipProgramName(GetCommandLineA()),
                               showCommand);
  ExitProcess(static_cast<UINT>(exitCode));
}
