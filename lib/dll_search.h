// Where the process looks for DLLs that are loaded by bare name. The programs
// run elevated from folders that others may be able to write to, so they take
// DLLs from the system folder only, before anything else can load one.
#pragma once

#include <windows.h>

// Makes every later load by bare name (LoadLibraryW, and load-time
// dependencies resolved from then on) search the system folder only, through
// SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), looked up in
// kernel32 at run time. Where that function is missing (systems without the
// search-path update) or refuses, falls back to SetDllDirectoryW(L""), which
// takes the current folder out of the search but leaves the program's own
// folder in it. DLLs already loaded stay loaded. Returns nonzero when either
// call took effect, 0 when neither did (the search is then as it was).
BOOL RestrictDllSearchToSystem();
