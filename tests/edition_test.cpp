#include "edition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "install_layout.h"
#include "test_support.h"

namespace {

constexpr BYTE kWorkstation = 1;
constexpr BYTE kDomainController = 2;
constexpr BYTE kServer = 3;
constexpr int kNoFlag = -1;

constexpr wchar_t kMicrosoftKey[] = L"SOFTWARE\\Microsoft";
constexpr wchar_t kAppDefaultsKey[] = L"Software\\Wine\\AppDefaults\\";
// Serialises the tests that create HPC subkeys under SOFTWARE\Microsoft with
// those that expect none, across the test processes that share the prefix.
constexpr wchar_t kHpcLockName[] = L"menutools-tests-hpc-subkeys";
constexpr char kEditionProbe[] = "windows-edition";

// The nine flags as text, "0" or "1" each, in record order.
std::string FlagText(const WindowsEdition& edition) {
  std::string text(sizeof(WindowsEdition), '?');
  const BYTE* flags = reinterpret_cast<const BYTE*>(&edition);
  for (size_t i = 0; i < sizeof(WindowsEdition); ++i) text[i] = flags[i] != 0 ? '1' : '0';
  return text;
}

std::string OnlyFlag(int position) {
  std::string text(sizeof(WindowsEdition), '0');
  if (position != kNoFlag) text[static_cast<size_t>(position)] = '1';
  return text;
}

// The decision table, written out independently of the library.
struct Row {
  DWORD major;
  DWORD minor;
  BYTE productType;
  bool hpc;           // what the HPC test answers
  int flag;           // position of the flag set, or kNoFlag
  bool asksHpc;       // whether the HPC test is made at all
};

const Row kRows[] = {
    {5, 0, kWorkstation, false, 0, false},     {5, 0, kServer, true, 0, false},
    {5, 1, kWorkstation, false, 1, false},     {5, 1, kServer, true, 1, false},
    {5, 2, kWorkstation, false, 1, false},     {5, 2, kServer, false, 2, false},
    {5, 2, kDomainController, true, 2, false}, {5, 3, kWorkstation, false, kNoFlag, false},
    {5, 9, kServer, true, kNoFlag, false},     {6, 0, kWorkstation, true, 3, false},
    {6, 0, kServer, false, 4, true},           {6, 0, kDomainController, false, 4, true},
    {6, 0, kServer, true, 6, true},            {6, 1, kWorkstation, true, 7, false},
    {6, 1, kServer, false, 5, true},           {6, 1, kDomainController, true, 6, true},
    {6, 1, kServer, true, 6, true},            {6, 2, kWorkstation, true, 8, false},
    {6, 2, kServer, true, kNoFlag, false},     {6, 3, kWorkstation, false, kNoFlag, false},
    {6, 3, kServer, true, kNoFlag, false},     {10, 0, kWorkstation, false, kNoFlag, false},
    {10, 0, kServer, true, kNoFlag, false},    {4, 0, kWorkstation, false, kNoFlag, false},
    {0, 0, 0, false, kNoFlag, false},
};

// What the HPC hook answers and how it was asked.
struct HpcAsked {
  bool answer = false;
  int calls = 0;
  DWORD major = 0;
  DWORD minor = 0;
};
HpcAsked g_hpc;

BOOL RecordingHpcTest(DWORD major, DWORD minor) {
  ++g_hpc.calls;
  g_hpc.major = major;
  g_hpc.minor = minor;
  return g_hpc.answer ? TRUE : FALSE;
}

const Row* FindRow(DWORD major, DWORD minor, BYTE productType, bool hpc) {
  for (const Row& row : kRows) {
    if (row.major == major && row.minor == minor && row.productType == productType &&
        (row.hpc == hpc || !row.asksHpc)) {
      return &row;
    }
  }
  return nullptr;
}

OSVERSIONINFOEXW ReportedVersion() {
  OSVERSIONINFOEXW version;
  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
  return version;
}

// Runs inside a renamed copy of this program: what the system reports there
// and what the library makes of it.
void EditionProbe() {
  const OSVERSIONINFOEXW version = ReportedVersion();
  ProbePrint(L"major", std::to_wstring(version.dwMajorVersion));
  ProbePrint(L"minor", std::to_wstring(version.dwMinorVersion));
  ProbePrint(L"productType", std::to_wstring(version.wProductType));
  ProbePrint(L"csd", version.szCSDVersion);
  WindowsEdition detected;
  memset(&detected, 0xAA, sizeof(detected));
  DetectWindowsEdition(&detected);
  ProbePrint(L"detected", Utf8ToWide(FlagText(detected)));
  WindowsEdition got;
  memset(&got, 0x55, sizeof(got));
  GetWindowsEdition(&got);
  ProbePrint(L"got", Utf8ToWide(FlagText(got)));
  wchar_t* servicePack = nullptr;
  GetServicePackText(&servicePack);
  ProbePrint(L"servicePack", servicePack);
  FreeAndClear(&servicePack);
}
const bool kEditionProbeRegistered = RegisterProbe(kEditionProbe, EditionProbe);

struct ProbeResult {
  DWORD major = 0;
  DWORD minor = 0;
  BYTE productType = 0;
  std::wstring csd;
  std::wstring detected;
  std::wstring got;
  std::wstring servicePack;
  std::string run;  // how the probe's run ended, for failure messages
};

// Runs the edition probe in a copy of this program for which Wine reports the
// Windows version `setting`.
ProbeResult ProbeUnder(const std::wstring& setting) {
  EXPECT_TRUE(kEditionProbeRegistered);
  ScratchFolder folder(L"edition");
  const std::wstring exeName = UniqueName(L"edition-" + setting) + L".exe";
  TestKey appDefaults(HKEY_CURRENT_USER, kAppDefaultsKey + exeName);
  appDefaults.SetText(L"Version", setting);
  const ProgramRun run = RunProbeCopy(folder / exeName, kEditionProbe);
  const std::wstring& output = run.output;
  ProbeResult result;
  std::ostringstream described;
  described << run;
  result.run = described.str();
  result.major = std::stoul(L"0" + ProbeValue(output, L"major"));
  result.minor = std::stoul(L"0" + ProbeValue(output, L"minor"));
  result.productType = static_cast<BYTE>(std::stoul(L"0" + ProbeValue(output, L"productType")));
  result.csd = ProbeValue(output, L"csd");
  result.detected = ProbeValue(output, L"detected");
  result.got = ProbeValue(output, L"got");
  result.servicePack = ProbeValue(output, L"servicePack");
  return result;
}

TEST(WindowsEdition, RecordIsNineFlagsInOrder) {
  EXPECT_EQ(sizeof(WindowsEdition), 9u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindows2000), 0u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindowsXP), 1u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindowsServer2003), 2u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindowsVista), 3u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindowsServer2008), 4u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindowsServer2008R2), 5u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindowsHpcServer), 6u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindows7), 7u);
  EXPECT_EQ(offsetof(WindowsEdition, isWindows8), 8u);
}

