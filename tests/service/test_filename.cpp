// Ringtone names as files: what the service sends must become a name that
// stays in the folder and that Windows can create, on both platforms.

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "service/filename.h"
#include "tests/support/devicenames.h"

class TestFileName : public QObject
{
    Q_OBJECT

private slots:
    void safeNames_data();
    void safeNames();
    void reservedNames_data();
    void reservedNames();
    void longNames();
    void extendedLengthPaths_data();
    void extendedLengthPaths();
};

void TestFileName::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("safe");
    QTest::newRow("climbing") << "../../x"
                              << ".._.._x";
    QTest::newRow("forbidden") << "a/b\\c<d>e:f\"g|h?i*j"
                               << "a_b_c_d_e_f_g_h_i_j";
    QTest::newRow("controls") << QString("a\tb\x7f"
                                         "c")
            + QChar(0x85) << "a_b_c_";
    QTest::newRow("chinese") << "  铃声 Bell. . "
                             << "铃声 Bell";
    QTest::newRow("emoji") << "\U0001F514 Bell"
                           << "\U0001F514 Bell";
    QTest::newRow("lone surrogate") << QString("a") + QChar(0xD800) + "b"
                                    << "a_b";
    QTest::newRow("device") << "CON"
                            << "_CON";
    QTest::newRow("device lower case with extension") << "con.txt"
                                                      << "_con.txt";
    QTest::newRow("device with space") << "nul .x"
                                       << "_nul .x";
    QTest::newRow("numbered device") << "Lpt9"
                                     << "_Lpt9";
    QTest::newRow("no device") << "COM10"
                               << "COM10";
    QTest::newRow("device prefix") << "CONSOLE"
                                   << "CONSOLE";
    QTest::newRow("empty") << ""
                           << "铃声";
    QTest::newRow("dots") << ".."
                          << "铃声";
    QTest::newRow("spaces") << "   "
                            << "铃声";
    QTest::newRow("leading dot kept") << ".Bell"
                                      << ".Bell";
}

void TestFileName::safeNames()
{
    QFETCH(QString, name);
    QFETCH(QString, safe);
    QCOMPARE(RingtoneFile::safeBaseName(name), safe);
}

// The service's device names (a shared table), and the same with the
// trailing dots and spaces that the service refuses anyway but Windows drops:
// a device becomes a file in the folder, on every platform; a near miss stays.
void TestFileName::reservedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("device");
    for (const DeviceNames::Row &row : DeviceNames::rows()) {
        const QString name = QString::fromStdString(row.name);
        QTest::newRow(row.name.c_str()) << name << row.device;
        if (row.device)
            QTest::newRow(qPrintable(" " + name + " .txt. .")) << " " + name + " .txt. ." << true;
    }
}

void TestFileName::reservedNames()
{
    QFETCH(QString, name);
    QFETCH(bool, device);
    const QString base = RingtoneFile::safeBaseName(name);
    QVERIFY2(base.startsWith('_') == device, qPrintable(base));
    QTemporaryDir dir;
    const QString path = RingtoneFile::targetPath(dir.path(), base, -1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write("ring"), qint64(4));
    file.close();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {QFileInfo(path).fileName()});
}

void TestFileName::longNames()
{
    const QString folder = "C:/Users/someone/Music/iTunes/iTunes Media/Automatically Add to iTunes";
    const QString latin = RingtoneFile::safeBaseName(QString(400, 'a'));
    const QString chinese = RingtoneFile::safeBaseName(QString(400, QChar(0x957F)));
    for (int counter : {-1, 0, 12, 12345}) {
        const QString ending = counter < 0 ? QString(".m4r") : QString("_%1.m4r").arg(counter);
        const QString path = RingtoneFile::targetPath(folder, latin, counter);
        QCOMPARE(path.size(), RingtoneFile::MaxPath);
        QVERIFY(path.endsWith(ending));

        // Three bytes a character: the file name limit bites before the
        // path's, on Windows too (under Wine the file system counts bytes).
        const QString wide = RingtoneFile::targetPath(folder, chinese, counter);
        const QString name = QFileInfo(wide).fileName();
        QVERIFY(wide.size() <= RingtoneFile::MaxPath);
        QVERIFY(name.endsWith(ending));
        QVERIFY(name.toUtf8().size() <= RingtoneFile::MaxFileName);
        QVERIFY(name.toUtf8().size() > RingtoneFile::MaxFileName - 3);
    }
    // And the file system here takes it.
    QTemporaryDir dir;
    QFile file(RingtoneFile::targetPath(dir.path(), chinese, -1));
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    // Surrogate pairs are kept whole; cutting may not leave a trailing dot.
    QString emoji;
    for (int i = 0; i < 200; ++i)
        emoji += QString::fromUcs4(U"\U0001F514");
    const QString cut = RingtoneFile::targetPath(folder, emoji, -1);
    QVERIFY(cut.size() <= RingtoneFile::MaxPath);
    QVERIFY(!cut.at(cut.size() - 5).isHighSurrogate());
    const QString dotted = RingtoneFile::targetPath(folder, QString(180, 'a') + ". . . . . . . . . . b", -1);
    QVERIFY(!dotted.endsWith(".m4r.m4r"));
    QVERIFY(!dotted.chopped(4).endsWith('.') && !dotted.chopped(4).endsWith(' '));
    QCOMPARE(RingtoneFile::targetPath(folder, "Bell", 0), folder + "/Bell_0.m4r");
}

void TestFileName::extendedLengthPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("extended");
    QTest::newRow("drive") << "C:/Users/u/Music/iTunes/铃声.m4r"
                           << "\\\\?\\C:\\Users\\u\\Music\\iTunes\\铃声.m4r";
    QTest::newRow("backslashes") << "D:\\Media\\a.m4r"
                                 << "\\\\?\\D:\\Media\\a.m4r";
    QTest::newRow("share") << "//server/share/Music/a.m4r"
                           << "\\\\?\\UNC\\server\\share\\Music\\a.m4r";
    QTest::newRow("already extended") << "\\\\?\\C:\\a.m4r"
                                      << "\\\\?\\C:\\a.m4r";
}

void TestFileName::extendedLengthPaths()
{
    QFETCH(QString, path);
    QFETCH(QString, extended);
    QCOMPARE(RingtoneFile::extendedLengthPath(path), extended);
}

QTEST_GUILESS_MAIN(TestFileName)
#include "test_filename.moc"
