#include "processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::wstring ChildProgram() { return BesideOwnProgram(L"childproc.exe"); }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring ChildCommand(const std::wstring& steps) {
  return Quoted(ChildProgram()) + L" " + steps;
}

// What a child's "report" step wrote, once it is there; "" after 20 seconds.
// The child renames the whole report into place: each change of a name in
// its folder is looked at, none is waited for longer than needed.
std::wstring WaitForReport(const std::wstring& path) {
  constexpr DWORD kLongestWaitMs = 20000;
  const std::wstring folder = path.substr(0, path.rfind(L'\\'));
  HANDLE changes = FindFirstChangeNotificationW(folder.c_str(), /*bWatchSubtree=*/FALSE,
                                                FILE_NOTIFY_CHANGE_FILE_NAME);
  if (changes == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot watch the report's folder");
  const auto start = Clock::now();
  std::wstring report;
  for (;;) {
    // ReadBytes shares deletion: the renaming call may still hold the file.
    if (FileExists(path)) {
      report = Utf8ToWide(ReadBytes(path));
      break;
    }
    const auto waited = static_cast<DWORD>(SecondsSince(start) * 1000);
    if (waited >= kLongestWaitMs ||
        WaitForSingleObject(changes, kLongestWaitMs - waited) != WAIT_OBJECT_0) {
      break;
    }
    FindNextChangeNotification(changes);
  }
  FindCloseChangeNotification(changes);
  return report;
}

// A child process, ended when the test is done with it and it still runs.
class Child {
 public:
  explicit Child(HANDLE process) : process_(process) {}
  static Child FromReport(const std::wstring& report) {
    const DWORD pid = static_cast<DWORD>(_wtoi(ProbeValue(report, L"pid").c_str()));
    return Child(pid == 0 ? nullptr
                          : OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                        FALSE, pid));
  }
  Child(Child&& other) noexcept : process_(other.process_) { other.process_ = nullptr; }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
  }
  bool valid() const { return process_ != nullptr; }
  bool Running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  bool EndsWithin(DWORD ms) const { return WaitForSingleObject(process_, ms) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
  }

 private:
  HANDLE process_;
};

Child StartChild(const std::wstring& program, const std::wstring& steps) {
  std::wstring commandLine = Quoted(program) + L" " + steps;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    throw std::runtime_error("cannot start " + WideToUtf8(commandLine) + ": error " +
                             std::to_string(GetLastError()));
  }
  CloseHandle(process.hThread);
  return Child(process.hProcess);
}

