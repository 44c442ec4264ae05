#include "strings.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

namespace {

// Bidirectional controls: marks, embeddings and overrides, isolates.
constexpr wchar_t kLeftToRightMark = 0x200E;
constexpr wchar_t kRightToLeftMark = 0x200F;
constexpr wchar_t kFirstEmbeddingControl = 0x202A;
constexpr wchar_t kLastEmbeddingControl = 0x202E;
constexpr wchar_t kFirstIsolateControl = 0x2066;
constexpr wchar_t kLastIsolateControl = 0x2069;

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

bool IsBidirectionalControl(wchar_t c) {
  return c == kLeftToRightMark || c == kRightToLeftMark ||
         (c >= kFirstEmbeddingControl && c <= kLastEmbeddingControl) ||
         (c >= kFirstIsolateControl && c <= kLastIsolateControl);
}