TEST(DecideWindowsEdition, FollowsTheDecisionTableRowByRow) {
  for (const Row& row : kRows) {
    g_hpc = HpcAsked{};
    g_hpc.answer = row.hpc;
    WindowsEdition edition;
    memset(&edition, 0xFF, sizeof(edition));  // every flag must be cleared
    DecideWindowsEdition(row.major, row.minor, row.productType, RecordingHpcTest, &edition);
    const std::string where = std::to_string(row.major) + "." + std::to_string(row.minor) +
                              " type " + std::to_string(row.productType) +
                              (row.hpc ? " hpc" : "");
    EXPECT_EQ(FlagText(edition), OnlyFlag(row.flag)) << where;
    EXPECT_EQ(g_hpc.calls, row.asksHpc ? 1 : 0) << where;
    if (row.asksHpc) {
      EXPECT_EQ(g_hpc.major, row.major) << where;
      EXPECT_EQ(g_hpc.minor, row.minor) << where;
    }
  }
}

TEST(DecideWindowsEdition, WithoutAnHpcTestTreatsServersAsPlain) {
  WindowsEdition edition;
  DecideWindowsEdition(6, 1, kServer, nullptr, &edition);
  EXPECT_EQ(FlagText(edition), OnlyFlag(5));
}

TEST(WindowsEdition, AccessorsReadTheirOwnFlagAsZeroOrOne) {
  BOOL (*const accessors[])(const WindowsEdition*) = {
      IsWindows2000,         IsWindowsXP,        IsWindowsServer2003,
      IsWindowsVista,        IsWindowsServer2008, IsWindowsServer2008R2,
      IsWindowsHpcServer,    IsWindows7,         IsWindows8};
  for (size_t set = 0; set < sizeof(WindowsEdition); ++set) {
    WindowsEdition edition;
    memset(&edition, 0, sizeof(edition));
    reinterpret_cast<BYTE*>(&edition)[set] = 0x80;  // any nonzero byte is a set flag
    for (size_t read = 0; read < sizeof(WindowsEdition); ++read) {
      EXPECT_EQ(accessors[read](&edition), read == set ? TRUE : FALSE) << set << " " << read;
    }
  }
}

