#include "language.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "install_layout.h"
#include "test_support.h"

namespace {

std::string CodeOf(int index) {
  const char* codes[] = {"en-us", "de", "fr", "ja"};
  return codes[index];
}

// A user profile and an install root inside a scratch folder, with APPDATA
// pointing at the profile's roaming folder (which does not exist yet).
struct LanguageProfile {
  LanguageProfile()
      : scratch(L"language"),
        appData(scratch / L"Roaming"),
        root(scratch / L"root"),
        perUser(appData + L"\\Velmora\\v182\\languagesettings.txt"),
        shipped(root + L"\\commonfiles\\Language\\languagesettings.txt"),
        appDataVariable(L"APPDATA", appData.c_str()) {
    CreateDirectoryW(root.c_str(), nullptr);
  }
  void WritePerUser(const std::string& bytes) const {
    CreateDirectoryTree((appData + L"\\Velmora\\v182").c_str());
    WriteBytes(perUser, bytes);
  }
  void WriteShipped(const std::string& bytes) const {
    CreateDirectoryTree((root + L"\\commonfiles\\Language").c_str());
    WriteBytes(shipped, bytes);
  }
  ScratchFolder scratch;
  std::wstring appData;
  std::wstring root;
  std::wstring perUser;
  std::wstring shipped;
  ScopedEnvironmentVariable appDataVariable;
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// --- Release constants ----------------------------------------------------

TEST(Release, NumberAndTagFollowTheCopyOrSizeConvention) {
  const struct {
    DWORD (*query)(wchar_t*, DWORD);
    DWORD size;
    const wchar_t* text;
  } cases[] = {{GetReleaseNumber, 4, L"182"}, {GetReleaseTag, 5, L"v182"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.query(nullptr, 0), c.size) << c.text;
    EXPECT_EQ(c.query(nullptr, 100), c.size) << c.text;  // no buffer: a size query
    GuardedBuffer shorter(c.size - 1);
    EXPECT_EQ(c.query(shorter.data(), c.size - 1), c.size) << c.text;
    EXPECT_TRUE(shorter.untouched()) << c.text;
    GuardedBuffer exact(c.size);
    EXPECT_EQ(c.query(exact.data(), c.size), 0u) << c.text;
    EXPECT_EQ(exact.text(), c.text);
    EXPECT_TRUE(exact.guardIntact()) << c.text;
  }
}

TEST(Release, RootVariableIsReadByTheTwoCalls) {
  {
    ScopedEnvironmentVariable unset(L"KTL_ROOT182", nullptr);
    EXPECT_EQ(GetReleaseRootVariable(nullptr, 0), 0u);
    GuardedBuffer buffer(8);
    EXPECT_EQ(GetReleaseRootVariable(buffer.data(), 8), 0u);
    EXPECT_TRUE(buffer.untouched());  // an unset variable writes nothing
  }
  ScopedEnvironmentVariable set(L"KTL_ROOT182", L"D:\\Suite");
  EXPECT_EQ(GetReleaseRootVariable(nullptr, 0), 9u);
  GuardedBuffer shorter(8);
  EXPECT_EQ(GetReleaseRootVariable(shorter.data(), 8), 9u);
  EXPECT_TRUE(shorter.untouched());
  GuardedBuffer exact(9);
  EXPECT_EQ(GetReleaseRootVariable(exact.data(), 9), 0u);
  EXPECT_EQ(exact.text(), L"D:\\Suite");
  EXPECT_TRUE(exact.guardIntact());
}

TEST(Release, DvdMarkerGivesTheFirstWordCutToNineCharacters) {
  const struct {
    const char* content;  // null: no marker file
    DWORD size;
    const wchar_t* word;
  } cases[] = {
      {nullptr, 1, L""},
      {"", 1, L""},
      {" \r\n\t \n", 1, L""},
      {"DISC2", 6, L"DISC2"},
      {"\r\n\r\n  DISC1 DISC2\nmore", 6, L"DISC1"},
      {"123456789", 10, L"123456789"},
      {"1234567890ABCDEF second", 10, L"123456789"},
  };
  ScratchFolder scratch(L"marker");
  const std::wstring marker = scratch / L"182-1.dvd";
  // Another release's marker is not read.
  WriteBytes(scratch / L"181-1.dvd", "OTHER");
  for (const auto& c : cases) {
    const std::string label = c.content != nullptr ? c.content : "(no file)";
    if (c.content != nullptr) {
      WriteBytes(marker, c.content);
    } else {
      DeleteFileW(marker.c_str());
    }
    EXPECT_EQ(ReadDvdMarker(scratch.path().c_str(), nullptr, 0), c.size) << label;
    GuardedBuffer shorter(c.size - 1);
    EXPECT_EQ(ReadDvdMarker(scratch.path().c_str(), shorter.data(), c.size - 1), c.size) << label;
    EXPECT_TRUE(shorter.guardIntact()) << label;
    GuardedBuffer exact(c.size);
    EXPECT_EQ(ReadDvdMarker(scratch.path().c_str(), exact.data(), c.size), 0u) << label;
    EXPECT_EQ(exact.text(), c.word) << label;
    EXPECT_TRUE(exact.guardIntact()) << label;
  }
}

// --- Language codes and locales --------------------------------------------

TEST(LanguageCode, AnswersTheSizeWhetherCopiedOrNot) {
  const struct {
    int index;
    DWORD capacity;  // 0: no buffer
    DWORD result;
    const wchar_t* text;
  } cases[] = {
      {0, 0, 6, nullptr},  {0, 5, 6, L""},    {0, 6, 6, L"en-us"}, {1, 0, 3, nullptr},
      {1, 2, 3, L""},      {1, 3, 3, L"de"},  {2, 0, 3, nullptr},  {2, 3, 3, L"fr"},
      {3, 9, 3, L"ja"},    {7, 10, 0, L""},   {-1, 4, 0, L""},     {4, 1, 0, L""},
      {7, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    GuardedBuffer buffer(c.capacity);
    wchar_t* data = c.capacity > 0 ? buffer.data() : nullptr;
    EXPECT_EQ(GetLanguageCode(c.index, data, c.capacity), c.result) << c.index << "/" << c.capacity;
    if (c.text != nullptr) {
      EXPECT_EQ(buffer.text(), c.text) << c.index << "/" << c.capacity;
    }
    EXPECT_TRUE(buffer.guardIntact()) << c.index << "/" << c.capacity;
  }
}

TEST(LocaleLanguage, EveryListedLocaleGivesItsLanguage) {
  const std::vector<std::vector<LCID>> lists = {
      {0x0409, 0x0809, 0x0C09, 0x2809, 0x1009, 0x2409, 0x3C09, 0x4009, 0x3809, 0x1809, 0x2009,
       0x4409, 0x1409, 0x3409, 0x4809, 0x1C09, 0x2C09, 0x3009},
      {0x0407, 0x0C07, 0x1407, 0x1007, 0x0807},
      {0x040C, 0x080C, 0x2C0C, 0x0C0C, 0x240C, 0x300C, 0x3C0C, 0x140C, 0x340C, 0x180C, 0x380C,
       0xE40C, 0x200C, 0x280C, 0x100C, 0x1C0C},
      {0x0411},
  };
  for (size_t language = 0; language < lists.size(); ++language) {
    for (const LCID lcid : lists[language]) {
      EXPECT_EQ(LanguageIndexForLcid(lcid), static_cast<int>(language)) << std::hex << lcid;
    }
  }
}

TEST(LocaleLanguage, LocalesOutsideTheListsGiveEnglish) {
  const LCID outside[] = {
      0x10407,  // German (Germany), phone-book sort order
      0x20C0C,  0x10411, 0x0007, 0x000C, 0x0011, 0x0009, 0x0410, 0x0412,
      0x0804,   0x0C04,  0x0401, 0x0000, 0x0400, 0x0800, 0xFFFFFFFF,
  };
  for (const LCID lcid : outside) {
    EXPECT_EQ(LanguageIndexForLcid(lcid), kLanguageEnglish) << std::hex << lcid;
  }
}

// --- Settings files --------------------------------------------------------

TEST(SettingsFile, ValueIsWhatFollowsTheFirstEqualsSignOfTheFirstWord) {
  const std::string longWord = "lang=" + std::string(60, 'x');  // 65 characters
  const struct {
    std::string content;
    DWORD size;
    const wchar_t* value;
  } cases[] = {
      {"lang=de", 3, L"de"},
      {"lang=en-us\r\n", 6, L"en-us"},
      {"lang=", 1, L""},
      {"language=ja", 3, L"ja"},
      {"=fr", 3, L"fr"},
      {"\r\n\r\n \t lang=de lang=fr\nmore words", 3, L"de"},
      {"lang = de", 0, L""},
      {"lang=de=x", 5, L"de=x"},
      {"lang=FR", 3, L"FR"},
      {"no-key-at-all", 0, L""},
      {"", 0, L""},
      {"\r\n  \n", 0, L""},
      // the word is cut to its first 49 characters, and the rest ignored
      {longWord, 45, nullptr},
      {std::string(49, 'a') + "=de", 0, L""},
      {std::string(48, 'a') + "=de", 1, L""},
  };
  ScratchFolder scratch(L"setting");
  const std::wstring path = scratch / L"languagesettings.txt";
  for (const auto& c : cases) {
    WriteBytes(path, c.content);
    const std::wstring expected = c.value != nullptr ? c.value : std::wstring(44, L'x');
    EXPECT_EQ(ReadSettingValue(path.c_str(), nullptr, 0), c.size) << c.content;
    const DWORD capacity = c.size > 0 ? c.size : 1;
    GuardedBuffer exact(capacity);
    wchar_t* data = exact.data();
    EXPECT_EQ(ReadSettingValue(path.c_str(), &data, capacity), c.size) << c.content;
    EXPECT_EQ(exact.text(), expected) << c.content;
    EXPECT_TRUE(exact.guardIntact()) << c.content;
    if (c.size > 1) {
      // too small: emptied, not filled, and the size still answered
      GuardedBuffer shorter(c.size - 1);
      data = shorter.data();
      EXPECT_EQ(ReadSettingValue(path.c_str(), &data, c.size - 1), c.size) << c.content;
      EXPECT_EQ(shorter.text(), L"") << c.content;
      EXPECT_TRUE(shorter.guardIntact()) << c.content;
    }
  }
  WriteBytes(path, "lang=de");
  GuardedBuffer untouched(0);
  wchar_t* data = untouched.data();
  EXPECT_EQ(ReadSettingValue(path.c_str(), &data, 0), 3u);
  EXPECT_TRUE(untouched.guardIntact());  // capacity 0: not even a terminator
  EXPECT_EQ(ReadSettingValue((scratch / L"missing.txt").c_str(), nullptr, 0), 0u);
}

TEST(SettingsFile, WritesLangAndTheCodeWithTheFoldersOnlyWhenAsked) {
  const struct {
    int index;
    const char* bytes;
  } cases[] = {{3, "lang=ja"}, {0, "lang=en-us"}, {1, "lang=de"}, {2, "lang=fr"}, {9, "lang="}};
  for (const auto& c : cases) {
    LanguageProfile profile;
    WriteLanguageSetting(c.index, FALSE);
    EXPECT_FALSE(FolderExists(profile.appData)) << c.index;
    WriteLanguageSetting(c.index, TRUE);
    EXPECT_TRUE(FolderExists(profile.appData + L"\\Velmora\\v182")) << c.index;
    ASSERT_TRUE(FileExists(profile.perUser)) << c.index;
    EXPECT_EQ(ReadBytes(profile.perUser), c.bytes) << c.index;
  }
  // An existing, longer setting is replaced whole.
  LanguageProfile profile;
  profile.WritePerUser("lang=en-us\r\nsecond line");
  WriteLanguageSetting(1, TRUE);
  EXPECT_EQ(ReadBytes(profile.perUser), "lang=de");
  WriteLanguageSetting(2, FALSE);
  EXPECT_EQ(ReadBytes(profile.perUser), "lang=de");
}

// --- Finding and resolving the language --------------------------------------

const std::string kAbsent = "(no file)";

// The cases are set relative to the locale's own language, so that a file's
// setting and the locale default are always told apart.
TEST(Language, PerUserFileThenShippedFileThenLocale) {
  const int locale = GetLocaleLanguageIndex();
  const int first = (locale + 1) % 4;
  const int second = (locale + 2) % 4;
  const std::string firstCode = CodeOf(first);
  const std::string secondCode = CodeOf(second);
  const std::string written = "lang=" + CodeOf(locale);
  const struct {
    const char* label;
    std::string perUser;
    std::string shipped;
    int language;
    bool writes;  // the per-user file receives the locale's language
  } cases[] = {
      {"per-user file first", "lang=" + firstCode, "lang=" + secondCode, first, false},
      {"shipped file alone", kAbsent, "lang=" + secondCode, second, false},
      {"no file: the locale, nothing written", kAbsent, kAbsent, locale, false},
      {"upper-case code", "lang=" + Upper(firstCode), "lang=" + secondCode, locale, true},
      {"empty per-user file hides the shipped one", "", "lang=" + secondCode, locale, true},
      {"any key", "language=" + firstCode, kAbsent, first, false},
      {"blank lines, then the first word only",
       "\r\n\r\n\n lang=" + firstCode + " lang=" + secondCode + "\nmore", kAbsent, first, false},
      {"spaces around the equals sign", "lang = " + firstCode, "lang=" + secondCode, locale, true},
      {"a second equals sign", "lang=" + firstCode + "=x", kAbsent, locale, true},
      {"word longer than 49 characters", "lang=" + firstCode + std::string(50, 'y'), kAbsent,
       locale, true},
      {"unknown shipped code is stored per user", kAbsent, "lang=xx", locale, true},
      {"empty shipped setting", kAbsent, "lang=", locale, true},
  };
  for (const auto& c : cases) {
    LanguageProfile profile;
    if (c.perUser != kAbsent) profile.WritePerUser(c.perUser);
    if (c.shipped != kAbsent) profile.WriteShipped(c.shipped);

    EXPECT_EQ(GetLanguage(FALSE, profile.root.c_str()), c.language) << c.label;
    EXPECT_EQ(FileExists(profile.perUser), c.perUser != kAbsent) << c.label;
    if (c.perUser != kAbsent) {
      EXPECT_EQ(ReadBytes(profile.perUser), c.perUser) << c.label;
    }

    EXPECT_EQ(GetLanguage(TRUE, profile.root.c_str()), c.language) << c.label;
    if (c.writes) {
      ASSERT_TRUE(FileExists(profile.perUser)) << c.label;
      EXPECT_EQ(ReadBytes(profile.perUser), written) << c.label;
      // From now on the stored setting decides.
      EXPECT_EQ(GetLanguage(FALSE, profile.root.c_str()), locale) << c.label;
    } else if (c.perUser == kAbsent) {
      EXPECT_FALSE(FileExists(profile.perUser)) << c.label;
    } else {
      EXPECT_EQ(ReadBytes(profile.perUser), c.perUser) << c.label;
    }
    if (c.shipped != kAbsent) {
      EXPECT_EQ(ReadBytes(profile.shipped), c.shipped) << c.label;
    }
  }
}

TEST(Language, FindLanguageSettingUsesTheCopyOrSizeConvention) {
  const std::wstring localeCode = Utf8ToWide(CodeOf(GetLocaleLanguageIndex()));
  const DWORD localeSize = static_cast<DWORD>(localeCode.size()) + 1;
  const struct {
    const char* perUser;  // null: no file
    DWORD size;
    const wchar_t* value;
  } cases[] = {
      {"lang=fr", 3, L"fr"},
      {"lang=en-us", 6, L"en-us"},
      {"lang=Unknown", 8, L"Unknown"},
      {"lang=", 1, L""},
      {"", 0, L""},           // a file without a setting: the empty code, answer 0
      {"no-equals", 0, L""},  // likewise
      {nullptr, localeSize, localeCode.c_str()},
  };
  for (const auto& c : cases) {
    const std::string label = c.perUser != nullptr ? c.perUser : "(no file)";
    LanguageProfile profile;
    if (c.perUser != nullptr) profile.WritePerUser(c.perUser);
    const wchar_t* root = profile.root.c_str();
    EXPECT_EQ(FindLanguageSetting(root, nullptr, 0), c.size) << label;

    GuardedBuffer exact(c.size > 0 ? c.size : 1);
    wchar_t* data = exact.data();
    EXPECT_EQ(FindLanguageSetting(root, &data, exact.capacity()), 0u) << label;
    EXPECT_EQ(exact.text(), c.value) << label;
    EXPECT_TRUE(exact.guardIntact()) << label;

    // No room: nothing at all is written, not even a terminator.
    GuardedBuffer none(0);
    data = none.data();
    EXPECT_EQ(FindLanguageSetting(root, &data, 0), c.size) << label;
    EXPECT_TRUE(none.guardIntact()) << label;

    if (c.size > 1) {
      GuardedBuffer shorter(c.size - 1);
      data = shorter.data();
      EXPECT_EQ(FindLanguageSetting(root, &data, c.size - 1), c.size) << label;
      EXPECT_EQ(shorter.text(), L"") << label;
      EXPECT_TRUE(shorter.guardIntact()) << label;
    }
  }
}

TEST(Language, KnownCodesResolveWithoutWriting) {
  LanguageProfile profile;
  const struct {
    const wchar_t* code;
    int index;
  } cases[] = {{L"en-us", 0}, {L"de", 1}, {L"fr", 2}, {L"ja", 3}};
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveLanguageCode(c.code, TRUE), c.index) << c.code;
  }
  EXPECT_FALSE(FolderExists(profile.appData));

