#include "test_support.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <stdexcept>

namespace {

std::map<std::string, ProbeFunction>& Probes() {
  static std::map<std::string, ProbeFunction> probes;
  return probes;
}

std::wstring ModulePath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

void CreateFolders(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

}  // namespace

ScratchFolder::ScratchFolder(const std::wstring& tag) {
  wchar_t temp[MAX_PATH + 1] = L"";
  GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + L"menutools-tests\\" + UniqueName(tag);
  CreateFolders(path_);
  if (!FolderExists(path_)) throw std::runtime_error("cannot create a scratch folder");
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write a test file");
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot read a test file");
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring Utf8ToWide(const std::string& bytes) {
  if (bytes.empty()) return L"";
  const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                       nullptr, 0);
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return text;
}

std::wstring UniqueName(const std::wstring& tag) {
  static std::atomic<int> counter{0};
  return tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
}

StandardUserScope::StandardUserScope() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  HANDLE token = nullptr;
  HANDLE restricted = nullptr;
  HANDLE impersonation = nullptr;
  if (AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                               DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators) &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    if (CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted) &&
        DuplicateTokenEx(restricted, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                         TokenImpersonation, &impersonation)) {
      active_ = SetThreadToken(nullptr, impersonation) != FALSE;
    }
  }
  if (impersonation != nullptr) CloseHandle(impersonation);
  if (restricted != nullptr) CloseHandle(restricted);
  if (token != nullptr) CloseHandle(token);
  if (administrators != nullptr) FreeSid(administrators);
}

StandardUserScope::~StandardUserScope() {
  if (active_) RevertToSelf();
}

TestTurn::TestTurn(const wchar_t* name) : mutex_(CreateMutexW(nullptr, FALSE, name)) {
  constexpr DWORD kLongestWaitMs = 300000;
  if (mutex_ == nullptr) throw std::runtime_error("cannot create a turn mutex");
  const DWORD waited = WaitForSingleObject(mutex_, kLongestWaitMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex_);
    throw std::runtime_error("no turn within five minutes");
  }
}

TestTurn::~TestTurn() {
  ReleaseMutex(mutex_);
  CloseHandle(mutex_);
}

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH + 1] = L"";
  SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
  return path;
}

bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
    throw std::runtime_error("IsWow64Process failed");
  }
  return wow64 != FALSE;
}

std::wstring RunAndCapture(std::wstring commandLine) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  CreatePipe(&readEnd, &writeEnd, &inheritable, 0);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  std::string output;
  char chunk[4096];
  DWORD read = 0;
  while (started && ReadFile(readEnd, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    output.append(chunk, read);
  }
  CloseHandle(readEnd);
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return Utf8ToWide(output);
}

std::wstring RunProbeCopy(const std::wstring& programPath, const std::string& probe) {
  CreateFolders(programPath.substr(0, programPath.rfind(L'\\')));
  if (!CopyFileW(ModulePath().c_str(), programPath.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy the test program");
  }
  const std::wstring output = RunAndCapture(L"\"" + programPath + L"\" --probe " +
                                            std::wstring(probe.begin(), probe.end()));
  DeleteFileW(programPath.c_str());
  return output;
}

std::wstring ProbeValue(const std::wstring& output, const std::wstring& name) {
  const std::wstring key = name + L"=";
  for (size_t start = 0; start < output.size();) {
    size_t end = output.find(L'\n', start);
    if (end == std::wstring::npos) end = output.size();
    if (output.compare(start, key.size(), key) == 0) {
      return output.substr(start + key.size(), end - start - key.size());
    }
    start = end + 1;
  }
  return L"";
}

bool RegisterProbe(const char* name, ProbeFunction probe) {
  Probes()[name] = probe;
  return true;
}

void ProbePrint(const std::wstring& name, const std::wstring& value) {
  const std::wstring line = name + L"=" + value + L"\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--probe") {
    const auto probe = Probes().find(argv[2]);
    if (probe == Probes().end()) return 2;
    probe->second();
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
