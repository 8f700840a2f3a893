#include "itunes/itunes.h"
#include "itunes/winereg.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray Header = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
                          "#arch=win64\n\n";
const QByteArray Uninstall = "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\";

QMap<QString, QString> parse(const QByteArray &text)
{
    QByteArray data = text;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    return parseWineUninstall(&buffer);
}

// An uninstall section named name with the given value lines.
QByteArray entry(const QByteArray &name, const QByteArray &values)
{
    return Uninstall + name + "] 1700000000\n#time=1d9e0\n" + values + "\n";
}

QByteArray hexBytes(const QByteArray &bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ',';
        if (i && i % 25 == 0)
            out += "\\\n  ";
        out += bytes.mid(i, 1).toHex();
    }
    return out;
}

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

}  // namespace

class TestWineReg : public QObject
{
    Q_OBJECT

private slots:
    void readsTheITunesEntry();
    void unescapesStrings();
    void valueTypes();
    void lengthLimits();
    void laterEntryWinsInWineOrder();
    void onlyExactDisplayNameMatches();
    void otherKeysSkippedBothViewsRead();
    void survivesMalformedLines();
    void emptyOrMissingFiles();
    void installInfoReadsTheDefaultPrefix();
};

void TestWineReg::readsTheITunesEntry()
{
    const QMap<QString, QString> info = parse(Header
        + entry("{A1B2}",
            "\"DisplayName\"=\"iTunes\"\n\"DisplayVersion\"=\"12.13.1.3\"\n"
            "\"InstallLocation\"=\"C:\\\\Program Files\\\\iTunes\\\\\"\n"
            "\"Publisher\"=\"Maker\"\n\"EstimatedSize\"=dword:0001a2b3\n"));
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    expected["DisplayVersion"] = "12.13.1.3";
    expected["InstallLocation"] = "C:\\Program Files\\iTunes\\";
    QCOMPARE(info, expected);
}

void TestWineReg::unescapesStrings()
{
    const QByteArray values
        = "\"DisplayName\"=\"iTunes\"\n"
          "\"InstallLocation\"=\"C:\\\\a \\\"q\\\" \\xe9\\x4e2d\\x00411 \\101\\n\\t\\x!\"\n"
          "\"HelpLink\"=\"raw \xe9\x9f\xb3 bad \xff end\"\n"
          "\"URLUpdateInfo\"=\"before\\0after\"\n"
          "\"InstallDate\"=\"a]b[c=d\"  trailing text is ignored\n";
    const QMap<QString, QString> info = parse(Header + entry("{X}", values));
    QCOMPARE(info.value("InstallLocation"),
        QString::fromUtf8("C:\\a \"q\" \u00e9\u4e2d"
                          "A1 A\n\tx!"));
    QCOMPARE(info.value("HelpLink"), QString::fromUtf8("raw \u97f3 bad \ufffd end"));
    QCOMPARE(info.value("URLUpdateInfo"), QString("before"));
    QCOMPARE(info.value("InstallDate"), QString("a]b[c=d"));

    // Key names are escaped too, and a DisplayName read up to its first NUL
    // is "iTunes" as far as any reader of the registry can tell.
    const QMap<QString, QString> escapedKey
        = parse(Header + entry("{\\x4e2d\\]}", "\"DisplayName\"=\"iTunes\\0 Helper\"\n"));
    QCOMPARE(escapedKey.value("DisplayName"), QString("iTunes"));
}

