#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "service/download.h"
#include "tests/support/readonlyfolder.h"
#include "tests/support/servicestandin.h"

namespace {

QByteArray tone(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

// Another program that takes the ringtone's name just before the move: the
// next `takesLeft` moves find their target created a moment earlier. Without
// `noReplace` the file system cannot refuse to replace in a rename. The
// downloader's own calls to renameat2 (MoveFileExW on Windows) resolve to
// this one.
int takesLeft = 0;
bool noReplace = true;

#ifdef Q_OS_WIN
BOOL WINAPI takeThenMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (takesLeft > 0) {
        --takesLeft;
        const HANDLE file = CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE && WriteFile(file, "other", 5, &written, nullptr))
            CloseHandle(file);
    }
    static const auto move = reinterpret_cast<decltype(&MoveFileExW)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "MoveFileExW")));
    return move(from, to, flags);
}
#endif

}  // namespace

#ifdef Q_OS_WIN
// The import slot that the downloader calls MoveFileExW through: defined
// here, it takes the place of kernel32's.
extern "C" {
decltype(&MoveFileExW) __imp_MoveFileExW = takeThenMove;
}
#else
extern "C" int renameat2(
    int fromDir, const char *from, int toDir, const char *to, unsigned int flags) noexcept
{
    if (takesLeft > 0) {
        --takesLeft;
        const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 && ::write(fd, "other", 5) == 5)
            ::close(fd);
    }
    if (!noReplace && (flags & RENAME_NOREPLACE)) {
        errno = EINVAL;
        return -1;
    }
    return int(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}
#endif

namespace {

// A tmpfs mounted over `path` while alive: a second volume, as the iTunes
// folder on another drive than the system temp folder. None on Windows.
class Volume
{
public:
    explicit Volume(const QString &path)
        : path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
#ifndef Q_OS_WIN
        mounted = ::mount("tmpfs", this->path.constData(), "tmpfs", 0, "size=4m") == 0;
#endif
    }
    ~Volume()
    {
#ifndef Q_OS_WIN
        if (mounted)
            ::umount2(path.constData(), MNT_DETACH);
#endif
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

bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size();
}

// Every file below `dir` with its contents, by relative path; hidden ones included.
QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        found.insert(QDir(dir).relativeFilePath(path), contents(path));
    }
    return found;
}

QStringList files(const QString &dir)
{
    return tree(dir).keys();
}

