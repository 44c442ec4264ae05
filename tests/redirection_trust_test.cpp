#include "redirection_trust.h"

#include <gtest/gtest.h>

#include <string>

#include "log.h"
#include "test_support.h"

namespace {

// The request is accepted where the system has the call (Wine 8 has it, and
// enforces nothing), and the log says what the system reports afterwards.
TEST(RedirectionTrust, TheLogSaysWhatTheSystemReports) {
  const bool hasPolicies =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy") != nullptr;
  EXPECT_EQ(RequestRedirectionTrust() != FALSE, hasPolicies);
  ScratchFolder folder(L"trust");
  const std::wstring path = folder / L"trust.log";
  ASSERT_TRUE(StartLog((L"menusetup.exe /log=" + path).c_str()));
  LogRedirectionTrust();
  EndLog();
  const std::string line = ReadBytes(path);
  EXPECT_NE(line.find(IsRedirectionTrustEnforced()
                          ? "Redirection trust policy: enforced\r\n"
                          : "Redirection trust policy: not enforced by this system\r\n"),
            std::string::npos)
      << line;
}

}  // namespace
