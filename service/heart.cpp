#include "service/heart.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "service/channel.h"
#include "service/json.h"

namespace {
// Marks the unpair request, so its reply is recognised whatever happened to
// it on the way.
constexpr QNetworkRequest::Attribute UnpairMark = QNetworkRequest::User;
// Marks a beat with the confirmations it carries: only its answer settles them.
constexpr QNetworkRequest::Attribute GotMark = QNetworkRequest::Attribute(QNetworkRequest::User + 1);
}  // namespace

Heart::Heart(const QUrl &host, const QString &pcid, const QString &version, QObject *parent)
    : QObject(parent)
    , active(true)
    , unpairing(0)
    , host(host)
    , pcid(pcid)
    , version(version)
    , platform(QString::fromLatin1(Service::Platform))
    , manager(new Channel(Service::ShortTimeout, false, Service::MaxAnswerSize, this))
{
    connect(manager, &QNetworkAccessManager::finished, this, &Heart::replied);
}

Heart::~Heart()
{
    delete manager;
}

QString Heart::address(const char *pattern) const
{
    const QString text = QString::fromLatin1(pattern);
    // Only the query templates carry more than the base.
    if (text.contains(QLatin1String("%1")))
        return text.arg(host.toString(), pcid, version, platform);
    return text.arg(host.toString());
}

void Heart::getConfig()
{
    QNetworkRequest request(QUrl(address(Service::ConfigTemplate)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(Service::UserAgent));
    manager->get(request);
}

void Heart::checkUpdate()
{
    QNetworkRequest request(QUrl(address(Service::UpdateTemplate)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(Service::UserAgent));
    manager->get(request);
}

void Heart::beat(int pulse)
{
    if (!active)
        return;
    QNetworkRequest request(QUrl(address(Service::BeatTemplate)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(Service::UserAgent));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QString::fromLatin1(Service::JsonType));
    QJsonObject body;
    body.insert(QStringLiteral("pcid"), pcid);
    body.insert(QStringLiteral("version"), version);
    body.insert(QStringLiteral("platform"), platform);
    body.insert(QStringLiteral("expire"), pulse);
    // Always there, empty too: it tells the service that this PC confirms,
    // so it keeps a ringtone listed until a beat says it arrived.
    body.insert(QStringLiteral("got"), QJsonArray::fromStringList(unconfirmed));
    request.setAttribute(GotMark, unconfirmed);
    manager->post(request, QJsonDocument(body).toJson());
}

void Heart::confirm(int fullname)
{
    const QString id = QString::number(fullname);
    if (!unconfirmed.contains(id))
        unconfirmed.append(id);
}

void Heart::unpair(QStringList idas)
{
    active = false;
    ++unpairing;
    QNetworkRequest request(QUrl(address(Service::UnpairTemplate)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(Service::UnpairUserAgent));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QString::fromLatin1(Service::JsonType));
    request.setAttribute(UnpairMark, true);
    QJsonObject body;
    body.insert(QStringLiteral("pcid"), pcid);
    body.insert(QStringLiteral("data"), QJsonArray::fromStringList(idas));
    body.insert(QStringLiteral("version"), version);
    body.insert(QStringLiteral("platform"), platform);
    manager->post(request, QJsonDocument(body).toJson());
}

void Heart::replied(QNetworkReply *reply)
{
    // Any answer to the unpair ends the suspension, a failed one too: beats
    // held back for good would leave the program silently dead until restarted.
    // With several unpairs in flight, only the last answer ends it.
    if (reply->request().attribute(UnpairMark).toBool())
        active = --unpairing == 0;

    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError) {
        if (error == QNetworkReply::HostNotFoundError || error == QNetworkReply::NetworkSessionFailedError
            || error == QNetworkReply::UnknownNetworkError) {
            qDebug() << "service unreachable:" << reply->url().toString() << reply->errorString();
            emit network(error);
        } else {
            const QString text = Channel::failure(reply);
            qDebug() << "service request failed:" << reply->url().toString() << text;
            emit info(QStringLiteral("beat"), text);
        }
        reply->close();
        reply->deleteLater();
        return;
    }

    emit network(0);
    const QByteArray body = reply->readAll();
    const QVariant carried = reply->request().attribute(GotMark);
    const bool accepted = Channel::accepted(reply);
    reply->close();
    reply->deleteLater();

    QString problem;
    const QJsonDocument document = Service::parseJson(body, &problem);
    if (!problem.isEmpty()) {
        qDebug() << "service answer is not JSON:" << problem;
        emit info(QStringLiteral("json"), problem);
        return;
    }
    // Settled before the answer is read: an id it lists again is confirmed again.
    if (accepted) {
        const QStringList settled = carried.toStringList();
        for (const QString &id : settled)
            unconfirmed.removeAll(id);
    }
    answer(document.object());
}

void Heart::answer(const QJsonObject &object)
{
    const int status = object.value(QStringLiteral("status")).toInt(0);
    if (status == 5) {
        emit paired(false);
        return;
    }
    if (status != 0) {
        qDebug() << "service answer with status" << status << "ignored";
        return;
    }

    const QJsonValue pair = object.value(QStringLiteral("pair"));
    if (active && pair.isArray()) {
        const QJsonArray devices = pair.toArray();
        for (const QJsonValue &element : devices) {
            const QJsonObject entry = element.toObject();
            if (entry.contains(QStringLiteral("id")) && entry.contains(QStringLiteral("name")))
                emit device(entry.value(QStringLiteral("id")).toString(),
                    entry.value(QStringLiteral("name")).toString());
        }
    }

    const QJsonValue sync = object.value(QStringLiteral("sync"));
    if (active && sync.isArray()) {
        const QJsonArray ids = sync.toArray();
        for (const QJsonValue &element : ids)
            emit get(element.toString().toInt(nullptr, 10));
    }

    const QJsonValue conf = object.value(QStringLiteral("conf"));
    if (conf.isObject()) {
        const QJsonObject settings = conf.toObject();
        for (auto it = settings.constBegin(); it != settings.constEnd(); ++it)
            emit config(it.key(), it.value().toString());
    }

    const QJsonValue announcement = object.value(QStringLiteral("update"));
    if (announcement.isObject()) {
        const QJsonObject members = announcement.toObject();
        QMap<QString, QString> map;
        for (auto it = members.constBegin(); it != members.constEnd(); ++it)
            map.insert(it.key(), it.value().toString());
        if (!map.isEmpty())
            emit update(map);
    }
}
