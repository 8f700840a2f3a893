#pragma once

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include "fuzz/fuzz.h"

// Service answers for the network clients' reply handlers, without a network.
namespace Fuzz {

// A finished HTTP 200 reply holding `body`, as the manager would hand it over.
class Reply : public QNetworkReply
{
public:
    Reply(const QUrl &url, const QByteArray &body)
        : body(body)
    {
        setRequest(QNetworkRequest(url));
        setUrl(url);
        setOperation(QNetworkAccessManager::GetOperation);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        setError(NoError, QString());
        open(ReadOnly | Unbuffered);
        setFinished(true);
    }

    void abort() override { }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return body.size() - offset + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, body.size() - offset);
        if (n <= 0)
            return -1;
        memcpy(data, body.constData() + offset, size_t(n));
        offset += int(n);
        return n;
    }

private:
    QByteArray body;
    int offset = 0;
};

// Hands `body` to whatever listens to the manager's finished signal, then
// releases what the handlers gave up with deleteLater().
inline void answer(QNetworkAccessManager *manager, const QUrl &url, const QByteArray &body)
{
    emit manager->finished(new Reply(url, body));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace Fuzz
