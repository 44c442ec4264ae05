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

// Returns the character (code point) that begins at text[*at], a surrogate
// pair counting as one, and moves *at past it. A surrogate without its partner
// is returned as it is. `text` is NUL-terminated and text[*at] is not its end.
UINT32 NextCharacter(const wchar_t* text, size_t* at);

// Returns true when `c` makes a text show as something other than it is: a
// Unicode control character (general category Cc: U+0000 to U+001F, U+007F to
// U+009F) or format character (Cf, as of Unicode 15.1: the soft hyphen
// U+00AD, U+061C, the zero-width space U+200B, the bidirectional marks,
// embeddings, overrides and isolates, the word joiner U+2060, U+FEFF, the tag
// characters U+E0001 and U+E0020 to U+E007F, and the rest), except U+200C and
// U+200D (zero-width non-joiner and joiner), which words of some scripts need.
// The name rules refuse these, and the log writes them escaped.
bool IsDisguisingCharacter(UINT32 c);
