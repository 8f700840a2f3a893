#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/readonlyfolder.h"
#include "server.h"
#include "service/download.h"

namespace {

QByteArray tone(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

std::string record(const QString &name, const QString &url)
{
    QJsonObject data {{"name", name}, {"download_url", url}};
    return QJsonDocument(QJsonObject {{"status", 0}, {"data", data}}).toJson().toStdString();
}

// Another program that takes the ringtone's name just before the move: the
// next `takesLeft` moves find their target created a moment earlier. The
// downloader's own calls to renameat2 resolve to this one.
int takesLeft = 0;

}  // namespace

extern "C" int renameat2(
    int fromDir, const char *from, int toDir, const char *to, unsigned int flags) noexcept
{
    if (takesLeft > 0) {
        --takesLeft;
        const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 && ::write(fd, "other", 5) == 5)
            ::close(fd);
    }
    return int(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}

namespace {

// A tmpfs mounted over `path` while alive: a second volume, as the iTunes
// folder on another drive than the system temp folder.
class Volume
{
public:
    explicit Volume(const QString &path)
        : path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
        mounted = ::mount("tmpfs", this->path.constData(), "tmpfs", 0, "size=4m") == 0;
    }
    ~Volume()
    {
        if (mounted)
            ::umount2(path.constData(), MNT_DETACH);
    }
    bool isMounted() const { return mounted; }

private:
    QByteArray path;
    bool mounted = false;
};

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below `dir`, relative, sorted; hidden ones included.
QStringList files(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(dir).relativeFilePath(it.next());
    found.sort();
    return found;
}

}  // namespace

namespace {

// A file reply as Qt can hand it over after a redirect whose own headers
// arrived late: the parsed length still the redirect's 0 (Qt parses it only
// once), the raw header holding both responses' values.
class LateRedirectReply : public QNetworkReply
{
public:
    LateRedirectReply(const QUrl &url, const QByteArray &body)
        : body(body)
    {
        setUrl(url);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        setHeader(QNetworkRequest::ContentLengthHeader, 0);
        setRawHeader("Content-Length", "0, " + QByteArray::number(body.size()));
        open(QIODevice::ReadOnly);
        setFinished(true);
    }
    void abort() override { }
    qint64 bytesAvailable() const override { return body.size() - offset + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin(max, qint64(body.size()) - offset);
        memcpy(data, body.constData() + offset, size_t(n));
        offset += n;
        return n;
    }

private:
    QByteArray body;
    qint64 offset = 0;
};

}  // namespace

// A ringtone server: information answers by id, and files whose path says
// how to misbehave.
class Ringtones : public TestServer
{
public:
    Ringtones()
    {
        get("/apiv1/ringtone", [this](const httplib::Request &req, httplib::Response &res) {
            std::lock_guard<std::mutex> lock(answersMutex);
            auto it = answers.find(req.get_param_value("ringtoneid"));
            if (it == answers.end()) {
                res.status = 404;
                return;
            }
            res.set_content(it->second, "application/json");
        });
        get(R"(/ok/(\d+)/.*)", [](const httplib::Request &req, httplib::Response &res) {
            const QByteArray body = tone(std::stoi(req.matches[1]));
            res.set_content(body.toStdString(), "audio/mp4");
        });
        get("/redirect", [](const httplib::Request &, httplib::Response &res) {
            res.set_redirect("/ok/1000/moved");
        });
        get("/hops", [](const httplib::Request &req, httplib::Response &res) {
            const int left = std::stoi(req.get_param_value("n"));
            res.set_redirect(left > 1 ? "/hops?n=" + std::to_string(left - 1) : "/ok/1000/last");
        });
        get("/status", [](const httplib::Request &req, httplib::Response &res) {
            res.status = std::stoi(req.get_param_value("code"));
            res.set_content("abc", "audio/mp4");
        });
        get("/loop", [](const httplib::Request &, httplib::Response &res) {
            res.set_redirect("/loop");
        });
        get("/missing", [](const httplib::Request &, httplib::Response &res) {
            res.status = 404;
        });
        get("/broken", [](const httplib::Request &, httplib::Response &res) {
            res.status = 500;
        });
        // A body that disagrees with its own length, complete in every other
        // way: Qt reports it as success.
        get("/mismatch", [](const httplib::Request &, httplib::Response &res) {
            res.set_header("Content-Length", "100000");
            res.set_chunked_content_provider("audio/mp4", [](size_t, httplib::DataSink &sink) {
                sink.write("tone", 4);
                sink.done();
                return true;
            });
        });
        get("/truncated", [](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider(100000, "audio/mp4", [](size_t offset, size_t, httplib::DataSink &sink) {
                if (offset > 0)
                    return false;  // closes the connection 60000 bytes short
                const std::string half(40000, 'x');
                sink.write(half.data(), half.size());
                return true;
            });
        });
    }

