#include "service/download.h"

#include <QByteArray>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

#include "service/channel.h"
#include "service/json.h"
#include "service/ringtonefolder.h"
#include "service/webaddress.h"

namespace {

// The address a file request was made for; the reply's own URL changes
// when the server redirects.
constexpr char KeyProperty[] = "belfryKey";

// The length the final response announced. After a followed redirect Qt
// keeps the raw headers of every response on the way, joining a repeated one
// with ", ", and its parsed length can still be the redirect's own 0: a whole
// ringtone would then be refused as cut short, and the service, which saw it
// go out, would not offer it again.
QByteArray finalContentLength(const QNetworkReply *reply)
{
    const QByteArray joined = reply->rawHeader("Content-Length");
    return joined.mid(joined.lastIndexOf(',') + 1).trimmed();
}

// The ringtone an information request was made for; the original request's
// address, since a followed redirect changes the reply's.
int requestedRingtone(const QNetworkReply *reply)
{
    return QUrlQuery(reply->request().url()).queryItemValue(QStringLiteral("ringtoneid")).toInt();
}

}  // namespace

Download::Download(const QDir &folder, const QString &ringtoneBase, QObject *parent)
    : QObject(parent)
    , infoManager(new Channel(Service::ShortTimeout, true, Service::MaxAnswerSize, this))
    , fileManager(new Channel(Service::LongTimeout, true, Service::MaxFileSize, this))
    , shelf(new RingtoneFolder(folder, this))
    , ringtoneBase(ringtoneBase)
{
    connect(shelf, &RingtoneFolder::info, this, &Download::info);
    infoManager->setObjectName(QStringLiteral("information"));
    fileManager->setObjectName(QStringLiteral("files"));
    connect(infoManager, &QNetworkAccessManager::finished, this, &Download::informationReplied);
    connect(fileManager, &QNetworkAccessManager::finished, this, &Download::fileReplied);
}

Download::~Download() = default;

bool Download::inFlight(int fullname) const
{
    if (asking.contains(fullname))
        return true;
    for (const Pending &entry : pending)
        if (entry.fullname == fullname)
            return true;
    return false;
}

void Download::get(int fullname)
{
    if (fullname <= 0 || inFlight(fullname))
        return;
    asking.insert(fullname);
    infoManager->get(QNetworkRequest(
        QUrl(QString::fromLatin1(Service::RingtoneTemplate).arg(ringtoneBase, QString::number(fullname)))));
}

// Every file request leaves through here, so none escapes the address check.
bool Download::fetch(const QUrl &url, const QString &key)
{
    if (!isWebAddress(url)) {
        qDebug() << "ringtone file address refused:" << key;
        return false;
    }
    if (pending.isEmpty())
        shelf->removeLeftovers();
    QNetworkReply *reply = fileManager->get(QNetworkRequest(url));
    reply->setProperty(KeyProperty, key);
    return true;
}

void Download::informationReplied(QNetworkReply *reply)
{
    const int fullname = requestedRingtone(reply);
    asking.remove(fullname);
    if (reply->error() != QNetworkReply::NoError || !Channel::accepted(reply)) {
        QString text = Channel::failure(reply);
        if (reply->error() == QNetworkReply::NoError)
            text = QStringLiteral("HTTP status %1").arg(Channel::status(reply));
        qDebug() << "ringtone information request failed:" << reply->url().toString() << text;
        emit info(QStringLiteral("fullname"), text);
        reply->close();
        reply->deleteLater();
        return;
    }
    const QByteArray body = reply->readAll();
    const QString source = reply->url().toString();
    reply->close();
    reply->deleteLater();

    QString problem;
    const QJsonDocument document = Service::parseJson(body, &problem);
    if (!problem.isEmpty()) {
        qDebug() << "ringtone information from" << source << "is not JSON:" << problem;
        return;
    }
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("status")).toInt(0) != 0 || !object.contains(QStringLiteral("data"))) {
        qDebug() << "ringtone information refused:" << source;
        emit info(QStringLiteral("fullname"), QStringLiteral("invalid fullname"));
        return;
    }
    const QJsonValue data = object.value(QStringLiteral("data"));
    if (!data.isObject()) {
        qDebug() << "ringtone information without a data object:" << source;
        emit info(QStringLiteral("json"), QString());
        return;
    }
    const QJsonObject record = data.toObject();
    if (!record.contains(QStringLiteral("download_url")) || !record.contains(QStringLiteral("name"))) {
        qDebug() << "ringtone information incomplete:" << source;
        emit info(QStringLiteral("fullname"), QStringLiteral("no complete info"));
        return;
    }
    const QString address = record.value(QStringLiteral("download_url")).toString();
    const QString name = record.value(QStringLiteral("name")).toString();
    if (pending.contains(address))
        return;
    if (!fetch(QUrl(address), address)) {
        emit info(QStringLiteral("fullname"), QStringLiteral("invalid download address"));
        return;
    }
    pending.insert(address, {name, fullname});
    emit add(address, name);
}

void Download::fileReplied(QNetworkReply *reply)
{
    const QVariant mark = reply->property(KeyProperty);
    const QString key = mark.isValid() ? mark.toString() : reply->url().toString();
    const Pending entry = pending.take(key);
    const QString &name = entry.name;

    QString problem;
    const int status = Channel::status(reply);
    if (reply->error() != QNetworkReply::NoError) {
        problem = Channel::failure(reply);
    } else if (!Channel::accepted(reply)) {
        problem = QStringLiteral("HTTP status %1").arg(status);
    } else {
        // A connection closed early can still end without an error; a short
        // body must not become a short ringtone.
        bool known = false;
        const qint64 length = finalContentLength(reply).toLongLong(&known);
        const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
        if (known && (encoding.isEmpty() || encoding == "identity") && length != reply->bytesAvailable())
            problem
                = QStringLiteral("incomplete body: %1 of %2 bytes").arg(reply->bytesAvailable()).arg(length);
    }

    if (!problem.isEmpty()) {
        qDebug() << "ringtone file" << key << "failed:" << problem;
        emit info(QStringLiteral("download"), problem);
        emit failed(key, name);
    } else if (shelf->put(reply, name, key)) {
        emit finish(key, name);
        if (entry.fullname > 0)
            emit stored(entry.fullname);
    } else {
        emit failed(key, name);
    }
    if (pending.isEmpty())
        shelf->tidy();
    reply->close();
    reply->deleteLater();
}