void TestWineReg::valueTypes()
{
    const QByteArray values = "\"DisplayName\"=str:\"iTunes\"\n"
                              "\"InstallLocation\"=str(2):\"%ProgramFiles%\\\\iTunes\"\n"
                              // A string without its terminating NUL: Wine writes it as hex.
                              "\"DisplayVersion\"=hex(1):"
        + hexBytes(utf16("12.0.1.26"))
        + "\n"
          "\"HelpLink\"=hex(2):"
        + hexBytes(utf16("%SystemRoot%\\help") + QByteArray(2, '\0'))
        + "\n"
          "\"URLUpdateInfo\"=hex:68,00,69,00\n"
          "\"InstallDate\"=dword:20240101\n"
          "\"Comments\"=str(7):\"a\\0b\\0\"\n";
    const QMap<QString, QString> info = parse(Header + entry("{T}", values));
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    expected["InstallLocation"] = "%ProgramFiles%\\iTunes";
    expected["DisplayVersion"] = "12.0.1.26";
    expected["HelpLink"] = "%SystemRoot%\\help";
    QCOMPARE(info, expected);

    // A value of another type replaces a string of the same name given
    // earlier, and value names do not depend on case.
    const QMap<QString, QString> replaced = parse(Header
        + entry("{R}",
            "\"DisplayName\"=\"iTunes\"\n\"InstallDate\"=\"20240101\"\n"
            "\"installdate\"=dword:00000001\n\"HELPLINK\"=\"http://h.example/\"\n"));
    QVERIFY(!replaced.contains("InstallDate"));
    QCOMPARE(replaced.value("HelpLink"), QString("http://h.example/"));
}

void TestWineReg::lengthLimits()
{
    // 4096 bytes is the most a value may take, with the NUL Wine stores
    // after a string.
    const QByteArray values = "\"DisplayName\"=\"iTunes\"\n"
                              "\"DisplayVersion\"=\""
        + QByteArray(2047, 'v')
        + "\"\n"
          "\"InstallLocation\"=\""
        + QByteArray(2048, 'l')
        + "\"\n"
          "\"InstallDate\"=hex(1):"
        + hexBytes(utf16(QString(2048, '7')))
        + "\n"
          "\"HelpLink\"=hex(1):"
        + hexBytes(utf16(QString(2049, 'h')))
        + "\n"
          // Escapes count as the units they stand for, not as their text.
          "\"URLUpdateInfo\"=\""
        + QByteArray(2047, 'u').replace("u", "\\x4e2d") + "\"\n";
    const QMap<QString, QString> info = parse(Header + entry("{L}", values));
    QCOMPARE(info.value("DisplayVersion"), QString(2047, 'v'));
    QVERIFY(!info.contains("InstallLocation"));
    QCOMPARE(info.value("InstallDate"), QString(2048, '7'));
    QVERIFY(!info.contains("HelpLink"));
    QCOMPARE(info.value("URLUpdateInfo"), QString(2047, QChar(0x4e2d)));

    // A value line far longer than any value may be: skipped, and so are
    // the continuation lines of an overlong hex value.
    const QByteArray huge = "\"DisplayName\"=\"iTunes\"\n"
                            "\"InstallLocation\"=\""
        + QByteArray(200000, 'x')
        + "\"\n"
          "\"HelpLink\"=hex(1):"
        + QByteArray(100000, '4').replace("44", "41,")
        + "\\\n"
          "  41,00,\\\n  [Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\{Z}]\n"
          "\"DisplayVersion\"=\"1.0\"\n";
    const QMap<QString, QString> hugeInfo = parse(Header + entry("{H}", huge));
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    expected["DisplayVersion"] = "1.0";
    QCOMPARE(hugeInfo, expected);
}

