#include "language.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "install_layout.h"

namespace {

// The one place where the release number is typed; every name and path that
// carries it is built from GetReleaseNumber or GetReleaseTag.
constexpr wchar_t kReleaseNumber[] = L"182";
constexpr wchar_t kReleaseTagPrefix[] = L"v";
constexpr wchar_t kReleaseRootPrefix[] = L"KTL_ROOT";
constexpr wchar_t kDvdMarkerSuffix[] = L"-1.dvd";

constexpr wchar_t kAppDataVariable[] = L"APPDATA";
constexpr wchar_t kCompanyFolder[] = L"\\Velmora";
constexpr wchar_t kShippedSettingsFolder[] = L"\\commonfiles\\Language";
constexpr wchar_t kSettingsFileName[] = L"\\languagesettings.txt";
constexpr wchar_t kSettingLinePrefix[] = L"lang=";
constexpr wchar_t kBackslash[] = L"\\";

// Files are read and written in text mode. The word formats bound each read
// to its buffer: a width one below the buffer's capacity, and "%ls" so that
// every runtime library stores wide characters.
constexpr wchar_t kReadMode[] = L"r";
constexpr wchar_t kWriteMode[] = L"w";
constexpr wchar_t kTextFormat[] = L"%ls";
constexpr size_t kSettingWordCapacity = 50;
constexpr wchar_t kSettingWordFormat[] = L"%49ls";
constexpr size_t kMarkerWordCapacity = 10;
constexpr wchar_t kMarkerWordFormat[] = L"%9ls";

constexpr int kLanguageCount = 4;
const wchar_t* const kLanguageCodes[kLanguageCount] = {L"en-us", L"de", L"fr", L"ja"};

// The locales of each language, in their stored order.
constexpr LCID kEnglishLocales[] = {
    0x0409,  // en-US
    0x0809,  // en-GB
    0x0C09,  // en-AU
    0x2809,  // en-BZ
    0x1009,  // en-CA
    0x2409,  // en-029
    0x3C09,  // en-HK
    0x4009,  // en-IN
    0x3809,  // en-ID
    0x1809,  // en-IE
    0x2009,  // en-JM
    0x4409,  // en-MY
    0x1409,  // en-NZ
    0x3409,  // en-PH
    0x4809,  // en-SG
    0x1C09,  // en-ZA
    0x2C09,  // en-TT
    0x3009,  // en-ZW
};
constexpr LCID kGermanLocales[] = {
    0x0407,  // de-DE
    0x0C07,  // de-AT
    0x1407,  // de-LI
    0x1007,  // de-LU
    0x0807,  // de-CH
};
constexpr LCID kFrenchLocales[] = {
    0x040C,  // fr-FR
    0x080C,  // fr-BE
    0x2C0C,  // fr-CM
    0x0C0C,  // fr-CA
    0x240C,  // fr-CD
    0x300C,  // fr-CI
    0x3C0C,  // fr-HT
    0x140C,  // fr-LU
    0x340C,  // fr-ML
    0x180C,  // fr-MC
    0x380C,  // fr-MA
    0xE40C,  // fr-015
    0x200C,  // fr-RE
    0x280C,  // fr-SN
    0x100C,  // fr-CH
    0x1C0C,  // fr-029
};
constexpr LCID kJapaneseLocales[] = {
    0x0411,  // ja-JP
};

struct LocaleList {
  const LCID* lcids;
  size_t count;
  int language;
};

constexpr LocaleList kLocaleLists[] = {
    {kEnglishLocales, sizeof(kEnglishLocales) / sizeof(LCID), kLanguageEnglish},
    {kGermanLocales, sizeof(kGermanLocales) / sizeof(LCID), kLanguageGerman},
    {kFrenchLocales, sizeof(kFrenchLocales) / sizeof(LCID), kLanguageFrench},
    {kJapaneseLocales, sizeof(kJapaneseLocales) / sizeof(LCID), kLanguageJapanese},
};

// Compares whole values: an LCID with sort-order bits is a locale of its own.
bool ListHolds(const LocaleList& list, LCID lcid) {
  for (size_t i = 0; i < list.count; ++i) {
    if (list.lcids[i] == lcid) {
      return true;
    }
  }
  return false;
}

// Gives a buffer with room for the terminator the empty text.
void EmptyIfRoom(wchar_t* buffer, DWORD capacity) {
  if (buffer != nullptr && capacity >= 1) {
    buffer[0] = L'\0';
  }
}

// Copies `size` characters of `text` (its terminator included) when the
// buffer holds that many. Returns whether it did.
bool CopyIfRoom(const wchar_t* text, DWORD size, wchar_t* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity < size) {
    return false;
  }
  memcpy(buffer, text, size * sizeof(wchar_t));
  return true;
}

