#include "redirection_trust.h"

#include "log.h"

namespace {

constexpr wchar_t kKernelModule[] = L"kernel32.dll";
constexpr char kSetPolicy[] = "SetProcessMitigationPolicy";
constexpr char kGetPolicy[] = "GetProcessMitigationPolicy";
// ProcessRedirectionTrustPolicy of PROCESS_MITIGATION_POLICY, whose
// structure is one DWORD of flags: bit 0 enforces the policy, bit 1 audits it.
// Named here, since older SDKs have neither.
constexpr int kRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 0x1;

using SetPolicyFunction = BOOL(WINAPI*)(int policy, void* buffer, SIZE_T length);
using GetPolicyFunction = BOOL(WINAPI*)(HANDLE process, int policy, void* buffer,
                                        SIZE_T length);

// Returns the kernel32 function `name`, or null where the system lacks it.
// Nothing is loaded: kernel32 is in every process.
void (*FindKernelFunction(const char* name))() {
  const HMODULE kernel = GetModuleHandleW(kKernelModule);
  // Through the generic function pointer type, which converts to any other
  // without a warning about incompatible function types.
  return kernel != nullptr ? reinterpret_cast<void (*)()>(GetProcAddress(kernel, name))
                           : nullptr;
}

}  // namespace

BOOL RequestRedirectionTrust() {
  const SetPolicyFunction setPolicy =
      reinterpret_cast<SetPolicyFunction>(FindKernelFunction(kSetPolicy));
  DWORD flags = kEnforceRedirectionTrust;
  return setPolicy != nullptr && setPolicy(kRedirectionTrustPolicy, &flags, sizeof(flags));
}

BOOL IsRedirectionTrustEnforced() {
  const GetPolicyFunction getPolicy =
      reinterpret_cast<GetPolicyFunction>(FindKernelFunction(kGetPolicy));
  // A system that answers without writing leaves the flags clear.
  DWORD flags = 0;
  return getPolicy != nullptr &&
         getPolicy(GetCurrentProcess(), kRedirectionTrustPolicy, &flags, sizeof(flags)) &&
         (flags & kEnforceRedirectionTrust) != 0;
}

void LogRedirectionTrust() {
  LogLine(IsRedirectionTrustEnforced() ? "Redirection trust policy: enforced"
                                       : "Redirection trust policy: not enforced by this system");
}
