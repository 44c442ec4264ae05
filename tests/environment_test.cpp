#include "environment.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr wchar_t kUserKey[] = L"Environment";
constexpr wchar_t kMachineKey[] = L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
bool UserValueExists(const std::wstring& name) {
  return ReadRegistryValue(HKEY_CURRENT_USER, kUserKey, name).exists;
}
bool MachineValueExists(const std::wstring& name) {
  return ReadRegistryValue(HKEY_LOCAL_MACHINE, kMachineKey, name).exists;
}

// A variable name of the test's own; its values in both environment keys and
// in the process are removed when the test is done, however it ended.
class OwnVariable {
 public:
  explicit OwnVariable(const wchar_t* tag) : name_(UniqueName(tag)) {}
  ~OwnVariable() {
    for (const auto& place : {std::make_pair(HKEY_CURRENT_USER, kUserKey),
                              std::make_pair(HKEY_LOCAL_MACHINE, kMachineKey)}) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(place.first, place.second, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name_.c_str());
        RegCloseKey(key);
      }
    }
    SetEnvironmentVariableW(name_.c_str(), nullptr);
  }
  OwnVariable(const OwnVariable&) = delete;
  OwnVariable& operator=(const OwnVariable&) = delete;
  const std::wstring& name() const { return name_; }
  const wchar_t* c_str() const { return name_.c_str(); }

 private:
  std::wstring name_;
};

// Environment broadcasts reach every top-level window of the prefix, those of
// parallel test processes too: the tests that send or count them take turns.
constexpr wchar_t kBroadcastTurn[] = L"menutools-environment-broadcasts";

// A hidden top-level window on a thread of its own that counts the
// environment broadcasts it receives and, for each, notes what `look` says.
class BroadcastListener {
 public:
  explicit BroadcastListener(std::function<std::wstring()> look = nullptr)
      : look_(std::move(look)) {
    std::promise<HWND> created;
    std::future<HWND> window = created.get_future();
    thread_ = std::thread([this, &created] { Run(&created); });
    window_ = window.get();
    if (window_ == nullptr) {
      thread_.join();
      throw std::runtime_error("cannot create the listening window");
    }
  }
  ~BroadcastListener() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
  }
  BroadcastListener(const BroadcastListener&) = delete;
  BroadcastListener& operator=(const BroadcastListener&) = delete;

  // What each broadcast received so far saw, in order. A broadcast that
  // timed out is still in the window's queue: a plain message sent afterwards
  // is handled after it.
  std::vector<std::wstring> Seen() {
    SendMessageW(window_, WM_NULL, 0, 0);
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
  }

 private:
  static constexpr wchar_t kClass[] = L"menutools-environment-listener";

  void Run(std::promise<HWND>* created) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClass;
    RegisterClassW(&windowClass);  // a second registration fails harmlessly
    HWND window = CreateWindowExW(0, kClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), this);
    created->set_value(window);
    if (window == nullptr) return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<BroadcastListener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_SETTINGCHANGE && self != nullptr &&
        wParam == RegisterWindowMessageW(L"Environment") && lParam != 0 &&
        wcscmp(reinterpret_cast<const wchar_t*>(lParam), L"Environment") == 0) {
      const std::wstring look = self->look_ ? self->look_() : L"";
      std::lock_guard<std::mutex> hold(self->lock_);
      self->seen_.push_back(look);
      return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
  }

  std::function<std::wstring()> look_;
  std::thread thread_;
  HWND window_ = nullptr;
  std::mutex lock_;
  std::vector<std::wstring> seen_;
};

std::vector<BYTE> BytesOf(const void* data, size_t size) {
  const auto* bytes = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(bytes, bytes + size);
}

