#include "paths.h"

#include <shlwapi.h>
#include <sys/stat.h>

#include <cstring>
#include <cwchar>

#include "strings.h"

namespace {

constexpr wchar_t kExtendedPathPrefix[] = L"\\\\?\\";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Walks the components below the folder as the file system would: "." stays,
// ".." climbs, repeated separators count once. Returns FALSE when a climb would
// leave the folder, when a name made only of dots and blanks (resolved
// differently from one system to the next) appears, or when the walk does not
// end below the folder.
BOOL ComponentsStayBelow(const wchar_t* relative) {
  int depth = 0;
  const wchar_t* c = relative;
  while (*c != L'\0') {
    while (IsSeparator(*c)) {
      ++c;
    }
    const wchar_t* start = c;
    size_t dots = 0;
    size_t blanks = 0;
    while (*c != L'\0' && !IsSeparator(*c)) {
      dots += *c == L'.';
      blanks += *c == L' ';
      ++c;
    }
    const size_t length = static_cast<size_t>(c - start);
    if (length == 0) {
      continue;
    }
    if (length == 1 && dots == 1) {
      continue;
    }
    if (length == 2 && dots == 2) {
      if (--depth < 0) {
        return FALSE;
      }
      continue;
    }
    if (dots + blanks == length) {
      return FALSE;
    }
    ++depth;
  }
  return depth > 0;
}

}  // namespace

BOOL CutLastComponent(wchar_t* path) {
  PathRemoveBackslashW(path);
  wchar_t* last = wcsrchr(path, L'\\');
  if (last == nullptr) {
    return FALSE;
  }
  last[1] = L'\0';
  return TRUE;
}

void ClimbDirectories(const wchar_t* source, wchar_t* destination) {
  wcscpy(destination, source);
  for (int i = 0; i < kLevelsBelowInstallRoot; ++i) {
    CutLastComponent(destination);
    PathRemoveBackslashW(destination);
  }
}

int CreateDirectoryTree(const wchar_t* path) {
  // Cut the path level by level until cutting changes nothing, then create the
  // levels top down. Each cut only shortens the text, so every level is a
  // prefix of the path, and a loop serves where a recursion could run out of
  // stack on a path of very many backslashes.
  wchar_t* level = JoinStrings(1, path);
  size_t* lengths = nullptr;
  size_t count = 0;
  size_t length = wcslen(level);

  lengths = new size_t[length + 1];
  lengths[count++] = length;
  for (;;) {
    CutLastComponent(level);
    const size_t cut = wcslen(level);
    if (cut == length) {
      break;
    }
    lengths[count++] = cut;
    length = cut;
  }

  wcscpy(level, path);
  while (count > 0) {
    const size_t end = lengths[--count];
    const wchar_t kept = level[end];
    level[end] = L'\0';
    CreateDirectoryW(level, /*lpSecurityAttributes=*/nullptr);
    level[end] = kept;
  }

  delete[] lengths;
  FreeAndClear(&level);
  return 0;
}

BOOL PathExists(const wchar_t* path) {
  // The runtime's own 64-bit form: the plain one is, in the 64-bit MinGW
  // build, a wrapper that brings unwind tables into every program.
  struct _stat64 status;
  return _wstat64(path, &status) == 0;
}

BOOL EnsureDirectory(const wchar_t* path) {
  if (PathExists(path)) {
    return TRUE;
  }
  return CreateDirectoryW(path, /*lpSecurityAttributes=*/nullptr) ? TRUE : FALSE;
}

BOOL PathStaysInside(const wchar_t* folder, const wchar_t* path) {
  wchar_t* resolvedFolder = nullptr;
  wchar_t* resolvedPath = nullptr;
  size_t folderLength = 0;
  BOOL inside = FALSE;

  if (folder == nullptr || path == nullptr || folder[0] == L'\0') {
    goto Cleanup;
  }
  folderLength = wcslen(folder);
  // The folder must be a full path already, or the test below means nothing.
  resolvedFolder = CopyFullPath(folder);
  if (resolvedFolder == nullptr || wcscmp(resolvedFolder, folder) != 0 ||
      IsSeparator(folder[folderLength - 1])) {
    goto Cleanup;
  }
  if (wcsncmp(path, folder, folderLength) != 0 || !IsSeparator(path[folderLength]) ||
      !ComponentsStayBelow(path + folderLength)) {
    goto Cleanup;
  }
  // The walk above matches the file system's own resolution; check the result
  // of that resolution too, so that the two can never disagree unnoticed.
  resolvedPath = CopyFullPath(path);
  inside = resolvedPath != nullptr && wcsncmp(resolvedPath, folder, folderLength) == 0 &&
           IsSeparator(resolvedPath[folderLength]) && resolvedPath[folderLength + 1] != L'\0';

Cleanup:
  FreeAndClear(&resolvedPath);
  FreeAndClear(&resolvedFolder);
  return inside;
}

BOOL LiesBelow(const wchar_t* folder, const wchar_t* path) {
  const size_t length = wcslen(folder);
  return length > 0 && wcsncmp(path, folder, length) == 0 && path[length] == L'\\' &&
         path[length + 1] != L'\0';
}

wchar_t* CopyFullPath(const wchar_t* path) {
  wchar_t* resolved = nullptr;
  const DWORD size = GetFullPathNameW(path, 0, nullptr, /*lpFilePart=*/nullptr);
  if (size == 0) {
    return nullptr;
  }
  resolved = new wchar_t[size];
  const DWORD length = GetFullPathNameW(path, size, resolved, /*lpFilePart=*/nullptr);
  if (length == 0 || length >= size) {
    FreeAndClear(&resolved);
  }
  return resolved;
}

wchar_t* CopyShortPath(const wchar_t* path) {
  wchar_t* extended = nullptr;
  wchar_t* shortPath = nullptr;
  DWORD size = 0;
  DWORD length = 0;
  const size_t prefixLength = wcslen(kExtendedPathPrefix);

  // Only the extended form reaches a file whose path is MAX_PATH or longer.
  extended = JoinStrings(2, kExtendedPathPrefix, path);
  size = GetShortPathNameW(extended, nullptr, 0);
  if (size == 0) {
    goto Cleanup;
  }
  shortPath = new wchar_t[size];
  length = GetShortPathNameW(extended, shortPath, size);
  if (length == 0 || length >= size) {
    FreeAndClear(&shortPath);
    goto Cleanup;
  }
  if (wcsncmp(shortPath, kExtendedPathPrefix, prefixLength) == 0) {
    memmove(shortPath, shortPath + prefixLength, (length - prefixLength + 1) * sizeof(wchar_t));
  }

Cleanup:
  FreeAndClear(&extended);
  return shortPath;
}