// A manual-reset event: named for a child to wait on, or inheritable for a
// child to signal through its handle value.
class Event {
 public:
  enum Kind { kNamed, kInheritable };
  explicit Event(Kind kind) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    if (kind == kNamed) name_ = UniqueName(L"childproc-go");
    event_ = CreateEventW(kind == kInheritable ? &inheritable : nullptr, TRUE, FALSE,
                          kind == kNamed ? name_.c_str() : nullptr);
    if (event_ == nullptr) throw std::runtime_error("cannot create an event");
  }
  ~Event() { CloseHandle(event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  const std::wstring& name() const { return name_; }
  std::wstring value() const { return std::to_wstring(reinterpret_cast<UINT_PTR>(event_)); }
  bool Signalled() const { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
  void Signal() const { SetEvent(event_); }

 private:
  HANDLE event_ = nullptr;
  std::wstring name_;
};

// Every text handed to TerminateProcessesByName in these tests is unique to
// the test: a short or common one would end unrelated processes of the
// prefix, Wine's own included.
constexpr size_t kSafeTextLength = 16;

int TerminateUnique(const std::wstring& text) {
  if (text.size() < kSafeTextLength) throw std::logic_error("text too short to be unique");
  return TerminateProcessesByName(text.c_str());
}

TEST(TerminateProcessesByName, EndsCopiesWhoseNameContainsTheTextCaseSensitively) {
  ScratchFolder scratch(L"terminate");
  const struct {
    const char* what;
    std::wstring (*text)(const std::wstring& base);
    bool ends;
  } cases[] = {
      {"whole name", [](const std::wstring& base) { return base + L".exe"; }, true},
      {"name without extension", [](const std::wstring& base) { return base; }, true},
      {"middle part", [](const std::wstring& base) { return base.substr(3, base.size() - 4); },
       true},
      {"other letter case",
       [](const std::wstring& base) {
         std::wstring upper = base;
         CharUpperW(upper.data());
         return upper;
       },
       false},
      {"absent name", [](const std::wstring& base) { return base + L"-absent"; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring base = UniqueName(L"terminate-victim");
    const std::wstring program = scratch / (base + L".exe");
    ASSERT_TRUE(CopyFileW(ChildProgram().c_str(), program.c_str(), FALSE));
    Child child = StartChild(program, L"sleep forever");

    EXPECT_EQ(TerminateUnique(c.text(base)), 1);
    if (c.ends) {
      ASSERT_TRUE(child.EndsWithin(10000));
      EXPECT_EQ(child.ExitCode(), 0u);
    } else {
      EXPECT_FALSE(child.EndsWithin(1000));
    }
  }
}

// Called directly, past the guard of TerminateUnique: should the empty text
// match again, it ends every process of the prefix that it can open.
TEST(TerminateProcessesByName, EmptyOrNullTextEndsNothing) {
  Child child = StartChild(ChildProgram(), L"sleep forever");
  EXPECT_EQ(TerminateProcessesByName(L""), 1);
  EXPECT_EQ(TerminateProcessesByName(nullptr), 1);
  EXPECT_FALSE(child.EndsWithin(1000));
}

// Ends every process whose name contains this program's own name less its
// extension, this one included if it were not spared, and reports back.
void TerminateOwnNameProbe() {
  const std::wstring path = OwnProgramPath();
  const std::wstring file = path.substr(path.rfind(L'\\') + 1);
  const std::wstring text = file.substr(0, file.rfind(L'.'));
  if (text.size() < kSafeTextLength) {
    ProbePrint(L"refused", text);
    return;
  }
  ProbePrint(L"result", std::to_wstring(TerminateProcessesByName(text.c_str())));
  ProbePrint(L"survived", L"1");
}
const bool kTerminateOwnNameProbe = RegisterProbe("terminate-own-name", TerminateOwnNameProbe);

TEST(TerminateProcessesByName, SparesTheCallerWhoseOwnNameMatches) {
  ScratchFolder scratch(L"terminate-self");
  const std::wstring base = UniqueName(L"selfmatch");
  const std::wstring sibling = scratch / (base + L"-sibling.exe");
  ASSERT_TRUE(CopyFileW(ChildProgram().c_str(), sibling.c_str(), FALSE));
  Child child = StartChild(sibling, L"sleep forever");

  const ProgramRun run = RunProbeCopy(scratch / (base + L".exe"), "terminate-own-name");
  SCOPED_TRACE(run);
  EXPECT_EQ(ProbeValue(run.output, L"result"), L"1");
  EXPECT_EQ(ProbeValue(run.output, L"survived"), L"1");
  EXPECT_TRUE(child.EndsWithin(10000));
}

TEST(RunWithTimeout, WaitsAboutASecondAfterTheChildEnded) {
  ScratchFolder scratch(L"timeout-wait");
  const struct {
    const char* what;
    bool applicationPath;
    int noWait;
    const wchar_t* steps;
    bool touches;  // the steps end with "touch" and want the file's path
    double atLeastSeconds;
  } cases[] = {
      {"ends at once", false, 0, L"exit 3", false, 0.9},
      {"switch 2 waits too", true, 2, L"exit 3", false, 0.9},
      {"ends after a while", false, 2, L"sleep 500 touch", true, 1.9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring done = scratch / UniqueName(L"done");
    const std::wstring steps = c.touches ? c.steps + (L" " + Quoted(done)) : c.steps;
    const std::wstring program = ChildProgram();
    const auto start = Clock::now();
    EXPECT_EQ(RunWithTimeout(c.applicationPath ? program.c_str() : nullptr,
                             ChildCommand(steps).c_str(), SW_SHOWNORMAL, c.noWait),
              0);
    const double seconds = SecondsSince(start);
    EXPECT_GE(seconds, c.atLeastSeconds);
    EXPECT_LT(seconds, 15.0);
    EXPECT_EQ(FileExists(done), c.touches);
  }
}

TEST(RunWithTimeout, NoWaitReturnsWhileTheChildRunsWithTheShowCommandAndNoHandles) {
  ScratchFolder scratch(L"timeout-nowait");
  const std::wstring report = scratch / L"report.txt";
  Event inheritable(Event::kInheritable);
  Event go(Event::kNamed);
  const std::wstring steps = L"report " + Quoted(report) + L" " + inheritable.value() +
                             L" await " + go.name();

  const auto start = Clock::now();
  EXPECT_EQ(RunWithTimeout(nullptr, ChildCommand(steps).c_str(), SW_SHOWMINNOACTIVE, 1), 0);
  EXPECT_LT(SecondsSince(start), 20.0);  // a waiting call would take 30 s

  const std::wstring read = WaitForReport(report);
  Child child = Child::FromReport(read);
  ASSERT_TRUE(child.valid()) << "no report from the child";
  EXPECT_TRUE(child.Running());
  EXPECT_EQ(ProbeValue(read, L"flags"), L"1");
  EXPECT_EQ(ProbeValue(read, L"show"), std::to_wstring(SW_SHOWMINNOACTIVE));
  EXPECT_EQ(ProbeValue(read, L"signalled"), L"0");
  EXPECT_FALSE(inheritable.Signalled());
  go.Signal();
  EXPECT_TRUE(child.EndsWithin(10000));
}

TEST(RunWithTimeout, MissingProgramReturnsAtOnce) {
  ScratchFolder scratch(L"timeout-missing");
  const std::wstring missing = scratch / L"missing.exe";
  const auto start = Clock::now();
  EXPECT_EQ(RunWithTimeout(missing.c_str(), Quoted(missing).c_str(), SW_SHOWNORMAL, 0), 0);
  EXPECT_LT(SecondsSince(start), 0.9);  // a single poll would take a second
}

// The one long test: about thirty seconds.
TEST(RunWithTimeout, EndsAChildThatNeverEndsAfterThirtyPolls) {
  ScratchFolder scratch(L"timeout-limit");
  const std::wstring report = scratch / L"report.txt";
  const std::wstring command = ChildCommand(L"report " + Quoted(report) + L" sleep forever");

  const auto start = Clock::now();
  std::thread run([&] { RunWithTimeout(nullptr, command.c_str(), SW_HIDE, 0); });
  Child child = Child::FromReport(WaitForReport(report));
  run.join();
  const double seconds = SecondsSince(start);

  ASSERT_TRUE(child.valid()) << "no report from the child";
  EXPECT_GE(seconds, 29.0);
  EXPECT_LT(seconds, 60.0);
  ASSERT_TRUE(child.EndsWithin(10000));
  EXPECT_EQ(child.ExitCode(), 0u);
}

TEST(RunHiddenAndWait, WaitsForAHiddenChildThatInheritsHandles) {
  ScratchFolder scratch(L"hidden-wait");
  const std::wstring report = scratch / L"report.txt";
  const std::wstring done = scratch / L"done";
  Event inheritable(Event::kInheritable);
  const std::wstring steps = L"report " + Quoted(report) + L" " + inheritable.value() +
                             L" sleep 500 touch " + Quoted(done);

  EXPECT_NE(RunHiddenAndWait(ChildCommand(steps).c_str()), 0);
  EXPECT_TRUE(FileExists(done));
  const std::wstring read = WaitForReport(report);
  EXPECT_EQ(ProbeValue(read, L"flags"), L"1");
  EXPECT_EQ(ProbeValue(read, L"show"), std::to_wstring(SW_HIDE));
  EXPECT_EQ(ProbeValue(read, L"signalled"), L"1");
  EXPECT_TRUE(inheritable.Signalled());
}

TEST(RunHiddenDetached, ReturnsWhileTheHiddenChildRunsWithInheritedHandles) {
  ScratchFolder scratch(L"hidden-detached");
  const std::wstring report = scratch / L"report.txt";
  const std::wstring done = scratch / L"done";
  Event inheritable(Event::kInheritable);
  Event go(Event::kNamed);
  const std::wstring steps = L"report " + Quoted(report) + L" " + inheritable.value() +
                             L" await " + go.name() + L" touch " + Quoted(done);

  EXPECT_NE(RunHiddenDetached(ChildCommand(steps).c_str()), 0);
  const std::wstring read = WaitForReport(report);
  Child child = Child::FromReport(read);
  ASSERT_TRUE(child.valid()) << "no report from the child";
  EXPECT_TRUE(child.Running());
  EXPECT_FALSE(FileExists(done));
  EXPECT_EQ(ProbeValue(read, L"flags"), L"1");
  EXPECT_EQ(ProbeValue(read, L"show"), std::to_wstring(SW_HIDE));
  EXPECT_EQ(ProbeValue(read, L"signalled"), L"1");
  EXPECT_TRUE(inheritable.Signalled());
  go.Signal();
  EXPECT_TRUE(child.EndsWithin(10000));
  EXPECT_TRUE(FileExists(done));
}

TEST(HiddenLaunchers, MissingProgramGivesMinusOne) {
  ScratchFolder scratch(L"hidden-missing");
  const std::wstring missing = Quoted(scratch / L"missing.exe") + L" exit 0";
  EXPECT_EQ(RunHiddenAndWait(missing.c_str()), kLaunchFailed);
  EXPECT_EQ(RunHiddenDetached(missing.c_str()), kLaunchFailed);
}

TEST(ShellRunAndWait, WaitsForTheProgramTheShellStarted) {
  ScratchFolder scratch(L"shell-wait");
  const std::wstring report = scratch / L"report.txt";
  const std::wstring done = scratch / L"done";
  const std::wstring parameters =
      L"report " + Quoted(report) + L" sleep 500 touch " + Quoted(done);

  EXPECT_NE(ShellRunAndWait(ChildProgram().c_str(), parameters.c_str(), SW_SHOWMINIMIZED), 0);
  EXPECT_TRUE(FileExists(done));
  const std::wstring read = WaitForReport(report);
  EXPECT_EQ(ProbeValue(read, L"flags"), L"1");
  EXPECT_EQ(ProbeValue(read, L"show"), std::to_wstring(SW_SHOWMINIMIZED));
}

TEST(ShellOpen, ReturnsWhileTheProgramRuns) {
  ScratchFolder scratch(L"shell-open");
  const std::wstring report = scratch / L"report.txt";
  const std::wstring done = scratch / L"done";
  Event go(Event::kNamed);
  const std::wstring parameters =
      L"report " + Quoted(report) + L" await " + go.name() + L" touch " + Quoted(done);

  EXPECT_NE(ShellOpen(ChildProgram().c_str(), parameters.c_str(), SW_SHOWNORMAL), 0);
  const std::wstring read = WaitForReport(report);
  Child child = Child::FromReport(read);
  ASSERT_TRUE(child.valid()) << "no report from the child";
  EXPECT_TRUE(child.Running());
  EXPECT_FALSE(FileExists(done));
  EXPECT_EQ(ProbeValue(read, L"show"), std::to_wstring(SW_SHOWNORMAL));
  go.Signal();
  EXPECT_TRUE(child.EndsWithin(10000));
  EXPECT_TRUE(FileExists(done));
}

}  // namespace