  const int locale = GetLocaleLanguageIndex();
  const wchar_t* unknown[] = {L"EN-US", L"De", L"en", L"fr ", L"", L"de=x"};
  for (const wchar_t* code : unknown) {
    EXPECT_EQ(ResolveLanguageCode(code, FALSE), locale) << code;
  }
  EXPECT_EQ(ResolveLanguageCode(nullptr, FALSE), locale);
  EXPECT_FALSE(FolderExists(profile.appData));
  EXPECT_EQ(ResolveLanguageCode(L"JA", TRUE), locale);
  EXPECT_EQ(ReadBytes(profile.perUser), "lang=" + CodeOf(locale));
}

// Without APPDATA there is no per-user file: the shipped file decides, and a
// setting to store is dropped rather than written anywhere else.
TEST(Language, WithoutAppDataThePerUserFileIsSkipped) {
  const std::wstring realAppData = EnvironmentVariable(L"APPDATA").value_or(L"");
  const std::wstring realPerUser = realAppData + L"\\Velmora\\v182\\languagesettings.txt";
  const bool realExisted = FileExists(realPerUser);
  const int locale = GetLocaleLanguageIndex();
  const int other = (locale + 1) % 4;
  const wchar_t* values[] = {nullptr, L""};
  for (const wchar_t* value : values) {
    LanguageProfile profile;
    ScopedEnvironmentVariable appData(L"APPDATA", value);
    profile.WriteShipped("lang=" + CodeOf(other));
    EXPECT_EQ(GetLanguage(TRUE, profile.root.c_str()), other);
    EXPECT_EQ(FindLanguageSetting(profile.root.c_str(), nullptr, 0), CodeOf(other).size() + 1);

    profile.WriteShipped("lang=unknown");
    EXPECT_EQ(GetLanguage(TRUE, profile.root.c_str()), locale);
    WriteLanguageSetting(3, TRUE);
    EXPECT_EQ(ReadBytes(profile.shipped), "lang=unknown");
    EXPECT_FALSE(FolderExists(profile.appData));
  }
  if (!realExisted && !realAppData.empty()) {
    EXPECT_FALSE(FileExists(realPerUser));
    RemoveTree(realPerUser);
  }
}

// --- The user's default locale, set per program ------------------------------
//
// Under Wine a program's user locale comes from the Unix locale variables of
// its Wine process (LC_ALL first), read when the process starts. A Windows
// child started from here keeps this process's Unix environment whatever its
// environment block says, but a Unix program receives the block: the probe
// therefore runs in a new Wine process started through /usr/bin/env. Such a
// program gets no console, so its output goes to a file (a pipe would not
// reach it), and the test cannot wait for it, so the probe signals an event
// when it is done. Each Wine process also mirrors its locale into the
// registry value HKCU\Control Panel\International\Locale when it starts; a
// plain child started afterwards puts this process's locale back.

constexpr wchar_t kProbeAppData[] = L"MENUTOOLS_PROBE_APPDATA";
constexpr wchar_t kProbeRoot[] = L"MENUTOOLS_PROBE_ROOT";
constexpr wchar_t kProbeDone[] = L"MENUTOOLS_PROBE_DONE";
constexpr DWORD kProbeTimeoutMs = 60000;  // a probe takes about a second

void PrintLocaleLanguageProbe() {
  // A Wine process started from Unix takes APPDATA from the registry, so the
  // test's folder comes under another name; without it APPDATA is emptied.
  SetEnvironmentVariableW(L"APPDATA", EnvironmentVariable(kProbeAppData).value_or(L"").c_str());
  const std::wstring root = EnvironmentVariable(kProbeRoot).value_or(L"");
  wchar_t lcid[16] = L"";
  swprintf(lcid, 16, L"%04lx", static_cast<unsigned long>(GetUserDefaultLCID()));
  ProbePrint(L"lcid", lcid);
  ProbePrint(L"index", std::to_wstring(GetLocaleLanguageIndex()));
  ProbePrint(L"language", std::to_wstring(GetLanguage(TRUE, root.c_str())));
  const std::wstring done = EnvironmentVariable(kProbeDone).value_or(L"");
  HANDLE event = done.empty() ? nullptr : OpenEventW(EVENT_MODIFY_STATE, FALSE, done.c_str());
  if (event != nullptr) {
    SetEvent(event);
    CloseHandle(event);
  }
}
const bool kLocaleLanguageProbe = RegisterProbe("locale-language", PrintLocaleLanguageProbe);

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring ProbeCommand(const std::wstring& prefix) {
  return prefix + L"\"" + OwnProgramPath() + L"\" --probe locale-language";
}

// This process's environment with `extra` ("NAME=value" entries) in place of
// any entries of the same names, as a block for CreateProcessW.
std::wstring EnvironmentBlock(const std::vector<std::wstring>& extra) {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
    bool replaced = false;
    for (const std::wstring& e : extra) {
      const size_t nameLength = e.find(L'=') + 1;
      replaced = replaced || _wcsnicmp(entry, e.c_str(), nameLength) == 0;
    }
    if (!replaced) block.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  for (const std::wstring& e : extra) block.append(e).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// Starts `commandLine` with the environment block and its output going to
// `outputPath` (created), and returns its process handle, which is null for
// a Unix program; throws when it cannot start.
HANDLE StartWithOutputTo(std::wstring commandLine, std::wstring environment,
                         const std::wstring& outputPath) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create the probe's output");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr,
                                      /*bInheritHandles=*/TRUE, CREATE_UNICODE_ENVIRONMENT,
                                      environment.data(), nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  CloseHandle(output);
  if (!started) {
    throw std::runtime_error("cannot start " + WideToUtf8(commandLine) + ": error " +
                             std::to_string(startError));
  }
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  return process.hProcess;
}

// Runs the probe in a Wine process of its own whose Unix locale is
// `unixLocale`, and returns what it printed; one that does not finish fails
// the test with what it wrote (Wine's words when it did not start), and gives
// "".
std::wstring RunLocaleProbe(const std::wstring& unixLocale,
                            const std::vector<std::wstring>& probeVariables,
                            const std::wstring& outputPath) {
  const std::wstring eventName = UniqueName(L"menutools-locale-probe");
  HANDLE done = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                             eventName.c_str());
  std::vector<std::wstring> variables = probeVariables;
  variables.push_back(L"LC_ALL=" + unixLocale);
  variables.push_back(std::wstring(kProbeDone) + L"=" + eventName);
  HANDLE process = StartWithOutputTo(ProbeCommand(L"/usr/bin/env wine "),
                                     EnvironmentBlock(variables), outputPath);
  if (process != nullptr) CloseHandle(process);
  const bool finished = WaitForSingleObject(done, kProbeTimeoutMs) == WAIT_OBJECT_0;
  CloseHandle(done);
  const std::wstring output = Utf8ToWide(ReadBytes(outputPath));
  if (!finished) {
    ADD_FAILURE() << "the locale probe did not finish within " << kProbeTimeoutMs / 1000
                  << " s; it wrote: " << WideToUtf8(output);
  }
  return finished ? output : L"";
}

