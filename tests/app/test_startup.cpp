// Starts the real program in sandbox homes and looks at what it leaves on the
// X display and in the settings file.

#include "settings/defaults.h"

#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/support/sandbox.h"

namespace {

struct Sandbox
{
    QTemporaryDir dir;

    explicit Sandbox(const QString &state) { makeSandboxHome(dir.path(), state); }

    QProcessEnvironment environment() const { return sandboxEnvironment(dir.path()); }

    QString settingsFile() const { return dir.filePath(".config/Corvale/Belfry.ini"); }
};

// Top-level windows on the display titled `title`, as "WxH".
QStringList windowSizes(const QString &title)
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
    xwininfo.waitForFinished(5000);
    const QString tree = QString::fromUtf8(xwininfo.readAllStandardOutput());
    QStringList sizes;
    const QRegularExpression line(QStringLiteral("\"%1\": \\(.*\\)\\s+(\\d+x\\d+)\\+").arg(title));
    auto it = line.globalMatch(tree);
    while (it.hasNext())
        sizes << it.next().captured(1);
    return sizes;
}

// Whether a top-level window of this size is on screen (mapped), whatever its title.
bool onScreen(const QString &size)
{
    QProcess tree;
    tree.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
    tree.waitForFinished(5000);
    const QRegularExpression line(QStringLiteral("(0x[0-9a-f]+) .*\\s%1\\+").arg(size));
    auto it = line.globalMatch(QString::fromUtf8(tree.readAllStandardOutput()));
    while (it.hasNext()) {
        QProcess window;
        window.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), it.next().captured(1)});
        window.waitForFinished(5000);
        if (window.readAllStandardOutput().contains("IsViewable"))
            return true;
    }
    return false;
}

// Whether a running instance listens under `name`.
bool answers(const QString &name)
{
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    return socket.waitForConnected(1000);
}

}  // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private:
    QList<QProcess *> running;

    QProcess *start(const Sandbox &sandbox)
    {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(sandbox.environment());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(BELFRY_BINARY), QStringList());
        running << process;
        return process;
    }

private slots:
    void initTestCase() { QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "runs on a virtual X display"); }

    void cleanup()
    {
        for (QProcess *process : qAsConst(running)) {
            process->kill();
            process->waitForFinished(5000);
        }
        qDeleteAll(running);
        running.clear();
    }

    void missingITunesShowsInstallDialogAndWritesNothing()
    {
        Sandbox sandbox(QStringLiteral("no-itunes"));
        QProcess *belfry = start(sandbox);
        QVERIFY(belfry->waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(windowSizes("Carillo"), QStringList {"280x100"}, 30000);
        QCOMPARE(belfry->state(), QProcess::Running);
        QVERIFY(!QFile::exists(sandbox.settingsFile()));
        QVERIFY(!QDir(sandbox.dir.filePath(".config/Corvale")).exists());
    }

    void uninitialisedITunesShowsInitDialogAndWritesDefaults()
    {
        Sandbox sandbox(QStringLiteral("no-library"));
        QProcess *belfry = start(sandbox);
        QTRY_COMPARE_WITH_TIMEOUT(windowSizes("Carillo"), QStringList {"280x100"}, 30000);
        QCOMPARE(belfry->state(), QProcess::Running);

        QSettings settings(sandbox.settingsFile(), QSettings::IniFormat);
        QCOMPARE(settings.value(Belfry::ClientIdKey).toString().size(), 36);
        QCOMPARE(settings.value(Belfry::VersionKey).toString(), QStringLiteral("1.0.1"));
        QCOMPARE(settings.value("iTunes/DisplayName").toString(), QStringLiteral("iTunes"));
        QCOMPARE(settings.value(Belfry::ITunesFolderKey).toString(), QStringLiteral("."));
    }

    void readyMachineRunsOneInstance()
    {
        Sandbox sandbox(QStringLiteral("ready"));
        QProcess *first = start(sandbox);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(sandbox.settingsFile()), 30000);

        QSettings settings(sandbox.settingsFile(), QSettings::IniFormat);
        // As the file holds them, whatever the program calls them.
        const QStringList keys = {"PCID", "Version", "Application", "Orgination", "Pulse", "HomePage",
            "iTunes/DisplayName", "iTunes/DisplayVersion", "iTunes/InstallLocation", "iTunes/InstallDate",
            "iTunes/URLUpdateInfo", "iTunes/HelpLink", "iTunes/iTunesFolder", "Server/Host",
            "Server/Ringtone"};
        for (const QString &key : keys)
            QVERIFY2(settings.contains(key), qPrintable(key));
        const QString folder = settings.value(Belfry::ITunesFolderKey).toString();
        QVERIFY2(folder.endsWith("/iTunes Media/Automatically Add to iTunes"), qPrintable(folder));
        QVERIFY(QFileInfo(folder).isDir());

        // Once the first instance listens, a second start gives way to it.
        QTRY_VERIFY_WITH_TIMEOUT(answers(settings.value(Belfry::ClientIdKey).toString()), 30000);
        QCOMPARE(first->state(), QProcess::Running);
        QProcess *second = start(sandbox);
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);

        // The end of a session: an orderly quit, not a kill.
        first->terminate();
        QVERIFY(first->waitForFinished(10000));
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);
    }

    void secondStartBringsTheFirstForward()
    {
        Sandbox sandbox(QStringLiteral("ready"));
        {
            QSettings settings(sandbox.settingsFile(), QSettings::IniFormat);
            settings.setValue(Belfry::VersionKey, "1.0.1");
            settings.setValue(Belfry::ServiceHostKey, "http://belfry.invalid");
        }
        QProcess *first = start(sandbox);
        // The unreachable service hides the pairing page behind the network dialog.
        QTRY_VERIFY_WITH_TIMEOUT(onScreen("280x100"), 30000);
        QVERIFY(!onScreen("262x343"));
        QProcess *second = start(sandbox);
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(onScreen("262x343"), 10000);
        QCOMPARE(first->state(), QProcess::Running);
    }

    void clientIdShapedLikeAPathTouchesNoFile()
    {
        Sandbox sandbox(QStringLiteral("ready"));
        const QString victim = sandbox.dir.filePath("victim");
        {
            QFile file(victim);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("keep me");
        }
        {
            // As the service could leave it: the settings keys are remotely writable.
            QSettings settings(sandbox.settingsFile(), QSettings::IniFormat);
            settings.setValue(Belfry::ClientIdKey, victim);
            settings.setValue(Belfry::VersionKey, "1.0.1");
        }
        QProcess *first = start(sandbox);
        QTRY_VERIFY_WITH_TIMEOUT(answers(QString(victim).replace('/', '_')), 30000);
        QProcess *second = start(sandbox);
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);

        QFile file(victim);
        QVERIFY(QFileInfo(victim).isFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
