// Reads a shortcut file back through the shell link object, independently of
// how the library wrote it. Used by the library's tests and by lnkread.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

struct ShortcutProperties {
  bool loaded = false;
  std::wstring target;
  std::wstring arguments;
  std::wstring workingDirectory;
  std::wstring description;
  std::wstring iconPath;
  int iconIndex = -1;
  int showCommand = -1;
};

inline ShortcutProperties ReadShortcut(const std::wstring& path) {
  constexpr int kTextCapacity = 4096;
  ShortcutProperties properties;
  CoInitialize(nullptr);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
    std::wstring text(kTextCapacity, L'\0');
    auto take = [&text]() { return std::wstring(text.c_str()); };
    properties.loaded = true;
    link->GetPath(text.data(), kTextCapacity, nullptr, SLGP_RAWPATH);
    properties.target = take();
    text.assign(kTextCapacity, L'\0');
    link->GetArguments(text.data(), kTextCapacity);
    properties.arguments = take();
    text.assign(kTextCapacity, L'\0');
    link->GetWorkingDirectory(text.data(), kTextCapacity);
    properties.workingDirectory = take();
    text.assign(kTextCapacity, L'\0');
    link->GetDescription(text.data(), kTextCapacity);
    properties.description = take();
    text.assign(kTextCapacity, L'\0');
    link->GetIconLocation(text.data(), kTextCapacity, &properties.iconIndex);
    properties.iconPath = take();
    link->GetShowCmd(&properties.showCommand);
  }
  if (file != nullptr) file->Release();
  if (link != nullptr) link->Release();
  return properties;
}
