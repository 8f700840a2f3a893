#include "service/channel.h"

#include <QDebug>
#include <QNetworkReply>

namespace {
constexpr char TooLargeProperty[] = "belfryTooLarge";
}

Channel::Channel(int timeout, bool follow, qint64 limit, QObject *parent)
    : QNetworkAccessManager(parent)
    , followRedirects(follow)
    , maxBody(limit)
{
    setTransferTimeout(timeout);
    // Qt 5.15 follows nothing by default and reports a 3xx as success, so a
    // moved ringtone would be stored as the redirect page's empty body.
    setRedirectPolicy(
        follow ? QNetworkRequest::NoLessSafeRedirectPolicy : QNetworkRequest::ManualRedirectPolicy);
}

bool Channel::tooLarge(const QNetworkReply *reply)
{
    return reply->property(TooLargeProperty).toBool();
}

QString Channel::failure(const QNetworkReply *reply)
{
    if (tooLarge(reply))
        return QStringLiteral("reply too large");
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("timed out: %1").arg(reply->errorString());
    return reply->errorString();
}

int Channel::status(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool Channel::accepted(const QNetworkReply *reply)
{
    const int code = status(reply);
    return code >= 200 && code < 300;
}

QNetworkReply *Channel::createRequest(Operation op, const QNetworkRequest &original, QIODevice *outgoingData)
{
    QNetworkRequest request(original);
    if (followRedirects)
        request.setMaximumRedirectsAllowed(qMin(request.maximumRedirectsAllowed(), Service::MaxRedirects));
    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, outgoingData);
    if (maxBody > 0) {
        // readyRead, not downloadProgress: Qt chokes the progress signal, so a
        // fast body could be complete before the first progress report.
        const qint64 limit = maxBody;
        connect(reply, &QNetworkReply::readyRead, reply, [reply, limit] {
            if (reply->bytesAvailable() <= limit || reply->property(TooLargeProperty).toBool())
                return;
            qDebug() << "reply from" << reply->url().toString() << "exceeds" << limit << "bytes, aborted";
            reply->setProperty(TooLargeProperty, true);
            reply->abort();
        });
    }
    return reply;
}