TEST(SetEnvironmentValue, WritesEachTypeWithItsSizeAndMirrorsOnlyPlainStrings) {
  TestTurn turn(kBroadcastTurn);
  BroadcastListener listener;
  const wchar_t text[] = L"C:\\Velmora tests;D:\\x";
  const wchar_t expandable[] = L"%SystemRoot%\\velmora";
  // Four bytes to write, then four that must stay out of the registry.
  const DWORD number[] = {0x12345678, 0xAAAAAAAA};
  const struct {
    const char* what;
    DWORD type;
    const void* data;
    size_t size;
    bool mirrored;
  } types[] = {
      {"REG_SZ", REG_SZ, text, sizeof(text), true},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, expandable, sizeof(expandable), false},
      {"REG_DWORD", REG_DWORD, number, sizeof(DWORD), false},
      {"REG_BINARY", REG_BINARY, number, sizeof(DWORD), false},
  };
  const struct {
    int scope;
    HKEY root;
    const wchar_t* key;
    HKEY otherRoot;
    const wchar_t* otherKey;
  } scopes[] = {{kUserScope, HKEY_CURRENT_USER, kUserKey, HKEY_LOCAL_MACHINE, kMachineKey},
                {kMachineScope, HKEY_LOCAL_MACHINE, kMachineKey, HKEY_CURRENT_USER, kUserKey}};
  for (const auto& s : scopes) {
    for (const auto& t : types) {
      SCOPED_TRACE(std::string(t.what) + " in scope " + std::to_string(s.scope));
      OwnVariable variable(L"VELMORA_SET");
      const size_t before = listener.Seen().size();

      EXPECT_EQ(SetEnvironmentValue(variable.c_str(), t.data, t.type, s.scope), S_OK);

      const RegistryValue written = ReadRegistryValue(s.root, s.key, variable.name());
      ASSERT_TRUE(written.exists);
      EXPECT_EQ(written.type, t.type);
      EXPECT_EQ(written.data, BytesOf(t.data, t.size));
      EXPECT_FALSE(ReadRegistryValue(s.otherRoot, s.otherKey, variable.name()).exists);
      EXPECT_EQ(listener.Seen().size(), before + 1);
      if (t.mirrored) {
        EXPECT_EQ(EnvironmentVariable(variable.name()), std::wstring(text));
      } else {
        EXPECT_FALSE(EnvironmentVariable(variable.name()).has_value());
      }
    }
  }
}

TEST(SetEnvironmentValue, RefusedWriteGivesEFailAndChangesNothingElse) {
  TestTurn turn(kBroadcastTurn);
  BroadcastListener listener;
  // Longer than any value name the registry accepts.
  const std::wstring name = UniqueName(L"VELMORA_LONG") + std::wstring(17000, L'N');
  EXPECT_EQ(SetEnvironmentValue(name.c_str(), L"x", REG_SZ, kUserScope), E_FAIL);
  EXPECT_FALSE(UserValueExists(name));
  EXPECT_FALSE(EnvironmentVariable(name).has_value());
  EXPECT_TRUE(listener.Seen().empty());
}

TEST(EnvironmentValues, UnknownScopeIsRefusedAndTouchesNothing) {
  TestTurn turn(kBroadcastTurn);
  BroadcastListener listener;
  const DWORD number = 7;
  for (const int scope : {2, -1}) {
    SCOPED_TRACE(scope);
    OwnVariable variable(L"VELMORA_SCOPE");
    EXPECT_EQ(SetEnvironmentValue(variable.c_str(), L"new", REG_SZ, scope), E_INVALIDARG);
    EXPECT_EQ(SetEnvironmentValue(variable.c_str(), &number, REG_DWORD, scope), E_INVALIDARG);
    EXPECT_FALSE(UserValueExists(variable.name()));
    EXPECT_FALSE(MachineValueExists(variable.name()));
    EXPECT_FALSE(EnvironmentVariable(variable.name()).has_value());

    WriteRegistryText(HKEY_CURRENT_USER, kUserKey, variable.name(), L"user");
    WriteRegistryText(HKEY_LOCAL_MACHINE, kMachineKey, variable.name(), L"machine");
    SetEnvironmentVariableW(variable.c_str(), L"process");
    EXPECT_EQ(DeleteEnvironmentValue(variable.c_str(), scope), E_INVALIDARG);
    EXPECT_TRUE(UserValueExists(variable.name()));
    EXPECT_TRUE(MachineValueExists(variable.name()));
    EXPECT_EQ(EnvironmentVariable(variable.name()), std::wstring(L"process"));
    EXPECT_TRUE(listener.Seen().empty());
  }
}

// What a broadcast saw: which of the two values of `name` were still there.
std::function<std::wstring()> LookAtValues(const std::wstring& name) {
  return [name] {
    return std::wstring(L"user=") + (UserValueExists(name) ? L"1" : L"0") +
           L" machine=" + (MachineValueExists(name) ? L"1" : L"0");
  };
}

