#include "dialog_text.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

// String resources of this program (libtests.rc), numbered kBase + offset.
constexpr int kBase = 1000;
constexpr int kAscii = 0;
constexpr int kUmlaut = 1;
constexpr int kMixed = 2;
constexpr int kNotUtf8 = 3;
constexpr int kLong = 4;
constexpr int kMissingInBlock = 5;    // same block of sixteen as the others, no string
constexpr int kMissingBlock = 2000;   // no block at all
constexpr int kLongStoredLength = 4200;
constexpr int kLoadedLength = kStringResourceCapacity - 1;

const wchar_t kMixedText[] = L"Gr\u00FC\u00DFe \U0001F600 \u20AC";

HINSTANCE Self() { return GetModuleHandleW(nullptr); }

// The long stored string: the alphabet over and over.
std::wstring Alphabet(int length) {
  std::wstring text;
  for (int i = 0; i < length; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
  return text;
}

// Both calls of the protocol: the size, then the text in a buffer of that size.
struct Loaded {
  int size = 0;
  int filled = 0;
  std::wstring text;
  bool guardIntact = false;
};

Loaded Load(int base, int offset) {
  Loaded loaded;
  loaded.size = LoadUtf8String(base, Self(), offset, nullptr, 0);
  if (loaded.size < 1) return loaded;
  GuardedBuffer buffer(static_cast<size_t>(loaded.size));
  loaded.filled = LoadUtf8String(base, Self(), offset, buffer.data(), loaded.size);
  loaded.text = buffer.text();
  loaded.guardIntact = buffer.guardIntact();
  return loaded;
}

TEST(LoadUtf8String, DecodesTheUtf8BytesThatTheStoredCharactersCarry) {
  const struct {
    int base;
    int offset;
    const wchar_t* text;
  } cases[] = {
      {kBase, kAscii, L"Ready to install"},
      {kBase, kUmlaut, L"\u00E4"},
      {kBase, kMixed, kMixedText},
      {kBase + kMixed, 0, kMixedText},  // the identifier is the sum
      {0, kBase + kMixed, kMixedText},
      {kBase, kNotUtf8, L"caf\uFFFD"},   // as the system decodes a lone E9 byte
      {kBase, kMissingInBlock, L""},
      {kBase, kMissingBlock, L""},
  };
  for (const auto& c : cases) {
    const Loaded loaded = Load(c.base, c.offset);
    const int units = static_cast<int>(wcslen(c.text));
    EXPECT_EQ(loaded.text, c.text) << c.base << "+" << c.offset;
    EXPECT_EQ(loaded.size, units + 2) << c.base << "+" << c.offset;
    EXPECT_EQ(loaded.filled, units + 2) << c.base << "+" << c.offset;
    EXPECT_TRUE(loaded.guardIntact) << c.base << "+" << c.offset;
  }
}

TEST(LoadUtf8String, ReturnsOneAndAnEmptyTextWhenTheBufferIsOneUnitShort) {
  for (const int offset : {kAscii, kUmlaut, kMixed}) {
    const int size = LoadUtf8String(kBase, Self(), offset, nullptr, 0);
    const int needed = size - 1;  // the text and its terminator
    GuardedBuffer shorter(static_cast<size_t>(needed - 1));
    EXPECT_EQ(LoadUtf8String(kBase, Self(), offset, shorter.data(), needed - 1), 1) << offset;
    EXPECT_EQ(shorter.text(), L"") << offset;
    EXPECT_TRUE(shorter.guardIntact()) << offset;
    // Exactly the units needed are enough.
    GuardedBuffer exact(static_cast<size_t>(needed));
    EXPECT_EQ(LoadUtf8String(kBase, Self(), offset, exact.data(), needed), size) << offset;
    EXPECT_TRUE(exact.guardIntact()) << offset;
  }
  EXPECT_EQ(LoadUtf8String(kBase, Self(), kAscii, nullptr, 5), 1);  // room claimed, none given
}

TEST(LoadUtf8String, CutsALongStoredStringToOneUnitLessThanItsBuffer) {
  const wchar_t* stored = nullptr;
  // With no buffer, LoadStringW tells the stored length: the table holds it all.
  ASSERT_EQ(LoadStringW(Self(), kBase + kLong, reinterpret_cast<wchar_t*>(&stored), 0),
            kLongStoredLength);
  const Loaded loaded = Load(kBase, kLong);
  EXPECT_EQ(loaded.size, kLoadedLength + 2);
  EXPECT_EQ(loaded.filled, kLoadedLength + 2);
  EXPECT_EQ(loaded.text, Alphabet(kLoadedLength));
}

// A top-level window with one child control, under the null graphics driver.
class TestWindow {
 public:
  static constexpr int kItemId = 4711;
  TestWindow() {
    window_ = CreateWindowExW(0, L"STATIC", L"window", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                              nullptr, nullptr, Self(), nullptr);
    item_ = CreateWindowExW(0, L"EDIT", L"item", WS_CHILD, 0, 0, 200, 20, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kItemId)), Self(),
                            nullptr);
  }
  ~TestWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  HWND window() const { return window_; }
  HWND item() const { return item_; }

 private:
  HWND window_ = nullptr;
  HWND item_ = nullptr;
};

std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

