#pragma once

// A real HTTP server on 127.0.0.1 for the service tests, run in its own
// thread; every request it answers is recorded for the test to inspect.

#include <httplib.h>

#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <mutex>
#include <thread>
#include <vector>

struct Seen
{
    std::string method;
    std::string path;
    std::string target;  // path and query as sent
    std::string body;
    httplib::Headers headers;

    QString header(const char *key) const
    {
        auto it = headers.find(key);
        return it == headers.end() ? QString() : QString::fromStdString(it->second);
    }
};

class TestServer
{
public:
    // Port 0 picks a free one; a given port lets a test restart "the same" server.
    explicit TestServer(int wanted = 0)
    {
        if (wanted == 0)
            port = http.bind_to_any_port("127.0.0.1");
        else if (http.bind_to_port("127.0.0.1", wanted))
            port = wanted;
        thread = std::thread([this] {
            http.listen_after_bind();
        });
    }
    ~TestServer()
    {
        http.stop();
        thread.join();
    }

    // Registers a handler that records the request before it answers.
    void get(const std::string &pattern, httplib::Server::Handler handler)
    {
        http.Get(pattern, wrap(std::move(handler)));
    }
    void post(const std::string &pattern, httplib::Server::Handler handler)
    {
        http.Post(pattern, wrap(std::move(handler)));
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }

    std::vector<Seen> requests()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return int(seen.size());
    }

    httplib::Server http;
    int port = 0;

private:
    httplib::Server::Handler wrap(httplib::Server::Handler handler)
    {
        return [this, handler](const httplib::Request &req, httplib::Response &res) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back({req.method, req.path, req.target, req.body, req.headers});
            }
            handler(req, res);
        };
    }

    std::thread thread;
    std::mutex mutex;
    std::vector<Seen> seen;
};

// Accepts connections and never answers them.
class SilentServer : public QTcpServer
{
public:
    SilentServer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                socket->setParent(this);
        });
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()); }
};

// A port on which nothing listens: a connection to it is refused.
inline int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}