void TestWineReg::laterEntryWinsInWineOrder()
{
    // Wine enumerates subkeys sorted by name without regard to case, so
    // {a1} comes before {B2} (a byte order would put B first), whatever the
    // order in the file. A key given twice in the file is one key.
    const QByteArray text = Header
        + entry("{B2}",
            "\"DisplayName\"=\"iTunes\"\n\"DisplayVersion\"=\"12.13\"\n"
            "\"InstallLocation\"=\"C:\\\\New\\\\\"\n")
        + entry("{a1}",
            "\"DisplayName\"=\"iTunes\"\n\"DisplayVersion\"=\"1.0\"\n"
            "\"InstallLocation\"=\"C:\\\\Old\\\\\"\n\"HelpLink\"=\"http://old/help\"\n"
            "\"URLUpdateInfo\"=\"http://old/update\"\n")
        + entry("{b2}",
            "\"URLUpdateInfo\"=\"" + QByteArray(3000, 'u')
                + "\"\n"
                  "\"InstallDate\"=\"20240101\"\n");
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    expected["DisplayVersion"] = "12.13";
    expected["InstallLocation"] = "C:\\New\\";
    expected["HelpLink"] = "http://old/help";
    expected["URLUpdateInfo"] = "http://old/update";
    expected["InstallDate"] = "20240101";
    QCOMPARE(parse(text), expected);

    // A name sorts before a longer one that begins with it.
    const QByteArray prefix = Header
        + entry("iTunes.1", "\"DisplayName\"=\"iTunes\"\n\"DisplayVersion\"=\"2\"\n")
        + entry("ITUNES", "\"DisplayName\"=\"iTunes\"\n\"DisplayVersion\"=\"1\"\n");
    QCOMPARE(parse(prefix).value("DisplayVersion"), QString("2"));
}

void TestWineReg::onlyExactDisplayNameMatches()
{
    const QByteArray text = Header
        + entry("{1}", "\"DisplayName\"=\"itunes\"\n\"InstallLocation\"=\"C:\\\\1\"\n")
        + entry("{2}", "\"DisplayName\"=\"iTunes \"\n\"InstallLocation\"=\"C:\\\\2\"\n")
        + entry("{3}", "\"DisplayName\"=\"iTunes Helper\"\n\"InstallLocation\"=\"C:\\\\3\"\n")
        + entry("{4}", "\"InstallLocation\"=\"C:\\\\4\"\n")
        + entry("{5}",
            "\"DisplayName\"=hex:69,00,54,00,75,00,6e,00,65,00,73,00\n"
            "\"InstallLocation\"=\"C:\\\\5\"\n")
        + entry("{6}", "\"DisplayName\"=\"ITUNES\"\n\"InstallLocation\"=\"C:\\\\6\"\n");
    QVERIFY(parse(text).isEmpty());

    // Present with its DisplayName only: no other keys appear.
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    QCOMPARE(parse(Header + entry("{7}", "\"DisplayName\"=\"iTunes\"\n")), expected);
}

void TestWineReg::otherKeysSkippedBothViewsRead()
{
    const QByteArray text = Header
        + entry("{Y}\\\\Sub", "\"DisplayName\"=\"iTunes\"\n\"InstallLocation\"=\"C:\\\\Sub\"\n")
        + "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall] 1\n"
          "\"DisplayName\"=\"iTunes\"\n\n"
        + "[Software\\\\Classes\\\\{X}] 1\n\"DisplayName\"=\"iTunes\"\n\n"
        + "[SOFTWARE\\\\microsoft\\\\WINDOWS\\\\currentversion\\\\uninstall\\\\{A}] 1\n"
          "\"DisplayName\"=\"iTunes\"\n\"InstallLocation\"=\"C:\\\\Real\"\n";
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    expected["InstallLocation"] = "C:\\Real";
    QCOMPARE(parse(text), expected);

    // A 32-bit iTunes is in the 32-bit view only; a 64-bit entry wins over it
    // whatever the order of the file.
    const QByteArray wow = "[Software\\\\Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\{Z}] 1\n"
                           "\"DisplayName\"=\"iTunes\"\n\"InstallLocation\"=\"C:\\\\Wow\"\n\"HelpLink\"=\"h\"\n\n";
    expected["HelpLink"] = "h";
    expected["InstallLocation"] = "C:\\Wow";
    QCOMPARE(parse(Header + wow), expected);
    expected["InstallLocation"] = "C:\\Real";
    QCOMPARE(parse(text + "\n" + wow), expected);
}

