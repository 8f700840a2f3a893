// Runs under Wine against a prefix that run-wine-test.sh has filled with
// uninstall entries; prints one PASS or FAIL line per check and the result
// in the dump format of winereg_dump, for the comparison with the Wine
// system.reg reader. "fill" as the argument instead writes the one value
// that the reg tool cannot make: a string without a terminating NUL.

#include "itunes/win32registry.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int failures = 0;

// Printable ASCII as it is, everything else as \uXXXX: the same escaping
// winereg_dump uses, so the two outputs compare byte for byte.
std::string escaped(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text) {
        const unsigned unit = static_cast<unsigned>(c) & 0xFFFFu;
        if (unit >= 0x20 && unit < 0x7F && unit != '\\') {
            out += static_cast<char>(unit);
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
            out += buffer;
        }
    }
    return out;
}

std::string shortened(const std::wstring &text)
{
    if (text.size() <= 64)
        return escaped(text);
    return escaped(text.substr(0, 32)) + "... (" + std::to_string(text.size()) + " units)";
}

// A REG_SZ of exactly 4096 bytes: 2048 characters and no NUL after them.
int fill()
{
    const std::wstring path = std::wstring(uninstall::KeyPath) + L"\\{B2-iTunes-new}";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
            nullptr, &key, nullptr)
        != ERROR_SUCCESS) {
        std::printf("FAIL cannot create the iTunes entry\n");
        return 1;
    }
    // The registry counts in a terminator the caller forgot when the unit
    // after the data is NUL, so the buffer goes on past what is stored.
    const std::wstring text(2049, L'7');
    const LSTATUS status = RegSetValueExW(key, L"InstallDate", 0, REG_SZ,
        reinterpret_cast<const BYTE *>(text.data()), static_cast<DWORD>(uninstall::MaxValueBytes));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        std::printf("FAIL cannot write InstallDate\n");
        return 1;
    }
    return 0;
}

void check(bool ok, const char *what)
{
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok)
        ++failures;
}

void expectValue(const std::map<std::wstring, std::wstring> &info, const wchar_t *name,
    const std::wstring &expected, const char *what)
{
    const auto it = info.find(name);
    const bool ok = it != info.end() && it->second == expected;
    check(ok, what);
    if (!ok)
        std::printf("  expected \"%s\", got %s\n", shortened(expected).c_str(),
            it == info.end() ? "nothing" : ("\"" + shortened(it->second) + "\"").c_str());
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wstring(argv[1]) == L"fill")
        return fill();

    const std::map<std::wstring, std::wstring> info = readITunesUninstallEntry();

    for (const auto &entry : info)
        std::printf("DUMP %s=%s\n", escaped(entry.first).c_str(), escaped(entry.second).c_str());

    check(info.size() == 6, "six values from the two iTunes entries");
    expectValue(info, L"DisplayName", L"iTunes", "DisplayName is iTunes");
    expectValue(info, L"DisplayVersion", L"12.13.1.3", "the later iTunes entry overwrites DisplayVersion");
    expectValue(info, L"InstallLocation", L"C:\\Program Files\\iTunes \u97f3\u4e50\\",
        "InstallLocation of the later entry, non-ASCII intact");
    expectValue(
        info, L"HelpLink", L"http://old.example/help", "HelpLink that only the earlier entry has stays");
    expectValue(info, L"URLUpdateInfo", L"http://old.example/update",
        "a later value over 4096 bytes is absent and leaves the earlier one");
    expectValue(info, L"InstallDate", std::wstring(2048, L'7'),
        "a value filling the whole buffer without NUL is read to its length");
    bool noDecoy = true;
    for (const auto &entry : info)
        if (entry.second.find(L"Decoy") != std::wstring::npos
            || entry.second.find(L"Wow") != std::wstring::npos
            || entry.second.find(L"Nameless") != std::wstring::npos)
            noDecoy = false;
    check(noDecoy, "decoy, nameless and 32-bit entries are not read");

    std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "OK", failures);
    return failures ? 1 : 0;
}
