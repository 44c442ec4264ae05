// The platform a test run is on, as the system reports it: a 32-bit Windows
// running this 32-bit program, a 64-bit Windows running it under WOW64, or a
// 64-bit Windows running the 64-bit build.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

// The build's wrapper names the prefix it chose; the system must agree, or a
// 64-bit pass would quietly repeat the 32-bit one.
TEST(Platform, IsTheOneTheTestRunAskedFor) {
  const std::wstring asked = EnvironmentVariable(L"MENUTOOLS_WINEARCH").value_or(L"");
  if (asked.empty()) GTEST_SKIP() << "not started through the build's wine-env wrapper";
  ASSERT_TRUE(asked == L"win32" || asked == L"win64");
  EXPECT_EQ(OnWindows64(), asked == L"win64");
  SYSTEM_INFO native;
  GetNativeSystemInfo(&native);
  EXPECT_EQ(native.wProcessorArchitecture,
            asked == L"win64" ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL);
}

// What the other tests rely on when they tell the platforms apart: 32-bit
// programs on a 64-bit Windows are told the "(x86)" Program Files and that
// they run on x86, with the native processor beside it; 64-bit programs and
// those of a 32-bit Windows see the system as it is.
TEST(Platform, Wow64RedirectsProgramFilesAndNamesTheNativeProcessor) {
  const bool wow64 = RunsUnderWow64();
  const bool program64 = sizeof(void*) == sizeof(UINT64);
  wchar_t folder[MAX_PATH + 1] = L"";
  EXPECT_EQ(GetSystemWow64DirectoryW(folder, MAX_PATH) != 0, OnWindows64());
  EXPECT_EQ(ShellFolder(CSIDL_PROGRAM_FILES),
            wow64 ? L"C:\\Program Files (x86)" : L"C:\\Program Files");
  EXPECT_EQ(EnvironmentVariable(L"PROCESSOR_ARCHITECTURE").value_or(L""),
            program64 ? L"AMD64" : L"x86");
  EXPECT_EQ(EnvironmentVariable(L"PROCESSOR_ARCHITEW6432").value_or(L""), wow64 ? L"AMD64" : L"");
}

}  // namespace
