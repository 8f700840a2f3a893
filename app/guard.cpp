#include "app/guard.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>

bool anotherInstanceAnswers(const QString &name)
{
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(SocketTimeout))
        return false;
    // The running instance comes forward and drops the connection.
    socket.waitForDisconnected(SocketTimeout);
    return true;
}

// The client id comes from the settings file, whose keys the service may
// rewrite. A name with a slash is a socket path to QLocalServer, and
// removeServer() deletes whatever file is there: keep the name a plain name.
QString serverName(const QString &pcid)
{
    QString name = pcid;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QLatin1Char('\\'), QLatin1Char('_'));
    return name;
}

QLocalServer *listenAsRunningInstance(const QString &name, QObject *parent)
{
    auto *server = new QLocalServer(parent);
    // On Windows a pipe name is machine-wide: keep other users' starts out.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // A crashed instance leaves its socket behind.
    QLocalServer::removeServer(name);
    if (!server->listen(name) && server->serverError() == QAbstractSocket::AddressInUseError) {
        QLocalServer::removeServer(name);
        if (!server->listen(name))
            qDebug() << "single-instance guard not listening:" << server->errorString();
    }
    return server;
}

bool asksToQuit(QLocalSocket *socket)
{
    if (socket->bytesAvailable() < qint64(sizeof QuitRequest - 1))
        socket->waitForReadyRead(RequestTimeout);
    return socket->read(sizeof QuitRequest - 1) == QuitRequest;
}
