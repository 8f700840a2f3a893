#include "tests/support/servicestandin.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray text(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

const QJsonObject Done {{"status", 0}};

}  // namespace

const QString ServiceStandIn::FilePattern = QStringLiteral("/f/(\\d+)\\.m4r");

QString ServiceStandIn::filePath(int id)
{
    return QStringLiteral("/f/%1.m4r").arg(id);
}

ServiceStandIn::ServiceStandIn(quint16 port)
    : StandIn(port)
{
    setKeepAlive(false);
    install(*this);
}

ServiceStandIn::~ServiceStandIn()
{
    shutdown();
}

void ServiceStandIn::install(StandIn &server)
{
    server.route("POST", "/p/v1/heart", [this](Exchange &exchange) {
        beat(exchange);
    });
    server.route("GET", "/p/conf", [this](Exchange &exchange) {
        QMutexLocker lock(&state);
        exchange.answer(200, text(withUpdate({{"status", 0}, {"conf", conf}})));
    });
    server.route("GET", "/p/update", [this](Exchange &exchange) {
        QMutexLocker lock(&state);
        exchange.answer(200, text(withUpdate(Done)));
    });
    for (const char *path : {"/p/v1/unpair", "/p/feedback"})
        server.route({}, QString::fromLatin1(path), [](Exchange &exchange) {
            exchange.answer(200, text(Done));
        });
    server.route("GET", "/apiv1/ringtone", [this](Exchange &exchange) {
        information(exchange, exchange.request.query("ringtoneid").toInt());
    });
    server.route("GET", FilePattern, [this](Exchange &exchange) {
        file(exchange, exchange.match(1).toInt());
    });
}

void ServiceStandIn::beat(Exchange &exchange)
{
    QMutexLocker lock(&state);
    confirmations(exchange.request.json());
    // Cut after the first byte: Qt would send a beat without any answer again.
    if (lostAnswers > 0) {
        --lostAnswers;
        exchange.begin(200, {"Content-Length: 2"});
        exchange.write("{");
        return exchange.close();
    }
    if (!paired)
        return exchange.answer(200, text({{"status", 5}}));
    QJsonArray pair, sync;
    for (auto it = pairings.cbegin(); it != pairings.cend(); ++it)
        pair.append(QJsonObject {{"id", it.key()}, {"name", it.value()}});
    pairings.clear();
    for (auto it = tones.cbegin(); it != tones.cend(); ++it)
        if (!it->delivered)
            sync.append(QString::number(it.key()));
    exchange.answer(200, text({{"status", 0}, {"pair", pair}, {"sync", sync}}));
}

void ServiceStandIn::confirmations(const QJsonObject &body)
{
    if (!body.contains("got"))
        return;
    confirming = true;
    const QJsonArray got = body.value("got").toArray();
    for (const QJsonValue &id : got) {
        const auto tone = tones.find(id.toString().toInt());
        if (forgetDelivered && tone != tones.end())
            tone->delivered = true;
    }
}

QJsonObject ServiceStandIn::withUpdate(QJsonObject answer) const
{
    if (!update.isEmpty())
        answer.insert("update", update);
    return answer;
}

void ServiceStandIn::information(Exchange &exchange, int id)
{
    QString name;
    {
        QMutexLocker lock(&state);
        const auto tone = tones.constFind(id);
        if (tone == tones.cend() || tone->delivered)
            return exchange.answer(404, text({{"status", 1}}));
        name = tone->name;
    }
    const QJsonObject data {{"name", name}, {"download_url", fileAddress(id)}};
    exchange.answer(200, text({{"status", 0}, {"data", data}}));
}

void ServiceStandIn::file(Exchange &exchange, int id)
{
    QByteArray bytes;
    if (!waitingFile(id, &bytes))
        return exchange.answer(404, {}, "text/plain");
    exchange.whenSent([this, id](bool whole) {
        if (whole)
            delivered(id);
    });
    exchange.answer(200, bytes, "audio/mp4");
}

bool ServiceStandIn::waitingFile(int id, QByteArray *bytes) const
{
    QMutexLocker lock(&state);
    const auto tone = tones.constFind(id);
    if (tone == tones.cend() || tone->delivered)
        return false;
    *bytes = tone->bytes;
    return true;
}

void ServiceStandIn::delivered(int id)
{
    QMutexLocker lock(&state);
    if (forgetDelivered && !confirming && tones.contains(id))
        tones[id].delivered = true;
}

void ServiceStandIn::pair(const QString &id, const QString &name)
{
    QMutexLocker lock(&state);
    pairings.insert(id, name);
}

void ServiceStandIn::losePairing()
{
    QMutexLocker lock(&state);
    paired = false;
}

void ServiceStandIn::send(int id, const QString &name, const QByteArray &bytes)
{
    QMutexLocker lock(&state);
    tones.insert(id, {name, bytes});
}

void ServiceStandIn::setConf(const QString &key, const QString &value)
{
    QMutexLocker lock(&state);
    conf.insert(key, value);
}

void ServiceStandIn::announce(const QString &version, const QString &download)
{
    QMutexLocker lock(&state);
    update = {{"version", version}, {"download", download}};
}

void ServiceStandIn::setForgetDelivered(bool forget)
{
    QMutexLocker lock(&state);
    forgetDelivered = forget;
}

void ServiceStandIn::loseBeatAnswers(int count)
{
    QMutexLocker lock(&state);
    lostAnswers = count;
}

void ServiceStandIn::setFileAddress(std::function<QString(int)> chosen)
{
    QMutexLocker lock(&state);
    address = std::move(chosen);
}

QString ServiceStandIn::fileAddress(int id) const
{
    QMutexLocker lock(&state);
    return address ? address(id) : base() + filePath(id);
}

QStringList ServiceStandIn::waiting() const
{
    QMutexLocker lock(&state);
    QStringList ids;
    for (auto it = tones.cbegin(); it != tones.cend(); ++it)
        if (!it->delivered)
            ids << QString::number(it.key());
    return ids;
}

QStringList ServiceStandIn::events() const
{
    QStringList found;
    for (const Seen &seen : requests())
        if (seen.path == "/p/feedback")
            found << seen.query(QStringLiteral("event"));
    return found;
}

int ServiceStandIn::beats() const
{
    return bodies("/p/v1/heart").size();
}

QList<QJsonObject> ServiceStandIn::bodies(const QByteArray &path) const
{
    QList<QJsonObject> found;
    for (const Seen &seen : requests())
        if (seen.path == path)
            found << seen.json();
    return found;
}

int ServiceStandIn::fileRequests(int id) const
{
    const QByteArray path = filePath(id).toUtf8();
    int n = 0;
    for (const Seen &seen : requests())
        n += seen.path == path ? 1 : 0;
    return n;
}
