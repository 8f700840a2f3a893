#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>

#include "service/heart.h"
#include "tests/support/standin.h"

// A normal answer with nothing to do.
void emptyAnswer(Exchange &exchange)
{
    exchange.answer(200, "{}");
}

class TestHeart : public QObject
{
    Q_OBJECT

private slots:
    void requests();
    void answer_data();
    void answer();
    void confirmations_data();
    void confirmations();
    void suspendedWhileUnpairing();
    void failedUnpairEndsSuspension();
    void overlappingUnpairs();
    void unreachableAgainstRefused();
    void silentServerTimesOut();
};

void TestHeart::requests()
{
    StandIn server;
    server.route({}, ".*", emptyAnswer);

    Heart heart(QUrl(server.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy network(&heart, &Heart::network);
    heart.beat(10);
    heart.unpair({QStringLiteral("dev-a"), QStringLiteral("dev-b")});
    QTRY_COMPARE(network.count(), 2);
    heart.unpair({});
    heart.getConfig();
    heart.checkUpdate();
    QTRY_COMPARE(network.count(), 5);

    const auto seen = server.requests();
    QCOMPARE(int(seen.size()), 5);
    auto find = [&](const QByteArray &path, int nth = 0) {
        for (const Seen &s : seen)
            if (s.path == path && nth-- == 0)
                return s;
        return Seen();
    };

    const Seen beat = find("/p/v1/heart");
    QCOMPARE(beat.method, QByteArray("POST"));
    QCOMPARE(beat.header("User-Agent"), QStringLiteral("CorVale"));
    QCOMPARE(beat.header("Content-Type"), QStringLiteral("application/json"));
    QVERIFY2(beat.body.contains("\n    \""), "body is Qt's indented JSON");
    const QJsonObject beatBody = beat.json();
    QCOMPARE(beatBody.size(), 5);
    // Present when empty: the service learns from it that this PC confirms.
    QVERIFY(beatBody.value("got").isArray());
    QVERIFY(beatBody.value("got").toArray().isEmpty());
    QVERIFY(beatBody.value("expire").isDouble());
    QCOMPARE(beatBody.value("expire").toInt(), 10);
    QCOMPARE(beatBody.value("platform").toString(), QStringLiteral("window"));
    QCOMPARE(beatBody.value("pcid").toString(), QStringLiteral("PC-1"));
    QCOMPARE(beatBody.value("version").toString(), QStringLiteral("1.0.1"));

    const Seen unpair = find("/p/v1/unpair");
    QCOMPARE(unpair.header("User-Agent"), QStringLiteral("Corvale"));
    QCOMPARE(unpair.header("Content-Type"), QStringLiteral("application/json"));
    const QJsonObject unpairBody = unpair.json();
    QCOMPARE(unpairBody.size(), 4);
    QCOMPARE(unpairBody.value("data").toArray(), QJsonArray({"dev-a", "dev-b"}));
    QCOMPARE(unpairBody.value("platform").toString(), QStringLiteral("window"));
    const QJsonObject emptyUnpair = find("/p/v1/unpair", 1).json();
    QVERIFY(emptyUnpair.value("data").isArray());
    QVERIFY(emptyUnpair.value("data").toArray().isEmpty());

    const Seen conf = find("/p/conf");
    QCOMPARE(conf.target, QByteArray("/p/conf?pcid=PC-1&version=1.0.1&platform=window"));
    QCOMPARE(conf.header("User-Agent"), QStringLiteral("CorVale"));
    QCOMPARE(conf.header("Content-Type"), QString());
    QCOMPARE(find("/p/update").target, QByteArray("/p/update?pcid=PC-1&version=1.0.1&platform=window"));

    // A base that ends in a slash keeps both slashes.
    Heart slashed(QUrl(server.base() + "/"), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy slashedNetwork(&slashed, &Heart::network);
    QUrl sent;
    connect(slashed.findChild<QNetworkAccessManager *>(), &QNetworkAccessManager::finished, this,
        [&](QNetworkReply *reply) {
            sent = reply->url();
        });
    slashed.beat(5);
    QTRY_COMPARE(slashedNetwork.count(), 1);
    QCOMPARE(sent.toString(), server.base() + "//p/v1/heart");
    // Without a timeout a silent service would hold every beat for good.
    QCOMPARE(slashed.findChild<QNetworkAccessManager *>()->transferTimeout(), 30000);
}

void TestHeart::answer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QList<int>>("gets");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QStringList>("configs");
    QTest::addColumn<int>("updateSize");  // -1: no update signal
    QTest::addColumn<int>("paired");
    QTest::addColumn<QString>("info");

    QTest::newRow("empty object") << QByteArray("{}") << QList<int>() << QStringList() << QStringList() << -1
                                  << 0 << QString();
    QTest::newRow("no status") << QByteArray(R"({"sync":["4"]})") << QList<int> {4} << QStringList()
                               << QStringList() << -1 << 0 << QString();
    QTest::newRow("status as text") << QByteArray(R"({"status":"5","sync":["4"]})") << QList<int> {4}
                                    << QStringList() << QStringList() << -1 << 0 << QString();
    QTest::newRow("status 3") << QByteArray(R"({"status":3,"sync":["4"],"conf":{"A":"1"}})") << QList<int>()
                              << QStringList() << QStringList() << -1 << 0 << QString();
    QTest::newRow("status 5") << QByteArray(R"({"status":5,"sync":["4"]})") << QList<int>() << QStringList()
                              << QStringList() << -1 << 1 << QString();
    QTest::newRow("sync ids") << QByteArray(R"({"status":0,"sync":["12","x","30",15]})")
                              << QList<int> {12, 0, 30, 0} << QStringList() << QStringList() << -1 << 0
                              << QString();
    QTest::newRow("pair") << QByteArray(
        R"({"pair":[{"id":"a"},{"id":"b","name":"手机"},7,{"id":3,"name":"n"}]})")
                          << QList<int>() << QStringList {"b=手机", "=n"} << QStringList() << -1 << 0
                          << QString();
    QTest::newRow("conf") << QByteArray(R"({"conf":{"Pulse":7,"Server/Host":"http://h"}})") << QList<int>()
                          << QStringList() << QStringList {"Pulse=", "Server/Host=http://h"} << -1 << 0
                          << QString();
    QTest::newRow("update") << QByteArray(R"({"update":{"version":"2.0","download":"http://d"}})")
                            << QList<int>() << QStringList() << QStringList() << 2 << 0 << QString();
    QTest::newRow("empty update") << QByteArray(R"({"update":{}})") << QList<int>() << QStringList()
                                  << QStringList() << -1 << 0 << QString();
    QTest::newRow("wrong types") << QByteArray(
        R"({"sync":"12","pair":{"id":"a","name":"b"},"conf":[1],"update":"2.0"})")
                                 << QList<int>() << QStringList() << QStringList() << -1 << 0 << QString();
    QTest::newRow("array document") << QByteArray(R"([{"sync":["4"]}])") << QList<int>() << QStringList()
                                    << QStringList() << -1 << 0 << QString();
    // Qt's parser would keep the last and lose the memory of the first.
    QTest::newRow("member twice") << QByteArray(
        R"({"sync":["4"],"update":{"a":"1"},"upd\u0061te":{"a":"2"}})")
                                  << QList<int>() << QStringList() << QStringList() << -1 << 0
                                  << QStringLiteral("json");
    QTest::newRow("member twice inside an object")
        << QByteArray(R"({"conf":{"A":"1","A":"2"}})") << QList<int>() << QStringList() << QStringList() << -1
        << 0 << QStringLiteral("json");
    // Qt reads "\e" as "e" and would go on to the repeat behind it.
    QTest::newRow("member twice behind an escape JSON lacks")
        << QByteArray(R"({"conf":{"A":"1"},"\e":0,"conf":{"A":"2"}})") << QList<int>() << QStringList()
        << QStringList() << -1 << 0 << QStringLiteral("json");
    // Skipped, not refused, the escape would let the value reach Qt as "x".
    QTest::newRow("escape JSON lacks in a value")
        << QByteArray(R"({"conf":{"A":"\x"}})") << QList<int>() << QStringList() << QStringList() << -1 << 0
        << QStringLiteral("json");
    QTest::newRow("names inside a value")
        << QByteArray(R"({"conf":{"A":"x\",\"A\":{"}})") << QList<int>() << QStringList()
        << QStringList {R"(A=x","A":{)"} << -1 << 0 << QString();
    QTest::newRow("empty body") << QByteArray() << QList<int>() << QStringList() << QStringList() << -1 << 0
                                << QStringLiteral("json");
    QTest::newRow("not json") << QByteArray("<html>busy</html>") << QList<int>() << QStringList()
                              << QStringList() << -1 << 0 << QStringLiteral("json");
    QTest::newRow("huge") << QByteArray(R"({"sync":[")" + QByteArray(3 << 20, '1') + R"("]})") << QList<int>()
                          << QStringList() << QStringList() << -1 << 0 << QStringLiteral("beat");
}

void TestHeart::answer()
{
    QFETCH(QByteArray, body);
    QFETCH(QList<int>, gets);
    QFETCH(QStringList, devices);
    QFETCH(QStringList, configs);
    QFETCH(int, updateSize);
    QFETCH(int, paired);
    QFETCH(QString, info);

    StandIn server;
    server.route("POST", "/p/v1/heart", [body](Exchange &exchange) {
        exchange.answer(200, body);
    });
    Heart heart(QUrl(server.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy network(&heart, &Heart::network);
    QSignalSpy get(&heart, &Heart::get);
    QSignalSpy device(&heart, &Heart::device);
    QSignalSpy config(&heart, &Heart::config);
    QStringList updates;
    int updateCount = 0;
    connect(&heart, &Heart::update, this, [&](QMap<QString, QString> &map) {
        ++updateCount;
        updates = map.keys();
    });
    QSignalSpy pairedSpy(&heart, &Heart::paired);
    QSignalSpy infoSpy(&heart, &Heart::info);

    heart.beat(5);
    QTRY_COMPARE(network.count() + infoSpy.count(), info == QLatin1String("json") ? 2 : 1);

    if (info == QLatin1String("beat")) {
        QCOMPARE(network.count(), 0);
    } else {
        QCOMPARE(network.count(), 1);
        QCOMPARE(network.at(0).at(0).toInt(), 0);
    }
    QList<int> gotIds;
    for (const auto &args : get)
        gotIds << args.at(0).toInt();
    QCOMPARE(gotIds, gets);
    QStringList gotDevices;
    for (const auto &args : device)
        gotDevices << args.at(0).toString() + "=" + args.at(1).toString();
    QCOMPARE(gotDevices, devices);
    QStringList gotConfigs;
    for (const auto &args : config)
        gotConfigs << args.at(0).toString() + "=" + args.at(1).toString();
    QCOMPARE(gotConfigs, configs);
    QCOMPARE(updateCount, updateSize < 0 ? 0 : 1);
    if (updateSize >= 0)
        QCOMPARE(updates.size(), updateSize);
    QCOMPARE(pairedSpy.count(), paired);
    if (paired)
        QCOMPARE(pairedSpy.at(0).at(0).toBool(), false);
    QCOMPARE(infoSpy.count(), info.isEmpty() ? 0 : 1);
    if (!info.isEmpty())
        QCOMPARE(infoSpy.at(0).at(0).toString(), info);
}

// A confirmation goes with every beat until one that carried it is answered.
void TestHeart::confirmations_data()
{
    QTest::addColumn<int>("status");  // of the first beat's answer; 0: cut off after its first byte
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("settled");
    QTest::newRow("answered") << 200 << QByteArray("{}") << true;
    QTest::newRow("answered, unpaired") << 200 << QByteArray(R"({"status":5})") << true;
    QTest::newRow("answer lost") << 0 << QByteArray() << false;
    QTest::newRow("500") << 500 << QByteArray("{}") << false;
    QTest::newRow("redirect") << 302 << QByteArray("{}") << false;
    QTest::newRow("not JSON") << 200 << QByteArray("<html>busy</html>") << false;
}

void TestHeart::confirmations()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, settled);
    std::atomic<int> beats {0};
    StandIn server;
    server.route("POST", "/p/v1/heart", [&](Exchange &exchange) {
        if (beats++ > 0)
            return emptyAnswer(exchange);
        // Qt sends a request again by itself when the connection closes before
        // any answer: only a cut answer is lost for good.
        if (status == 0) {
            exchange.begin(200, {"Content-Length: 2"});
            exchange.write("{");
            return exchange.close();
        }
        exchange.answer(status, body);
    });
    Heart heart(QUrl(server.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy network(&heart, &Heart::network);
    QSignalSpy info(&heart, &Heart::info);

    heart.confirm(7);
    heart.confirm(7);
    heart.beat(5);
    // Stored while the beat is on its way: its answer does not settle it.
    heart.confirm(9);
    QTRY_COMPARE(network.count() + info.count(), status == 200 && !body.startsWith('{') ? 2 : 1);
    heart.beat(5);
    QTRY_COMPARE(server.count(), 2);
    const auto seen = server.requests();
    QCOMPARE(seen.front().json().value("got").toArray(), QJsonArray {"7"});
    const QJsonArray again = settled ? QJsonArray {"9"} : QJsonArray {"7", "9"};
    QCOMPARE(seen.back().json().value("got").toArray(), again);
}

void TestHeart::suspendedWhileUnpairing()
{
    std::atomic<bool> beatGate {false}, unpairGate {false};
    StandIn server;
    server.route("GET", ".*", emptyAnswer);
    server.route("POST", "/p/v1/heart",
        answerWhenOpen(beatGate, R"({"sync":["7"],"pair":[{"id":"d","name":"n"}],"conf":{"Pulse":"9"}})"));
    server.route("POST", "/p/v1/unpair", answerWhenOpen(unpairGate, R"({"sync":["8"]})"));

    Heart heart(QUrl(server.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy network(&heart, &Heart::network);
    QSignalSpy get(&heart, &Heart::get);
    QSignalSpy device(&heart, &Heart::device);
    QSignalSpy config(&heart, &Heart::config);

    heart.beat(5);
    QTRY_COMPARE(server.count(), 1);
    heart.unpair({QStringLiteral("d")});
    QVERIFY(!heart.active);
    QTRY_COMPARE(server.count(), 2);
    heart.beat(5);
    // Configuration and update requests do not wait for the unpair.
    heart.getConfig();
    heart.checkUpdate();
    QTRY_COMPARE(network.count(), 2);
    QCOMPARE(server.count(), 4);

    // The earlier beat's answer: its devices and ids are ignored, its settings not.
    beatGate = true;
    QTRY_COMPARE(network.count(), 3);
    QCOMPARE(get.count(), 0);
    QCOMPARE(device.count(), 0);
    QCOMPARE(config.count(), 1);

    // The unpair's own answer is processed after beats resume.
    unpairGate = true;
    QTRY_COMPARE(network.count(), 4);
    QVERIFY(heart.active);
    QCOMPARE(get.count(), 1);
    QCOMPARE(get.at(0).at(0).toInt(), 8);
    heart.beat(5);
    QTRY_COMPARE(server.count(), 5);
}

void TestHeart::failedUnpairEndsSuspension()
{
    StandIn server;
    server.route("POST", "/p/v1/unpair", [](Exchange &exchange) {
        exchange.answer(500);
    });
    server.route("POST", "/p/v1/heart", emptyAnswer);
    Heart heart(QUrl(server.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy info(&heart, &Heart::info);
    QSignalSpy network(&heart, &Heart::network);
    heart.unpair({QStringLiteral("d")});
    QTRY_COMPARE(info.count(), 1);
    QCOMPARE(info.at(0).at(0).toString(), QStringLiteral("beat"));
    QVERIFY(heart.active);
    heart.beat(5);
    QTRY_COMPARE(network.count(), 1);
    QCOMPARE(server.count(), 2);

    // Unreachable service: the unpair fails without any HTTP answer.
    Heart lost(
        QUrl(QStringLiteral("http://belfry-test.invalid")), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy lostNetwork(&lost, &Heart::network);
    lost.unpair({QStringLiteral("d")});
    QTRY_COMPARE_WITH_TIMEOUT(lostNetwork.count(), 1, 15000);
    lost.beat(5);
    QTRY_COMPARE_WITH_TIMEOUT(lostNetwork.count(), 2, 15000);
}

void TestHeart::overlappingUnpairs()
{
    std::atomic<bool> first {false}, second {false};
    std::atomic<int> unpairs {0};
    StandIn server;
    server.route("POST", "/p/v1/unpair", [&](Exchange &exchange) {
        answerWhenOpen(unpairs++ == 0 ? first : second, "{}")(exchange);
    });
    server.route("POST", "/p/v1/heart", emptyAnswer);
    Heart heart(QUrl(server.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy network(&heart, &Heart::network);
    heart.unpair({QStringLiteral("a")});
    QTRY_COMPARE(server.count(), 1);
    heart.unpair({QStringLiteral("b")});
    QTRY_COMPARE(server.count(), 2);

    // The first answer is not the last: beats stay held back.
    first = true;
    QTRY_COMPARE(network.count(), 1);
    QVERIFY(!heart.active);
    heart.beat(5);
    second = true;
    QTRY_COMPARE(network.count(), 2);
    QVERIFY(heart.active);
    QCOMPARE(server.count(), 2);
}

void TestHeart::unreachableAgainstRefused()
{
    Heart lost(
        QUrl(QStringLiteral("http://belfry-test.invalid")), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    QSignalSpy network(&lost, &Heart::network);
    QSignalSpy lostInfo(&lost, &Heart::info);
    lost.beat(5);
    QTRY_COMPARE_WITH_TIMEOUT(network.count(), 1, 15000);
    QCOMPARE(network.at(0).at(0).toInt(), int(QNetworkReply::HostNotFoundError));
    QCOMPARE(lostInfo.count(), 0);

    Heart refused(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedPort())), QStringLiteral("PC-1"),
        QStringLiteral("1.0.1"));
    QSignalSpy refusedNetwork(&refused, &Heart::network);
    QSignalSpy info(&refused, &Heart::info);
    refused.beat(5);
    refused.getConfig();
    QTRY_COMPARE(info.count(), 2);
    QCOMPARE(info.at(0).at(0).toString(), QStringLiteral("beat"));
    QCOMPARE(info.at(1).at(0).toString(), QStringLiteral("beat"));
    QVERIFY(!info.at(0).at(1).toString().isEmpty());
    QCOMPARE(refusedNetwork.count(), 0);
}

void TestHeart::silentServerTimesOut()
{
    SilentServer silent;
    Heart heart(QUrl(silent.base()), QStringLiteral("PC-1"), QStringLiteral("1.0.1"));
    heart.findChild<QNetworkAccessManager *>()->setTransferTimeout(300);
    QSignalSpy info(&heart, &Heart::info);
    QSignalSpy network(&heart, &Heart::network);
    // More hung beats than Qt has connections per host: none may stay stuck.
    for (int i = 0; i < 8; ++i)
        heart.beat(5);
    QTRY_COMPARE_WITH_TIMEOUT(info.count(), 8, 5000);
    QCOMPARE(info.at(7).at(0).toString(), QStringLiteral("beat"));
    QCOMPARE(network.count(), 0);
}

QTEST_GUILESS_MAIN(TestHeart)
#include "test_heart.moc"
