// Helpers for the library's tests: scratch folders, files, a standard user's
// token, and runs of a copy of this test program placed elsewhere.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A new empty folder under the temporary folder, unique to this process and
// call, removed with everything in it when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::wstring& tag);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Deletes a file or a folder with everything in it; missing paths are fine.
void RemoveTree(const std::wstring& path);

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
std::wstring Utf8ToWide(const std::string& bytes);
// A name no other test or run uses, for folders in shared places.
std::wstring UniqueName(const std::wstring& tag);

// While it lives, the calling thread impersonates a standard user: its own
// token with the Administrators group deny-only.
class StandardUserScope {
 public:
  StandardUserScope();
  ~StandardUserScope();
  StandardUserScope(const StandardUserScope&) = delete;
  StandardUserScope& operator=(const StandardUserScope&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

// Sets (or, with null, removes) an environment variable of this process for
// the object's lifetime.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size > 0) {
      std::wstring old(size, L'\0');
      old.resize(GetEnvironmentVariableW(name, old.data(), size));
      old_ = old;
      had_ = true;
    }
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnvironmentVariable() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::wstring name_;
  std::wstring old_;
  bool had_ = false;
};

// While it lives, this process has its turn at something that tests in
// parallel processes share (a registry key, the windows of the prefix): a
// named mutex, waited for at most five minutes.
class TestTurn {
 public:
  explicit TestTurn(const wchar_t* name);
  ~TestTurn();
  TestTurn(const TestTurn&) = delete;
  TestTurn& operator=(const TestTurn&) = delete;

 private:
  HANDLE mutex_ = nullptr;
};

// The path of a shell folder (CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS, ...).
std::wstring ShellFolder(int csidl);

// Whether this 32-bit program runs under WOW64, on a 64-bit Windows, as the
// system answers it (IsWow64Process). The tests that differ between the two
// platforms ask this, not the test run's settings.
bool RunsUnderWow64();

// Runs `commandLine` on this program's console, waits for it to end and
// returns what it wrote to its standard output and error, decoded from UTF-8.
std::wstring RunAndCapture(std::wstring commandLine);

// Copies this test program to `programPath` (creating its folders), runs it
// there with `--probe NAME` and returns what it printed. Probes are the
// functions registered below; they print "name=value" lines.
std::wstring RunProbeCopy(const std::wstring& programPath, const std::string& probe);

// "name=value" lines parsed into the value of `name` ("" when absent).
std::wstring ProbeValue(const std::wstring& output, const std::wstring& name);

// Probes run inside copies of this program; each prints its findings.
using ProbeFunction = void (*)();
bool RegisterProbe(const char* name, ProbeFunction probe);
void ProbePrint(const std::wstring& name, const std::wstring& value);