// GetProductInfo stand-ins for the product-type step of the HPC test.
DWORD g_productType;
int g_productInfoCalls;
BOOL WINAPI FakeProductInfo(DWORD major, DWORD minor, DWORD spMajor, DWORD spMinor,
                            PDWORD productType) {
  ++g_productInfoCalls;
  EXPECT_EQ(major, 6u);
  EXPECT_EQ(minor, 1u);
  EXPECT_EQ(spMajor, 0u);
  EXPECT_EQ(spMinor, 0u);
  *productType = g_productType;
  return TRUE;
}
BOOL WINAPI SilentProductInfo(DWORD, DWORD, DWORD, DWORD, PDWORD) { return FALSE; }

// Where an HPC product registers its subkey of SOFTWARE\Microsoft: in the
// 64-bit view on a 64-bit Windows; a 32-bit Windows ignores the flag.
constexpr REGSAM kHpcProductView = KEY_WOW64_64KEY;

// No HPC subkey exists in either view while the lock is held, unless the test
// holding it makes one.
bool NoHpcSubkey() {
  return !HasSubkeyContaining(kMicrosoftKey, L"HPC", FALSE) &&
         !HasSubkeyContaining(kMicrosoftKey, L"HPC", TRUE);
}

TEST(IsHpcMachine, ProductTypeOrSubkeyUnderMicrosoftDecides) {
  TestTurn lock(kHpcLockName);
  ASSERT_TRUE(NoHpcSubkey());

  g_productType = kHpcProductType;
  g_productInfoCalls = 0;
  EXPECT_TRUE(IsHpcMachineWith(FakeProductInfo, 6, 1));
  EXPECT_EQ(g_productInfoCalls, 1);
  g_productType = 0x0A;  // an enterprise server
  EXPECT_FALSE(IsHpcMachineWith(FakeProductInfo, 6, 1));
  EXPECT_FALSE(IsHpcMachineWith(SilentProductInfo, 6, 1));
  EXPECT_FALSE(IsHpcMachineWith(nullptr, 6, 1));
  EXPECT_FALSE(IsHpcMachine(6, 0));  // Wine's GetProductInfo names no HPC edition

  for (const wchar_t* name : {L"menutools hpcpack", L"Menutools HPC Pack 2008 R2"}) {
    TestKey subkey(HKEY_LOCAL_MACHINE, std::wstring(kMicrosoftKey) + L"\\" + UniqueName(name),
                   kHpcProductView);
    subkey.Create();
    EXPECT_TRUE(IsHpcMachineWith(FakeProductInfo, 6, 1)) << name;
    EXPECT_TRUE(IsHpcMachineWith(nullptr, 6, 1)) << name;
    EXPECT_TRUE(IsHpcMachine(6, 0)) << name;
  }
  EXPECT_FALSE(IsHpcMachineWith(nullptr, 6, 1));
}