TEST(DeleteEnvironmentValue, DeletesTheScopesValuesUserFirstAndAnnouncesEachDeletion) {
  TestTurn turn(kBroadcastTurn);
  const struct {
    const char* what;
    int scope;
    bool user;
    bool machine;
    std::vector<std::wstring> seen;  // by each broadcast, in order
  } cases[] = {
      {"user scope, both set", kUserScope, true, true, {L"user=0 machine=1"}},
      {"user scope, none set", kUserScope, false, false, {}},
      {"machine scope, both set", kMachineScope, true, true,
       {L"user=0 machine=1", L"user=0 machine=0"}},
      {"machine scope, machine set", kMachineScope, false, true, {L"user=0 machine=0"}},
      {"machine scope, user set", kMachineScope, true, false, {L"user=0 machine=0"}},
      {"machine scope, none set", kMachineScope, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OwnVariable variable(L"VELMORA_DELETE");
    BroadcastListener listener(LookAtValues(variable.name()));
    // A number value: the process's variable goes with any deleted type.
    const DWORD number = 1;
    if (c.user) {
      WriteRegistryValue(HKEY_CURRENT_USER, kUserKey, variable.name(), REG_DWORD, &number,
                         sizeof(number));
    }
    if (c.machine) WriteRegistryText(HKEY_LOCAL_MACHINE, kMachineKey, variable.name(), L"machine");
    SetEnvironmentVariableW(variable.c_str(), L"process");

    EXPECT_EQ(DeleteEnvironmentValue(variable.c_str(), c.scope), S_OK);

    // A window that answers after the 50 ms time-out looks too late and sees
    // the final state; it never sees a value that an earlier step deleted.
    const std::wstring finalLook = LookAtValues(variable.name())();
    const std::vector<std::wstring> seen = listener.Seen();
    ASSERT_EQ(seen.size(), c.seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_TRUE(seen[i] == c.seen[i] || seen[i] == finalLook) << "broadcast " << i;
    }
    EXPECT_FALSE(UserValueExists(variable.name()));
    EXPECT_EQ(MachineValueExists(variable.name()), c.machine && c.scope == kUserScope);
    if (c.seen.empty()) {
      EXPECT_EQ(EnvironmentVariable(variable.name()), std::wstring(L"process"));
    } else {
      EXPECT_FALSE(EnvironmentVariable(variable.name()).has_value());
    }
  }
}

TEST(EnvironmentValues, KeyThatDoesNotOpenGivesEFailAndChangesNothing) {
  TestTurn turn(kBroadcastTurn);
  BroadcastListener listener;
  OwnVariable variable(L"VELMORA_NOKEY");
  SetEnvironmentVariableW(variable.c_str(), L"process");
  {
    OverriddenRoot noUserKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(noUserKey.active());
    EXPECT_EQ(SetEnvironmentValue(variable.c_str(), L"new", REG_SZ, kUserScope), E_FAIL);
    EXPECT_EQ(DeleteEnvironmentValue(variable.c_str(), kUserScope), E_FAIL);
  }

  // In the machine scope each of the two keys is needed: the one that does
  // not open keeps the other's value.
  WriteRegistryText(HKEY_CURRENT_USER, kUserKey, variable.name(), L"user");
  {
    OverriddenRoot noMachineKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(noMachineKey.active());
    EXPECT_EQ(SetEnvironmentValue(variable.c_str(), L"new", REG_SZ, kMachineScope), E_FAIL);
    EXPECT_EQ(DeleteEnvironmentValue(variable.c_str(), kMachineScope), E_FAIL);
  }
  EXPECT_TRUE(UserValueExists(variable.name()));

  WriteRegistryText(HKEY_LOCAL_MACHINE, kMachineKey, variable.name(), L"machine");
  {
    OverriddenRoot noUserKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(noUserKey.active());
    EXPECT_EQ(DeleteEnvironmentValue(variable.c_str(), kMachineScope), E_FAIL);
  }
  EXPECT_TRUE(MachineValueExists(variable.name()));
  EXPECT_EQ(EnvironmentVariable(variable.name()), std::wstring(L"process"));
  EXPECT_TRUE(listener.Seen().empty());
}

// What the 64-bit reg.exe of a 64-bit Windows prints for one value; a 32-bit
// program under WOW64 reaches the native System32 folder as Sysnative.
ProgramRun QueryWith64BitReg(const std::wstring& key, const std::wstring& name) {
  wchar_t windows[MAX_PATH + 1] = L"";
  GetWindowsDirectoryW(windows, MAX_PATH);
  const wchar_t* nativeSystem = RunsUnderWow64() ? L"\\Sysnative" : L"\\System32";
  return RunAndCapture(L"\"" + std::wstring(windows) + nativeSystem + L"\\reg.exe\" query \"" +
                       key + L"\" /v \"" + name + L"\"");
}

// Neither environment key lies under a key that a 64-bit Windows keeps apart
// for 32-bit programs: what this program writes or deletes there, 32-bit or
// 64-bit, is what 64-bit programs (Explorer, which starts new processes, among
// them) read.
TEST(EnvironmentValues, WrittenAndDeletedValuesAreWhatA64BitReaderSees) {
  TestTurn turn(kBroadcastTurn);
  const bool windows64 = OnWindows64();
  const struct {
    int scope;
    HKEY root;
    const wchar_t* key;
    const wchar_t* rootName;
  } scopes[] = {{kUserScope, HKEY_CURRENT_USER, kUserKey, L"HKCU"},
                {kMachineScope, HKEY_LOCAL_MACHINE, kMachineKey, L"HKLM"}};
  for (const auto& s : scopes) {
    SCOPED_TRACE(s.rootName);
    OwnVariable variable(L"VELMORA_WOW64");
    const std::wstring value = L"C:\\Velmora " + variable.name();
    const std::wstring key = std::wstring(s.rootName) + L"\\" + s.key;
    ASSERT_EQ(SetEnvironmentValue(variable.c_str(), value.c_str(), REG_SZ, s.scope), S_OK);
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      const RegistryValue read = ReadRegistryValue(s.root, s.key, variable.name(), view);
      EXPECT_TRUE(read.exists) << "view " << view;
      EXPECT_EQ(read.data, BytesOf(value.c_str(), (value.size() + 1) * sizeof(wchar_t)))
          << "view " << view;
    }
    if (windows64) {
      const ProgramRun printed = QueryWith64BitReg(key, variable.name());
      EXPECT_NE(printed.output.find(variable.name() + L"    REG_SZ    " + value + L"\r\n"),
                std::wstring::npos)
          << printed;
    }

    ASSERT_EQ(DeleteEnvironmentValue(variable.c_str(), s.scope), S_OK);
    EXPECT_FALSE(ReadRegistryValue(s.root, s.key, variable.name(), KEY_WOW64_64KEY).exists);
    if (windows64) {
      const ProgramRun printed = QueryWith64BitReg(key, variable.name());
      // reg.exe ran, and found no such value.
      constexpr DWORD kRegFailed = 1;
      EXPECT_EQ(printed.exitCode, kRegFailed) << printed;
      EXPECT_EQ(printed.output.find(variable.name()), std::wstring::npos) << printed;
    }
  }
}

