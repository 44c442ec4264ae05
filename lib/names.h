// Name rules: which names may stand as one part of a path in the start menu.
// Names come from relinfo.xml, which anybody who can write the installation
// can change, and the programs may run elevated: a name must mean, on disk and
// on screen, exactly what it reads as. Strings follow the rules of strings.h.
#pragma once

#include <windows.h>

// Returns TRUE when `name` can stand as one name in a path as it is: no
// separator or other character that the file system reserves
// (\ / : * ? " < > |), no character that makes a text show as something else
// (IsDisguisingCharacter in strings.h: control characters, the zero-width
// space, the bidirectional controls and the other format characters, except
// the zero-width non-joiner and joiner), and no trailing dot or blank, which
// the file system drops. The empty name passes.
BOOL IsPlainNamePart(const wchar_t* name);

// What the log says of a name part that IsPlainNamePart refuses.
constexpr char kPlainNamePartRule[] =
    "holds a separator, a reserved, control or format character, or ends in a dot or a blank";

// Returns TRUE when `name` is one that Windows reserves for a device (CON,
// PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, also with the superscript digits
// 1 to 3, CONIN$, CONOUT$), in any case, with or without an extension and
// with blanks before it ("AUX.txt", "nul .x").
BOOL IsDeviceName(const wchar_t* name);

// Returns a new wide string holding the first part of `folderName` (split at
// either separator; empty parts, from separators in a row, are skipped) that
// is not a plain name part or is a device name, or null when every part
// passes. The caller releases it with FreeAndClear.
wchar_t* CopyRefusedFolderPart(const wchar_t* folderName);
