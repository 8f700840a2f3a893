// The iTunes lookup in the Windows registry, run under Wine in a throw-away
// prefix whose machine registry the test fills itself. At the end the prefix's
// system.reg, as Wine writes it, must give the same answer to the Linux reader.

#include "itunes/itunes.h"
#include "itunes/win32registry.h"
#include "itunes/winereg.h"

#include <QDir>
#include <QtTest>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <aclapi.h>
#include <windows.h>

namespace {

constexpr REGSAM Native = KEY_WOW64_64KEY;
constexpr REGSAM Wow64 = KEY_WOW64_32KEY;

// One value of one uninstall entry: view, subkey, value name, text. A text
// of "\x01" and a length stands for that many characters without a NUL.
struct Value
{
    REGSAM view;
    QString subkey;
    QString name;
    QString text;
    bool terminated = true;
};

QString keyPath(const QString &subkey)
{
    return QString::fromWCharArray(uninstall::KeyPath) + QLatin1Char('\\') + subkey;
}

bool write(const Value &v)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t *>(keyPath(v.subkey).utf16()), 0,
            nullptr, 0, KEY_SET_VALUE | v.view, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return false;
    // The registry counts in a terminator that the caller left out when the
    // unit after the data is NUL, so the buffer goes on past what is stored.
    const QString buffer = v.text + QChar(v.terminated ? 0 : '7') + QChar(0);
    const DWORD bytes = DWORD((v.text.size() + (v.terminated ? 1 : 0)) * 2);
    const LSTATUS status = RegSetValueExW(key, reinterpret_cast<const wchar_t *>(v.name.utf16()), 0, REG_SZ,
        reinterpret_cast<const BYTE *>(buffer.utf16()), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void clearView(REGSAM view)
{
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall::KeyPath, 0, KEY_READ | KEY_WRITE | view, &root)
        != ERROR_SUCCESS)
        return;
    wchar_t name[256];
    DWORD length = 256;
    while (RegEnumKeyExW(root, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        RegDeleteTreeW(root, name);
        length = 256;
    }
    RegCloseKey(root);
}

using Values = QList<Value>;
using Info = QMap<QString, QString>;

}  // namespace

Q_DECLARE_METATYPE(Values)

class TestWin32Registry : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
    void readOnlyKeyIsRead();
    void systemRegGivesTheSameAnswer();
};

void TestWin32Registry::entries_data()
{
    QTest::addColumn<Values>("values");
    QTest::addColumn<Info>("expected");
    const QString old = "{a1-iTunes-old}";
    const QString fresh = "{B2-iTunes-new}";
    QTest::newRow("none") << Values {{Native, "{c3}", "DisplayName", "Other"}} << Info {};
    QTest::newRow("64-bit iTunes")
        << Values {{Native, fresh, "DisplayName", "iTunes"},
               {Native, fresh, "InstallLocation", "C:\\Program Files\\iTunes 音乐\\"}}
        << Info {{"DisplayName", "iTunes"}, {"InstallLocation", "C:\\Program Files\\iTunes 音乐\\"}};
    QTest::newRow("32-bit iTunes on 64-bit Windows")
        << Values {{Wow64, fresh, "DisplayName", "iTunes"},
               {Wow64, fresh, "InstallLocation", "C:\\Program Files (x86)\\iTunes\\"}}
        << Info {{"DisplayName", "iTunes"}, {"InstallLocation", "C:\\Program Files (x86)\\iTunes\\"}};
    QTest::newRow("64-bit view over the 32-bit one")
        << Values {{Native, old, "DisplayName", "iTunes"}, {Native, old, "InstallLocation", "C:\\64\\"},
               {Wow64, fresh, "DisplayName", "iTunes"}, {Wow64, fresh, "InstallLocation", "C:\\32\\"},
               {Wow64, fresh, "HelpLink", "http://32.example/"}}
        << Info {{"DisplayName", "iTunes"}, {"InstallLocation", "C:\\64\\"}, {"HelpLink", "http://32.example/"}};
    // Wine enumerates subkeys sorted by name without regard to case.
    QTest::newRow("later entry wins, earlier values stay")
        << Values {{Native, old, "DisplayName", "iTunes"}, {Native, old, "DisplayVersion", "1.0"},
               {Native, old, "HelpLink", "http://old.example/help"}, {Native, fresh, "DisplayName", "iTunes"},
               {Native, fresh, "DisplayVersion", "12.13.1.3"}}
        << Info {{"DisplayName", "iTunes"}, {"DisplayVersion", "12.13.1.3"},
               {"HelpLink", "http://old.example/help"}};
    QTest::newRow("decoys")
        << Values {{Native, "{c3-decoy}", "DisplayName", "itunes"},
               {Native, "{c3-decoy}", "InstallLocation", "C:\\Decoy\\"},
               {Native, "{e5-nameless}", "InstallLocation", "C:\\Nameless\\"},
               {Native, "{f6-longer}", "DisplayName", "iTunes 12"}}
        << Info {};
    // 2048 characters and the NUL make 4098 bytes: too long, so absent. The
    // same characters stored without the NUL fill the buffer exactly.
    QTest::newRow("length limits")
        << Values {{Native, fresh, "DisplayName", "iTunes"}, {Native, fresh, "URLUpdateInfo", QString(2048, 'u')},
               {Native, fresh, "InstallDate", QString(2048, '7'), false}}
        << Info {{"DisplayName", "iTunes"}, {"InstallDate", QString(2048, '7')}};
}

