#include "install_layout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backoff.h"
#include "test_support.h"

namespace {

constexpr char kFolderKey[] = "startMenuFolderName";

// The two calls of the pointer form, with the buffer sized by the first.
struct Reading {
  DWORD firstSize;
  DWORD secondSize;
  std::wstring value;
};

Reading ReadTwice(const std::wstring& path, const char* key) {
  Reading reading{};
  reading.firstSize = ReadQuotedValue(path.c_str(), key, nullptr);
  wchar_t* buffer = new wchar_t[reading.firstSize];
  buffer[0] = L'?';
  reading.secondSize = ReadQuotedValue(path.c_str(), key, &buffer);
  reading.value = buffer;
  FreeAndClear(&buffer);
  return reading;
}

TEST(ReleaseInformation, ScansForTheFirstOccurrenceOfTheKey) {
  struct Case {
    const char* content;
    DWORD size;
    const wchar_t* value;
  } cases[] = {
      {"<r startMenuFolderName=\"Suite 18.2\"/>", 11, L"Suite 18.2"},
      // first occurrence wins, also inside a comment or a longer name
      {"<!-- startMenuFolderName=\"old\" --> startMenuFolderName=\"new\"", 4, L"old"},
      {"startMenuFolderNameLong=\"long\" startMenuFolderName=\"short\"", 5, L"long"},
      // single quotes are no delimiters: the next double-quoted text counts
      {"startMenuFolderName='single' other=\"double\"", 7, L"double"},
      {"startMenuFolderName=\"\"", 1, L""},
      // three characters in four UTF-8 bytes
      {"startMenuFolderName=\"\xC3\xA4z\xC3\xB6\"", 6, L"\u00E4z\u00F6"},
      {"startMenuFolderName=\"a\xE2\x82\xAC\"", 5, L"a\u20AC"},
      {"startMenuFolderName=\"\xF0\x9F\x98\x80\"", 5, L"\U0001F600"},
      // the key is matched case-sensitively; missing pieces give the empty value
      {"startmenufoldername=\"x\"", 1, L""},
      {"startMenuFolderName=\"unclosed", 1, L""},
      {"startMenuFolderName= no quote", 1, L""},
      {"", 1, L""},
  };
  ScratchFolder scratch(L"scan");
  const std::wstring path = scratch / L"relinfo.xml";
  for (const Case& c : cases) {
    WriteBytes(path, c.content);
    const Reading reading = ReadTwice(path, kFolderKey);
    EXPECT_EQ(reading.firstSize, c.size) << c.content;
    EXPECT_EQ(reading.secondSize, c.size) << c.content;
    EXPECT_EQ(reading.value, c.value) << c.content;
  }
}

TEST(ReleaseInformation, MissingFileReadsAsMissingAndNothingIsCreated) {
  ScratchFolder scratch(L"missing");
  const std::wstring path = scratch / L"relinfo.xml";
  const Reading reading = ReadTwice(path, kFolderKey);
  EXPECT_EQ(reading.firstSize, 1u);
  EXPECT_EQ(reading.value, L"");
  char* content = nullptr;
  EXPECT_FALSE(ReadWholeFile(path.c_str(), &content));
  EXPECT_EQ(content, nullptr);
  delete[] content;
  EXPECT_FALSE(FileExists(path));
}

TEST(ReleaseInformation, ReadWholeFileNulTerminatesAndLeavesPointerOnFailure) {
  ScratchFolder scratch(L"whole");
  const std::wstring path = scratch / L"data.bin";
  WriteBytes(path, std::string("ab\0cd", 5));
  char* content = nullptr;
  EXPECT_TRUE(ReadWholeFile(path.c_str(), &content));
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(std::string(content, 6), std::string("ab\0cd\0", 6));
  delete[] content;

  char* untouched = reinterpret_cast<char*>(0x1234);
  EXPECT_FALSE(ReadWholeFile((scratch / L"no\\such.bin").c_str(), &untouched));
  EXPECT_EQ(untouched, reinterpret_cast<char*>(0x1234));
}

// The file replaced between the two calls: the filling call hands out the
// whole value when it fits the size the null call reported, and otherwise only
// the terminator, with the size it needs now, never a cut value.
TEST(ReleaseInformation, ValueReplacedBetweenTheTwoCallsIsNeverCut) {
  struct Case {
    const char* before;
    const char* after;
    DWORD second;
    const wchar_t* value;
  } cases[] = {
      {"Bravo", "Bravo2", 7, L""},
      {"Bravo2", "Bravo", 6, L"Bravo"},
      {"ab", "a\xF0\x9F\x98\x80z", 7, L""},
  };
  ScratchFolder scratch(L"replaced");
  const std::wstring path = scratch / L"relinfo.xml";
  for (const Case& c : cases) {
    WriteBytes(path, std::string("startMenuFolderName=\"") + c.before + "\"");
    const DWORD size = ReadQuotedValue(path.c_str(), kFolderKey, nullptr);
    WriteBytes(path, std::string("startMenuFolderName=\"") + c.after + "\"");
    GuardedBuffer buffer(size);
    wchar_t* data = buffer.data();
    EXPECT_EQ(ReadQuotedValue(path.c_str(), kFolderKey, &data), c.second) << c.after;
    EXPECT_EQ(buffer.text(), c.value) << c.after;
    EXPECT_TRUE(buffer.guardIntact()) << c.after;
  }
}

// A reader whose file gets a longer value after each of its null calls, as
// long as g_replacementsLeft lasts.
std::wstring g_replacedPath;
int g_replacements;
int g_replacementsLeft;

DWORD ReplacingReader(wchar_t** value) {
  const DWORD size = ReadQuotedValue(g_replacedPath.c_str(), kFolderKey, value);
  if (value == nullptr && g_replacementsLeft > 0) {
    --g_replacementsLeft;
    ++g_replacements;
    WriteBytes(g_replacedPath, "startMenuFolderName=\"Bravo" + std::string(g_replacements, '2') +
                                   "\"");
  }
  return size;
}

TEST(ReleaseInformation, CopyReleaseValueReadsAgainWhatOutgrewItsSize) {
  const struct Case {
    int replacements;
    const wchar_t* value;
  } cases[] = {{0, L"Bravo"}, {1, L"Bravo2"}, {2, L"Bravo22"}, {100, L""}};
  ScratchFolder scratch(L"again");
  g_replacedPath = scratch / L"relinfo.xml";
  for (const Case& c : cases) {
    WriteBytes(g_replacedPath, "startMenuFolderName=\"Bravo\"");
    g_replacements = 0;
    g_replacementsLeft = c.replacements;
    wchar_t* value = CopyReleaseValue(ReplacingReader);
    EXPECT_EQ(std::wstring(value), c.value) << c.replacements;
    FreeAndClear(&value);
  }
}

TEST(ReleaseInformation, FillingCallWithoutASizingCallWritesOnlyTheTerminator) {
  ScratchFolder scratch(L"nosize");
  const std::wstring path = scratch / L"relinfo.xml";
  WriteBytes(path, "startMenuShortcutAppendRevision=\"18.2\"");
  GuardedBuffer memory(1);
  wchar_t* buffer = memory.data();
  EXPECT_EQ(ReadQuotedValue(path.c_str(), "startMenuShortcutAppendRevision", &buffer), 5u);
  EXPECT_EQ(memory.text(), L"");
  EXPECT_TRUE(memory.untouchedFrom(1));

  wchar_t* none = nullptr;  // the address of a null pointer: sizing only
  EXPECT_EQ(ReadQuotedValue(path.c_str(), "startMenuShortcutAppendRevision", &none), 5u);
  EXPECT_EQ(none, nullptr);
}

// A plain model of the scan: the first occurrence of the key anywhere in the
// bytes, then the next two double quotes after it.
Reading ModelScan(const std::string& content, const std::string& key) {
  Reading expected{1, 1, L""};
  const size_t at = content.find(key);
  if (at == std::string::npos) return expected;
  const size_t open = content.find('"', at + key.size());
  if (open == std::string::npos) return expected;
  const size_t close = content.find('"', open + 1);
  if (close == std::string::npos) return expected;
  const std::string bytes = content.substr(open + 1, close - open - 1);
  expected.firstSize = expected.secondSize = static_cast<DWORD>(bytes.size() + 1);
  expected.value = Utf8ToWide(bytes).c_str();  // the text ends at a NUL unit
  return expected;
}

TEST(ReleaseInformation, ScanMatchesAPlainModelOnGeneratedFiles) {
  const std::vector<std::string> pieces = {
      "startMenuFolderName", "startMenuFolder", "Name", "startMenuShortcutAppendRevision",
      "\"", "\"", "\"", "'", "=", " ", "<!--", "-->", "\r\n", std::string(1, '\0'),
      "\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC3", "\xFF", "Suite", "18.2"};
  const std::vector<std::string> keys = {"startMenuFolderName", "startMenuShortcutAppendRevision"};
  std::mt19937 random(20261208);
  ScratchFolder scratch(L"model");
  const std::wstring path = scratch / L"relinfo.xml";
  for (int round = 0; round < 400; ++round) {
    std::string content;
    const int count = static_cast<int>(random() % 24);
    for (int i = 0; i < count; ++i) {
      if (random() % 5 == 0) {
        content += static_cast<char>(random() % 256);
      } else {
        content += pieces[random() % pieces.size()];
      }
    }
    WriteBytes(path, content);
    const std::string& key = keys[random() % keys.size()];
    const Reading expected = ModelScan(content, key);
    const Reading actual = ReadTwice(path, key.c_str());
    ASSERT_EQ(actual.firstSize, expected.firstSize) << "round " << round;
    ASSERT_EQ(actual.secondSize, expected.secondSize) << "round " << round;
    ASSERT_EQ(actual.value, expected.value) << "round " << round;
  }
}

// --- Operations that read the running program's own path ------------------

void PrintInstallRootProbe() {
  const DWORD needed = GetInstallRoot(nullptr, 0);
  ProbePrint(L"needed", std::to_wstring(needed));
  GuardedBuffer exact(needed);
  ProbePrint(L"exact_result", std::to_wstring(GetInstallRoot(exact.data(), needed)));
  ProbePrint(L"exact_text", exact.text());
  ProbePrint(L"exact_guard_intact", exact.guardIntact() ? L"1" : L"0");
  GuardedBuffer shorter(needed - 1);
  ProbePrint(L"short_result", std::to_wstring(GetInstallRoot(shorter.data(), needed - 1)));
  ProbePrint(L"short_untouched", shorter.untouched() ? L"1" : L"0");
  const DWORD moduleNeeded = GetModulePath(nullptr, 0);
  GuardedBuffer module(moduleNeeded);
  ProbePrint(L"module_short_result", std::to_wstring(GetModulePath(module.data(), moduleNeeded - 1)));
  ProbePrint(L"module_result", std::to_wstring(GetModulePath(module.data(), moduleNeeded)));
  ProbePrint(L"module_text", module.text());
  for (const auto& copy : {std::make_pair(L"module_copy", CopyModulePath),
                           std::make_pair(L"root_copy", CopyInstallRoot)}) {
    wchar_t* text = copy.second();
    ProbePrint(copy.first, text);
    FreeAndClear(&text);
  }
}
const bool kInstallRootProbe = RegisterProbe("install-root", PrintInstallRootProbe);

void PrintReleaseValue(const std::wstring& name, DWORD (*reader)(wchar_t**)) {
  const DWORD size = reader(nullptr);
  wchar_t* value = new wchar_t[size];
  reader(&value);
  ProbePrint(name + L"_size", std::to_wstring(size));
  ProbePrint(name, value);
  FreeAndClear(&value);
}

void PrintReleaseProbe() {
  PrintReleaseValue(L"folder", GetStartMenuFolderName);
  PrintReleaseValue(L"revision", GetRevisionSuffix);
  PrintReleaseValue(L"local_revision", GetLocalRevisionSuffix);
}
const bool kReleaseProbe = RegisterProbe("release", PrintReleaseProbe);

TEST(InstallRoot, FourLevelsBelowTheRootUsesTheCapacityForm) {
  // C:\R\a\b\c\d\menusetup.exe has 26 characters.
  const std::wstring program = L"C:\\R\\a\\b\\c\\d\\menusetup.exe";
  const ProgramRun run = RunProbeCopy(program, "install-root");
  RemoveTree(L"C:\\R");
  SCOPED_TRACE(run);
  const std::wstring& output = run.output;
  EXPECT_EQ(ProbeValue(output, L"needed"), L"27");
  EXPECT_EQ(ProbeValue(output, L"exact_result"), L"0");
  EXPECT_EQ(ProbeValue(output, L"exact_text"), L"C:\\R");
  EXPECT_EQ(ProbeValue(output, L"exact_guard_intact"), L"1");
  EXPECT_EQ(ProbeValue(output, L"short_result"), L"27");
  EXPECT_EQ(ProbeValue(output, L"short_untouched"), L"1");
  EXPECT_EQ(ProbeValue(output, L"module_short_result"), L"27");
  EXPECT_EQ(ProbeValue(output, L"module_result"), L"0");
  EXPECT_EQ(ProbeValue(output, L"module_text"), program);
  EXPECT_EQ(ProbeValue(output, L"module_copy"), program);
  EXPECT_EQ(ProbeValue(output, L"root_copy"), L"C:\\R");
}

TEST(InstallRoot, FewerLevelsClimbToTheDriveRoot) {
  ScratchFolder scratch(L"shallow");
  const std::wstring folder = L"C:\\" + UniqueName(L"shallow");
  const ProgramRun run = RunProbeCopy(folder + L"\\a\\b\\menusetup.exe", "install-root");
  RemoveTree(folder);
  EXPECT_EQ(ProbeValue(run.output, L"exact_text"), L"C:\\") << run;
}

TEST(InstallRoot, AbsoluteOnlyWithADriveOrAServerAndShare) {
  const struct Case {
    const wchar_t* path;
    BOOL absolute;
  } cases[] = {
      {L"C:\\", TRUE},
      {L"d:\\Velmora\\v182", TRUE},
      {L"\\\\server\\share", TRUE},
      {L"\\\\server\\share\\Velmora", TRUE},
      {L"", FALSE},
      {L"C:", FALSE},
      {L"C:Velmora", FALSE},
      {L"1:\\Velmora", FALSE},
      {L"\\Velmora", FALSE},
      {L"Velmora\\v182", FALSE},
      {L"UNC\\server\\share", FALSE},
      {L"\\\\server", FALSE},
      {L"\\\\server\\", FALSE},
      {L"\\\\server\\\\share", FALSE},
      {L"\\\\\\share", FALSE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsAbsoluteInstallPath(c.path), c.absolute) << WideToUtf8(c.path);
  }
  EXPECT_FALSE(IsAbsoluteInstallPath(nullptr));
}

TEST(InstallRoot, ReadersFindTheGlobalAndTheLocalReleaseInformation) {
  ScratchFolder scratch(L"layout");
  const std::wstring root = scratch / L"root";
  const std::wstring programFolder = root + L"\\commonfiles\\setup\\menu\\win32";
  CreateDirectoryTree((root + L"\\commonfiles\\globalsettings").c_str());
  CreateDirectoryTree(programFolder.c_str());
  WriteBytes(root + L"\\commonfiles\\globalsettings\\relinfo.xml",
             "<r startMenuFolderName=\"Velmora \xC3\x9C 18.2\" "
             "startMenuShortcutAppendRevision=\"18.2\"/>");
  WriteBytes(programFolder + L"\\relinfo.xml", "startMenuShortcutAppendRevision=\"18.2.1\"");

  const ProgramRun run = RunProbeCopy(programFolder + L"\\probe.exe", "release");
  SCOPED_TRACE(run);
  const std::wstring& output = run.output;
  EXPECT_EQ(ProbeValue(output, L"folder_size"), L"16");
  EXPECT_EQ(ProbeValue(output, L"folder"), L"Velmora \u00DC 18.2");
  EXPECT_EQ(ProbeValue(output, L"revision"), L"18.2");
  EXPECT_EQ(ProbeValue(output, L"local_revision_size"), L"7");
  EXPECT_EQ(ProbeValue(output, L"local_revision"), L"18.2.1");
}

// --- Release information from files that are big, shared or odd ----------

// Another program that has the file open: an editor writing it, sharing
// reading, costs no wait; a scanner that holds it for a moment without
// sharing is waited for until it lets go. (Wine does not refuse a read of a
// range that another handle locked, so that wait is not shown here.)
TEST(ReleaseInformation, FileOpenElsewhereIsReadAndAHeldOneWaitedFor) {
  ScratchFolder scratch(L"shared");
  const std::wstring path = scratch / L"relinfo.xml";
  WriteBytes(path, "startMenuFolderName=\"Velmora\"");
  const struct {
    DWORD access;
    DWORD share;
    bool waits;
  } cases[] = {{GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
               {GENERIC_READ, 0, true}};
  for (const auto& c : cases) {
    ResetRetryBudget();
    HANDLE holder = CreateFileW(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::atomic<bool> read{false};
    std::thread letGo([&] {  // once the reader has waited for it
      while (!read && RetryBudgetLeft() == kRetryBudgetMilliseconds) Sleep(1);
      CloseHandle(holder);
    });
    const Reading reading = ReadTwice(path, kFolderKey);
    read = true;
    letGo.join();
    EXPECT_EQ(reading.value, L"Velmora") << c.share;
    EXPECT_EQ(RetryBudgetLeft() < kRetryBudgetMilliseconds, c.waits) << c.share;
  }
}

TEST(ReleaseInformation, FindsTheKeyAndItsValueAcrossEveryPieceBoundary) {
  // The file is read in pieces; the key, the quotes and the value may each
  // fall on a boundary between two of them. NUL bytes before the key do not
  // end the text.
  ScratchFolder scratch(L"pieces");
  const std::string entry = "startMenuFolderName=\"Velmora Suite\"";
  for (const size_t boundary : {size_t{64} * 1024, size_t{256} * 1024}) {
    for (size_t before = 0; before <= entry.size(); ++before) {
      std::string bytes(boundary - before, '\0');
      bytes += entry;
      bytes += std::string(100, 'x') + "startMenuFolderName=\"later\"";
      const std::wstring path = scratch / UniqueName(L"piece");
      WriteBytes(path, bytes);
      const Reading reading = ReadTwice(path, kFolderKey);
      EXPECT_EQ(reading.firstSize, 14u) << boundary << " less " << before;
      EXPECT_EQ(reading.value, L"Velmora Suite") << boundary << " less " << before;
      DeleteFileW(path.c_str());
    }
  }
}

TEST(ReleaseInformation, ValueLongerThanTheLongestPathCountsAsMissing) {
  ScratchFolder scratch(L"long value");
  const std::wstring path = scratch / L"relinfo.xml";
  const size_t longest = 32767;
  WriteBytes(path, "startMenuFolderName=\"" + std::string(longest, 'a') + "\"");
  const Reading fits = ReadTwice(path, kFolderKey);
  EXPECT_EQ(fits.firstSize, longest + 1);
  EXPECT_EQ(fits.value, std::wstring(longest, L'a'));

  WriteBytes(path, "startMenuFolderName=\"" + std::string(longest + 1, 'a') + "\"");
  const Reading tooLong = ReadTwice(path, kFolderKey);
  EXPECT_EQ(tooLong.firstSize, 1u);
  EXPECT_EQ(tooLong.value, L"");
  // Counted in characters, not bytes: three-byte characters fit as well.
  std::string wide;
  for (size_t i = 0; i < longest; ++i) wide += "\xE2\x82\xAC";  // the euro sign
  WriteBytes(path, "startMenuFolderName=\"" + wide + "\"");
  EXPECT_EQ(ReadTwice(path, kFolderKey).value, std::wstring(longest, L'\u20AC'));
}

}  // namespace