// Copy-or-size over `text`.
DWORD CopyOrSize(const wchar_t* text, wchar_t* buffer, DWORD capacity) {
  const DWORD size = static_cast<DWORD>(wcslen(text)) + 1;
  return CopyIfRoom(text, size, buffer, capacity) ? 0 : size;
}

// Returns a new wide string holding the text of a copy-or-size query, read by
// the two calls. The caller releases it with FreeAndClear.
wchar_t* CopyReleaseText(DWORD (*query)(wchar_t*, DWORD)) {
  const DWORD size = query(nullptr, 0);
  wchar_t* text = new wchar_t[size > 0 ? size : 1];
  text[0] = L'\0';
  query(text, size);
  return text;
}

// Returns a new wide string holding the code of language `index`, the empty
// text for an unknown index. The caller releases it with FreeAndClear.
wchar_t* CopyLanguageCode(int index) {
  const DWORD size = GetLanguageCode(index, nullptr, 0);
  wchar_t* code = new wchar_t[size > 0 ? size : 1];
  code[0] = L'\0';
  GetLanguageCode(index, code, size);
  return code;
}

// Returns a new wide string holding the value of the environment variable
// `name`, or null when it is unset or empty, also when it changed between
// the two calls. The caller releases it with FreeAndClear.
wchar_t* CopyEnvironmentValue(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, /*lpBuffer=*/nullptr, /*nSize=*/0);
  wchar_t* value = nullptr;
  if (size <= 1) {
    return nullptr;
  }
  value = new wchar_t[size];
  const DWORD length = GetEnvironmentVariableW(name, value, size);
  if (length == 0 || length >= size) {
    FreeAndClear(&value);
  }
  return value;
}

// Returns a new wide string holding the per-user settings file's path below
// `appData`, which the caller releases with FreeAndClear.
wchar_t* BuildPerUserSettingsPath(const wchar_t* appData, const wchar_t* releaseTag) {
  return JoinStrings(5, appData, kCompanyFolder, kBackslash, releaseTag, kSettingsFileName);
}

// Reads the first word of the file at `path` into `word` by `format`, whose
// width fits the word's buffer; the word stays empty when the file cannot be
// opened or holds no word.
void ReadFirstWord(const wchar_t* path, const wchar_t* format, wchar_t* word) {
  word[0] = L'\0';
  FILE* file = _wfopen(path, kReadMode);
  if (file == nullptr) {
    return;
  }
  if (fwscanf(file, format, word) != 1) {
    word[0] = L'\0';
  }
  fclose(file);
}

// Returns a new wide string holding the setting of the file at `path`, read
// by the two calls of ReadSettingValue, and stores its size in *size: 0 when
// the file yields no setting. Should the file change between the calls, the
// size is that of what was actually read. The caller releases the result
// with FreeAndClear.
wchar_t* ReadSettingTwice(const wchar_t* path, DWORD* size) {
  const DWORD first = ReadSettingValue(path, /*value=*/nullptr, /*capacity=*/0);
  wchar_t* setting = new wchar_t[first > 0 ? first : 1];
  setting[0] = L'\0';
  const DWORD second = ReadSettingValue(path, &setting, first);
  *size = second == 0 ? 0 : static_cast<DWORD>(wcslen(setting)) + 1;
  return setting;
}

}  // namespace

