// Helpers for the library's tests: scratch folders and files, buffers with
// guards, registry keys, the suite's start-menu folders, the two kinds of user,
// and runs of a copy of this test program placed elsewhere. One of each: a
// test that needs another shape extends these.
#pragma once

#include <windows.h>

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// --- Files and text ------------------------------------------------------------

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

// Both throw std::runtime_error when the file cannot be opened. ReadBytes
// shares reading, writing and deletion with whoever has the file open.
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
std::wstring Utf8ToWide(const std::string& bytes);
// For failure messages, which GoogleTest prints as narrow text.
std::string WideToUtf8(const std::wstring& text);
// A name no other test or run uses, for folders in shared places.
std::wstring UniqueName(const std::wstring& tag);

// This test program's full path, and a file that the build puts beside it
// (the test tools, the planted DLL).
std::wstring OwnProgramPath();
std::wstring BesideOwnProgram(const std::wstring& name);

// --- Buffers the library writes into ------------------------------------------

// `capacity` units for a call to fill, followed by kGuardUnits more, every one
// set to kSentinel first: what a call wrote, and any write past the capacity
// it was given, shows.
class GuardedBuffer {
 public:
  static constexpr wchar_t kSentinel = 0xABCD;
  static constexpr size_t kGuardUnits = 64;
  explicit GuardedBuffer(size_t capacity)
      : units_(capacity + kGuardUnits, kSentinel), capacity_(capacity) {}
  wchar_t* data() { return units_.data(); }
  DWORD capacity() const { return static_cast<DWORD>(capacity_); }
  // What was written, up to its terminator (every unit when there is none).
  std::wstring text() const;
  // Whether every unit from `first` on still holds the sentinel.
  bool untouchedFrom(size_t first) const;
  bool untouched() const { return untouchedFrom(0); }
  // Nothing was written past the capacity.
  bool guardIntact() const { return untouchedFrom(capacity_); }

 private:
  std::vector<wchar_t> units_;
  size_t capacity_;
};

// --- Environment ---------------------------------------------------------------

// A variable of this process's environment; nullopt when it is not set.
std::optional<std::wstring> EnvironmentVariable(const std::wstring& name);

// Sets (or, with null, removes) an environment variable of this process for
// the object's lifetime.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

// --- Registry ------------------------------------------------------------------
//
// `view`, wherever it is taken, is 0 for this program's own registry view, or
// KEY_WOW64_64KEY or KEY_WOW64_32KEY for one of the two views of a 64-bit
// Windows (a 32-bit Windows has one registry and ignores both flags). `root`
// may also be a key a test opened itself. The writers create missing keys and
// throw std::runtime_error when they cannot write.

struct RegistryValue {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  // The data as UTF-16 text up to its first NUL.
  std::wstring text() const;
};

RegistryValue ReadRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name,
                                REGSAM view = 0);
void CreateRegistryKey(HKEY root, const std::wstring& subkey, REGSAM view = 0);
void WriteRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name,
                        DWORD type, const void* data, size_t size, REGSAM view = 0);
// A REG_SZ value with its terminator.
void WriteRegistryText(HKEY root, const std::wstring& subkey, const std::wstring& name,
                       const std::wstring& text, REGSAM view = 0);

// A registry key of the test's own, deleted with its subkeys when the object
// goes, whoever made it.
class TestKey {
 public:
  // A new key below HKEY_CURRENT_USER\Software\menutools-tests, made at once.
  TestKey();
  // `path` below `root` in `view`; made by Create, handle or a write.
  TestKey(HKEY root, std::wstring path, REGSAM view = 0);
  ~TestKey();
  TestKey(const TestKey&) = delete;
  TestKey& operator=(const TestKey&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& subkey) const { return path_ + L"\\" + subkey; }
  void Create() const;
  bool Exists() const;
  // The key opened with all access, made when missing; closed when the object
  // goes.
  HKEY handle();
  void SetText(const std::wstring& name, const std::wstring& text) const;

 private:
  HKEY root_;
  std::wstring path_;
  REGSAM view_;
  bool ownParent_ = false;
  HKEY key_ = nullptr;
};

// While it lives, `root` (HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE) means a key
// of the test's own in this process: empty at first, filled through key().
class OverriddenRoot {
 public:
  explicit OverriddenRoot(HKEY root);
  ~OverriddenRoot();
  OverriddenRoot(const OverriddenRoot&) = delete;
  OverriddenRoot& operator=(const OverriddenRoot&) = delete;
  bool active() const { return active_; }
  HKEY key() { return standIn_.handle(); }

 private:
  HKEY root_;
  TestKey standIn_;
  bool active_ = false;
};

// --- Users and the start menu ---------------------------------------------------

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