    void answer(int id, const std::string &body)
    {
        std::lock_guard<std::mutex> lock(answersMutex);
        answers[std::to_string(id)] = body;
    }
    QString url(const QString &path) const { return base() + path; }

private:
    std::mutex answersMutex;
    std::map<std::string, std::string> answers;
};

// A downloader for `folder` below a fresh temporary folder, on a ringtone
// server of its own, with its outcome signals recorded.
struct Session
{
    explicit Session(const QString &folder = QStringLiteral("auto"))
        : download(QDir(dir.filePath(folder)), server.base())
    { }

    // Asks for one ringtone whose file is at `path` and waits for its end.
    void fetch(const QString &path)
    {
        server.answer(1, record("Bell", server.url(path)));
        download.get(1);
        QTRY_COMPARE(finish.count() + failed.count(), 1);
    }

    Ringtones server;
    QTemporaryDir dir;
    Download download;
    QSignalSpy finish {&download, &Download::finish};
    QSignalSpy failed {&download, &Download::failed};
    QSignalSpy info {&download, &Download::info};
};

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void information_data();
    void information();
    void storesUnderFreeName();
    void duplicateWhilePending();
    void hostileNameStaysInside();
    void httpFailures_data();
    void httpFailures();
    void silentAndUnreachable();
    void refusedAddresses();
    void folderProblems();
    void stagingOnFolderVolume_data();
    void stagingOnFolderVolume();
    void leftoversRemoved();
    void nameTakenBeforeMove_data();
    void nameTakenBeforeMove();
    void writeFailure();
    void lengthOfTheFinalResponse();
};

void TestDownload::information_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("stage");  // empty: no info
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("adds");

    const QByteArray data = R"("data":{"name":"Bell","download_url":"URL"})";
    QTest::newRow("no status") << "{" + data + "}" << QString() << QString() << 1;
    QTest::newRow("refused") << R"({"status":1,)" + data + "}"
                             << "fullname"
                             << "invalid fullname" << 0;
    QTest::newRow("no data") << QByteArray(R"({"status":0})") << "fullname"
                             << "invalid fullname" << 0;
    QTest::newRow("data array") << QByteArray(R"({"data":["Bell","URL"]})") << "json" << QString() << 0;
    QTest::newRow("no address") << QByteArray(R"({"data":{"name":"Bell"}})") << "fullname"
                                << "no complete info" << 0;
    QTest::newRow("no name") << QByteArray(R"({"data":{"download_url":"URL"}})") << "fullname"
                             << "no complete info" << 0;
    QTest::newRow("not json") << QByteArray("<html>") << QString() << QString() << 0;
    QTest::newRow("data twice") << "{" + data + "," + data + "}" << QString() << QString() << 0;
    QTest::newRow("empty") << QByteArray() << QString() << QString() << 0;
    QTest::newRow("array document") << QByteArray("[]") << "fullname"
                                    << "invalid fullname" << 0;
    QTest::newRow("local address") << QByteArray(
        R"({"data":{"name":"Bell","download_url":"file:///etc/passwd"}})")
                                   << "fullname"
                                   << "invalid download address" << 0;
    QTest::newRow("huge") << R"({"data":{"name":")" + QByteArray(2 << 20, 'a') + R"(","download_url":"URL"}})"
                          << "fullname"
                          << "reply too large" << 0;
    QTest::newRow("not found") << QByteArray("404") << "fullname" << QString() << 0;
}

