// Output of the small test tools: UTF-8 text on standard output, which the
// Linux side reads through Wine's pipes.
#pragma once

#include <windows.h>

#include <string>

// UTF-8 bytes of UTF-16 text.
inline std::string Utf8Of(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

inline void PrintUtf8(const std::wstring& text) {
  const std::string bytes = Utf8Of(text);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

// The command line after the program's own name, as typed.
inline const wchar_t* ArgumentsOf(const wchar_t* commandLine) {
  const wchar_t* c = commandLine;
  if (*c == L'"') {
    for (++c; *c != L'\0' && *c != L'"'; ++c) {
    }
    if (*c == L'"') ++c;
  } else {
    while (*c != L'\0' && *c != L' ' && *c != L'\t') ++c;
  }
  while (*c == L' ' || *c == L'\t') ++c;
  return c;
}
