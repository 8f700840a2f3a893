#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

#include "service/download.h"
#include "tests/support/filetree.h"
#include "tests/support/readonlyfolder.h"
#include "tests/support/servicestandin.h"

namespace {

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
    QSignalSpy stored {&download, &Download::stored};
    QSignalSpy info {&download, &Download::info};
};

// A row whose information answer is `answer`, with "URL" for a file of 10 bytes.
void answerRow(const char *tag, const QByteArray &answer, const QString &stored, const QVariantList &info,
    const QString &name = QStringLiteral("Bell"))
{
    QTest::newRow(tag) << answer << "/ok/10/x" << name << stored << info;
}

// A row with the service's own information answer and the file at `path`.
void fileRow(const char *tag, const QString &path, const QString &stored, const QVariantList &info)
{
    QTest::newRow(tag) << QByteArray() << path << QStringLiteral("Bell") << stored << info;
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
    void storedOnce_data();
    void storedOnce();
    void silentAndUnreachable();
    void lengthOfTheFinalResponse_data();
    void lengthOfTheFinalResponse();
};

void TestDownload::ringtone_data()
{
    QTest::addColumn<QByteArray>("answer");  // the information; null: the service's own
    QTest::addColumn<QString>("path");  // of the file on the ringtone server
    QTest::addColumn<QString>("name");
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

    // Where the file goes, whatever the folder, is the folder's own test's table.
    const QVariantList download {"download"};
    fileRow("stored", "/ok/300000/1", "Bell.m4r", none);
    fileRow("empty file", "/ok/0/1", "Bell.m4r", none);
    fileRow("five redirects", "/hops?n=5", "Bell.m4r", none);
    fileRow("six redirects", "/hops?n=6", "", download);
    fileRow("404", "/status?code=404", "", download);
    fileRow("500", "/status?code=500", "", download);
    // Qt reports these as success.
    fileRow("300", "/status?code=300", "", download);
    fileRow("truncated", "/truncated", "", download);
    fileRow("length mismatch", "/mismatch", "", download);
    fileRow("over 64 MiB", "/ok/67108865/big", "", download);
}

void TestDownload::ringtone()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QFETCH(QVariantList, info);

    Session session;
    const QString url = session.server.base() + path;
    if (!answer.isNull())
        session.server.route(
            "GET", "/apiv1/ringtone", [answer = answer.replace("URL", url.toUtf8())](Exchange &e) {
                e.answer(answer == "404" ? 404 : 200, answer);
            });
    // Connected after the downloader's own handler: once this has seen the
    // reply, the handler is done with it.
    QSignalSpy handled(
        session.download.findChild<QNetworkAccessManager *>("information"), &QNetworkAccessManager::finished);
    session.server.serve(path);
    session.server.send(1, name, {});
    // Left by a program killed while writing: a file request clears it.
    const bool asked = answer.isNull() || !stored.isEmpty();
    if (asked)
        QVERIFY(put(session.dir.filePath("Media/.belfry-staging/a1B2c3.part"), "left"));
    session.download.get(0);
    session.download.get(-3);
    session.download.get(1);
    QTRY_VERIFY(
        handled.count() == 1 && session.add.count() == session.finish.count() + session.failed.count());
    QTest::qWait(50);

    QCOMPARE(session.server.requests().front().target, QByteArray("/apiv1/ringtone?ringtoneid=1"));
    QCOMPARE(session.add.count(), int(asked));
    QCOMPARE(session.finish.count(), int(!stored.isEmpty()));
    QCOMPARE(session.failed.count(), int(asked && stored.isEmpty()));
    QCOMPARE(session.stored.count(), int(!stored.isEmpty()));
    if (!stored.isEmpty())
        QCOMPARE(session.stored.at(0), QVariantList {1});
    if (asked) {
        QCOMPARE(session.add.at(0), QVariantList({url, name}));
        QCOMPARE((stored.isEmpty() ? session.failed : session.finish).at(0), session.add.at(0));
    }
    QCOMPARE(session.info.count(), int(!info.isEmpty()));
    for (int i = 0; i < info.size(); ++i)
        QCOMPARE(session.info.at(0).at(i), info.at(i));

    // The ringtone whole or nothing at all, not even the staging folder.
    QMap<QString, QByteArray> wanted;
    if (!stored.isEmpty())
        wanted.insert("Media/Automatically Add/" + stored, served(session.server));
    QCOMPARE(tree(session.dir.path()), wanted);
    QVERIFY(!QFileInfo::exists(session.dir.filePath("Media/.belfry-staging")));
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

// The service lists a ringtone until a beat confirms it, so it is asked for
// again while on its way; only a ringtone in the folder is confirmed.
void TestDownload::storedOnce_data()
{
    QTest::addColumn<bool>("readOnly");  // the folder refuses the move
    QTest::addColumn<bool>("listedAgain");  // asked for again, answered once the file is in
    QTest::addColumn<QStringList>("inFolder");
    QTest::newRow("stored") << false << false << QStringList {"Bell.m4r"};
    QTest::newRow("move refused") << true << false << QStringList();
    QTest::newRow("listed again while on its way") << false << true << QStringList {"Bell.m4r"};
}

void TestDownload::storedOnce()
{
    QFETCH(bool, readOnly);
    QFETCH(bool, listedAgain);
    QFETCH(QStringList, inFolder);
    Session session;
    std::atomic<bool> later {false};
    std::atomic<int> asked {0};
    session.server.route("GET", "/apiv1/ringtone", [&](Exchange &exchange) {
        if (asked++ == 0)
            return session.server.information(exchange, 1);
        exchange.hold(
            [&] {
                return bool(later);
            },
            [&](Exchange &held) {
                session.server.information(held, 1);
            });
    });
    // As for a PC that confirms: the file stays until a beat says it arrived.
    session.server.setForgetDelivered(false);
    session.server.send(1, "Bell", tone(1000));
    QVERIFY(QDir().mkpath(session.folder()));
    std::unique_ptr<ReadOnlyFolder> locked;
    if (readOnly) {
        locked = std::make_unique<ReadOnlyFolder>(session.folder());
        if (!locked->isReadOnly())
            QSKIP("the folder could not be made read-only here");
    }
    QSignalSpy handled(
        session.download.findChild<QNetworkAccessManager *>("information"), &QNetworkAccessManager::finished);
    session.download.get(1);
    if (listedAgain)
        session.download.get(1);
    QTRY_COMPARE(session.finish.count() + session.failed.count(), 1);
    later = true;
    QTRY_VERIFY(
        handled.count() == asked && session.add.count() == session.finish.count() + session.failed.count());

    QCOMPARE(files(session.folder()), inFolder);
    QCOMPARE(session.stored.count(), inFolder.size());
    QCOMPARE(session.failed.count(), 1 - inFolder.size());
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
