// The real program against a server that plays the service, one fault per
// row. Every row runs its own program in its own sandbox home, all rows at
// once (a beat is 5 s), and the checks then look at what each one left.

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <memory>

#include "tests/support/readonlyfolder.h"
#include "tests/support/sandbox.h"
#include "tests/support/servicestandin.h"

namespace {

enum class Fault {
    CutShort,
    NotFound,
    ServerError,
    Redirect,
    Silent,
    Refused,
    Unresolvable,
    Restart,
    DiskFull,
    FolderRemoved,
    FolderReadOnly,
    Killed,
    KilledBeforeConfirming,
    Many,
    SameName,
};

struct Row
{
    const char *tag;
    Fault fault;
    int ringtones;  // waiting for the PC when the program starts
    const char *event;  // usage event the program must report, "" for none
    bool refetched;  // a broken transfer's file must have been asked for again
};

const Row Rows[] = {
    {"file body cut short", Fault::CutShort, 2, "download", true},
    {"file 404", Fault::NotFound, 2, "download", true},
    {"file 500", Fault::ServerError, 2, "download", true},
    {"file 302 to a real file", Fault::Redirect, 20, "", false},
    {"ringtone server accepts and never answers", Fault::Silent, 1, "fullname", false},
    {"ringtone server refuses the connection", Fault::Refused, 1, "fullname", false},
    {"file host does not resolve", Fault::Unresolvable, 1, "download", false},
    {"service restarted mid-sync", Fault::Restart, 3, "", true},
    {"disk full while writing", Fault::DiskFull, 1, "save", true},
    {"auto-add folder removed mid-sync", Fault::FolderRemoved, 2, "", false},
    {"auto-add folder read-only mid-sync", Fault::FolderReadOnly, 2, "save", true},
    {"killed mid-download and started again", Fault::Killed, 2, "", true},
    {"killed after storing, before confirming", Fault::KilledBeforeConfirming, 2, "", false},
    {"200 ringtones at once", Fault::Many, 200, "", false},
    {"one name sent 50 times", Fault::SameName, 50, "", false},
};

// Sent by the phone once the fault is gone: it must arrive like any other.
constexpr int LaterId = 1000;
constexpr int Chunk = 16384;
constexpr int Pulse = 5;
const QString SettingsFile = QStringLiteral(".config/Corvale/Belfry.ini");
const QString StagingName = QStringLiteral(".belfry-staging");

// What the phone sent.
struct Tone
{
    QString name;
    QByteArray bytes;
};

QByteArray toneBytes(int id, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + id * 7 + i / 251) & 0xff);
    return bytes;
}

// Plays the service for one program, with the row's fault in front of its
// answers while `faulty`.
struct Service : ServiceStandIn
{
    const Fault fault;
    std::atomic<bool> faulty {true};
    // While set, file transfers stop after their first chunk; held counts
    // them, and the silent information requests.
    std::atomic<bool> gated {false};
    std::atomic<int> held {0};
    // The ringtones whose transfer was held: which of them comes first is the
    // program's choice.
    std::mutex heldMutex;
    std::set<int> heldIds;
    // A transfer held before the last cut fails instead of going on.
    std::atomic<int> cuts {0};
    // The ringtone server of a row whose ringtone server was away at first.
    std::unique_ptr<StandIn> ringtone;

    explicit Service(Fault fault)
        : fault(fault)
    {
        setFileAddress([this](int id) {
            if (this->fault == Fault::Unresolvable && faulty)
                return QStringLiteral("http://ringtones.invalid/%1.m4r").arg(id);
            return base()
                + (this->fault == Fault::Redirect ? QStringLiteral("/moved/%1").arg(id) : filePath(id));
        });
        route("GET", "/moved/(\\d+)", [this](Exchange &exchange) {
            exchange.redirect((base() + filePath(exchange.match(1).toInt())).toUtf8());
        });
        route("GET", "/apiv1/ringtone", [this](Exchange &exchange) {
            if (this->fault == Fault::Silent && faulty)
                ++held;  // accepted, and then not a byte
            else
                information(exchange, exchange.request.query("ringtoneid").toInt());
        });
        route("GET", FilePattern, [this](Exchange &exchange) {
            transfer(exchange, exchange.match(1).toInt());
        });
        // A beat that confirms is refused while the fault lasts: the kill comes
        // between the storing and any confirmation.
        route("POST", "/p/v1/heart", [this](Exchange &exchange) {
            const bool confirms = !exchange.request.json().value("got").toArray().isEmpty();
            if (this->fault == Fault::KilledBeforeConfirming && faulty && confirms)
                return exchange.answer(503);
            beat(exchange);
        });
    }
    ~Service() override { shutdown(); }

