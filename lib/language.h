// Release number and language settings: what the library knows about the
// release it belongs to, and how it settles the user's interface language
// for the suite's tools.
//
// The language is one of four, by index: 0 English ("en-us"), 1 German
// ("de"), 2 French ("fr"), 3 Japanese ("ja"). It is taken, first found wins,
// from the per-user settings file
//   %APPDATA%\Velmora\<release tag>\languagesettings.txt,
// from the shipped settings file
//   <install root>\commonfiles\Language\languagesettings.txt,
// and finally from the user's default locale. A settings file is read as its
// first whitespace-delimited word, at most 49 characters long; the setting is
// what follows the first "=" in it. The per-user file is written as "lang="
// and the code, with no line end. When APPDATA is unset or empty there is no
// per-user file: it is neither read nor written.
//
// Sizes count characters, the terminator included. Two conventions:
// - copy-or-size: when the capacity is at least the size needed, the value is
//   copied and the result is 0; otherwise nothing is copied and the result is
//   the size needed;
// - always-size: the result is the size needed in every case, and the value
//   is copied only when the capacity suffices.
// A null buffer asks for the size only, whatever the capacity says. Nothing
// is ever written past the capacity. Nothing is kept between calls.
#pragma once

#include <windows.h>

constexpr int kLanguageEnglish = 0;
constexpr int kLanguageGerman = 1;
constexpr int kLanguageFrench = 2;
constexpr int kLanguageJapanese = 3;

// Copy-or-size over the release number, "182": 0 or 4.
DWORD GetReleaseNumber(wchar_t* buffer, DWORD capacity);

// Copy-or-size over the release tag, "v" and the release number: 0 or 5.
DWORD GetReleaseTag(wchar_t* buffer, DWORD capacity);

// Copy-or-size over the value of the release-root environment variable,
// "KTL_ROOT" and the release number. An unset variable gives 0 on both calls
// and leaves the buffer as it was: a caller that must tell it from a set one
// empties its buffer before the second call.
DWORD GetReleaseRootVariable(wchar_t* buffer, DWORD capacity);

// Copy-or-size over the first word of the release's marker file in
// `directory` (<directory>\<release number>-1.dvd), cut to 9 characters. A
// missing, empty or unreadable file gives the empty word, size 1.
DWORD ReadDvdMarker(const wchar_t* directory, wchar_t* buffer, DWORD capacity);

// Returns the language index of `lcid` by the four locale lists, comparing
// whole 32-bit values (sort-order bits included); 0 for an LCID in none.
int LanguageIndexForLcid(LCID lcid);

// Returns the language index of the user's default locale: 0 when the
// system does not report that locale as installed, otherwise as
// LanguageIndexForLcid.
int GetLocaleLanguageIndex();

// Always-size over the code of language `index`: 6 for index 0, 3 for 1 to
// 3, 0 for any other index. A buffer with room for at least the terminator
// first receives the empty text, so an unknown index leaves it empty.
DWORD GetLanguageCode(int index, wchar_t* buffer, DWORD capacity);

// Always-size over the setting in the file at `path`: the part of its first
// word after the first "=". Returns the setting's size ("lang=" alone gives
// 1), or 0 when the file yields no setting (missing, unreadable, empty, or a
// word without "="). `value` is the address of the caller's buffer pointer,
// or null to ask for the size; a buffer with room for the terminator first
// receives the empty text. The caller keeps ownership of its buffer.
DWORD ReadSettingValue(const wchar_t* path, wchar_t** value, DWORD capacity);

// With `write` set, stores "lang=" and the code of language `index` in the
// per-user settings file, creating its two folders below APPDATA (and
// APPDATA itself) where missing; an unknown index stores "lang=" alone.
// Without `write`, or without APPDATA, nothing happens. Failures leave the
// setting unstored, silently.
void WriteLanguageSetting(int index, BOOL write);

// Returns the index of `code` when it is one of the four codes exactly (case
// counts). Otherwise returns GetLocaleLanguageIndex and, with `write` set,
// stores that language as WriteLanguageSetting does. A null code counts as
// unknown.
int ResolveLanguageCode(const wchar_t* code, BOOL write);

// Copy-or-size over the language setting that applies under `installRoot`:
// that of the per-user file when it exists, else that of the shipped file
// when it exists (either may be the empty text, see ReadSettingValue), else
// the code of the locale's language. An existing file that yields no setting
// answers 0, with the caller's buffer, when it has room, holding the empty
// text. `value` is the address of the caller's buffer pointer, or null to ask
// for the size; a buffer with room for the terminator first receives the
// empty text. The caller keeps ownership of its buffer.
DWORD FindLanguageSetting(const wchar_t* installRoot, wchar_t** value, DWORD capacity);

// Returns the language index that applies under `installRoot`: the setting
// found by FindLanguageSetting, resolved by ResolveLanguageCode with `write`.
int GetLanguage(BOOL write, const wchar_t* installRoot);