// A kind of user the programs run as, and the Programs folders (CSIDL) of the
// shell: the one the library works in for that user, and the other one.
struct TestUser {
  bool standard;  // false: the elevated administrator this process is
  int programs;
  int otherPrograms;
};

// Runs `body` as each kind of user: the elevated administrator, then a
// standard user (the calling thread impersonates one for the call), each
// under a trace that names the user.
void ForEachUser(const std::function<void(const TestUser& user)>& body);

// The path of a shell folder (CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS, ...).
std::wstring ShellFolder(int csidl);

// The Programs folder the library works in for the calling thread.
std::wstring ProgramsFolderInUse();

// The suite's start-menu folders, `name`\Fluid Dynamics below a Programs
// folder, removed with everything in them when the object goes. Nothing is
// made until the test (or the library) makes it.
class StartMenuFolders {
 public:
  static constexpr int kProgramsInUse = -1;
  // Below the Programs folder `csidl`, or with kProgramsInUse the one the
  // library works in for the calling thread now; under a new name, or under
  // the `name` of other folders of the test.
  explicit StartMenuFolders(int csidl = kProgramsInUse, const std::wstring& name = L"");
  ~StartMenuFolders();
  StartMenuFolders(const StartMenuFolders&) = delete;
  StartMenuFolders& operator=(const StartMenuFolders&) = delete;
  const std::wstring& programs() const { return programs_; }
  const std::wstring& name() const { return name_; }
  std::wstring suite() const { return programs_ + L"\\" + name_; }
  std::wstring fluidDynamics() const { return suite() + L"\\Fluid Dynamics"; }
  // The folder argument as both programs pass it.
  std::wstring argument() const { return L"\\" + name_ + L"\\Fluid Dynamics\\"; }
  // A file in Fluid Dynamics, its path as the file system reads it.
  std::wstring link(const std::wstring& file) const { return fluidDynamics() + L"\\" + file; }
  // Makes the suite's folder and Fluid Dynamics; throws when it cannot.
  void Create() const;

 private:
  std::wstring programs_;
  std::wstring name_;
};

// The suite's launcher, "<baseName>[ <suffix>].lnk" to D:\S\RUVO\bin\ruvo5.exe
// with its icon and %USERPROFILE% to start in, made by CreateProgramsShortcut
// in `folder` (as the programs pass it); returns what that returns.
int CreateLauncher(const std::wstring& folder, const wchar_t* suffix,
                   const wchar_t* baseName = L"RUVO");
constexpr wchar_t kLauncherTarget[] = L"D:\\S\\RUVO\\bin\\ruvo5.exe";
constexpr wchar_t kLauncherIcon[] = L"D:\\S\\RUVO\\icons\\ruvo_hi.ico";

// --- Shared state and processes ------------------------------------------------

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

// Whether this program is a 32-bit one under WOW64, on a 64-bit Windows, as
// the system answers it (IsWow64Process), and whether the system is a 64-bit
// Windows at all: this program is a 64-bit one, or runs under WOW64. The tests
// that differ between the platforms ask these, not the test run's settings.
bool RunsUnderWow64();
bool OnWindows64();

// How a program that a test ran ended, and what it wrote, each stream decoded
// from UTF-8.
struct ProgramRun {
  std::wstring commandLine;
  bool started = false;
  DWORD startError = ERROR_SUCCESS;  // CreateProcessW's error when it did not start
  DWORD exitCode = 0;
  std::wstring output;  // standard output
  std::wstring errors;  // standard error
};

// For failure messages (SCOPED_TRACE(run), EXPECT_...() << run): the command
// line, and the system's error and its text when the program did not start,
// otherwise its exit code and what it wrote to its output and error output.
std::ostream& operator<<(std::ostream& out, const ProgramRun& run);

// Runs `commandLine` with its standard output and error each on a pipe of its
// own, waits for it to end and for both pipes to be closed, and returns how it
// ended.
ProgramRun RunAndCapture(std::wstring commandLine);

// Copies this test program to `programPath` (creating its folders), runs it
// there with `--probe NAME`, deletes the copy and returns how the run ended.
// Probes are the functions registered below; they print "name=value" lines
// on standard output. A run that did not start, ended with another exit code
// than 0, or printed nothing is a failure of the calling test, reported here
// with what the run gave.
ProgramRun RunProbeCopy(const std::wstring& programPath, const std::string& probe);

// "name=value" lines parsed into the value of `name` ("" when absent).
std::wstring ProbeValue(const std::wstring& output, const std::wstring& name);

// Probes run inside copies of this program; each prints its findings.
using ProbeFunction = void (*)();
bool RegisterProbe(const char* name, ProbeFunction probe);
void ProbePrint(const std::wstring& name, const std::wstring& value);