    void transfer(Exchange &exchange, int id)
    {
        QByteArray bytes;
        const bool broken
            = faulty && (fault == Fault::CutShort || fault == Fault::NotFound || fault == Fault::ServerError);
        if ((!broken && !gated) || !waitingFile(id, &bytes))
            return file(exchange, id);
        if (fault == Fault::NotFound || fault == Fault::ServerError)
            return exchange.answer(fault == Fault::NotFound ? 404 : 500);
        exchange.whenSent([this, id](bool whole) {
            if (whole)
                delivered(id);
        });
        exchange.begin(
            200, {"Content-Type: audio/mp4", "Content-Length: " + QByteArray::number(bytes.size())});
        if (fault == Fault::CutShort) {
            exchange.write(bytes.left(bytes.size() / 2));
            return exchange.close();
        }
        ++held;
        {
            std::lock_guard<std::mutex> lock(heldMutex);
            heldIds.insert(id);
        }
        exchange.write(bytes.left(Chunk));
        const int generation = cuts;
        exchange.hold(
            [this, generation] {
                return !gated || cuts != generation;
            },
            [this, bytes, generation](Exchange &rest) {
                if (cuts != generation)
                    return rest.close();
                rest.write(bytes.mid(Chunk));
                rest.end();
            });
    }
};