void TestWineReg::survivesMalformedLines()
{
    const QByteArray text = Header
        + entry("{A}",
            "\"DisplayName\"=\"iTunes\"\n"
            "\"InstallLocation\"=\"unterminated\n"
            "\"HelpLink\"=\"ends in a backslash\\\n"
            "\"URLUpdateInfo\" \"no equals sign\"\n"
            "\"InstallDate\"=bogus:\"x\"\n"
            "\"DisplayVersion\"=hex(1):zz,00\n"
            "\"Unterminated name=\"x\"\n"
            "garbage \x01\x02\xff\n"
            "  00,41,00\n"
            "\"InstallLocation\"=\"C:\\\\Good\"\n")
        // A key line without its closing bracket opens no key: the values
        // after it do not land in the key before it.
        + Uninstall + "{B} 1700000000\n\"DisplayVersion\"=\"9.9\"\n\n" + Uninstall + QByteArray(100000, 'k')
        + "] 1\n\"DisplayVersion\"=\"8.8\"\n\n"
        // A continuation that ends the file breaks its value.
        + entry("{C}", "\"DisplayName\"=\"iTunes\"\n\"DisplayVersion\"=hex(1):41,00,\\");
    QMap<QString, QString> expected;
    expected["DisplayName"] = "iTunes";
    expected["InstallLocation"] = "C:\\Good";
    QCOMPARE(parse(text), expected);

    // Lines ending in CR LF, and a NUL byte that cuts its line short.
    QByteArray crlf = Header
        + entry("{D}",
            "\"DisplayName\"=\"iTunes\"\n"
            "\"InstallLocation\"=\"C:\\\\D\"\n"
            "\"HelpLink\"=\"cut")
        + '\0' + "\"\n";
    crlf.replace("\n", "\r\n");
    expected["InstallLocation"] = "C:\\D";
    QCOMPARE(parse(crlf), expected);
}

void TestWineReg::emptyOrMissingFiles()
{
    const QByteArray body = entry("{A}", "\"DisplayName\"=\"iTunes\"\n");
    QVERIFY(parse(QByteArray()).isEmpty());
    QVERIFY(parse(Header).isEmpty());
    // Wine loads nothing from a file without its header line, so neither
    // do we.
    QVERIFY(parse(body).isEmpty());
    QVERIFY(parse("\xef\xbb\xbf" + Header + body).isEmpty());
    QVERIFY(!parse(Header + body).isEmpty());

    QBuffer closed;
    QVERIFY(parseWineUninstall(&closed).isEmpty());
    QVERIFY(parseWineUninstall(nullptr).isEmpty());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(readWineUninstall(dir.filePath("missing.reg")).isEmpty());
    QVERIFY(readWineUninstall(dir.path()).isEmpty());
    QFile file(dir.filePath("system.reg"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Header + body);
    file.close();
    QCOMPARE(readWineUninstall(file.fileName()).value("DisplayName"), QString("iTunes"));
    QVERIFY(file.setPermissions(QFileDevice::WriteOwner));
    // Root reads it all the same.
    if (!QFile(file.fileName()).open(QIODevice::ReadOnly))
        QVERIFY(readWineUninstall(file.fileName()).isEmpty());
}

void TestWineReg::installInfoReadsTheDefaultPrefix()
{
#ifdef Q_OS_WIN
    QSKIP("Windows reads its own registry (test_win32registry)");
#endif
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    QVERIFY(iTunesInstallInfo().isEmpty());

    QVERIFY(QDir(home.path()).mkpath(".wine"));
    QFile file(home.filePath(".wine/system.reg"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Header
        + entry("{A}",
            "\"DisplayName\"=\"iTunes\"\n"
            "\"InstallLocation\"=\"C:\\\\Program Files\\\\iTunes\\\\\"\n"));
    file.close();
    const QMap<QString, QString> info = iTunesInstallInfo();
    qputenv("HOME", oldHome);
    QCOMPARE(info.value("InstallLocation"), QString("C:\\Program Files\\iTunes\\"));
}

QTEST_GUILESS_MAIN(TestWineReg)
#include "test_winereg.moc"