// A file reply as Qt can hand it over after a redirect whose own headers
// arrived late: the parsed length still the redirect's 0 (Qt parses it only
// once), the raw header holding both responses' values.
class LateRedirectReply : public QNetworkReply
{
public:
    LateRedirectReply(const QUrl &url, const QByteArray &lengths, const QByteArray &body)
        : body(body)
    {
        setUrl(url);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        setHeader(QNetworkRequest::ContentLengthHeader, 0);
        setRawHeader("Content-Length", lengths);
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

// The service's ringtone server, with files whose path says how to misbehave.
class Ringtones : public ServiceStandIn
{
public:
    Ringtones()
    {
        route("GET", "/ok/(\\d+)/.*", [](Exchange &exchange) {
            exchange.answer(200, tone(exchange.match(1).toInt()), "audio/mp4");
        });
        route("GET", "/hops", [](Exchange &exchange) {
            const int left = exchange.request.query("n").toInt();
            exchange.redirect(left > 1 ? "/hops?n=" + QByteArray::number(left - 1) : "/ok/1000/last");
        });
        route("GET", "/status", [](Exchange &exchange) {
            exchange.answer(exchange.request.query("code").toInt(), "abc", "audio/mp4");
        });
        // A body that disagrees with its own length, complete in every other
        // way: Qt reports it as success.
        route("GET", "/mismatch", [](Exchange &exchange) {
            exchange.begin(200, {"Content-Length: 100000", "Transfer-Encoding: chunked"});
            exchange.write("4\r\ntone\r\n0\r\n\r\n");
            exchange.end();
        });
        route("GET", "/truncated", [](Exchange &exchange) {
            exchange.begin(200, {"Content-Length: 100000"});
            exchange.write(QByteArray(40000, 'x'));
            exchange.close();
        });
        route("GET", "/slow", answerWhenOpen(slowOpen, "tone"));
    }
    ~Ringtones() override { shutdown(); }

    // Every ringtone's information names this file.
    void serve(const QString &path)
    {
        setFileAddress([url = base() + path](int) {
            return url;
        });
    }

    std::atomic<bool> slowOpen {false};
};

// A downloader for a folder whose parent is missing too, below a fresh
// temporary folder, on a ringtone server of its own, with its signals recorded.
struct Session
{
    Session()
        : download(QDir(folder()), server.base())
    { }

    QString folder() const { return dir.filePath(QStringLiteral("Media/Automatically Add")); }

    Ringtones server;
    QTemporaryDir dir;
    Download download;
    QSignalSpy add {&download, &Download::add};
    QSignalSpy finish {&download, &Download::finish};
    QSignalSpy failed {&download, &Download::failed};
    QSignalSpy info {&download, &Download::info};
};

// What a ringtone meets on this PC before it comes.
enum Setup {
    Nothing,  // not even the folder
    NamesTaken,  // Bell.m4r and Bell_0.m4r
    FolderBelowAFile,
    FolderReadOnly,
    ParentReadOnly,  // the staging folder beside cannot be made
    DiskFull,  // after 100000 bytes
    VolumeAbove,  // the folder and the staging beside it on a volume of their own
    VolumeAt,  // the folder is a mount point
    Leftovers,  // of a program killed while writing
    TakenOnce,  // by another program, just before the move
    TakenOnceNoReplaceMissing,  // the same where a rename cannot refuse to replace
    TakenAlways,
};

// A row whose information answer is `answer`, with "URL" for a file of 10 bytes.
void answerRow(const char *tag, const QByteArray &answer, const QString &stored, const QVariantList &info,
    const QString &name = QStringLiteral("Bell"))
{
    QTest::newRow(tag) << answer << "/ok/10/x" << name << int(Nothing) << stored << info;
}

// A row with the service's own information answer and the file at `path`.
void fileRow(const char *tag, const QString &path, int setup, const QString &stored, const QVariantList &info,
    const QString &name = QStringLiteral("Bell"))
{
    QTest::newRow(tag) << QByteArray() << path << name << setup << stored << info;
}

// The file the server sent last.
QByteArray served(const StandIn &server)
{
    const auto seen = server.requests();
    for (auto it = seen.rbegin(); it != seen.rend(); ++it)
        if (it->path.startsWith("/ok/"))
            return tone(it->path.split('/').value(2).toInt());
    return QByteArray();
}

}  // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void ringtone_data();
    void ringtone();
    void duplicateWhilePending();
    void silentAndUnreachable();
    void lengthOfTheFinalResponse_data();
    void lengthOfTheFinalResponse();
};

