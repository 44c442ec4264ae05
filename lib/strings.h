// Wide-string helpers, the bottom of the install utility library: they log
// nothing and rest on no other area. Wide strings are UTF-16, NUL-terminated,
// allocated with array new (sized in characters) and released with array
// delete, as a rule through FreeAndClear. Every size below counts characters,
// the terminator included.
#pragma once

#include <windows.h>

// Returns a new wide string holding the `count` wide strings that follow, one
// after the other; null arguments are skipped. A count of 0 gives a new empty
// string. The caller releases the result with FreeAndClear.
wchar_t* JoinStrings(UINT32 count, ...);

// Releases *text with array delete when it is not null and sets it to null.
void FreeAndClear(wchar_t** text);

// Copies `source` into `destination` (room for at least the source's length
// + 1 characters), upper-casing only the letters a to z.
void ToUpperAscii(const wchar_t* source, wchar_t* destination);

// Returns true when `c` is a bidirectional control: U+200E and U+200F (the
// marks), U+202A to U+202E (embeddings and overrides), U+2066 to U+2069
// (isolates). A text holding one may display as something other than it is.
bool IsBidirectionalControl(wchar_t c);