std::vector<BYTE> TextBytes(const std::wstring& text, bool terminated) {
  return BytesOf(text.c_str(), (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

TEST(ReadRegistryString, ReadsTheValueAsTextCutToTheBuffer) {
  const std::wstring longest(kRegistryStringCapacity - 1, L'L');
  const std::wstring filling(kRegistryStringCapacity, L'F');
  const DWORD number = 0x00410042;  // the units 'B', 'A'
  const struct {
    const char* what;
    const wchar_t* storedName;  // null: nothing stored
    DWORD type;
    std::vector<BYTE> data;
    const wchar_t* askedName;
    std::wstring expected;
  } cases[] = {
      {"plain text", L"v", REG_SZ, TextBytes(L"C:\\Velmora", true), L"v", L"C:\\Velmora"},
      {"missing value", nullptr, REG_SZ, {}, L"v", L""},
      {"259 characters", L"v", REG_SZ, TextBytes(longest, true), L"v", longest},
      {"over 520 bytes", L"v", REG_SZ, TextBytes(filling, true), L"v", L""},
      {"default value by empty name", L"", REG_SZ, TextBytes(L"default", true), L"", L"default"},
      {"default value by null name", L"", REG_SZ, TextBytes(L"default", true), nullptr,
       L"default"},
      {"text up to the first NUL", L"v", REG_MULTI_SZ, TextBytes(std::wstring(L"one\0two", 7), true),
       L"v", L"one"},
      {"number read as text", L"v", REG_DWORD, BytesOf(&number, sizeof(number)), L"v", L"BA"},
      {"short data without terminator", L"v", REG_BINARY, TextBytes(L"hi", false), L"v", L"hi"},
      {"filling string without terminator", L"v", REG_SZ, TextBytes(filling, false), L"v",
       filling.substr(1)},
      {"filling data without terminator", L"v", REG_BINARY, TextBytes(filling, false), L"v",
       filling.substr(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestKey parent;
    CreateRegistryKey(parent.handle(), L"sub\\key");
    if (c.storedName != nullptr) {
      WriteRegistryValue(parent.handle(), L"sub\\key", c.storedName, c.type, c.data.data(),
                         c.data.size());
    }

    GuardedBuffer output(kRegistryStringCapacity);
    ReadRegistryString(parent.handle(), L"sub\\key", output.data(), c.askedName);
    EXPECT_EQ(output.text(), c.expected);
    EXPECT_TRUE(output.guardIntact());
  }
}

TEST(ReadRegistryString, MissingKeyLeavesTheOutputAsItWas) {
  TestKey parent;
  GuardedBuffer output(kRegistryStringCapacity);
  ReadRegistryString(parent.handle(), L"missing", output.data(), L"v");
  EXPECT_TRUE(output.untouched());
}

TEST(ReadRegistryString, EmptySubkeyReadsTheGivenKeyAndLeavesItOpen) {
  TestKey own;
  own.SetText(L"v", L"own");
  GuardedBuffer output(kRegistryStringCapacity);
  ReadRegistryString(own.handle(), L"", output.data(), L"v");
  EXPECT_EQ(output.text(), L"own");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(own.handle(), L"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
}

}  // namespace