void TestDownload::ringtone_data()
{
    QTest::addColumn<QByteArray>("answer");  // the information; null: the service's own
    QTest::addColumn<QString>("path");  // of the file on the ringtone server
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("stored");  // below the folder; empty: none
    QTest::addColumn<QVariantList>("info");  // the one report: stage, and message where it matters

    const QByteArray data = R"("data":{"name":"Bell","download_url":"URL"})";
    const QVariantList none, invalid {"fullname", "invalid fullname"},
        incomplete {"fullname", "no complete info"};
    answerRow("no status", "{" + data + "}", "Bell.m4r", none);
    answerRow("name a number", R"({"data":{"name":15,"download_url":"URL"}})", "铃声.m4r", none, "");
    answerRow("refused", R"({"status":1,)" + data + "}", "", invalid);
    answerRow("no data", R"({"status":0})", "", invalid);
    answerRow("data array", R"({"data":["Bell","URL"]})", "", {"json", ""});
    answerRow("no address", R"({"data":{"name":"Bell"}})", "", incomplete);
    answerRow("no name", R"({"data":{"download_url":"URL"}})", "", incomplete);
    answerRow("not json", "<html>", "", none);
    answerRow("data twice", "{" + data + "," + data + "}", "", none);
    answerRow("empty", "", "", none);
    answerRow("array document", "[]", "", invalid);
    // Which addresses are web addresses is the dialogs' test's table; here,
    // that the downloader asks the same rule.
    answerRow("local address", R"({"data":{"name":"Bell","download_url":"file:///etc/passwd"}})", "",
        {"fullname", "invalid download address"});
    answerRow("address without a host", R"({"data":{"name":"Bell","download_url":"http:tone.m4r"}})", "",
        {"fullname", "invalid download address"});
    answerRow("huge", R"({"data":{"name":")" + QByteArray(2 << 20, 'a') + R"(","download_url":"URL"}})", "",
        {"fullname", "reply too large"});
    answerRow("not found", "404", "", {"fullname"});

    const QVariantList download {"download"}, save {"save"};
    fileRow("stored", "/ok/300000/1", Nothing, "Bell.m4r", none);
    fileRow("empty file", "/ok/0/1", Nothing, "Bell.m4r", none);
    fileRow("names taken", "/ok/1000/1", NamesTaken, "Bell_1.m4r", none);
    fileRow("climbing name", "/ok/10/1", Nothing, ".._.._x.m4r", none, "../../x");
    fileRow("device name", "/ok/10/1", Nothing, "_CON.m4r", none, "CON");
    fileRow("forbidden characters", "/ok/10/1", Nothing, "what_ _really_.m4r", none, "what? \"really\"");
    // Longer in bytes than this file system takes: shortened, not lost.
    fileRow("long name", "/ok/10/1", Nothing, QString(83, QChar(0x957F)) + ".m4r", none,
        QString(100, QChar(0x957F)));
    fileRow("five redirects", "/hops?n=5", Nothing, "Bell.m4r", none);
    fileRow("six redirects", "/hops?n=6", Nothing, "", download);
    fileRow("404", "/status?code=404", Nothing, "", download);
    fileRow("500", "/status?code=500", Nothing, "", download);
    // Qt reports these as success.
    fileRow("300", "/status?code=300", Nothing, "", download);
    fileRow("truncated", "/truncated", Nothing, "", download);
    fileRow("length mismatch", "/mismatch", Nothing, "", download);
    fileRow("over 64 MiB", "/ok/67108865/big", Nothing, "", download);
    fileRow("folder below a file", "/ok/5000/1", FolderBelowAFile, "", none);
    fileRow("folder read-only", "/ok/5000/1", FolderReadOnly, "", save);
    fileRow("staging folder cannot be made", "/ok/300000/1", ParentReadOnly, "", save);
    fileRow("disk full", "/ok/300000/1", DiskFull, "", {"save", ""});
    fileRow("folder on another volume than temp", "/ok/300000/1", VolumeAbove, "Bell.m4r", none);
    fileRow("folder is a mount point", "/ok/300000/1", VolumeAt, "", save);
    fileRow("leftovers", "/ok/10/1", Leftovers, "Bell.m4r", none);
    fileRow("name taken before the move", "/ok/1000/1", TakenOnce, "Bell_0.m4r", none);
    fileRow("the same without RENAME_NOREPLACE", "/ok/1000/1", TakenOnceNoReplaceMissing, "Bell_0.m4r", none);
    fileRow("name taken before every move", "/ok/1000/1", TakenAlways, "", save);
}