DWORD GetReleaseNumber(wchar_t* buffer, DWORD capacity) {
  wchar_t* number = JoinStrings(1, kReleaseNumber);
  const DWORD result = CopyOrSize(number, buffer, capacity);
  FreeAndClear(&number);
  return result;
}

DWORD GetReleaseTag(wchar_t* buffer, DWORD capacity) {
  wchar_t* tag = JoinStrings(2, kReleaseTagPrefix, kReleaseNumber);
  const DWORD result = CopyOrSize(tag, buffer, capacity);
  FreeAndClear(&tag);
  return result;
}

DWORD GetReleaseRootVariable(wchar_t* buffer, DWORD capacity) {
  wchar_t* number = nullptr;
  wchar_t* name = nullptr;
  DWORD result = 0;

  number = CopyReleaseText(GetReleaseNumber);
  name = JoinStrings(2, kReleaseRootPrefix, number);
  result = GetEnvironmentVariableW(name, /*lpBuffer=*/nullptr, /*nSize=*/0);
  if (result == 0 || buffer == nullptr || capacity < result) {
    goto Cleanup;
  }
  // The variable may have grown meanwhile: then the buffer holds nothing
  // useful and the size it now needs is the answer.
  result = GetEnvironmentVariableW(name, buffer, capacity);
  if (result < capacity) {
    result = 0;
  }

Cleanup:
  FreeAndClear(&name);
  FreeAndClear(&number);
  return result;
}

DWORD ReadDvdMarker(const wchar_t* directory, wchar_t* buffer, DWORD capacity) {
  wchar_t* number = CopyReleaseText(GetReleaseNumber);
  wchar_t* path = JoinStrings(4, directory, kBackslash, number, kDvdMarkerSuffix);
  wchar_t* word = new wchar_t[kMarkerWordCapacity];

  ReadFirstWord(path, kMarkerWordFormat, word);
  const DWORD result = CopyOrSize(word, buffer, capacity);

  FreeAndClear(&word);
  FreeAndClear(&path);
  FreeAndClear(&number);
  return result;
}

int LanguageIndexForLcid(LCID lcid) {
  for (const LocaleList& list : kLocaleLists) {
    if (ListHolds(list, lcid)) {
      return list.language;
    }
  }
  return kLanguageEnglish;
}

int GetLocaleLanguageIndex() {
  const LCID lcid = GetUserDefaultLCID();
  if (!IsValidLocale(lcid, LCID_INSTALLED)) {
    return kLanguageEnglish;
  }
  return LanguageIndexForLcid(lcid);
}

DWORD GetLanguageCode(int index, wchar_t* buffer, DWORD capacity) {
  EmptyIfRoom(buffer, capacity);
  if (index < 0 || index >= kLanguageCount) {
    return 0;
  }
  const wchar_t* code = kLanguageCodes[index];
  const DWORD size = static_cast<DWORD>(wcslen(code)) + 1;
  CopyIfRoom(code, size, buffer, capacity);
  return size;
}

DWORD ReadSettingValue(const wchar_t* path, wchar_t** value, DWORD capacity) {
  wchar_t* buffer = value != nullptr ? *value : nullptr;
  wchar_t* word = nullptr;
  const wchar_t* setting = nullptr;
  DWORD size = 0;

  EmptyIfRoom(buffer, capacity);
  word = new wchar_t[kSettingWordCapacity];
  ReadFirstWord(path, kSettingWordFormat, word);
  // Whatever stands before the first "=" is the key, and any key will do.
  setting = wcschr(word, L'=');
  if (setting == nullptr) {
    goto Cleanup;
  }
  ++setting;
  size = static_cast<DWORD>(wcslen(setting)) + 1;
  CopyIfRoom(setting, size, buffer, capacity);

Cleanup:
  FreeAndClear(&word);
  return size;
}