void TestDownload::information()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, stage);
    QFETCH(QString, message);
    QFETCH(int, adds);

    Ringtones server;
    QTemporaryDir dir;
    if (body != "404")
        server.answer(5, body.replace("URL", server.url("/ok/10/x").toUtf8()).toStdString());
    Download download(QDir(dir.filePath("auto")), server.base());
    QSignalSpy info(&download, &Download::info);
    QSignalSpy add(&download, &Download::add);
    QSignalSpy finish(&download, &Download::finish);
    // Connected after the downloader's own handler: once this has seen the
    // reply, the handler is done with it.
    QSignalSpy handled(download.findChild<QNetworkAccessManager *>("information"), &QNetworkAccessManager::finished);

    download.get(0);
    download.get(-3);
    download.get(5);
    QTRY_COMPARE(handled.count(), 1);
    if (adds)
        QTRY_COMPARE(finish.count(), 1);
    QCOMPARE(server.requests().front().target, std::string("/apiv1/ringtone?ringtoneid=5"));
    QCOMPARE(add.count(), adds);
    QCOMPARE(info.count(), stage.isEmpty() ? 0 : 1);
    if (!stage.isEmpty()) {
        QCOMPARE(info.at(0).at(0).toString(), stage);
        if (!message.isNull())
            QCOMPARE(info.at(0).at(1).toString(), message);
    }
}

void TestDownload::storesUnderFreeName()
{
    Ringtones server;
    QTemporaryDir dir;
    const QString folder = dir.filePath("Media/Automatically Add");
    QVERIFY(QDir().mkpath(folder));
    for (const char *taken : {"Bell.m4r", "Bell_0.m4r"}) {
        QFile f(folder + "/" + taken);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    const QString bell = server.url("/ok/300000/bell.m4r");
    server.answer(1, record("Bell", bell));
    server.answer(2, record("Silence", server.url("/ok/0/silence")));
    server.answer(
        3, R"({"data":{"name":15,"download_url":")" + server.url("/ok/10/n").toStdString() + "\"}}");

    // The folder is given as the controller gets it from the settings, with
    // a missing parent that must be created too.
    const QString fresh = dir.filePath("new/deeper/auto");
    Download download(QDir(folder), server.base());
    Download elsewhere(QDir(fresh), server.base());
    QSignalSpy add(&download, &Download::add);
    QSignalSpy finish(&download, &Download::finish);
    QSignalSpy failed(&download, &Download::failed);
    QSignalSpy elsewhereFinish(&elsewhere, &Download::finish);
    download.get(1);
    download.get(2);
    download.get(3);
    elsewhere.get(1);
    QTRY_COMPARE(finish.count(), 3);
    QTRY_COMPARE(elsewhereFinish.count(), 1);
    QCOMPARE(failed.count(), 0);

    QList<QStringList> finished;
    for (const auto &args : finish)
        finished << QStringList {args.at(0).toString(), args.at(1).toString()};
    QVERIFY(finished.contains(QStringList({bell, "Bell"})));
    QVERIFY(finished.contains(QStringList({server.url("/ok/10/n"), QString()})));
    QCOMPARE(add.count(), 3);

    QFile stored(folder + "/Bell_1.m4r");
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), tone(300000));
    QCOMPARE(QFileInfo(folder + "/Silence.m4r").size(), 0);
    QCOMPARE(QFileInfo(folder + "/铃声.m4r").size(), 10);
    QCOMPARE(QFileInfo(fresh + "/Bell.m4r").size(), 300000);
    // Nothing staged is left behind, beside the folder or inside it.
    QCOMPARE(files(dir.path()),
        QStringList({"Media/Automatically Add/Bell.m4r", "Media/Automatically Add/Bell_0.m4r",
            "Media/Automatically Add/Bell_1.m4r", "Media/Automatically Add/Silence.m4r",
            "Media/Automatically Add/铃声.m4r", "new/deeper/auto/Bell.m4r"}));
    QVERIFY(!QFileInfo::exists(dir.filePath("Media/.belfry-staging")));
}

void TestDownload::duplicateWhilePending()
{
    Ringtones server;
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    server.get("/slow", [&](const httplib::Request &, httplib::Response &res) {
        std::unique_lock<std::mutex> lock(gateMutex);
        gateChanged.wait_for(lock, std::chrono::seconds(10), [&] {
            return open;
        });
        res.set_content("tone", "audio/mp4");
    });
    const QString slow = server.url("/slow");
    server.answer(1, record("Bell", slow));
    server.answer(2, record("Other name", slow));
    QTemporaryDir dir;
    Download download(QDir(dir.path()), server.base());
    QSignalSpy add(&download, &Download::add);
    QSignalSpy finish(&download, &Download::finish);
    QSignalSpy handled(download.findChild<QNetworkAccessManager *>("information"), &QNetworkAccessManager::finished);
    download.get(1);
    QTRY_COMPARE(add.count(), 1);
    QTRY_COMPARE(server.count(), 2);
    download.get(2);
    QTRY_COMPARE(handled.count(), 2);
    QCOMPARE(add.count(), 1);
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
        gateChanged.notify_all();
    }
    QTRY_COMPARE(finish.count(), 1);
    QCOMPARE(finish.at(0), QVariantList({slow, "Bell"}));

    // Once the reply is in, the same address can be fetched again.
    download.get(1);
    QTRY_COMPARE(finish.count(), 2);
    QCOMPARE(files(dir.path()), QStringList({"Bell.m4r", "Bell_0.m4r"}));
}

