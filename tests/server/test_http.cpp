// The transport's own rules: the room uploads share, in-process; and how a
// connection to a server of this process is read, over loopback.

#include "http/refusal.h"
#include "http/room.h"
#include "http/server.h"
#include "http/proxies.h"
#include "metrics/history.h"
#include "metrics/metrics.h"

#include <nlohmann/json.hpp>

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace belfry;

namespace {

struct Step
{
    const char *sender;
    size_t bytes;
    bool vouched, give, taken;
};

// A server of this process on 127.0.0.1, stopped (by the signal it serves
// until) however the test ends.
class LocalServer
{
public:
    LocalServer(std::vector<Route> routes, HttpOptions options) : server(std::move(routes), options)
    {
        std::string error;
        port = server.listen("127.0.0.1", 0, error);
        if (port > 0)
            running = std::async(std::launch::async, [this] {
                server.run();
            });
    }
    ~LocalServer()
    {
        if (running.valid() && running.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            ::kill(::getpid(), SIGTERM);
    }
    // A connection to it, reads waiting 10 s at most; -1 when refused.
    int connect() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        const timeval wait {10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            return fd;
        ::close(fd);
        return -1;
    }
    // Sends `bytes`, then reads until the server closes or 10 s pass:
    // what came back, and whether the server closed.
    std::pair<std::string, bool> exchange(const std::string &bytes) const
    {
        const int fd = connect();
        std::string got;
        ssize_t n = -1;
        if (fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size())) {
            char buffer[4096];
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                got.append(buffer, size_t(n));
        }
        ::close(fd);
        return {got, n == 0};
    }

    int port = -1;

private:
    HttpServer server;
    std::future<void> running;
};

}  // namespace

Q_DECLARE_METATYPE(std::vector<Step>)
Q_DECLARE_METATYPE(std::vector<uint64_t>)

class TestHttp : public QObject
{
    Q_OBJECT

private slots:
    // A histogram's quantile, interpolated within its bucket.
    void quantiles_data()
    {
        QTest::addColumn<std::vector<uint64_t>>("buckets");
        QTest::addColumn<double>("q");
        QTest::addColumn<double>("expected");
        // Bounds 1, 2, 4 and +Inf.
        QTest::newRow("nothing observed") << std::vector<uint64_t> {0, 0, 0, 0} << 0.5 << 0.0;
        QTest::newRow("median of one bucket") << std::vector<uint64_t> {4, 0, 0, 0} << 0.5 << 0.5;
        QTest::newRow("p99 in the second") << std::vector<uint64_t> {50, 50, 0, 0} << 0.99 << 1.98;
        QTest::newRow("past the last bound") << std::vector<uint64_t> {1, 0, 0, 9} << 0.99 << 4.0;
        QTest::newRow("empty buckets skipped") << std::vector<uint64_t> {0, 0, 2, 0} << 0.5 << 3.0;
    }
    void quantiles()
    {
        QFETCH(std::vector<uint64_t>, buckets);
        QFETCH(double, q);
        QFETCH(double, expected);
        QCOMPARE(belfry::quantile({1, 2, 4}, buckets, q), expected);
    }

    // The admin page's hour: the newest samples up to the capacity, and one
    // of the moment; a time of what did not happen is none, not 0.
    void historyKeepsItsLastSamples()
    {
        belfry::Metrics metrics(belfry::refusalCodes());
        belfry::History history(metrics, 3);
        for (int t = 1; t <= 5; ++t) {
            metrics.beats.add(10);
            history.sample(t * 10);
        }
        metrics.storeSeconds[0].observe(0.002);
        const auto samples = nlohmann::json::parse(history.json(55))["samples"];
        QCOMPARE(samples.size(), size_t(4));
        QCOMPARE(samples[0]["t"].get<double>(), 30.0);
        QCOMPARE(samples[0]["beats"].get<uint64_t>(), uint64_t(30));
        QCOMPARE(samples[3]["t"].get<double>(), 55.0);
        QVERIFY(samples[2]["store_p99"].is_null());
        QVERIFY(samples[3]["store_p99"].get<double>() > 0.001);
        QCOMPARE(samples[3]["refusals"].size(), metrics.refusalCodes.size());
    }