TEST(SetItemText, SetsTheTextOfTheItemWithThatIdentifier) {
  TestWindow test;
  ASSERT_NE(test.item(), nullptr);
  EXPECT_NE(SetItemText(L"Installing \u00E4", 12345, test.window(), TestWindow::kItemId), FALSE);
  EXPECT_EQ(TextOf(test.item()), L"Installing \u00E4");
  EXPECT_EQ(SetItemText(L"nowhere", 0, test.window(), TestWindow::kItemId + 1), FALSE);
  EXPECT_EQ(TextOf(test.item()), L"Installing \u00E4");
  EXPECT_EQ(TextOf(test.window()), L"window");
}

TEST(SetTextFromResource, GivesItemAndWindowTheDecodedText) {
  TestWindow test;
  ASSERT_NE(test.item(), nullptr);
  for (const int offset : {kMixed, kUmlaut, kAscii, kLong, kMissingInBlock}) {
    const std::wstring expected = Load(kBase, offset).text;
    SetWindowTextW(test.item(), L"before");
    SetWindowTextW(test.window(), L"before");
    SetItemTextFromResource(kBase, Self(), test.window(), TestWindow::kItemId, offset);
    EXPECT_EQ(TextOf(test.item()), expected) << offset;
    EXPECT_EQ(TextOf(test.window()), L"before") << offset;
    SetWindowTextFromResource(kBase, Self(), test.window(), offset);
    EXPECT_EQ(TextOf(test.window()), expected) << offset;
  }
  EXPECT_EQ(TextOf(test.item()), L"");  // the missing string
}

// What was seen of the information box before it was closed.
struct SeenBox {
  bool found = false;
  std::wstring caption;
  std::wstring text;
  HICON icon = nullptr;
};

bool IsInformationBox(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return wcscmp(name, L"#32770") == 0 && TextOf(window) == kInformationCaption;
}

BOOL CALLBACK FindIconControl(HWND child, LPARAM icon) {
  wchar_t name[64] = L"";
  GetClassNameW(child, name, 64);
  if (lstrcmpiW(name, L"Static") == 0 &&
      (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<HICON*>(icon) =
        reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    return FALSE;
  }
  return TRUE;
}

// The box being shown on this thread, recorded and closed with OK once it
// has set itself up: a hook of the thread's own sees its WM_INITDIALOG
// return, so nothing has to look for the box meanwhile.
SeenBox* g_seenBox = nullptr;

LRESULT CALLBACK RecordAndCloseAfterSetUp(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  const HWND box = call->hwnd;
  if (code == HC_ACTION && call->message == WM_INITDIALOG && g_seenBox != nullptr &&
      !g_seenBox->found && IsInformationBox(box)) {
    g_seenBox->found = true;
    g_seenBox->caption = TextOf(box);
    g_seenBox->text = TextOf(GetDlgItem(box, 0xFFFF));
    EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&g_seenBox->icon));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Runs `show` on this thread and records and closes the information box it
// shows.
template <typename Show>
SeenBox ShowAndClose(Show show) {
  SeenBox seen;
  g_seenBox = &seen;
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, RecordAndCloseAfterSetUp, nullptr,
                                 GetCurrentThreadId());
  EXPECT_NE(hook, nullptr);
  show();
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  g_seenBox = nullptr;
  return seen;
}

std::wstring SystemText(DWORD code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                     FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                 reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const std::wstring copy = text != nullptr ? text : L"";
  LocalFree(text);
  return copy;
}

void ExpectInformationBox(const SeenBox& seen, const std::wstring& text) {
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.caption, L"INFORMATION");
  EXPECT_EQ(seen.text, text);
  // Neither the top-most nor the foreground request shows under Wine 8: it
  // gives a message box no WS_EX_TOPMOST, whatever its flags, and makes every
  // box it shows the foreground window, MB_SETFOREGROUND or not. Nor is the
  // foreground this test's own: the console window that Wine opens for a
  // program that a parallel test process starts takes it at any moment. An
  // assertion on it could only fail by chance, so there is none.
  EXPECT_NE(seen.icon, nullptr);
  EXPECT_EQ(seen.icon, LoadIconW(nullptr, IDI_INFORMATION));
}

TEST(ShowInformation, ShowsAnInformationBoxAndReturnsOk) {
  int result = -1;
  const SeenBox seen = ShowAndClose([&] { result = ShowInformation(L"Setup is done.\n\u00E4"); });
  ExpectInformationBox(seen, L"Setup is done.\n\u00E4");
  EXPECT_EQ(result, IDOK);
}

TEST(ShowSystemError, ShowsTheSystemTextForTheCodeUnchanged) {
  const std::wstring accessDenied = SystemText(ERROR_ACCESS_DENIED);
  ASSERT_FALSE(accessDenied.empty());
  ExpectInformationBox(ShowAndClose([] { ShowSystemError(ERROR_ACCESS_DENIED); }), accessDenied);
}

TEST(ShowSystemError, NamesACodeWithoutSystemTextInHexadecimal) {
  const struct {
    DWORD code;
    const wchar_t* text;
  } cases[] = {
      {0x0000ABCD, L"Unknown error 0x0000ABCD"},
      {0xE0F01234, L"Unknown error 0xE0F01234"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SystemText(c.code), L"") << c.text;  // the system really has no text for it
    ExpectInformationBox(ShowAndClose([&] { ShowSystemError(c.code); }), c.text);
  }
}

}  // namespace
