#include "settings/config.h"
#include "settings/defaults.h"
#include "tests/support/debuglines.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// Each test gets an INI file of its own: Config takes the organization and
// application names, and QSettings::setPath points the user scope at a
// temporary folder. Key names are spelled out here, as the files out there and
// the service spell them, to hold the program's constants to them.
class TestConfig : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    int serial = 0;
    QString org;

    Config *make(const QString &version = QStringLiteral("1.0.1"), const QMap<QString, QString> &itunes = {},
        const QString &folder = QStringLiteral("."))
    {
        return new Config(org, QStringLiteral("Belfry"), version, itunes, folder);
    }

    QSettings file() const
    {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, org, QStringLiteral("Belfry"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("config"));
    }

    void init() { org = QStringLiteral("Org%1").arg(++serial); }

    void firstStartWritesEveryDefault()
    {
        QMap<QString, QString> itunes;
        itunes.insert(QStringLiteral("DisplayName"), QStringLiteral("iTunes"));
        itunes.insert(QStringLiteral("InstallLocation"), QStringLiteral("C:\\Program Files\\iTunes\\"));
        delete make(QStringLiteral("1.0.1"), itunes);

        QSettings s = file();
        const QString pcid = s.value("PCID").toString();
        QCOMPARE(pcid.size(), 36);
        QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-R[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}$")
                    .match(pcid)
                    .hasMatch());
        QCOMPARE(s.value("Version").toString(), QStringLiteral("1.0.1"));
        QCOMPARE(s.value("Application").toString(), QStringLiteral("Belfry"));
        QCOMPARE(s.value("Orgination").toString(), org);
        QCOMPARE(s.value("Pulse").toInt(), 5);
        QVERIFY(s.value("HomePage").toString().startsWith("http://"));
        QCOMPARE(s.value("iTunes/DisplayName").toString(), QStringLiteral("iTunes"));
        QCOMPARE(s.value("iTunes/InstallLocation").toString(), QStringLiteral("C:\\Program Files\\iTunes\\"));
        QVERIFY(!s.contains("iTunes/HelpLink"));
        QCOMPARE(s.value("iTunes/iTunesFolder").toString(), QStringLiteral("."));
        QCOMPARE(s.value("Server/Host").toString(), QString::fromLatin1(Belfry::ServiceHost));
        QCOMPARE(s.value("Server/Ringtone").toString(), QString::fromLatin1(Belfry::RingtoneHost));
        QVERIFY(!s.value("Server/Host").toString().endsWith('/'));
        QVERIFY(!s.contains("Access"));
    }

    void clientIdsDifferAndSurviveRestarts()
    {
        delete make();
        const QString first = file().value("PCID").toString();
        delete make(QStringLiteral("2.0.0"));
        QCOMPARE(file().value("PCID").toString(), first);

        init();
        delete make();
        QVERIFY(file().value("PCID").toString() != first);
    }

    void unusableClientIdReplaced_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("logged");
        QTest::newRow("empty") << QVariant("") << true;
        QTest::newRow("blank") << QVariant("  ") << true;
        QTest::newRow("list") << QVariant(QStringList {"a", "b"}) << true;
        QTest::newRow("kept") << QVariant("pc-1") << false;
    }

    void unusableClientIdReplaced()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, logged);
        delete make();
        file().setValue("PCID", stored);
        DebugLines debug;
        delete make();
        const QString pcid = file().value("PCID").toString();
        QCOMPARE(pcid == stored.toString(), !logged);
        QCOMPARE(pcid.size(), logged ? 36 : stored.toString().size());
        QCOMPARE(debug.take().filter("client id").size(), int(logged));
    }

    void sameVersionKeepsRemoteChanges()
    {
        delete make();
        {
            QSettings s = file();
            s.setValue("Pulse", "30");
            s.setValue("Server/Host", "http://elsewhere.invalid");
            s.setValue("Update/Version", "1.2");
            s.setValue("Update/Download", "http://get.invalid/1.2");
        }
        delete make();
        QSettings s = file();
        QCOMPARE(s.value("Pulse").toString(), QStringLiteral("30"));
        QCOMPARE(s.value("Server/Host").toString(), QStringLiteral("http://elsewhere.invalid"));
        QCOMPARE(s.value("Update/Version").toString(), QStringLiteral("1.2"));
    }

    void versionChangeRewritesDefaultsAndKeepsPairing()
    {
        {
            Config *config = make(QStringLiteral("1.0.0"));
            config->newDevice("phone-a", "Anna's phone");
            config->setAccess();
            config->set("Update/Version", "1.0.1");
            config->set("Update/Download", "http://get.invalid/1.0.1");
            config->set("Update/Access", true);
            config->set("Pulse", 42);
            config->set("Server/Ringtone", "http://old.invalid");
            delete config;
        }
        const QString pcid = file().value("PCID").toString();
        delete make(QStringLiteral("1.0.1"));

        QSettings s = file();
        QCOMPARE(s.value("PCID").toString(), pcid);
        QCOMPARE(s.value("Version").toString(), QStringLiteral("1.0.1"));
        QCOMPARE(s.value("Pulse").toInt(), 5);
        QCOMPARE(s.value("Server/Ringtone").toString(), QString::fromLatin1(Belfry::RingtoneHost));
        QVERIFY(!s.contains("Update/Version"));
        QVERIFY(!s.contains("Update/Download"));
        QVERIFY(s.value("Update/Access").toBool());
        QVERIFY(s.value("Access").toBool());
        QCOMPARE(s.value("DEVICES/phone-a").toString(), QStringLiteral("Anna's phone"));
    }

    void autoAddFolderRefreshedOnEveryStart()
    {
        delete make();
        QCOMPARE(file().value("iTunes/iTunesFolder").toString(), QStringLiteral("."));

        // iTunes initialised since: the same version still picks the folder up.
        const QString folder = home.filePath("Media/Automatically Add to iTunes.localized");
        QVERIFY(QDir().mkpath(folder));
        delete make(QStringLiteral("1.0.1"), {}, folder);
        QCOMPARE(file().value("iTunes/iTunesFolder").toString(), folder);

        // A folder that still exists is kept; one that vanished is replaced.
        file().setValue("iTunes/iTunesFolder", home.path());
        delete make(QStringLiteral("1.0.1"), {}, folder);
        QCOMPARE(file().value("iTunes/iTunesFolder").toString(), home.path());
        file().setValue("iTunes/iTunesFolder", home.filePath("gone"));
        delete make(QStringLiteral("1.0.1"), {}, folder);
        QCOMPARE(file().value("iTunes/iTunesFolder").toString(), folder);
    }

    void pulseRule_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("pulse");
        QTest::newRow("missing") << QVariant() << 10;
        QTest::newRow("text") << QVariant("soon") << 10;
        QTest::newRow("zero") << QVariant(0) << 10;
        QTest::newRow("negative") << QVariant(-5) << 10;
        QTest::newRow("four") << QVariant(4) << 10;
        QTest::newRow("five") << QVariant(5) << 5;
        QTest::newRow("thirty as text") << QVariant("30") << 30;
        QTest::newRow("a day") << QVariant(86400) << 86400;
        // Times 1000 these no longer fit the beat timer's int milliseconds.
        QTest::newRow("a day and a second") << QVariant(86401) << 86400;
    }

    void pulseRule()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, pulse);
        Config *config = make();
        if (stored.isValid())
            config->set("Pulse", stored);
        else
            config->del("Pulse");
        QCOMPARE(config->Pulse(), pulse);
        delete config;
    }

    void itunesCommandForms_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("command");
        QTest::newRow("slash") << "C:/Apps/iTunes/"
                               << "C:/Apps/iTunes/iTunes.exe";
        QTest::newRow("backslash") << "C:\\Program Files\\iTunes\\"
                                   << "\"C:\\Program Files\\iTunes\\\\iTunes.exe\"";
        QTest::newRow("no separator") << "C:\\iTunes"
                                      << "\"C:\\iTunes\\iTunes.exe\"";
        QTest::newRow("empty") << ""
                               << "\"\\iTunes.exe\"";
    }

    void itunesCommandForms()
    {
        QFETCH(QString, location);
        QFETCH(QString, command);
        QCOMPARE(iTunesCommand(location), command);

        Config *config = make();
        if (!location.isEmpty())
            config->set("iTunes/InstallLocation", location);
#ifdef Q_OS_WIN
        QCOMPARE(config->iTunesCMD(), command);
#else
        QCOMPARE(config->iTunesCMD(), "wine " + command);
        // The quoted path with its spaces stays one argument for wine.
        const QStringList split = QProcess::splitCommand(config->iTunesCMD());
        QCOMPARE(split.size(), 2);
        QVERIFY(split.at(1).endsWith("iTunes.exe"));
#endif
        delete config;
    }

    // Which ringtones are in iTunes' folder, as a later run finds it.
    void storedRingtones_data()
    {
        const int n = Belfry::RememberedRingtones;
        const auto upTo = [](int last) {
            QList<int> ids;
            for (int id = 1; id <= last; ++id)
                ids << id;
            return ids;
        };
        QTest::addColumn<QList<int>>("remembered");  // in this order
        QTest::addColumn<QList<int>>("kept");
        QTest::addColumn<QList<int>>("forgotten");
        QTest::newRow("none") << QList<int>() << QList<int>() << QList<int> {1};
        QTest::newRow("one") << QList<int> {42} << QList<int> {42} << QList<int> {4, 420};
        QTest::newRow("as many as kept") << upTo(n) << QList<int> {1, n} << QList<int> {n + 1};
        QTest::newRow("one more: the oldest goes") << upTo(n + 1) << QList<int> {2, n + 1} << QList<int> {1};
        QTest::newRow("stored again counts as new")
            << upTo(n) + QList<int> {1, n + 1} << QList<int> {1, 3} << QList<int> {2};
        QTest::newRow("stored again takes one place")
            << upTo(n) + QList<int> {n} << QList<int> {1, n} << QList<int> {n + 1};
    }
    void storedRingtones()
    {
        QFETCH(QList<int>, remembered);
        QFETCH(QList<int>, kept);
        QFETCH(QList<int>, forgotten);
        Config *config = make();
        for (int id : remembered)
            config->rememberStored(id);
        delete config;

        config = make();
        for (int id : kept)
            QVERIFY2(config->isStored(id), qPrintable(QString::number(id)));
        for (int id : forgotten)
            QVERIFY2(!config->isStored(id), qPrintable(QString::number(id)));
        delete config;
        QCOMPARE(file().contains("Ringtones/Stored"), !remembered.isEmpty());
    }

    void onlyTheLastDeviceIsKept()
    {
        Config *config = make();
        QVERIFY(config->delAllDevice());
        QVERIFY(!config->containDevices());

        config->newDevice("a", "x");
        config->newDevice("b", "y");
        QCOMPARE(config->devices(), QStringList {"b"});
        QVERIFY(config->containDevices());
        QCOMPARE(config->getDevice("b"), QStringLiteral("y"));
        QCOMPARE(config->getDevice("a"), QString());

        config->set("DEVICES/c", "z");
        QCOMPARE(config->devices().size(), 2);
        QVERIFY(config->delAllDevice());
        QVERIFY(config->devices().isEmpty());
        QVERIFY(config->delDevice("nothing"));
        QVERIFY(!config->getAccess());
        config->setAccess();
        QVERIFY(config->getAccess());
        delete config;
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