bool isSocket(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

QSet<QString> treeOf(const QString &root)
{
    QSet<QString> paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << QDir(root).relativeFilePath(it.next());
    return paths;
}

// One row: a sandbox home, its service and the program running in it.
struct Scenario
{
    enum Stage { Started, Injected, Healed };

    const Row &row;
    QTemporaryDir home;
    QString folder;
    Service service;
    std::unique_ptr<QProcess> program;
    std::unique_ptr<ReadOnlyFolder> readOnly;
    int ringtonePort = 0;
    QString mountPoint;
    QString skipped;
    QSet<QString> before;
    std::map<int, Tone> sent;
    Stage stage = Started;
    QElapsedTimer sinceInjected;
    int beatsAtHeal = 0;

    explicit Scenario(const Row &row)
        : row(row)
        , service(row.fault)
    { }

    QString staging() const { return QFileInfo(folder).absolutePath() + QLatin1Char('/') + StagingName; }
    QString log() const { return home.path() + QStringLiteral(".log"); }
    bool gatedFault() const
    {
        return row.fault == Fault::Restart || row.fault == Fault::Killed || row.fault == Fault::FolderRemoved
            || row.fault == Fault::FolderReadOnly;
    }

    void launch()
    {
        QProcessEnvironment env = sandboxEnvironment(home.path());
        env.insert("TMPDIR", home.filePath("tmp"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program = std::make_unique<QProcess>();
        program->setProcessEnvironment(env);
        program->setStandardOutputFile(log(), QIODevice::Append);
        program->setStandardErrorFile(log(), QIODevice::Append);
        program->start(QStringLiteral(BELFRY_BINARY), QStringList());
    }

    void prepare()
    {
        makeSandboxHome(home.path(), QStringLiteral("ready"));
        QDir(home.path()).mkdir("tmp");
        folder = home.filePath(
            ".wine/drive_c/users/belfry/Music/iTunes/iTunes Media/Automatically Add to iTunes");

        QString ringtoneBase = service.base();
        if (row.fault == Fault::Refused) {
            ringtonePort = closedPort();
            ringtoneBase = QStringLiteral("http://127.0.0.1:%1").arg(ringtonePort);
        } else if (row.fault == Fault::DiskFull) {
            // A small file system of its own holds the folder and the staging beside it.
            mountPoint = home.filePath("disk");
            QDir().mkpath(mountPoint);
            if (::geteuid() != 0
                || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", mountPoint}) != 0) {
                mountPoint.clear();
                skipped = QStringLiteral("mounting a small tmpfs needs root");
                return;
            }
            folder = mountPoint + QStringLiteral("/auto-add");
            QDir().mkpath(folder);
        }
        {
            QSettings settings(home.filePath(SettingsFile), QSettings::IniFormat);
            settings.setValue("PCID", QUuid::createUuid().toString(QUuid::WithoutBraces));
            settings.setValue("Version", "1.0.1");
            settings.setValue("Pulse", Pulse);
            settings.setValue("Server/Host", service.base());
            settings.setValue("Server/Ringtone", ringtoneBase);
            settings.setValue("iTunes/iTunesFolder", folder);
            settings.setValue("DEVICES/dev-1", QStringLiteral("测试的iPhone"));
        }

        for (int id = 1; id <= row.ringtones; ++id) {
            const bool big = row.fault == Fault::DiskFull;
            send(id, row.fault == Fault::SameName ? "铃声" : QStringLiteral("铃声%1").arg(id),
                big ? 512 * 1024 : 40000 + id);
        }
        service.gated = gatedFault();
        before = treeOf(home.path());
        launch();
    }

    void send(int id, const QString &name, int size)
    {
        sent[id] = {name, toneBytes(id, size)};
        service.send(id, name, sent[id].bytes);
    }

    bool triggered()
    {
        if (gatedFault() || row.fault == Fault::Silent)
            return service.held > 0;
        if (row.fault == Fault::KilledBeforeConfirming)
            return QDir(folder).entryList(QDir::Files).size() == row.ringtones;
        return true;
    }

    void inject()
    {
        switch (row.fault) {
        case Fault::Restart:
            ++service.cuts;
            service.stop();
            break;
        case Fault::KilledBeforeConfirming:
            program->kill();
            program->waitForFinished(5000);
            launch();
            break;
        case Fault::Killed: {
            program->kill();
            program->waitForFinished(5000);
            ++service.cuts;
            // A kill during the write leaves the staged half behind.
            QDir().mkpath(staging());
            QFile part(staging() + QStringLiteral("/k1ll3d.part"));
            part.open(QIODevice::WriteOnly);
            part.write(QByteArray(20000, 'x'));
            part.close();
            launch();
            service.gated = false;
            break;
        }
        case Fault::FolderRemoved:
            QDir(folder).removeRecursively();
            service.gated = false;
            break;
        case Fault::FolderReadOnly:
            readOnly = std::make_unique<ReadOnlyFolder>(folder);
            if (!readOnly->isReadOnly())
                skipped = QStringLiteral("the folder could not be made read-only here");
            service.gated = false;
            break;
        default:
            break;
        }
        sinceInjected.start();
    }

    bool healable()
    {
        if (*row.event && row.fault != Fault::Silent)
            return service.events().contains(row.event);
        if (row.fault == Fault::Restart)
            return sinceInjected.elapsed() > Pulse * 1000 + 1000;
        return true;
    }

    void heal()
    {
        service.faulty = false;
        service.gated = false;
        if (row.fault == Fault::Restart)
            service.listen();
        if (ringtonePort != 0) {
            service.ringtone = std::make_unique<StandIn>(ringtonePort);
            service.install(*service.ringtone);
        }
        if (row.fault == Fault::DiskFull)
            QProcess::execute("mount", {"-o", "remount,size=8m", mountPoint});
        readOnly.reset();
        send(LaterId, "后来的铃声", 30000);
        beatsAtHeal = service.beats();
    }

    bool finished()
    {
        const int stored = QDir(folder).entryList(QDir::Files | QDir::Hidden).size();
        return service.waiting().isEmpty() && stored >= row.ringtones + 1
            && service.beats() >= beatsAtHeal + 2 && (!*row.event || service.events().contains(row.event));
    }

    // Drives the row one step; true once it has nothing left to wait for.
    bool step()
    {
        if (!skipped.isEmpty())
            return true;
        if (stage == Started) {
            if (!triggered())
                return false;
            inject();
            stage = Injected;
        }
        if (stage == Injected) {
            if (!healable())
                return false;
            heal();
            stage = Healed;
        }
        return finished();
    }

    ~Scenario()
    {
        ++service.cuts;
        if (program) {
            program->kill();
            program->waitForFinished(5000);
        }
        readOnly.reset();
        if (!mountPoint.isEmpty())
            QProcess::execute("umount", {mountPoint});
        QFile::remove(log());
    }
};

}  // namespace

class TestFaults : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<Scenario>> scenarios;

private slots:
    void initTestCase()
    {
        for (const Row &row : Rows) {
            scenarios.push_back(std::make_unique<Scenario>(row));
            scenarios.back()->prepare();
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 150000) {
            bool done = true;
            for (auto &scenario : scenarios)
                done = scenario->step() && done;
            if (done)
                break;
            QTest::qWait(100);
        }
    }

    void cleanupTestCase() { scenarios.clear(); }

    void cleanup()
    {
        if (!QTest::currentTestFailed())
            return;
        QFETCH(int, index);
        QFile log(scenarios[size_t(index)]->log());
        log.open(QIODevice::ReadOnly);
        qDebug().noquote() << "program output:\n" << log.readAll().right(4000);
    }

    void fault_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(Rows)); ++i)
            QTest::newRow(Rows[i].tag) << i;
    }

    void fault()
    {
        QFETCH(int, index);
        Scenario &s = *scenarios[size_t(index)];
        const Row &row = s.row;
        if (!s.skipped.isEmpty())
            QSKIP(qPrintable(s.skipped));
        QVERIFY2(s.stage == Scenario::Healed, "the fault never showed or never went away");
        QCOMPARE(s.program->state(), QProcess::Running);
        QVERIFY2(s.service.beats() >= s.beatsAtHeal + 2, "the program stopped beating");
        if (*row.event)
            QVERIFY2(s.service.events().contains(row.event), row.event);
        // Every ringtone the service still lists was fetched.
        QCOMPARE(s.service.waiting(), QStringList());

        // Nothing partial, nothing twice, and everything that could be stored.
        std::map<QByteArray, int> byContent;
        for (const auto &[id, tone] : s.sent)
            byContent[tone.bytes] = id;
        std::map<int, int> stored;
        const QFileInfoList files = QDir(s.folder).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &info : files) {
            QFile file(info.filePath());
            QVERIFY2(info.isFile() && file.open(QIODevice::ReadOnly), qPrintable(info.fileName()));
            const auto found = byContent.find(file.readAll());
            QVERIFY2(
                found != byContent.end(), qPrintable("not a ringtone that was sent: " + info.fileName()));
            const QString name = s.sent[found->second].name;
            QVERIFY2(QRegularExpression(QRegularExpression::escape(name) + "(_\\d+)?\\.m4r")
                         .match(info.fileName())
                         .hasMatch(),
                qPrintable(info.fileName()));
            ++stored[found->second];
        }
        for (const auto &[id, tone] : s.sent) {
            QVERIFY2(stored[id] <= 1, qPrintable(QStringLiteral("ringtone %1 stored twice").arg(id)));
            QVERIFY2(stored[id] == 1, qPrintable(QStringLiteral("ringtone %1 missing").arg(id)));
        }
        if (row.refetched) {
            // A row without a gate breaks the first ringtone's transfer.
            std::set<int> broken {1};
            if (s.gatedFault()) {
                std::lock_guard<std::mutex> lock(s.service.heldMutex);
                broken = s.service.heldIds;
            }
            for (int id : broken)
                QVERIFY2(s.service.fileRequests(id) >= 2,
                    qPrintable(QStringLiteral("the broken transfer of ringtone %1 was not asked for again").arg(id)));
        }

        // No staged file left, and nothing written outside the folder and its staging.
        const QString staging = QDir(s.home.path()).relativeFilePath(s.staging());
        const QString folder = QDir(s.home.path()).relativeFilePath(s.folder);
        const QSet<QString> after = treeOf(s.home.path());
        for (const QString &path : after) {
            QVERIFY2(!path.endsWith(".part"), qPrintable("staged file left: " + path));
            if (s.before.contains(path) || path == SettingsFile || path == folder || path == staging
                || path.startsWith(folder + '/') || path.startsWith(staging + '/')
                || (path.startsWith("tmp/") && isSocket(s.home.filePath(path))))
                continue;
            QFAIL(qPrintable("written outside the folder: " + path));
        }
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