// On a 64-bit Windows a 32-bit program sees HKLM\SOFTWARE\Microsoft in the
// 32-bit view, where an HPC product's subkey is not, and a 64-bit build's
// search without the 64-bit view looks where a 32-bit one would: the HPC test
// must look in the 64-bit view there, and finds nothing that is only in the
// 32-bit one. A 32-bit Windows has one view, which holds both subkeys.
TEST(IsHpcMachine, LooksInThe64BitViewOnA64BitWindows) {
  TestTurn lock(kHpcLockName);
  ASSERT_TRUE(NoHpcSubkey());
  const bool windows64 = OnWindows64();
  const std::wstring name = UniqueName(L"Menutools HPC Pack");
  {
    TestKey only64(HKEY_LOCAL_MACHINE, std::wstring(kMicrosoftKey) + L"\\" + name,
                   KEY_WOW64_64KEY);
    only64.Create();
    // The subkey is where it is meant to be, and only there.
    ASSERT_TRUE(HasSubkeyContaining(kMicrosoftKey, name.c_str(), TRUE));
    ASSERT_EQ(HasSubkeyContaining(kMicrosoftKey, name.c_str(), FALSE), windows64 ? FALSE : TRUE);
    EXPECT_TRUE(IsHpcMachineWith(nullptr, 6, 1));
    EXPECT_TRUE(IsHpcMachineWith(SilentProductInfo, 6, 0));
    EXPECT_TRUE(IsHpcMachine(6, 1));
  }
  {
    TestKey only32(HKEY_LOCAL_MACHINE, std::wstring(kMicrosoftKey) + L"\\" + name,
                   KEY_WOW64_32KEY);
    only32.Create();
    ASSERT_EQ(HasSubkeyContaining(kMicrosoftKey, name.c_str(), TRUE), windows64 ? FALSE : TRUE);
    EXPECT_EQ(IsHpcMachineWith(nullptr, 6, 1), windows64 ? FALSE : TRUE);
    EXPECT_EQ(IsHpcMachine(6, 1), windows64 ? FALSE : TRUE);
  }
}

TEST(DetectWindowsEdition, AgreesWithTheTableForWhatThisProcessIsTold) {
  const OSVERSIONINFOEXW version = ReportedVersion();
  WindowsEdition detected;
  memset(&detected, 0xFF, sizeof(detected));
  DetectWindowsEdition(&detected);
  WindowsEdition got;
  memset(&got, 0xFF, sizeof(got));
  GetWindowsEdition(&got);
  const Row* row = FindRow(version.dwMajorVersion, version.dwMinorVersion, version.wProductType,
                           false);
  ASSERT_NE(row, nullptr) << version.dwMajorVersion << "." << version.dwMinorVersion;
  EXPECT_EQ(FlagText(detected), OnlyFlag(row->flag));
  EXPECT_EQ(FlagText(got), FlagText(detected));
}

// Major.minor that Wine 8 reports for each version setting; 8.1 and 10 report
// 6.2 to a program whose manifest does not name them, and their own numbers
// otherwise.
const struct {
  const wchar_t* setting;
  std::vector<std::pair<DWORD, DWORD>> versions;
} kSettings[] = {
    {L"win2k", {{5, 0}}},          {L"winxp", {{5, 1}}},
    {L"win2003", {{5, 2}}},        {L"vista", {{6, 0}}},
    {L"win2008", {{6, 0}}},        {L"win7", {{6, 1}}},
    {L"win2008r2", {{6, 1}}},      {L"win8", {{6, 2}}},
    {L"win81", {{6, 2}, {6, 3}}},  {L"win10", {{6, 2}, {10, 0}}},
};