void TestWin32Registry::entries()
{
    QFETCH(Values, values);
    QFETCH(Info, expected);
    clearView(Native);
    clearView(Wow64);
    for (const Value &value : values)
        QVERIFY(write(value));
    QCOMPARE(iTunesInstallInfo(), expected);
}

// Ordinary users may only read HKEY_LOCAL_MACHINE: a lookup that asks for
// more is refused and finds no iTunes.
void TestWin32Registry::readOnlyKeyIsRead()
{
    clearView(Native);
    clearView(Wow64);
    QVERIFY(write({Native, "{B2}", "DisplayName", "iTunes"}));
    HKEY key = nullptr;
    QCOMPARE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall::KeyPath, 0, READ_CONTROL | WRITE_DAC | Native, &key),
        ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR saved = nullptr;
    PACL savedDacl = nullptr;
    QCOMPARE(GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &savedDacl,
                 nullptr, &saved),
        DWORD(ERROR_SUCCESS));
    wchar_t everyone[] = L"EVERYONE";
    EXPLICIT_ACCESSW read = {};
    BuildExplicitAccessWithNameW(&read, everyone, KEY_READ, SET_ACCESS, NO_INHERITANCE);
    PACL readOnly = nullptr;
    QCOMPARE(SetEntriesInAclW(1, &read, nullptr, &readOnly), DWORD(ERROR_SUCCESS));
    QCOMPARE(SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                 nullptr, nullptr, readOnly, nullptr),
        DWORD(ERROR_SUCCESS));
    HKEY probe = nullptr;
    const bool enforced
        = RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall::KeyPath, 0, KEY_ALL_ACCESS | Native, &probe) != ERROR_SUCCESS;
    if (!enforced)
        RegCloseKey(probe);
    const Info info = iTunesInstallInfo();
    SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, savedDacl, nullptr);
    LocalFree(readOnly);
    LocalFree(saved);
    RegCloseKey(key);
    if (!enforced)
        QSKIP("this registry does not enforce key permissions");
    QCOMPARE(info, (Info {{"DisplayName", "iTunes"}}));
}

// Wine writes its machine registry to system.reg; the reader used outside
// Windows must find there what Windows finds in its registry.
void TestWin32Registry::systemRegGivesTheSameAnswer()
{
    const QString prefix = qEnvironmentVariable("WINEPREFIX");
    if (prefix.isEmpty())
        QSKIP("not under Wine");
    clearView(Native);
    clearView(Wow64);
    const Values values {{Native, "{a1}", "DisplayName", "iTunes"}, {Native, "{a1}", "HelpLink", "h\\t\"é"},
        {Native, "{B2}", "DisplayName", "iTunes"}, {Native, "{B2}", "InstallLocation", "C:\\Program Files\\iTunes 音乐\\"},
        {Native, "{B2}", "InstallDate", QString(2048, '7'), false}, {Wow64, "{c3}", "DisplayName", "iTunes"},
        {Wow64, "{c3}", "DisplayVersion", "12.1"}};
    for (const Value &value : values)
        QVERIFY(write(value));
    const Info windows = iTunesInstallInfo();
    QCOMPARE(windows.size(), 5);
    // Wine saves the registry every 30 seconds or so.
    const QString systemReg = QStringLiteral("Z:") + prefix + QStringLiteral("/system.reg");
    QTRY_COMPARE_WITH_TIMEOUT(readWineUninstall(systemReg), windows, 60000);
}

QTEST_GUILESS_MAIN(TestWin32Registry)
#include "test_win32registry.moc"
