#include "itunes/win32registry.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

// Reads one value as UTF-16 text up to its first NUL. Registry strings need
// not end in NUL (a value can fill the buffer exactly), so the text is bounded
// by the length the registry reports, never by a terminator we hope is there.
bool readText(HKEY key, const wchar_t *name, std::wstring &text)
{
    std::vector<wchar_t> buffer(uninstall::MaxValueBytes / sizeof(wchar_t), L'\0');
    DWORD size = static_cast<DWORD>(uninstall::MaxValueBytes);
    const LSTATUS status
        = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer.data()), &size);
    if (status != ERROR_SUCCESS)
        return false;
    std::size_t units = size / sizeof(wchar_t);
    if (units > buffer.size())
        units = buffer.size();
    std::size_t end = 0;
    while (end < units && buffer[end] != L'\0')
        ++end;
    text.assign(buffer.data(), end);
    return true;
}

// Adds the values of the iTunes entries in one view of the registry.
void readView(REGSAM view, std::map<std::wstring, std::wstring> &info)
{
    // Read access only: write access to HKEY_LOCAL_MACHINE is refused to
    // every process that is not elevated, which would hide iTunes from
    // ordinary users.
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall::KeyPath, 0, KEY_READ | view, &root) != ERROR_SUCCESS)
        return;

    DWORD subkeys = 0;
    DWORD longest = 0;
    if (RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr,
            nullptr, nullptr, nullptr)
            != ERROR_SUCCESS
        || subkeys == 0) {
        RegCloseKey(root);
        return;
    }

    std::vector<wchar_t> name(static_cast<std::size_t>(longest) + 1);
    for (DWORD index = 0; index < subkeys; ++index) {
        std::fill(name.begin(), name.end(), L'\0');
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(root, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr)
            != ERROR_SUCCESS)
            continue;

        HKEY entry = nullptr;
        if (RegOpenKeyExW(root, name.data(), 0, KEY_READ | view, &entry) != ERROR_SUCCESS)
            continue;

        std::wstring displayName;
        if (readText(entry, uninstall::DisplayNameValue, displayName)
            && displayName == uninstall::ITunesDisplayName) {
            for (const wchar_t *valueName : uninstall::ValueNames) {
                std::wstring value;
                if (readText(entry, valueName, value))
                    info[valueName] = value;
            }
        }
        RegCloseKey(entry);
    }
    RegCloseKey(root);
}

}  // namespace

std::map<std::wstring, std::wstring> readITunesUninstallEntry()
{
    std::map<std::wstring, std::wstring> info;
    readView(KEY_WOW64_32KEY, info);
    readView(KEY_WOW64_64KEY, info);
    return info;
}