void WriteLanguageSetting(int index, BOOL write) {
  wchar_t* code = nullptr;
  wchar_t* line = nullptr;
  wchar_t* appData = nullptr;
  wchar_t* tag = nullptr;
  wchar_t* companyFolder = nullptr;
  wchar_t* releaseFolder = nullptr;
  wchar_t* path = nullptr;
  FILE* file = nullptr;

  code = CopyLanguageCode(index);
  if (!write) {
    goto Cleanup;
  }
  line = JoinStrings(2, kSettingLinePrefix, code);
  appData = CopyEnvironmentValue(kAppDataVariable);
  if (appData == nullptr) {
    goto Cleanup;
  }
  tag = CopyReleaseText(GetReleaseTag);
  companyFolder = JoinStrings(2, appData, kCompanyFolder);
  releaseFolder = JoinStrings(3, companyFolder, kBackslash, tag);
  path = BuildPerUserSettingsPath(appData, tag);

  // One level at a time; a level that cannot be made shows in the open below.
  EnsureDirectory(appData);
  EnsureDirectory(companyFolder);
  EnsureDirectory(releaseFolder);
  file = _wfopen(path, kWriteMode);
  if (file == nullptr) {
    goto Cleanup;
  }
  fwprintf(file, kTextFormat, line);
  fclose(file);

Cleanup:
  FreeAndClear(&path);
  FreeAndClear(&releaseFolder);
  FreeAndClear(&companyFolder);
  FreeAndClear(&tag);
  FreeAndClear(&appData);
  FreeAndClear(&line);
  FreeAndClear(&code);
}

int ResolveLanguageCode(const wchar_t* code, BOOL write) {
  for (int index = 0; code != nullptr && index < kLanguageCount; ++index) {
    if (wcscmp(code, kLanguageCodes[index]) == 0) {
      return index;
    }
  }
  const int localeIndex = GetLocaleLanguageIndex();
  WriteLanguageSetting(localeIndex, write);
  return localeIndex;
}

DWORD FindLanguageSetting(const wchar_t* installRoot, wchar_t** value, DWORD capacity) {
  wchar_t* buffer = value != nullptr ? *value : nullptr;
  wchar_t* appData = nullptr;
  wchar_t* tag = nullptr;
  wchar_t* perUserPath = nullptr;
  wchar_t* shippedPath = nullptr;
  wchar_t* setting = nullptr;
  const wchar_t* source = nullptr;
  DWORD size = 0;
  DWORD result = 0;

  EmptyIfRoom(buffer, capacity);
  appData = CopyEnvironmentValue(kAppDataVariable);
  tag = CopyReleaseText(GetReleaseTag);
  if (appData != nullptr) {
    perUserPath = BuildPerUserSettingsPath(appData, tag);
  }
  if (installRoot != nullptr) {
    shippedPath = JoinStrings(3, installRoot, kShippedSettingsFolder, kSettingsFileName);
  }

  // The per-user file, once it exists, decides alone, whatever it holds.
  if (perUserPath != nullptr && PathExists(perUserPath)) {
    source = perUserPath;
  } else if (shippedPath != nullptr && PathExists(shippedPath)) {
    source = shippedPath;
  }
  if (source != nullptr) {
    setting = ReadSettingTwice(source, &size);
  } else {
    setting = CopyLanguageCode(GetLocaleLanguageIndex());
    size = static_cast<DWORD>(wcslen(setting)) + 1;
  }
  // A file without a setting answers 0; the buffer, if it has room, already
  // holds the empty text.
  if (size > 0 && !CopyIfRoom(setting, size, buffer, capacity)) {
    result = size;
  }

  FreeAndClear(&setting);
  FreeAndClear(&shippedPath);
  FreeAndClear(&perUserPath);
  FreeAndClear(&tag);
  FreeAndClear(&appData);
  return result;
}

int GetLanguage(BOOL write, const wchar_t* installRoot) {
  const DWORD size = FindLanguageSetting(installRoot, /*value=*/nullptr, /*capacity=*/0);
  wchar_t* code = new wchar_t[size > 0 ? size : 1];
  code[0] = L'\0';
  // Should the setting have grown since, nothing is copied and the empty
  // code stands, which resolves like any unknown one.
  FindLanguageSetting(installRoot, &code, size);
  const int index = ResolveLanguageCode(code, write);
  FreeAndClear(&code);
  return index;
}