void TestDownload::hostileNameStaysInside()
{
    Ringtones server;
    QTemporaryDir dir;
    const QString folder = dir.filePath("a/b/auto");
    server.answer(1, record("../../x", server.url("/ok/10/1")));
    server.answer(2, record("CON", server.url("/ok/10/2")));
    server.answer(3, record("what? \"really\"", server.url("/ok/10/3")));
    Download download(QDir(folder), server.base());
    QSignalSpy finish(&download, &Download::finish);
    download.get(1);
    download.get(2);
    download.get(3);
    QTRY_COMPARE(finish.count(), 3);
    QStringList names;
    for (const auto &args : finish)
        names << args.at(1).toString();
    names.sort();
    // The signals carry the name as the service sent it.
    QCOMPARE(names, QStringList({"../../x", "CON", "what? \"really\""}));
    QCOMPARE(files(dir.path()),
        QStringList({"a/b/auto/.._.._x.m4r", "a/b/auto/_CON.m4r", "a/b/auto/what_ _really_.m4r"}));
}

void TestDownload::httpFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("stored");
    QTest::newRow("redirect") << "/redirect" << true;
    QTest::newRow("redirect loop") << "/loop" << false;
    QTest::newRow("five redirects") << "/hops?n=5" << true;
    QTest::newRow("six redirects") << "/hops?n=6" << false;
    QTest::newRow("404") << "/missing" << false;
    QTest::newRow("500") << "/broken" << false;
    // Qt reports these as success.
    QTest::newRow("300") << "/status?code=300" << false;
    QTest::newRow("truncated") << "/truncated" << false;
    QTest::newRow("length mismatch") << "/mismatch" << false;
    QTest::newRow("over 64 MiB") << "/ok/67108865/big" << false;
}

void TestDownload::httpFailures()
{
    QFETCH(QString, path);
    QFETCH(bool, stored);
    Session session;
    QSignalSpy add(&session.download, &Download::add);
    session.fetch(path);
    QTest::qWait(50);
    const QVariantList report {session.server.url(path), "Bell"};
    QCOMPARE(add.at(0), report);
    QCOMPARE(session.finish.count(), int(stored));
    QCOMPARE(session.failed.count(), int(!stored));
    if (stored) {
        QCOMPARE(session.finish.at(0), report);
        QCOMPARE(files(session.dir.path()), QStringList("auto/Bell.m4r"));
        QCOMPARE(QFileInfo(session.dir.filePath("auto/Bell.m4r")).size(), 1000);
    } else {
        QCOMPARE(session.failed.at(0), report);
        QCOMPARE(session.info.count(), 1);
        QCOMPARE(session.info.at(0).at(0).toString(), QStringLiteral("download"));
        QCOMPARE(files(session.dir.path()), QStringList());
    }
}

void TestDownload::silentAndUnreachable()
{
    Ringtones server;
    SilentServer silent;
    QTemporaryDir dir;
    const QString hung = silent.base() + "/tone.m4r";
    const QString lost = "http://belfry-test.invalid/tone.m4r";
    server.answer(1, record("Hung", hung));
    server.answer(2, record("Lost", lost));
    Download download(QDir(dir.path()), server.base());
    QCOMPARE(download.findChild<QNetworkAccessManager *>("information")->transferTimeout(), 30000);
    QCOMPARE(download.findChild<QNetworkAccessManager *>("files")->transferTimeout(), 120000);
    download.setTimeouts(300, 300);
    QSignalSpy failed(&download, &Download::failed);
    QSignalSpy info(&download, &Download::info);
    download.get(1);
    download.get(2);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 10000);
    QCOMPARE(info.count(), 2);
    QCOMPARE(info.at(0).at(0).toString(), QStringLiteral("download"));
    QCOMPARE(info.at(1).at(0).toString(), QStringLiteral("download"));
    QStringList reported {failed.at(0).at(0).toString(), failed.at(1).at(0).toString()};
    reported.sort();
    QCOMPARE(reported, QStringList({hung, lost}));

    // A silent ringtone server: the information request ends too.
    Download asking(QDir(dir.path()), silent.base());
    asking.setTimeouts(300, 300);
    QSignalSpy askingInfo(&asking, &Download::info);
    asking.get(1);
    QTRY_COMPARE_WITH_TIMEOUT(askingInfo.count(), 1, 3000);
    QCOMPARE(askingInfo.at(0).at(0).toString(), QStringLiteral("fullname"));

    QCOMPARE(files(dir.path()), QStringList());
}