std::wstring MirroredLocale() {
  return ReadRegistryValue(HKEY_CURRENT_USER, L"Control Panel\\International", L"Locale").text();
}

// Puts this process's locale back into the registry mirror by starting a
// plain child, also when an assertion ends the test early.
class LocaleMirrorRestorer {
 public:
  LocaleMirrorRestorer(const std::vector<std::wstring>& probeVariables,
                       const std::wstring& outputPath)
      : environment_(EnvironmentBlock(probeVariables)), outputPath_(outputPath) {}
  ~LocaleMirrorRestorer() {
    try {
      HANDLE process = StartWithOutputTo(ProbeCommand(L""), environment_, outputPath_);
      WaitForSingleObject(process, kProbeTimeoutMs);
      CloseHandle(process);
    } catch (const std::exception&) {
      ADD_FAILURE() << "cannot restore the registry's locale mirror";
    }
  }
  LocaleMirrorRestorer(const LocaleMirrorRestorer&) = delete;
  LocaleMirrorRestorer& operator=(const LocaleMirrorRestorer&) = delete;

 private:
  std::wstring environment_;
  std::wstring outputPath_;
};

TEST(LocaleLanguage, UserLocaleOfTheProgramDecides) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "the user locale is set per program through Wine's Unix environment";
  }
  const struct {
    const wchar_t* unixLocale;
    const wchar_t* lcid;
    int language;
  } cases[] = {
      {L"de_AT.UTF-8", L"0c07", kLanguageGerman},  {L"de_CH.UTF-8", L"0807", kLanguageGerman},
      {L"ja_JP.UTF-8", L"0411", kLanguageJapanese}, {L"fr_CA.UTF-8", L"0c0c", kLanguageFrench},
      {L"en_GB.UTF-8", L"0809", kLanguageEnglish},  {L"it_IT.UTF-8", L"0410", kLanguageEnglish},
  };
  ScratchFolder scratch(L"locale");
  const std::wstring appData = scratch / L"Roaming";
  const std::wstring root = scratch / L"root";
  CreateDirectoryW(appData.c_str(), nullptr);
  CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring before = MirroredLocale();
  const std::vector<std::wstring> probeVariables = {std::wstring(kProbeAppData) + L"=" + appData,
                                                    std::wstring(kProbeRoot) + L"=" + root};
  {
    LocaleMirrorRestorer restorer(probeVariables, scratch / L"restore.txt");
    for (const auto& c : cases) {
      const std::wstring output =
          RunLocaleProbe(c.unixLocale, probeVariables, scratch / L"probe.txt");
      ASSERT_EQ(ProbeValue(output, L"lcid"), c.lcid) << c.unixLocale << ": " << output;
      EXPECT_EQ(ProbeValue(output, L"index"), std::to_wstring(c.language)) << c.unixLocale;
      // No file: the locale's language, and nothing stored despite the flag.
      EXPECT_EQ(ProbeValue(output, L"language"), std::to_wstring(c.language)) << c.unixLocale;
      EXPECT_FALSE(FolderExists(appData + L"\\Velmora")) << c.unixLocale;
    }
  }
  EXPECT_EQ(MirroredLocale(), before);
}

}  // namespace