void TestDownload::ringtone()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(int, setup);
    QFETCH(QString, stored);
    QFETCH(QVariantList, info);

    Session session;
    const QString url = session.server.base() + path;
    if (!answer.isNull())
        session.server.route(
            "GET", "/apiv1/ringtone", [answer = answer.replace("URL", url.toUtf8())](Exchange &e) {
                e.answer(answer == "404" ? 404 : 200, answer);
            });
    const QString media = session.dir.filePath("Media");
    const QString folder = session.folder();
    std::unique_ptr<Volume> volume;
    std::unique_ptr<ReadOnlyFolder> readOnly;
    if (setup == VolumeAbove || setup == VolumeAt) {
#ifdef Q_OS_WIN
        QSKIP("no second volume to mount here");
#endif
        volume = std::make_unique<Volume>(setup == VolumeAbove ? media : folder);
        if (!volume->isMounted())
            QSKIP("cannot mount a tmpfs here (needs root and a sandbox that allows mounts)");
    }
    if (setup != Nothing && setup != FolderBelowAFile)
        QVERIFY(QDir().mkpath(folder));
    if (setup == FolderBelowAFile)
        QVERIFY(put(media, "a file"));
    if (setup == NamesTaken)
        QVERIFY(put(folder + "/Bell.m4r", "taken") && put(folder + "/Bell_0.m4r", "taken"));
    if (setup == Leftovers)
        for (const char *left : {"/.belfry-staging/a1B2c3.part", "/.belfry-staging/notes.txt", "/keep.part",
                 "/Automatically Add/keep.part"})
            QVERIFY(put(media + left, "left"));
    if (setup == FolderReadOnly || setup == ParentReadOnly) {
        QVERIFY(put(folder + "/Earlier.m4r", "earlier"));
        readOnly = std::make_unique<ReadOnlyFolder>(setup == FolderReadOnly ? folder : media);
        if (!readOnly->isReadOnly())
            QSKIP("this file system cannot make a folder read-only for this user");
    }
    const QMap<QString, QByteArray> before = tree(session.dir.path());
#ifdef Q_OS_WIN
    if (setup == DiskFull)
        QSKIP("Windows has no file size limit to stand in for a full disk");
    if (setup == TakenOnceNoReplaceMissing)
        QSKIP("MoveFileExW refuses to replace on every Windows file system");
#else
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    if (setup == DiskFull) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 100000;
        setrlimit(RLIMIT_FSIZE, &small);
    }
#endif
    takesLeft = setup == TakenAlways                               ? 1000
        : setup == TakenOnce || setup == TakenOnceNoReplaceMissing ? 1
                                                                   : 0;
    noReplace = setup != TakenOnceNoReplaceMissing;
    // Connected after the downloader's own handler: once this has seen the
    // reply, the handler is done with it.
    QSignalSpy handled(
        session.download.findChild<QNetworkAccessManager *>("information"), &QNetworkAccessManager::finished);
    session.server.serve(path);
    session.server.send(1, name, {});
    session.download.get(0);
    session.download.get(-3);
    session.download.get(1);
    QTRY_VERIFY(
        handled.count() == 1 && session.add.count() == session.finish.count() + session.failed.count());
#ifndef Q_OS_WIN
    setrlimit(RLIMIT_FSIZE, &saved);
#endif
    takesLeft = 0;
    noReplace = true;
    QTest::qWait(50);

    const bool asked = answer.isNull() || !stored.isEmpty();
    QCOMPARE(session.server.requests().front().target, QByteArray("/apiv1/ringtone?ringtoneid=1"));
    QCOMPARE(session.add.count(), int(asked));
    QCOMPARE(session.finish.count(), int(!stored.isEmpty()));
    QCOMPARE(session.failed.count(), int(asked && stored.isEmpty()));
    if (asked) {
        QCOMPARE(session.add.at(0), QVariantList({url, name}));
        QCOMPARE((stored.isEmpty() ? session.failed : session.finish).at(0), session.add.at(0));
    }
    QCOMPARE(session.info.count(), int(!info.isEmpty()));
    for (int i = 0; i < info.size(); ++i)
        QCOMPARE(session.info.at(0).at(i), info.at(i));

    // The ringtone whole or not at all; what was there untouched, apart from
    // the staging folder's own leftovers; nothing else but what another
    // program put there.
    const QString ours = "Media/Automatically Add/" + stored;
    const QMap<QString, QByteArray> after = tree(session.dir.path());
    if (!stored.isEmpty())
        QCOMPARE(after.value(ours), served(session.server));
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (it.key() != ours)
            QCOMPARE(it.value(), before.value(it.key(), "other"));
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.contains(it.key()), !it.key().endsWith(".belfry-staging/a1B2c3.part"));
    QCOMPARE(QFileInfo::exists(media + "/.belfry-staging"), setup == Leftovers);
}

