#include "service/feedback.h"

#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "service/channel.h"

FeedBack::FeedBack(const QString &version, const QString &host, const QString &pcid, QObject *parent)
    : QObject(parent)
    , manager(new Channel(Service::LongTimeout, false, Service::MaxAnswerSize, this))
    , version(version)
    , host(host)
    , pcid(pcid)
{
    connect(manager, &QNetworkAccessManager::finished, this, &FeedBack::replied);
}

FeedBack::~FeedBack() = default;

void FeedBack::send(const QString &event)
{
    const QUrl url(QString::fromLatin1(Service::FeedbackTemplate).arg(host, pcid, version, event));
    manager->get(QNetworkRequest(url));
}

void FeedBack::replied(QNetworkReply *reply)
{
    const bool accepted = Channel::accepted(reply);
    if (Channel::tooLarge(reply) && accepted) {
        // The service took the event; the body it sent back was cut only
        // because nobody reads it.
    } else if (reply->error() != QNetworkReply::NoError) {
        const QString text = Channel::failure(reply);
        qDebug() << "usage event not delivered:" << reply->url().toString() << text;
        emit info(QStringLiteral("error"), text);
    } else if (!accepted) {
        // Qt reports 4xx and 5xx itself; a 3xx arrives as success but delivered nothing.
        qDebug() << "usage event not delivered:" << reply->url().toString() << "HTTP status"
                 << Channel::status(reply);
        emit info(QStringLiteral("error"), QStringLiteral("HTTP status %1").arg(Channel::status(reply)));
    }
    reply->close();
    reply->deleteLater();
}