    // A room of 100 bytes, shares of 30, strangers' room of 50.
    void uploadRoom_data()
    {
        QTest::addColumn<std::vector<Step>>("steps");
        QTest::newRow("a sender's share, to the byte")
            << std::vector<Step> {{"a", 30, true, false, true}, {"a", 1, true, false, false},
                   {"b", 30, true, false, true}};
        QTest::newRow("strangers' room, to the byte")
            << std::vector<Step> {{"a", 30, false, false, true}, {"b", 20, false, false, true},
                   {"c", 1, false, false, false}, {"c", 30, true, false, true}};
        QTest::newRow("a refused take holds nothing")
            << std::vector<Step> {{"a", 30, true, false, true}, {"b", 30, true, false, true},
                   {"c", 30, true, false, true}, {"d", 11, true, false, false}, {"d", 10, true, false, true}};
        QTest::newRow("given back, to both rooms")
            << std::vector<Step> {{"a", 30, false, false, true}, {"b", 20, false, false, true},
                   {"a", 30, false, true, true}, {"c", 30, false, false, true}, {"a", 1, true, false, true}};
    }
    void uploadRoom()
    {
        QFETCH(std::vector<Step>, steps);
        transport::UploadRoom room(100, 30, 50);
        for (const Step &s : steps) {
            if (s.give) {
                room.give(s.sender, s.bytes, s.vouched);
                continue;
            }
            QCOMPARE(room.take(s.sender, s.bytes, s.vouched), s.taken);
        }
    }

    // Whose X-Forwarded-For is believed, and what it is taken to say.
    void proxies_data()
    {
        QTest::addColumn<QString>("trusted");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QStringList>("forwarded");
        QTest::addColumn<QString>("client");  // "error": the list is refused
        const QStringList none;
        QTest::newRow("no list") << "" << "" << none << "error";
        QTest::newRow("a name") << "proxy.example" << "" << none << "error";
        QTest::newRow("a prefix past 32") << "10.0.0.0/33" << "" << none << "error";
        QTest::newRow("an empty prefix") << "10.0.0.0/" << "" << none << "error";
        QTest::newRow("not a proxy: its header is no one's")
            << "127.0.0.1" << "192.0.2.1" << QStringList {"203.0.113.9"} << "192.0.2.1";
        QTest::newRow("the hop the proxy saw, not the client's claim")
            << "127.0.0.1" << "127.0.0.1" << QStringList {"198.51.100.7, 203.0.113.9"} << "203.0.113.9";
        QTest::newRow("trusted hops passed over, across headers") << "127.0.0.1,10.0.0.0/8"
            << "10.1.2.3" << QStringList {"203.0.113.9, 10.9.9.9", "127.0.0.1"} << "203.0.113.9";
        QTest::newRow("a network's last address") << "10.0.0.0/8" << "10.255.255.255" << QStringList {"192.0.2.7"}
                                                  << "192.0.2.7";
        QTest::newRow("past the network") << "10.0.0.0/8" << "11.0.0.0" << QStringList {"192.0.2.7"}
                                          << "11.0.0.0";
        QTest::newRow("IPv6 /56") << "2001:db8:0:ff00::/56" << "2001:db8:0:ffee::1" << QStringList {"192.0.2.7"}
                                  << "192.0.2.7";
        QTest::newRow("a hop that is no address") << "127.0.0.1" << "127.0.0.1" << QStringList {"unknown"} << "";
        QTest::newRow("only trusted hops") << "127.0.0.1" << "127.0.0.1" << QStringList {"127.0.0.1"}
                                           << "127.0.0.1";
    }
    void proxies()
    {
        QFETCH(QString, trusted);
        QFETCH(QString, peer);
        QFETCH(QStringList, forwarded);
        QFETCH(QString, client);
        Proxies p;
        std::string error;
        QCOMPARE(p.parse(trusted.toStdString(), error), client != "error");
        if (client == "error") {
            QVERIFY(error.find("no proxy's address") != std::string::npos);
            return;
        }
        std::vector<std::string> headers;
        for (const QString &h : forwarded)
            headers.push_back(h.toStdString());
        QCOMPARE(QString::fromStdString(p.clientOf(peer.toStdString(), headers)), client);
    }

