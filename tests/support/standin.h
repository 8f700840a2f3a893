#pragma once

// An HTTP/1.1 server on 127.0.0.1 that plays a party of the program's
// network: it answers in a thread of its own, so a test may block its own
// thread (waiting for a process, say) and still be answered, and it records
// every request it receives. Qt Core and Network only, so it runs wherever the
// program does.

#include <QByteArray>
#include <QByteArrayList>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class Connection;
class Listener;

// One request as it was received.
struct Seen
{
    QByteArray method;
    QByteArray path;
    QByteArray target;  // path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // Empty when absent; names in any case.
    QString header(const char *name) const;
    // A query value, decoded.
    QString query(const QString &key) const;
    QJsonObject json() const;
};

// A request being answered. A handler answers at once, holds the answer back,
// or takes the connection to misbehave; one that does none of these leaves
// the client waiting.
class Exchange
{
public:
    Exchange(Connection *connection, Seen request, QStringList captured);
    ~Exchange();

    const Seen request;
    // A group captured by the route's path pattern.
    QString match(int n) const { return captured.value(n); }

    // A whole answer with its Content-Length.
    void answer(int status, const QByteArray &body = {}, const QByteArray &type = "application/json");
    void redirect(const QByteArray &location);

    // Piece by piece: the status line and the given header lines, then any
    // bytes at all; end() says the answer is complete, close() drops the
    // connection after what was written.
    void begin(int status, const QByteArrayList &headers);
    void write(const QByteArray &bytes);
    void end();
    void close();

    // Runs `then` once `until` holds, asked every 10 ms in the server's thread.
    void hold(std::function<bool()> until, std::function<void(Exchange &)> then);
    // Called once the answer left whole (true) or the connection ended before
    // (false). Set it before end().
    void whenSent(std::function<void(bool whole)> done);

private:
    friend class Connection;
    Connection *connection;
    QStringList captured;
    std::function<void(bool)> sent;
    bool ended = false;
};

using Handler = std::function<void(Exchange &)>;

// Answers with `body` once `gate` is open.
Handler answerWhenOpen(const std::atomic<bool> &gate, const QByteArray &body);

class StandIn
{
public:
    // Port 0 takes a free one; a given port lets a test restart "the same" server.
    explicit StandIn(quint16 port = 0);
    virtual ~StandIn();
    StandIn(const StandIn &) = delete;
    StandIn &operator=(const StandIn &) = delete;

    quint16 port() const { return listening; }
    QString base() const;

    // `pattern` is a regular expression for the whole path; an empty method
    // takes any. A later route goes before an earlier one that also matches;
    // a request that none takes gets a 404.
    void route(const QByteArray &method, const QString &pattern, Handler handler);
    // Serves more than one request per connection (the default), or closes
    // each connection after its answer.
    void setKeepAlive(bool keep);
    // Called in the server's thread with every request, as it is recorded.
    void watch(std::function<void(const Seen &)> watcher);

    // Stops listening and drops every connection; listen() takes the same port again.
    void stop();
    void listen();

    std::vector<Seen> requests() const;
    int count() const;

protected:
    // Ends the server's thread; a class whose routes use its own members
    // calls it first thing in its destructor.
    void shutdown();

private:
    friend class Connection;
    friend class Listener;
    struct Route
    {
        QByteArray method;
        QString pattern;
        Handler handler;
    };
    void received(Connection *connection, Seen request);

    mutable QMutex mutex;
    std::vector<Route> routes;
    std::vector<Seen> seen;
    std::function<void(const Seen &)> watcher;
    bool keepAlive = true;
    quint16 listening = 0;
    QThread thread;
    Listener *listener = nullptr;
};

// Accepts connections and never answers them.
class SilentServer : public StandIn
{
public:
    SilentServer()
    {
        route({}, QStringLiteral(".*"), [](Exchange &) {});
    }
};

// A port on which nothing listens: a connection to it is refused.
quint16 closedPort();
