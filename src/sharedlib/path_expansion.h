// vnPathExpansion: turns a path with %NAME% variables into a plain path. Names come from the
// silo's expansion map in the registry, then from the Windows special-folder names, then from
// four folders computed here.
#pragma once

#include <windows.h>

#include <string>

namespace sharedlib {

// 1 on success with the expansion in `out`; 0 on failure. A failure after the expansion map was
// opened leaves the input text in `out`; an earlier failure leaves `out` as it was.
int ExpandPath(const wchar_t* text, std::wstring& out);

// A special-folder name (without percent signs, any letter case) to its folder.
bool ExpandFolderVariable(const wchar_t* name, std::wstring& out);

// The shell folder `folder`, then the vendor folder, then the silo; empty and false on failure.
bool GetAppDataFolder(int folder, std::wstring& out);

// The folder number of a special-folder name, letter case ignored; false for an unknown name.
bool FindSpecialFolderNumber(const wchar_t* name, DWORD& number);

// Numbers that select a folder computed here rather than by the shell.
constexpr DWORD kCommonSiloData = 0xF0000000;
constexpr DWORD kLocalSiloData = 0xF0000001;
constexpr DWORD kProgramFilesX64 = 0xF0000002;
constexpr DWORD kProgramFilesCommonX64 = 0xF0000003;

}  // namespace sharedlib