TEST(DetectWindowsEdition, FollowsEveryVersionWineCanReport) {
  TestTurn lock(kHpcLockName);  // no HPC subkey: servers of 6.0 and 6.1 are plain
  std::map<std::wstring, ProbeResult> results;
  for (const auto& setting : kSettings) {
    const ProbeResult result = ProbeUnder(setting.setting);
    results[setting.setting] = result;
    const std::string where = WideToUtf8(setting.setting) + ", " + result.run;
    bool expectedVersion = false;
    for (const auto& version : setting.versions) {
      expectedVersion |= version.first == result.major && version.second == result.minor;
    }
    EXPECT_TRUE(expectedVersion) << where << ": " << result.major << "." << result.minor;
    const Row* row = FindRow(result.major, result.minor, result.productType, false);
    ASSERT_NE(row, nullptr) << where;
    EXPECT_EQ(result.detected, Utf8ToWide(OnlyFlag(row->flag))) << where;
    EXPECT_EQ(result.got, result.detected) << where;
    EXPECT_EQ(result.servicePack, result.csd) << where;
  }
  // Settings that differ in what is reported give different editions.
  EXPECT_EQ(results[L"win2k"].detected, Utf8ToWide(OnlyFlag(0)));
  EXPECT_EQ(results[L"winxp"].detected, Utf8ToWide(OnlyFlag(1)));
  EXPECT_EQ(results[L"win2003"].detected, Utf8ToWide(OnlyFlag(2)));
  EXPECT_EQ(results[L"vista"].detected, Utf8ToWide(OnlyFlag(3)));
  EXPECT_EQ(results[L"win2008"].detected, Utf8ToWide(OnlyFlag(4)));
  EXPECT_EQ(results[L"win8"].detected, Utf8ToWide(OnlyFlag(8)));
  // Wine 8 swaps the product types of its two 6.1 settings; between them
  // they report a workstation and a server.
  std::vector<std::wstring> sixOne = {results[L"win7"].detected, results[L"win2008r2"].detected};
  std::sort(sixOne.begin(), sixOne.end());
  EXPECT_EQ(sixOne, (std::vector<std::wstring>{Utf8ToWide(OnlyFlag(7)), Utf8ToWide(OnlyFlag(5))}));
  EXPECT_EQ(results[L"winxp"].servicePack, L"Service Pack 3");
  EXPECT_EQ(results[L"win8"].servicePack, L"");
}

TEST(DetectWindowsEdition, TellsHpcServersByASubkeyUnderMicrosoft) {
  TestTurn lock(kHpcLockName);
  TestKey subkey(HKEY_LOCAL_MACHINE,
                 std::wstring(kMicrosoftKey) + L"\\" + UniqueName(L"Menutools-HpcPack"),
                 kHpcProductView);
  subkey.Create();
  for (const wchar_t* setting : {L"win2008", L"win7", L"win2008r2", L"vista", L"win2003"}) {
    const ProbeResult result = ProbeUnder(setting);
    const std::string where = WideToUtf8(setting) + ", " + result.run;
    const Row* row = FindRow(result.major, result.minor, result.productType, true);
    ASSERT_NE(row, nullptr) << where;
    EXPECT_EQ(result.detected, Utf8ToWide(OnlyFlag(row->flag))) << where;
    if (result.productType != kWorkstation && result.major == 6) {
      EXPECT_EQ(result.detected, Utf8ToWide(OnlyFlag(6))) << where;
    }
  }
}

// Unchanged, the variable names the processor of the machine: a 64-bit one
// on a 64-bit Windows (to 64-bit programs and under WOW64 alike), the x86
// family on Wine's 32-bit Windows.
TEST(Is64BitProcessor, AnswersTrueOnA64BitWindows) {
  EXPECT_EQ(Is64BitProcessor(), OnWindows64() ? TRUE : FALSE);
}

TEST(Is64BitProcessor, LooksForThe64BitMarkersCaseSensitively) {
  const struct {
    const wchar_t* identifier;
    BOOL is64Bit;
  } cases[] = {
      {L"Intel64 Family 6 Model 23 Stepping 10, GenuineIntel", TRUE},
      {L"x86 Family 6 Model 15 Stepping 6, GenuineIntel", FALSE},
      {L"AMD64 Family 16 Model 4 Stepping 3, AuthenticAMD", TRUE},
      {L"EM64T Family 15 Model 4 Stepping 1, GenuineIntel", TRUE},
      {L"amd64 Family 16 Model 4 Stepping 3, AuthenticAMD", FALSE},
      {L"Family 6, em64t intel64", FALSE},
      {L"", FALSE},
  };
  for (const auto& c : cases) {
    ScopedEnvironmentVariable identifier(L"PROCESSOR_IDENTIFIER", c.identifier);
    EXPECT_EQ(Is64BitProcessor(), c.is64Bit) << c.identifier;
  }
  ScopedEnvironmentVariable unset(L"PROCESSOR_IDENTIFIER", nullptr);
  EXPECT_FALSE(Is64BitProcessor());
}

