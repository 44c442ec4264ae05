#include "dll_search.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

// A system DLL that neither this test program nor Wine's own DLLs load at
// start-up, so that nothing has loaded it before a probe asks for it by bare
// name. Wine lets a copy in the program's folder replace only some of its own
// DLLs (version.dll, for one, it loads from the system folder regardless).
constexpr wchar_t kPlantedName[] = L"dwmapi.dll";

// Loads kPlantedName by bare name, after restricting the search when asked,
// and reports whether the planted copy came back.
void LoadByBareName(bool restrict) {
  if (restrict) {
    ProbePrint(L"restricted", RestrictDllSearchToSystem() ? L"1" : L"0");
  }
  const HMODULE module = LoadLibraryW(kPlantedName);
  ProbePrint(L"loaded", module != nullptr ? L"1" : L"0");
  ProbePrint(L"planted",
             module != nullptr && GetProcAddress(module, "PlantedDllMarker") != nullptr ? L"1"
                                                                                       : L"0");
}
const bool kRestrictedProbe =
    RegisterProbe("dll-search-restricted", [] { LoadByBareName(/*restrict=*/true); });
const bool kDefaultProbe =
    RegisterProbe("dll-search-default", [] { LoadByBareName(/*restrict=*/false); });

// The second run, without the restriction, proves that the planted copy is
// where a load by bare name would otherwise find it.
TEST(RestrictDllSearchToSystem, LoadByBareNameIgnoresADllPlantedBesideTheProgram) {
  ScratchFolder scratch(L"dll-search");
  ASSERT_TRUE(CopyFileW(BesideOwnProgram(L"planted.dll").c_str(), (scratch / kPlantedName).c_str(),
                        FALSE));

  const ProgramRun restricted = RunProbeCopy(scratch / L"searcher.exe", "dll-search-restricted");
  EXPECT_EQ(ProbeValue(restricted.output, L"restricted"), L"1") << restricted;
  EXPECT_EQ(ProbeValue(restricted.output, L"loaded"), L"1") << restricted;
  EXPECT_EQ(ProbeValue(restricted.output, L"planted"), L"0") << restricted;

  const ProgramRun open = RunProbeCopy(scratch / L"searcher.exe", "dll-search-default");
  EXPECT_EQ(ProbeValue(open.output, L"loaded"), L"1") << open;
  EXPECT_EQ(ProbeValue(open.output, L"planted"), L"1") << open;
}

}  // namespace