// Which addresses are web addresses is the dialogs' test's table; here, that
// the downloader asks the same rule (this one has no host) and reports.
void TestDownload::refusedAddresses()
{
    const QUrl url("http:tone.m4r");
    Session session;
    session.download.download(url);
    QTRY_COMPARE(session.failed.count(), 1);
    QCOMPARE(session.failed.at(0), QVariantList({url.toString(), QString()}));
    QCOMPARE(session.info.at(0), QVariantList({"download", "invalid download address"}));
    QTest::qWait(50);
    QCOMPARE(files(session.dir.path()), QStringList());
}

void TestDownload::folderProblems()
{
    Ringtones server;
    QTemporaryDir dir;
    server.answer(1, record("Bell", server.url("/ok/5000/1")));
    {
        QFile blocker(dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    // A folder below a plain file cannot be created.
    Download impossible(QDir(dir.filePath("blocker/auto")), server.base());
    QSignalSpy failed(&impossible, &Download::failed);
    QSignalSpy info(&impossible, &Download::info);
    impossible.get(1);
    QTRY_COMPARE(failed.count(), 1);
    QCOMPARE(info.count(), 0);
    QCOMPARE(files(dir.path()), QStringList("blocker"));

    // A name longer in bytes than this file system takes is shortened, not lost.
    const QString folder = dir.filePath("auto");
    QVERIFY(QDir().mkpath(folder));
    server.answer(2, record(QString(100, QChar(0x957F)), server.url("/ok/5000/2")));
    Download refusing(QDir(folder), server.base());
    QSignalSpy refusedFailed(&refusing, &Download::failed);
    QSignalSpy refusedFinish(&refusing, &Download::finish);
    QSignalSpy refusedInfo(&refusing, &Download::info);
    refusing.get(2);
    QTRY_COMPARE(refusedFinish.count(), 1);
    QCOMPARE(refusedFinish.at(0).at(1).toString(), QString(100, QChar(0x957F)));
    QCOMPARE(files(folder), QStringList(QString(83, QChar(0x957F)) + ".m4r"));

    // A move that fails (the folder is read-only) is a failure, not a finish.
    ReadOnlyFolder readOnly(folder);
    if (!readOnly.isReadOnly())
        QSKIP("this file system cannot make a folder read-only for this user");
    refusing.get(1);
    QTRY_COMPARE(refusedFailed.count(), 1);
    QCOMPARE(refusedFinish.count(), 1);
    QCOMPARE(refusedInfo.count(), 1);
    QCOMPARE(refusedInfo.at(0).at(0).toString(), QStringLiteral("save"));
    // Nothing staged is left behind, and the earlier ringtone is untouched.
    QCOMPARE(files(dir.path()), QStringList({"auto/" + QString(83, QChar(0x957F)) + ".m4r", "blocker"}));
}

void TestDownload::writeFailure()
{
    Ringtones server;
    QTemporaryDir dir;
    server.answer(1, record("Bell", server.url("/ok/300000/1")));
    Download download(QDir(dir.filePath("auto")), server.base());
    QSignalSpy failed(&download, &Download::failed);
    QSignalSpy finish(&download, &Download::finish);
    QSignalSpy info(&download, &Download::info);

    // The disk fills up after 100000 bytes: every write beyond fails.
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    download.get(1);
    QTRY_COMPARE(failed.count() + finish.count(), 1);
    setrlimit(RLIMIT_FSIZE, &saved);

    QCOMPARE(failed.count(), 1);
    QCOMPARE(info.count(), 1);
    QCOMPARE(info.at(0), QVariantList({"save", QString()}));
    QCOMPARE(files(dir.path()), QStringList());
}

void TestDownload::stagingOnFolderVolume_data()
{
    QTest::addColumn<QString>("mount");  // below the test folder; empty: none
    QTest::addColumn<bool>("readOnlyParent");
    QTest::addColumn<bool>("stored");
    QTest::newRow("folder on another volume than temp") << "vol" << false << true;
    QTest::newRow("folder is a mount point") << "vol/Media/auto" << false << false;
    QTest::newRow("staging folder cannot be made") << QString() << true << false;
}

void TestDownload::stagingOnFolderVolume()
{
    QFETCH(QString, mount);
    QFETCH(bool, readOnlyParent);
    QFETCH(bool, stored);
    Session session(QStringLiteral("vol/Media/auto"));
    const QString media = session.dir.filePath("vol/Media");
    std::unique_ptr<Volume> volume;
    if (!mount.isEmpty()) {
        volume.reset(new Volume(session.dir.filePath(mount)));
        if (!volume->isMounted())
            QSKIP("cannot mount a tmpfs here (needs root and a sandbox that allows mounts)");
    }
    QVERIFY(QDir().mkpath(media + "/auto"));
    std::unique_ptr<ReadOnlyFolder> readOnly;
    if (readOnlyParent) {
        readOnly.reset(new ReadOnlyFolder(media));
        if (!readOnly->isReadOnly())
            QSKIP("this file system cannot make a folder read-only for this user");
    }

    session.fetch("/ok/300000/1");
    QCOMPARE(session.finish.count(), int(stored));
    if (stored)
        QCOMPARE(contents(media + "/auto/Bell.m4r"), tone(300000));
    else
        QCOMPARE(session.info.at(0).at(0).toString(), QStringLiteral("save"));
    QCOMPARE(files(media), stored ? QStringList("auto/Bell.m4r") : QStringList());
}

void TestDownload::leftoversRemoved()
{
    Session session(QStringLiteral("Media/auto"));
    const QString media = session.dir.filePath("Media");
    QVERIFY(QDir().mkpath(media + "/.belfry-staging"));
    QVERIFY(QDir().mkpath(media + "/auto"));
    for (const char *name :
        {"/.belfry-staging/a1B2c3.part", "/.belfry-staging/notes.txt", "/keep.part", "/auto/keep.part"}) {
        QFile file(media + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    session.fetch("/ok/10/1");
    // Only the staging folder's own leftovers go.
    QCOMPARE(files(media),
        QStringList({".belfry-staging/notes.txt", "auto/Bell.m4r", "auto/keep.part", "keep.part"}));
}

void TestDownload::nameTakenBeforeMove_data()
{
    QTest::addColumn<int>("takes");
    QTest::addColumn<bool>("stored");
    QTest::newRow("once") << 1 << true;
    QTest::newRow("every time") << 1000 << false;
}

void TestDownload::nameTakenBeforeMove()
{
    QFETCH(int, takes);
    QFETCH(bool, stored);
    Session session;
    takesLeft = takes;
    session.fetch("/ok/1000/1");
    takesLeft = 0;
    QCOMPARE(session.finish.count(), int(stored));
    // The other program's files are untouched; ours has the next free name.
    QStringList names = files(session.dir.filePath("auto"));
    QCOMPARE(names.first(), QStringLiteral("Bell.m4r"));
    if (stored)
        QCOMPARE(contents(session.dir.filePath("auto/" + names.takeLast())), tone(1000));
    else
        QCOMPARE(session.info.at(0).at(0).toString(), QStringLiteral("save"));
    for (const QString &name : names)
        QCOMPARE(contents(session.dir.filePath("auto/" + name)), QByteArray("other"));
    QCOMPARE(files(session.dir.path()).size(), names.size() + int(stored));
}

void TestDownload::lengthOfTheFinalResponse()
{
    Session session;
    auto *fileManager = session.download.findChild<QNetworkAccessManager *>("files");
    emit fileManager->finished(new LateRedirectReply(QUrl(session.server.url("/ok/1000/moved")), tone(1000)));
    QCOMPARE(session.finish.count(), 1);
    const QStringList stored = files(session.dir.filePath("auto"));
    QCOMPARE(stored.size(), 1);
    QCOMPARE(contents(session.dir.filePath("auto/" + stored.first())), tone(1000));
}

QTEST_GUILESS_MAIN(TestDownload)
#include "test_download.moc"
