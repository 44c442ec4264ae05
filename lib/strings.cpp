#include "strings.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

namespace {

// The control (Cc) and format (Cf) characters of Unicode 15.1 as ranges,
// first and last, in ascending order, less the zero-width non-joiner and
// joiner (U+200C, U+200D), which split the format range U+200B to U+200F.
constexpr UINT32 kDisguisingRanges[][2] = {
    {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200B},   {0x200E, 0x200F},
    {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// UTF-16 surrogates: a high one (D800 to DBFF) carries the upper ten bits of
// a character beyond U+FFFF less 0x10000, a low one (DC00 to DFFF) the lower ten.
constexpr wchar_t kFirstHighSurrogate = 0xD800;
constexpr wchar_t kFirstLowSurrogate = 0xDC00;
constexpr wchar_t kLastLowSurrogate = 0xDFFF;
constexpr UINT32 kSurrogateBits = 10;
constexpr UINT32 kFirstSupplementary = 0x10000;

}  // namespace

wchar_t* JoinStrings(UINT32 count, ...) {
  va_list pieces;
  size_t total = 0;

  va_start(pieces, count);
  for (UINT32 i = 0; i < count; ++i) {
    const wchar_t* piece = va_arg(pieces, const wchar_t*);
    if (piece != nullptr) {
      total += wcslen(piece);
    }
  }
  va_end(pieces);

  wchar_t* joined = new wchar_t[total + 1];
  wchar_t* end = joined;
  va_start(pieces, count);
  for (UINT32 i = 0; i < count; ++i) {
    const wchar_t* piece = va_arg(pieces, const wchar_t*);
    if (piece != nullptr) {
      const size_t length = wcslen(piece);
      memcpy(end, piece, length * sizeof(wchar_t));
      end += length;
    }
  }
  va_end(pieces);
  *end = L'\0';
  return joined;
}

void FreeAndClear(wchar_t** text) {
  if (*text != nullptr) {
    delete[] * text;
    *text = nullptr;
  }
}

void ToUpperAscii(const wchar_t* source, wchar_t* destination) {
  size_t i = 0;
  for (; source[i] != L'\0'; ++i) {
    const wchar_t c = source[i];
    destination[i] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  }
  destination[i] = L'\0';
}

UINT32 NextCharacter(const wchar_t* text, size_t* at) {
  const wchar_t first = text[(*at)++];
  const wchar_t second = text[*at];
  if (first < kFirstHighSurrogate || first >= kFirstLowSurrogate ||
      second < kFirstLowSurrogate || second > kLastLowSurrogate) {
    return first;
  }
  ++*at;
  return kFirstSupplementary + ((static_cast<UINT32>(first - kFirstHighSurrogate) << kSurrogateBits) |
                                static_cast<UINT32>(second - kFirstLowSurrogate));
}

bool IsDisguisingCharacter(UINT32 c) {
  for (const UINT32* range : kDisguisingRanges) {
    if (c < range[0]) {
      return false;
    }
    if (c <= range[1]) {
      return true;
    }
  }
  return false;
}
