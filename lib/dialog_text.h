// Message boxes and dialog text: the operations that put text in front of the
// user. No state is kept between calls; every buffer an operation allocates
// for itself is released before it returns.
//
// UTF-8 string resources: an entry of a module's string table, numbered base
// identifier + offset, whose UTF-16 units are the code page 1252 (Windows
// Latin 1) characters for the bytes of the UTF-8 encoding of the actual text.
// A stored string of ASCII characters only is its own text.
#pragma once

#include <windows.h>

// Caption of the information box.
constexpr wchar_t kInformationCaption[] = L"INFORMATION";

// Capacity, in UTF-16 units, of the buffer that a string resource is loaded
// into; a longer string is cut to one unit less.
constexpr int kStringResourceCapacity = 4160;

// Shows `text` in a top-most, foreground information box with an OK button,
// owned by no window, and blocks until the user closes it. Returns what
// MessageBoxW returns: IDOK (1) once closed, 0 when the box can't be shown.
int ShowInformation(const wchar_t* text);

// Shows the system's text for the Win32 error `errorCode`, in the user's
// default language and unchanged, with ShowInformation; for a code the system
// has no text for, "Unknown error 0x" and the code in eight hexadecimal
// digits. Blocks until the box is closed. Returns nothing.
void ShowSystemError(DWORD errorCode);

// Sets the text of the item `itemId` of `dialog` to `text`; `ignored` is not
// used. Returns the result of SetWindowTextW: nonzero on success, 0 when the
// dialog has no such item or the text can't be set.
BOOL SetItemText(const wchar_t* text, int ignored, HWND dialog, int itemId);

// Loads the UTF-8 string resource baseId + offset of `module` and decodes it
// into `buffer`, whose room is `capacity` UTF-16 units; with capacity 0 (and,
// as a rule, a null buffer) it only counts. A missing string is the empty
// text; a stored string longer than kStringResourceCapacity - 1 units is cut
// to that length first. Returns the units of the text, terminator included, plus one, for a
// count and for a fill alike: 2 for the empty text. Returns 1 when the text
// doesn't fit in `capacity`; the buffer then holds the empty text.
int LoadUtf8String(int baseId, HINSTANCE module, int offset, wchar_t* buffer, int capacity);

// Set the text of the item `itemId` of `dialog`, or of `window` itself, to the
// text that LoadUtf8String returns for baseId + offset of `module` (the empty
// text when the string is missing). Return nothing.
void SetItemTextFromResource(int baseId, HINSTANCE module, HWND dialog, int itemId, int offset);
void SetWindowTextFromResource(int baseId, HINSTANCE module, HWND window, int offset);
