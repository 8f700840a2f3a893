#include "tests/support/standin.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

// Lives in the stand-in's thread and owns its connections.
class Listener : public QTcpServer
{
public:
    explicit Listener(StandIn *server)
        : server(server)
    { }

    // The parent of every connection.
    QObject *const connections = new QObject(this);

protected:
    void incomingConnection(qintptr handle) override;

private:
    StandIn *server;
};

// One client's connection: reads its requests one after the other and hands
// each to the stand-in while the previous one has been answered.
class Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, StandIn *server, bool keepAlive, QObject *parent)
        : QObject(parent)
        , socket(socket)
        , keepAlive(keepAlive)
        , server(server)
    {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readable);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::written);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }
    ~Connection() override
    {
        if (current && !current->ended && current->sent)
            flushing.push_back(current->sent);
        for (const auto &done : flushing)
            done(false);
        current.reset();
    }

    void readable()
    {
        buffer += socket->readAll();
        Seen request;
        while (!current && !closing && parse(request))
            server->received(this, std::move(request));
    }

    // The current answer is complete.
    void ended()
    {
        if (current->sent)
            flushing.push_back(current->sent);
        written();
        if (!keepAlive)
            return close();
        // Not at once: the handler that ended it may still be running.
        QTimer::singleShot(0, this, [this] {
            current.reset();
            readable();
        });
    }
    void close()
    {
        closing = true;
        socket->disconnectFromHost();
    }

    QTcpSocket *socket;
    std::unique_ptr<Exchange> current;
    bool keepAlive;

private:
    void written()
    {
        if (socket->bytesToWrite() > 0)
            return;
        for (const auto &done : flushing)
            done(true);
        flushing.clear();
    }

    bool parse(Seen &request)
    {
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return false;
        QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> first = lines.takeFirst().trimmed().split(' ');
        request = Seen();
        request.method = first.value(0);
        request.target = first.value(1);
        const int query = request.target.indexOf('?');
        request.path = query < 0 ? request.target : request.target.left(query);
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        const int length = request.header("Content-Length").toInt();
        if (buffer.size() < headEnd + 4 + length)
            return false;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        return true;
    }

    StandIn *server;
    QByteArray buffer;
    bool closing = false;
    std::vector<std::function<void(bool)>> flushing;
};

void Listener::incomingConnection(qintptr handle)
{
    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(handle);
    QMutexLocker lock(&server->mutex);
    new Connection(socket, server, server->keepAlive, connections);
}

QString Seen::header(const char *name) const
{
    for (const auto &field : headers)
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(field.second);
    return QString();
}

QString Seen::query(const QString &key) const
{
    const int mark = target.indexOf('?');
    return mark < 0
        ? QString()
        : QUrlQuery(QString::fromUtf8(target.mid(mark + 1))).queryItemValue(key, QUrl::FullyDecoded);
}

QJsonObject Seen::json() const
{
    return QJsonDocument::fromJson(body).object();
}

Exchange::Exchange(Connection *connection, Seen request, QStringList captured)
    : request(std::move(request))
    , connection(connection)
    , captured(std::move(captured))
{ }

Exchange::~Exchange() = default;

void Exchange::answer(int status, const QByteArray &body, const QByteArray &type)
{
    begin(status, {"Content-Type: " + type, "Content-Length: " + QByteArray::number(body.size())});
    write(body);
    end();
}

void Exchange::redirect(const QByteArray &location)
{
    begin(302, {"Location: " + location, "Content-Length: 0"});
    end();
}

void Exchange::begin(int status, const QByteArrayList &headers)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Stand-in\r\n";
    for (const QByteArray &line : headers)
        head += line + "\r\n";
    write(head + (connection->keepAlive ? "\r\n" : "Connection: close\r\n\r\n"));
}

void Exchange::write(const QByteArray &bytes)
{
    connection->socket->write(bytes);
}

void Exchange::end()
{
    ended = true;
    connection->ended();
}

void Exchange::close()
{
    connection->close();
}

void Exchange::hold(std::function<bool()> until, std::function<void(Exchange &)> then)
{
    // The timer belongs to the connection: it goes when the client does.
    auto *timer = new QTimer(connection);
    QObject::connect(timer, &QTimer::timeout, connection, [this, timer, until, then] {
        if (!until())
            return;
        timer->stop();
        timer->deleteLater();
        then(*this);
    });
    timer->start(10);
}

Handler answerWhenOpen(const std::atomic<bool> &gate, const QByteArray &body)
{
    return [&gate, body](Exchange &exchange) {
        exchange.hold(
            [&gate] {
                return gate.load();
            },
            [body](Exchange &held) {
                held.answer(200, body);
            });
    };
}

void Exchange::whenSent(std::function<void(bool whole)> done)
{
    sent = std::move(done);
}

StandIn::StandIn(quint16 port)
    : listening(port)
    , listener(new Listener(this))
{
    listener->moveToThread(&thread);
    thread.start();
    listen();
}

StandIn::~StandIn()
{
    shutdown();
}

void StandIn::shutdown()
{
    if (!listener)
        return;
    QMetaObject::invokeMethod(
        listener,
        [this] {
            delete listener;
        },
        Qt::BlockingQueuedConnection);
    listener = nullptr;
    thread.quit();
    thread.wait();
}

QString StandIn::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listening);
}

void StandIn::route(const QByteArray &method, const QString &pattern, Handler handler)
{
    QMutexLocker lock(&mutex);
    routes.push_back({method, pattern, std::move(handler)});
}

void StandIn::setKeepAlive(bool keep)
{
    QMutexLocker lock(&mutex);
    keepAlive = keep;
}

void StandIn::watch(std::function<void(const Seen &)> watching)
{
    QMutexLocker lock(&mutex);
    watcher = std::move(watching);
}

void StandIn::stop()
{
    QMetaObject::invokeMethod(
        listener,
        [this] {
            listener->close();
            const QObjectList all = listener->connections->children();
            qDeleteAll(all);
        },
        Qt::BlockingQueuedConnection);
}

void StandIn::listen()
{
    bool ok = false;
    QMetaObject::invokeMethod(
        listener,
        [this, &ok] {
            ok = listener->listen(QHostAddress::LocalHost, listening);
        },
        Qt::BlockingQueuedConnection);
    if (ok)
        listening = listener->serverPort();
}

std::vector<Seen> StandIn::requests() const
{
    QMutexLocker lock(&mutex);
    return seen;
}

int StandIn::count() const
{
    QMutexLocker lock(&mutex);
    return int(seen.size());
}

void StandIn::received(Connection *connection, Seen request)
{
    Handler handler;
    QStringList captured;
    std::function<void(const Seen &)> watching;
    {
        QMutexLocker lock(&mutex);
        seen.push_back(request);
        watching = watcher;
        const QString path = QString::fromUtf8(request.path);
        for (auto it = routes.rbegin(); it != routes.rend() && !handler; ++it) {
            const QRegularExpressionMatch match
                = QRegularExpression(QRegularExpression::anchoredPattern(it->pattern)).match(path);
            if ((it->method.isEmpty() || it->method == request.method) && match.hasMatch()) {
                handler = it->handler;
                captured = match.capturedTexts();
            }
        }
    }
    if (watching)
        watching(request);
    connection->current = std::make_unique<Exchange>(connection, std::move(request), captured);
    if (handler)
        handler(*connection->current);
    else
        connection->current->answer(404, {}, "text/plain");
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}