// Each view is searched with keys made in it. HKLM\SOFTWARE is one of the keys
// that a 64-bit Windows keeps apart for 32-bit programs: there the other view
// does not see them, for a 64-bit build as for a 32-bit one; a 32-bit Windows
// has only one.
TEST(HasSubkeyContaining, MatchesPartsOfSubkeyNamesInAnyLetterCase) {
  const bool windows64 = OnWindows64();
  const struct {
    const wchar_t* text;
    BOOL found;
  } cases[] = {
      {L"HPC", TRUE},       {L"hpc", TRUE},   {L"pAcK 2008", TRUE}, {L"ZETA HPCPACK", TRUE},
      {L"alpha", TRUE},     {L"beta", FALSE}, {L"hpc value", FALSE}, {L"alphaa", FALSE},
      {L"Microsoft HPC Pack 2008 R2 ", FALSE},
  };
  for (const BOOL view64 : {FALSE, TRUE}) {
    const REGSAM view = view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    TestKey parent(HKEY_LOCAL_MACHINE, L"SOFTWARE\\" + UniqueName(L"menutools-subkeys"), view);
    parent.Create();
    EXPECT_FALSE(HasSubkeyContaining(parent.path().c_str(), L"", view64));  // no subkeys yet
    for (const wchar_t* name : {L"Alpha", L"Microsoft HPC Pack 2008 R2", L"zeta hpcpack"}) {
      CreateRegistryKey(HKEY_LOCAL_MACHINE, parent / name, view);
    }
    // Values are no subkeys.
    parent.SetText(L"beta HPC value", L"HPC");
    for (const auto& c : cases) {
      EXPECT_EQ(HasSubkeyContaining(parent.path().c_str(), c.text, view64), c.found)
          << c.text << " view64=" << view64;
    }
    const BOOL otherView = view64 ? FALSE : TRUE;
    EXPECT_EQ(HasSubkeyContaining(parent.path().c_str(), L"HPC", otherView),
              windows64 ? FALSE : TRUE)
        << "view64=" << view64;
    // Looking in the other view created the key there when it was missing;
    // the scope ends with that one gone too.
    TestKey sameNameInOtherView(HKEY_LOCAL_MACHINE, parent.path(),
                                view64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
  }
}

// Without the 64-bit view the search works in the view of 32-bit programs.
TEST(HasSubkeyContaining, CreatesAMissingKeyAndAnswersFalse) {
  TestKey parent(HKEY_LOCAL_MACHINE, L"SOFTWARE\\" + UniqueName(L"menutools-missing"),
                 KEY_WOW64_32KEY);
  const std::wstring missing = parent / L"HPC";
  ASSERT_FALSE(parent.Exists());
  EXPECT_FALSE(HasSubkeyContaining(missing.c_str(), L"", FALSE));
  TestKey created(HKEY_LOCAL_MACHINE, missing, KEY_WOW64_32KEY);
  EXPECT_TRUE(created.Exists());
  // Now it exists, empty.
  EXPECT_FALSE(HasSubkeyContaining(missing.c_str(), L"", FALSE));
  EXPECT_TRUE(HasSubkeyContaining(parent.path().c_str(), L"hpc", FALSE));
}

TEST(GetServicePackText, CopiesWhatTheSystemReports) {
  const OSVERSIONINFOEXW version = ReportedVersion();
  wchar_t* text = nullptr;
  GetServicePackText(&text);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, version.szCSDVersion);
  FreeAndClear(&text);
}

}  // namespace