void TestDownload::duplicateWhilePending()
{
    Session session;
    session.server.serve("/slow");
    session.server.send(1, "Bell", {});
    session.server.send(2, "Other name", {});
    QSignalSpy handled(
        session.download.findChild<QNetworkAccessManager *>("information"), &QNetworkAccessManager::finished);
    session.download.get(1);
    QTRY_COMPARE(session.add.count(), 1);
    QTRY_COMPARE(session.server.count(), 2);
    session.download.get(2);
    QTRY_COMPARE(handled.count(), 2);
    QCOMPARE(session.add.count(), 1);
    session.server.slowOpen = true;
    QTRY_COMPARE(session.finish.count(), 1);
    QCOMPARE(session.finish.at(0), QVariantList({session.server.base() + "/slow", "Bell"}));

    // Once the reply is in, the same address can be fetched again.
    session.download.get(1);
    QTRY_COMPARE(session.finish.count(), 2);
    QCOMPARE(files(session.folder()), QStringList({"Bell.m4r", "Bell_0.m4r"}));
}

void TestDownload::silentAndUnreachable()
{
    SilentServer silent;
    Session session;
    const QString hung = silent.base() + "/tone.m4r";
    const QString lost = "http://belfry-test.invalid/tone.m4r";
    session.server.setFileAddress([=](int id) {
        return id == 1 ? hung : lost;
    });
    session.server.send(1, "Hung", {});
    session.server.send(2, "Lost", {});
    // Without timeouts a silent server would hold a request for good.
    for (auto *manager : session.download.findChildren<QNetworkAccessManager *>()) {
        QCOMPARE(manager->transferTimeout(), manager->objectName() == "files" ? 120000 : 30000);
        manager->setTransferTimeout(300);
    }
    session.download.get(1);
    session.download.get(2);
    QTRY_COMPARE_WITH_TIMEOUT(session.failed.count(), 2, 10000);
    QCOMPARE(session.info.count(), 2);
    QCOMPARE(session.info.at(0).at(0).toString(), QStringLiteral("download"));
    QCOMPARE(session.info.at(1).at(0).toString(), QStringLiteral("download"));
    QStringList reported {session.failed.at(0).at(0).toString(), session.failed.at(1).at(0).toString()};
    reported.sort();
    QCOMPARE(reported, QStringList({hung, lost}));

    // A silent ringtone server: the information request ends too.
    Download asking(QDir(session.folder()), silent.base());
    asking.findChild<QNetworkAccessManager *>("information")->setTransferTimeout(300);
    QSignalSpy askingInfo(&asking, &Download::info);
    asking.get(1);
    QTRY_COMPARE_WITH_TIMEOUT(askingInfo.count(), 1, 3000);
    QCOMPARE(askingInfo.at(0).at(0).toString(), QStringLiteral("fullname"));
    QCOMPARE(files(session.dir.path()), QStringList());
}

void TestDownload::lengthOfTheFinalResponse_data()
{
    QTest::addColumn<QByteArray>("lengths");  // the redirect's and the file's, joined
    QTest::addColumn<bool>("stored");
    QTest::newRow("whole") << QByteArray("0, 1000") << true;
    QTest::newRow("cut short") << QByteArray("0, 2000") << false;
}

void TestDownload::lengthOfTheFinalResponse()
{
    QFETCH(QByteArray, lengths);
    QFETCH(bool, stored);
    Session session;
    emit session.download.findChild<QNetworkAccessManager *>("files")->finished(
        new LateRedirectReply(QUrl(session.server.base() + "/ok/1000/moved"), lengths, tone(1000)));
    QCOMPARE(session.finish.count(), int(stored));
    QCOMPARE(session.failed.count(), int(!stored));
    QCOMPARE(tree(session.folder()).values(), stored ? QList<QByteArray> {tone(1000)} : QList<QByteArray>());
}

QTEST_GUILESS_MAIN(TestDownload)
#include "test_download.moc"
