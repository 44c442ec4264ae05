#include "test_support.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "install_layout.h"
#include "shortcuts.h"
#include "tools/standard_user.h"
#include "tools/tool_output.h"

namespace {

std::map<std::string, ProbeFunction>& Probes() {
  static std::map<std::string, ProbeFunction> probes;
  return probes;
}

constexpr wchar_t kTestKeysParent[] = L"Software\\menutools-tests";

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
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

std::string WideToUtf8(const std::wstring& text) { return Utf8Of(text); }

std::wstring OwnProgramPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::wstring BesideOwnProgram(const std::wstring& name) {
  const std::wstring own = OwnProgramPath();
  return own.substr(0, own.rfind(L'\\') + 1) + name;
}

std::wstring GuardedBuffer::text() const {
  size_t end = 0;
  while (end < units_.size() && units_[end] != L'\0') ++end;
  return std::wstring(units_.data(), end);
}

bool GuardedBuffer::untouchedFrom(size_t first) const {
  for (size_t i = first; i < units_.size(); ++i) {
    if (units_[i] != kSentinel) return false;
  }
  return true;
}

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) {
  std::wstring value(32767, L'\0');
  SetLastError(ERROR_SUCCESS);
  const DWORD length =
      GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  value.resize(length);
  return value;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value)
    : name_(name), old_(EnvironmentVariable(name)) {
  SetEnvironmentVariableW(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

std::wstring RegistryValue::text() const {
  std::wstring units(data.size() / sizeof(wchar_t), L'\0');
  memcpy(units.data(), data.data(), units.size() * sizeof(wchar_t));
  return units.c_str();
}

RegistryValue ReadRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name,
                                REGSAM view) {
  RegistryValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
    return value;
  }
  DWORD size = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.data.resize(size);
    value.exists = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.data.data(),
                                    &size) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return value;
}

namespace {

HKEY OpenOrCreateKey(HKEY root, const std::wstring& subkey, REGSAM access, REGSAM view) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, access | view, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    throw std::runtime_error("cannot create the test key " + WideToUtf8(subkey));
  }
  return key;
}

}  // namespace

void CreateRegistryKey(HKEY root, const std::wstring& subkey, REGSAM view) {
  RegCloseKey(OpenOrCreateKey(root, subkey, KEY_READ, view));
}

void WriteRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name,
                        DWORD type, const void* data, size_t size, REGSAM view) {
  HKEY key = OpenOrCreateKey(root, subkey, KEY_SET_VALUE, view);
  const LSTATUS set = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                                     static_cast<DWORD>(size));
  RegCloseKey(key);
  if (set != ERROR_SUCCESS) {
    throw std::runtime_error("cannot write the test value " + WideToUtf8(name));
  }
}

void WriteRegistryText(HKEY root, const std::wstring& subkey, const std::wstring& name,
                       const std::wstring& text, REGSAM view) {
  WriteRegistryValue(root, subkey, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t),
                     view);
}

TestKey::TestKey()
    : root_(HKEY_CURRENT_USER),
      path_(std::wstring(kTestKeysParent) + L"\\" + UniqueName(L"key")),
      view_(0),
      ownParent_(true) {
  handle();
}

TestKey::TestKey(HKEY root, std::wstring path, REGSAM view)
    : root_(root), path_(std::move(path)), view_(view) {}

TestKey::~TestKey() {
  if (key_ != nullptr) RegCloseKey(key_);
  HKEY key = nullptr;
  if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_ALL_ACCESS | view_, &key) == ERROR_SUCCESS) {
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
  }
  RegDeleteKeyExW(root_, path_.c_str(), view_, 0);
  // Only once no other test's key is below it.
  if (ownParent_) RegDeleteKeyW(root_, kTestKeysParent);
}

void TestKey::Create() const { CreateRegistryKey(root_, path_, view_); }

