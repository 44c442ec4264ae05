// Access: whether the caller acts as an administrator, which decides the
// Programs folder that the start-menu operations work in, and the one folder
// the library creates open to everyone.
#pragma once

#include <windows.h>

// Returns nonzero when the calling thread's token (or the process token when
// the thread has none) is granted access by an access check whose only entry
// allows the Administrators group; 0 otherwise and on any failure. A token in
// which the group is deny-only, as in a standard user's session, gives 0.
BOOL IsAdministrator();

// Creates one directory whose access list gives the Everyone group wide
// rights, inherited by sub-folders. Failures are ignored. Returns 0 always.
int CreateOpenDirectory(const wchar_t* path);
