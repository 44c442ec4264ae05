#include "dialog_text.h"

#include <cstring>

#include "install_layout.h"
#include "release.h"

namespace {

constexpr UINT kInformationStyle = MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST;
constexpr DWORD kSystemTextFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kUserDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The code page whose characters carry the bytes of a UTF-8 string resource.
constexpr UINT kWindowsLatin1 = 1252;

constexpr wchar_t kUnknownErrorText[] = L"Unknown error 0x";
constexpr int kHexDigits = 8;  // a 32-bit code
constexpr int kBitsPerHexDigit = 4;
constexpr DWORD kHexDigitMask = 0xF;

// Writes `code` as eight upper-case hexadecimal digits and a terminator into
// `digits`, which has room for nine characters.
void FormatHex(DWORD code, wchar_t* digits) {
  constexpr wchar_t kHexCharacters[] = L"0123456789ABCDEF";
  for (int i = kHexDigits - 1; i >= 0; --i) {
    digits[i] = kHexCharacters[code & kHexDigitMask];
    code >>= kBitsPerHexDigit;
  }
  digits[kHexDigits] = L'\0';
}

// Decodes the NUL-terminated UTF-8 `bytes` into `buffer`, whose room is
// `capacity` units; with capacity 0 it only counts. Returns the units written
// or needed, terminator included; 0 when they don't fit, and the buffer then
// holds the empty text. The terminator is added here rather than decoded: some
// decoders take the NUL after an incomplete sequence as part of that sequence
// and leave the text unterminated.
int DecodeUtf8(const char* bytes, wchar_t* buffer, int capacity) {
  const int length = static_cast<int>(strlen(bytes));
  if (capacity == 0) {
    // The decoder refuses a length of 0; the empty text needs no units.
    const int needed = length > 0 ? MultiByteToWideChar(CP_UTF8, /*dwFlags=*/0, bytes, length,
                                                        /*lpWideCharStr=*/nullptr,
                                                        /*cchWideChar=*/0)
                                  : 0;
    return needed + 1;
  }
  if (buffer == nullptr || capacity < 0) {
    return 0;
  }
  buffer[0] = L'\0';
  if (length == 0) {
    return 1;
  }
  // With no room beyond the terminator the call would only count.
  const int units = capacity > 1 ? MultiByteToWideChar(CP_UTF8, /*dwFlags=*/0, bytes, length,
                                                       buffer, capacity - 1)
                                 : 0;
  if (units == 0) {
    buffer[0] = L'\0';  // a failed fill may have written part of the text
    return 0;
  }
  buffer[units] = L'\0';
  return units + 1;
}

// Returns a new wide string with the decoded text of the string resource
// baseId + offset (see LoadUtf8String), the empty text when it is missing. The
// caller releases it with FreeAndClear.
wchar_t* LoadUtf8Text(int baseId, HINSTANCE module, int offset) {
  const int size = LoadUtf8String(baseId, module, offset, nullptr, 0);
  wchar_t* text = new wchar_t[size];
  text[0] = L'\0';
  LoadUtf8String(baseId, module, offset, text, size);
  return text;
}

}  // namespace

int ShowInformation(const wchar_t* text) {
  return MessageBoxW(/*hWnd=*/nullptr, text, kInformationCaption, kInformationStyle);
}

void ShowSystemError(DWORD errorCode) {
  wchar_t* systemText = nullptr;
  wchar_t* unknownText = nullptr;
  wchar_t digits[kHexDigits + 1];

  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
  // address of the text that the system allocates.
  if (FormatMessageW(kSystemTextFlags, /*lpSource=*/nullptr, errorCode, kUserDefaultLanguage,
                     reinterpret_cast<wchar_t*>(&systemText), /*nSize=*/0,
                     /*Arguments=*/nullptr) == 0) {
    systemText = nullptr;
  }
  if (systemText != nullptr) {
    ShowInformation(systemText);
    goto Cleanup;
  }
  // The user should still learn which error occurred.
  FormatHex(errorCode, digits);
  unknownText = JoinStrings(2, kUnknownErrorText, digits);
  ShowInformation(unknownText);

Cleanup:
  FreeAndClear(&unknownText);
  LocalFreeAndClear(&systemText);
}

BOOL SetItemText(const wchar_t* text, int /*ignored*/, HWND dialog, int itemId) {
  return SetWindowTextW(GetDlgItem(dialog, itemId), text);
}

int LoadUtf8String(int baseId, HINSTANCE module, int offset, wchar_t* buffer, int capacity) {
  wchar_t* stored = nullptr;
  char* bytes = nullptr;
  int byteCount = 0;
  int units = 0;

  // Unsigned arithmetic: the sum of any two identifiers is defined.
  const UINT id = static_cast<UINT>(baseId) + static_cast<UINT>(offset);
  stored = new wchar_t[kStringResourceCapacity];
  stored[0] = L'\0';
  if (LoadStringW(module, id, stored, kStringResourceCapacity) <= 0) {
    stored[0] = L'\0';  // missing: the empty text
  }

  // Back to the UTF-8 bytes that the stored characters stand for.
  byteCount = WideCharToMultiByte(kWindowsLatin1, /*dwFlags=*/0, stored, /*cchWideChar=*/-1,
                                  /*lpMultiByteStr=*/nullptr, /*cbMultiByte=*/0,
                                  /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
  if (byteCount < 0) {
    byteCount = 0;
  }
  bytes = new char[byteCount + 1];
  memset(bytes, 0, static_cast<size_t>(byteCount) + 1);
  WideCharToMultiByte(kWindowsLatin1, /*dwFlags=*/0, stored, /*cchWideChar=*/-1, bytes,
                      byteCount, /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
  bytes[byteCount] = '\0';

  units = DecodeUtf8(bytes, buffer, capacity);

  FreeBytesAndClear(&bytes);
  FreeAndClear(&stored);
  return units + 1;
}

void SetItemTextFromResource(int baseId, HINSTANCE module, HWND dialog, int itemId, int offset) {
  wchar_t* text = LoadUtf8Text(baseId, module, offset);
  SetWindowTextW(GetDlgItem(dialog, itemId), text);
  FreeAndClear(&text);
}

void SetWindowTextFromResource(int baseId, HINSTANCE module, HWND window, int offset) {
  wchar_t* text = LoadUtf8Text(baseId, module, offset);
  SetWindowTextW(window, text);
  FreeAndClear(&text);
}
