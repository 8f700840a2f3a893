#include <QSignalSpy>
#include <QtTest>

#include "service/feedback.h"
#include "tests/support/standin.h"

class TestFeedBack : public QObject
{
    Q_OBJECT

private slots:
    void query();
    void failure();
};

void TestFeedBack::query()
{
    StandIn server;
    server.route("GET", "/p/feedback", [](Exchange &exchange) {
        exchange.answer(200, QByteArray(3 << 20, 'x'), "text/plain");  // discarded unread, however big
    });
    FeedBack feedBack(QStringLiteral("1.0.1"), server.base(), QStringLiteral("P"));
    QSignalSpy info(&feedBack, &FeedBack::info);

    feedBack.send(QStringLiteral("download"));
    feedBack.send(QStringLiteral("beat"));
    feedBack.send(QStringLiteral("beat"));
    QTRY_COMPARE(server.count(), 3);
    const auto seen = server.requests();
    QStringList targets;
    for (const Seen &s : seen) {
        targets << QString::fromUtf8(s.target);
        QCOMPARE(s.method, QByteArray("GET"));
        QVERIFY(s.header("User-Agent") != QLatin1String("CorVale"));
    }
    targets.sort();
    QCOMPARE(targets,
        QStringList({"/p/feedback?pcid=P&ver=1.0.1&event=beat", "/p/feedback?pcid=P&ver=1.0.1&event=beat",
            "/p/feedback?pcid=P&ver=1.0.1&event=download"}));
    QTest::qWait(100);
    QCOMPARE(info.count(), 0);
}

void TestFeedBack::failure()
{
    StandIn server;
    server.route("GET", "/p/feedback", [](Exchange &exchange) {
        exchange.answer(500);
    });
    FeedBack feedBack(QStringLiteral("1.0.1"), server.base(), QStringLiteral("P"));
    QSignalSpy info(&feedBack, &FeedBack::info);
    // A failed feedback is only reported, never fed back again.
    feedBack.send(QStringLiteral("save"));
    QTRY_COMPARE(info.count(), 1);
    QCOMPARE(info.at(0).at(0).toString(), QStringLiteral("error"));
    QTest::qWait(100);
    QCOMPARE(server.count(), 1);

    FeedBack refused(QStringLiteral("1.0.1"), QStringLiteral("http://127.0.0.1:%1").arg(closedPort()),
        QStringLiteral("P"));
    QSignalSpy refusedInfo(&refused, &FeedBack::info);
    refused.send(QStringLiteral("json"));
    QTRY_COMPARE(refusedInfo.count(), 1);
    QCOMPARE(refusedInfo.at(0).at(0).toString(), QStringLiteral("error"));

    SilentServer silent;
    FeedBack waiting(QStringLiteral("1.0.1"), silent.base(), QStringLiteral("P"));
    waiting.findChild<QNetworkAccessManager *>()->setTransferTimeout(200);
    QSignalSpy waitingInfo(&waiting, &FeedBack::info);
    waiting.send(QStringLiteral("beat"));
    QTRY_COMPARE_WITH_TIMEOUT(waitingInfo.count(), 1, 3000);
}

QTEST_GUILESS_MAIN(TestFeedBack)
#include "test_feedback.moc"
