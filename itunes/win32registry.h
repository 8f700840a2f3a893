#pragma once

// The Windows uninstall registry, read without Qt so that this unit builds
// with nothing but a Windows C++ toolchain (and is tested on its own under
// Wine). The names below are shared with the Wine registry reader.

#include <cstddef>
#include <map>
#include <string>

namespace uninstall {

// Under HKEY_LOCAL_MACHINE.
constexpr const wchar_t *KeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Where the 64-bit registry keeps the 32-bit programs' view of KeyPath: a
// 32-bit iTunes registers itself there.
constexpr const wchar_t *Wow64KeyPath = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// An entry belongs to iTunes when its DisplayName is exactly this text.
constexpr const wchar_t *ITunesDisplayName = L"iTunes";
constexpr const wchar_t *DisplayNameValue = L"DisplayName";

// The values taken from a matching entry, in the order they are read.
constexpr const wchar_t *ValueNames[] = {
    L"DisplayName",
    L"DisplayVersion",
    L"InstallLocation",
    L"InstallDate",
    L"URLUpdateInfo",
    L"HelpLink",
};

// Values are read into a buffer of this many bytes; larger ones are left out.
constexpr std::size_t MaxValueBytes = 4096;

}  // namespace uninstall

#ifdef _WIN32
// Values of the uninstall entries named "iTunes", from the 32-bit registry
// view and then the 64-bit one (a 32-bit iTunes is only in the former, a
// 64-bit one only in the latter). Every entry is visited in enumeration
// order, so a later entry overwrites the values it has and keeps those only
// an earlier one has. Empty when iTunes is not installed or the uninstall
// key cannot be read.
std::map<std::wstring, std::wstring> readITunesUninstallEntry();
#endif