    // Requests on the wire to a server of this process: a route that admits
    // no one, a small one and one whose body needs room, of which there is
    // just enough for one.
    void bodies_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("answer");  // all that came back; empty: closed unanswered
        const auto post = [](const char *path, const std::string &body, const std::string &head = {}) {
            return QByteArray::fromStdString(std::string("POST ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + head
                + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        };
        const std::string close = "Connection: close\r\n";
        // Its credentials are checked before the room is looked at.
        QTest::newRow("a stranger meets the admission first")
            << post("/admitted", "", "Content-Length: 200000\r\n").replace("Content-Length: 0\r\n", "")
            << "^HTTP/1.1 403";
        QTest::newRow("a trickle ends after the grace")
            << post("/small", "{").replace("Content-Length: 1", "Content-Length: 1000") << "^$";
        QTest::newRow("a body at its route's limit") << post("/small", std::string(4096, ' '), close)
                                                     << "^HTTP/1.1 200";
        QTest::newRow("a byte past it") << post("/small", std::string(4097, ' '), close) << "^HTTP/1.1 413";
        QTest::newRow("another method on a known path")
            << QByteArray("GET /small HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") << "^HTTP/1.1 405";
        QTest::newRow("an unknown path") << QByteArray("GET /none HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                                         << "^HTTP/1.1 404";
        QTest::newRow("chunked twice")
            << post("/small", "2\r\n{}\r\n0\r\n\r\n", "Transfer-Encoding: chunked, chunked\r\n")
                   .replace("Content-Length: 11\r\n", "")
            << "^HTTP/1.1 400";
        const std::string whole(RoomBytes, ' ');
        QTest::newRow("room given back on a kept-alive connection")
            << post("/room", whole) + post("/room", whole, close) << "^HTTP/1.1 200[\\s\\S]*HTTP/1.1 200";
    }
    void bodies()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, answer);
        HttpOptions o;
        o.log = false;
        o.uploadMemory = RoomBytes;
        o.bodyRateGrace = std::chrono::seconds(1);
        o.minBodyRate = 1 << 20;
        Route admitted {"POST", "/admitted", 1 << 20, [](const Request &, Response &) {}};
        admitted.admit = [](const Request &, Response &res) {
            refuse(res, Refusal::Denied, "no such phone");
            return false;
        };
        const auto nothing = [](const Request &, Response &) {};
        LocalServer local({admitted, {"POST", "/small", 4096, nothing}, {"POST", "/room", RoomBytes, nothing}}, o);
        QVERIFY(local.port > 0);
        const auto [got, closed] = local.exchange(request.toStdString());
        QVERIFY2(closed, got.c_str());
        QVERIFY2(QString::fromStdString(got).contains(QRegularExpression(answer)), got.c_str());
    }

    // A body refused before it was read may still be arriving: the answer
    // goes first and the connection is left open while the rest comes, as a
    // close with unread data resets it and may take the answer with it.
    void refusedBodyStillTaken()
    {
        HttpOptions o;
        o.log = false;
        LocalServer local({{"POST", "/small", 4096, [](const Request &, Response &) {}}}, o);
        const int fd = local.connect();
        QVERIFY(fd >= 0);
        const auto closing = qScopeGuard([fd] { ::close(fd); });
        const std::string piece(64 * 1024, ' ');
        const std::string head = "POST /small HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10000000\r\n\r\n";
        QCOMPARE(::send(fd, (head + piece).data(), head.size() + piece.size(), MSG_NOSIGNAL),
            ssize_t(head.size() + piece.size()));
        char answer[256] = {};
        QVERIFY(::recv(fd, answer, sizeof answer - 1, 0) > 0);
        QVERIFY2(QByteArray(answer).startsWith("HTTP/1.1 413"), answer);
        QTest::qWait(200);  // time enough for a reset, were there one
        QCOMPARE(::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL), ssize_t(piece.size()));
    }

    // The transport's limits on both sides of their edge: the head's size,
    // and the body that takes no room from the uploads' memory (here a byte
    // too small for it) against the first that needs some.
    void edges_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("answer");
        // A request whose head, blank line included, is `head` bytes.
        const auto post = [](size_t head, size_t body) {
            std::string request = "POST /large HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: "
                + std::to_string(body) + "\r\nX-Padding: ";
            request += std::string(head - request.size() - 4, 'p') + "\r\n\r\n";
            return QByteArray::fromStdString(request + std::string(body, ' '));
        };
        QTest::newRow("a head at its limit") << post(MaxHeaderBytes, 2) << "^HTTP/1.1 200";
        QTest::newRow("a head a byte past it") << post(MaxHeaderBytes + 1, 2) << "^HTTP/1.1 431";
        QTest::newRow("the largest body that needs no room") << post(200, UnmeteredBodyBytes) << "^HTTP/1.1 200";
        QTest::newRow("the first that needs room, with none left")
            << post(200, UnmeteredBodyBytes + 1) << "^HTTP/1.1 503 [^\\r]*\\r\\n(.+\\r\\n)*Retry-After: 10\\r\\n";
    }
    void edges()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, answer);
        HttpOptions o;
        o.log = false;
        o.uploadMemory = UnmeteredBodyBytes - 1;
        LocalServer local({{"POST", "/large", 1 << 20, [](const Request &, Response &) {}}}, o);
        QVERIFY(local.port > 0);
        const auto [got, closed] = local.exchange(request.toStdString());
        QVERIFY2(closed, got.c_str());
        QVERIFY2(QString::fromStdString(got).contains(QRegularExpression(answer)), got.c_str());
    }

private:
    static constexpr size_t RoomBytes = 100 * 1024;
};

QTEST_GUILESS_MAIN(TestHttp)
#include "test_http.moc"
