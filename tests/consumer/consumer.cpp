// Calls one operation from each of three areas of the library and prints what
// they give, with where the library came from (the package and its version,
// or the way it was built inside this project) and the definitions that came
// with the target, one line each.
#include <menutools/edition.h>
#include <menutools/install_layout.h>
#include <menutools/language.h>

#include <cstdio>

#define CONSUMER_TEXT(x) #x
#define CONSUMER_VALUE(x) CONSUMER_TEXT(x)

namespace {

constexpr LCID kGermanGermany = 0x0407;
constexpr DWORD kWindows7Major = 6;
constexpr DWORD kWindows7Minor = 1;

}  // namespace

int main() {
  std::printf("%s\n", CONSUMER_LIBRARY_FROM);
#if defined(UNICODE) && defined(_UNICODE)
  std::printf("UNICODE _UNICODE _WIN32_WINNT=%s\n", CONSUMER_VALUE(_WIN32_WINNT));
#else
  std::printf("narrow _WIN32_WINNT=%s\n", CONSUMER_VALUE(_WIN32_WINNT));
#endif

  wchar_t* joined = JoinStrings(3, L"C:\\Velmora", L"\\", L"RUVO");
  if (joined == nullptr) {
    return 1;
  }
  std::printf("JoinStrings: %ls\n", joined);
  FreeAndClear(&joined);

  std::printf("LanguageIndexForLcid(0x0407): %d\n", LanguageIndexForLcid(kGermanGermany));

  WindowsEdition edition = {};
  DecideWindowsEdition(kWindows7Major, kWindows7Minor, VER_NT_WORKSTATION, /*isHpc=*/nullptr,
                       &edition);
  std::printf("DecideWindowsEdition(6.1, workstation): Windows 7 %d, Server 2008 R2 %d\n",
              IsWindows7(&edition), IsWindowsServer2008R2(&edition));
  return 0;
}