bool TestKey::Exists() const {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ | view_, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

HKEY TestKey::handle() {
  if (key_ == nullptr) key_ = OpenOrCreateKey(root_, path_, KEY_ALL_ACCESS, view_);
  return key_;
}

void TestKey::SetText(const std::wstring& name, const std::wstring& text) const {
  WriteRegistryText(root_, path_, name, text, view_);
}

OverriddenRoot::OverriddenRoot(HKEY root) : root_(root) {
  active_ = RegOverridePredefKey(root_, standIn_.handle()) == ERROR_SUCCESS;
}

// The stand-in key goes only after this, where the real root is back.
OverriddenRoot::~OverriddenRoot() { RegOverridePredefKey(root_, nullptr); }

StandardUserScope::StandardUserScope() {
  HANDLE restricted = CreateStandardUserToken();
  HANDLE impersonation = nullptr;
  if (restricted != nullptr &&
      DuplicateTokenEx(restricted, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                       TokenImpersonation, &impersonation)) {
    active_ = SetThreadToken(nullptr, impersonation) != FALSE;
  }
  if (impersonation != nullptr) CloseHandle(impersonation);
  if (restricted != nullptr) CloseHandle(restricted);
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

void ForEachUser(const std::function<void(const TestUser& user)>& body) {
  const TestUser users[] = {{false, CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS},
                            {true, CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}};
  for (const TestUser& user : users) {
    SCOPED_TRACE(user.standard ? "as a standard user" : "as the elevated administrator");
    std::unique_ptr<StandardUserScope> standardUser;
    if (user.standard) {
      standardUser = std::make_unique<StandardUserScope>();
      if (!standardUser->active()) {
        ADD_FAILURE() << "cannot act as a standard user";
        continue;
      }
    }
    body(user);
  }
}

std::wstring ProgramsFolderInUse() {
  wchar_t* programs = CopyProgramsFolder();
  const std::wstring path = programs;
  FreeAndClear(&programs);
  return path;
}

StartMenuFolders::StartMenuFolders(int csidl, const std::wstring& name)
    : programs_(csidl == kProgramsInUse ? ProgramsFolderInUse() : ShellFolder(csidl)),
      name_(name.empty() ? UniqueName(L"Velmora Test") : name) {}

StartMenuFolders::~StartMenuFolders() { RemoveTree(suite()); }

void StartMenuFolders::Create() const {
  CreateDirectoryTree(fluidDynamics().c_str());
  if (!FolderExists(fluidDynamics())) throw std::runtime_error("cannot make the suite's folders");
}

int CreateLauncher(const std::wstring& folder, const wchar_t* suffix, const wchar_t* baseName) {
  return CreateProgramsShortcut(L"D:\\S\\RUVO\\bin\\", L"ruvo5.exe", L"", kLauncherIcon,
                                L"%USERPROFILE%", folder.c_str(), baseName, L"Start",
                                SW_SHOWNORMAL, suffix);
}

bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
    throw std::runtime_error("IsWow64Process failed");
  }
  return wow64 != FALSE;
}

bool OnWindows64() { return sizeof(void*) == sizeof(UINT64) || RunsUnderWow64(); }

namespace {

// The system's text for a Win32 error, without its line end.
std::string SystemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length > 0 ? std::wstring(text, length) : L"no text for it";
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.pop_back();
  }
  return WideToUtf8(message);
}

// Everything written into a pipe until its last write end is closed. A read
// of no bytes is not the end: a writer may write nothing.
std::string ReadToEnd(HANDLE pipe) {
  std::string bytes;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(pipe, chunk, sizeof(chunk), &read, nullptr)) bytes.append(chunk, read);
  return bytes;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ProgramRun& run) {
  out << WideToUtf8(run.commandLine) << ": ";
  if (!run.started) {
    return out << "not started, error " << run.startError << " (" << SystemErrorText(run.startError)
               << ")";
  }
  // Codes past 255 are mostly NTSTATUS values, such as 0xC0000135 for a DLL
  // that was not found: shown in hexadecimal too.
  constexpr DWORD kLargestPlainCode = 255;
  out << "exit code " << run.exitCode;
  if (run.exitCode > kLargestPlainCode) out << " (0x" << std::hex << run.exitCode << std::dec << ")";
  out << ", output: " << (run.output.empty() ? std::string("(none)") : WideToUtf8(run.output));
  return out << ", error output: "
             << (run.errors.empty() ? std::string("(none)") : WideToUtf8(run.errors));
}

ProgramRun RunAndCapture(std::wstring commandLine) {
  ProgramRun run;
  run.commandLine = commandLine;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE outputRead = nullptr;
  HANDLE outputWrite = nullptr;
  HANDLE errorRead = nullptr;
  HANDLE errorWrite = nullptr;
  if (!CreatePipe(&outputRead, &outputWrite, &inheritable, 0) ||
      !CreatePipe(&errorRead, &errorWrite, &inheritable, 0)) {
    throw std::runtime_error("cannot create pipes: error " + std::to_string(GetLastError()));
  }
  SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errorRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outputWrite;
  startup.hStdError = errorWrite;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  run.started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr,
                               /*bInheritHandles=*/TRUE, 0, nullptr, nullptr, &startup,
                               &process) != FALSE;
  if (!run.started) run.startError = GetLastError();
  CloseHandle(outputWrite);
  CloseHandle(errorWrite);
  // Both pipes at once, so that a child that fills one while the other is
  // read is not held up.
  std::string errors;
  std::thread errorReader([&] { errors = ReadToEnd(errorRead); });
  const std::string output = ReadToEnd(outputRead);
  errorReader.join();
  CloseHandle(outputRead);
  CloseHandle(errorRead);
  if (run.started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  run.output = Utf8ToWide(output);
  run.errors = Utf8ToWide(errors);
  return run;
}

ProgramRun RunProbeCopy(const std::wstring& programPath, const std::string& probe) {
  CreateFolders(programPath.substr(0, programPath.rfind(L'\\')));
  if (!CopyFileW(OwnProgramPath().c_str(), programPath.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy the test program to " + WideToUtf8(programPath) +
                             ": error " + std::to_string(GetLastError()));
  }
  const ProgramRun run = RunAndCapture(L"\"" + programPath + L"\" --probe " +
                                       std::wstring(probe.begin(), probe.end()));
  DeleteFileW(programPath.c_str());
  if (!run.started || run.exitCode != 0 || run.output.empty()) {
    ADD_FAILURE() << "probe " << probe << " gave no findings: " << run;
  }
  return run;
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
  PrintUtf8(name + L"=" + value + L"\n");
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
