#include "settings/config.h"

#include "settings/defaults.h"

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QUuid>

namespace {

// The beat timer counts milliseconds in an int: a longer pulse would overflow
// it, and a timer that does not start never beats again.
constexpr int MaxPulse = 86400;

QString newClientId()
{
    // The phone app expects 36 characters with the version digit replaced by
    // R; the service tells our ids apart from other clients' by that letter.
    QString id = QUuid::createUuid().toString();
    id.remove(QLatin1Char('{'));
    id.remove(QLatin1Char('}'));
    id[14] = QLatin1Char('R');
    return id;
}

}  // namespace

QString iTunesCommand(const QString &installLocation)
{
    if (installLocation.endsWith(QLatin1Char('/')))
        return QStringLiteral("%0iTunes.exe").arg(installLocation);
    return QLatin1Char('"') + installLocation + QStringLiteral("\\iTunes.exe\"");
}

bool startCommand(const QString &command)
{
    QStringList arguments = QProcess::splitCommand(command);
    if (arguments.isEmpty())
        return false;
    const QString program = arguments.takeFirst();
    return QProcess::startDetached(program, arguments);
}

Config::Config(const QString &organization, const QString &application, const QString &version,
    const QMap<QString, QString> &itunes, const QString &folder, QObject *parent)
    : QObject(parent)
    , settings(new QSettings(QSettings::IniFormat, QSettings::UserScope, organization, application))
{
    // An empty id (a hand-edited or damaged file) names no socket for the
    // single-instance guard and cannot be paired: treat it as missing.
    if (settings->value(Belfry::ClientIdKey).toString().trimmed().isEmpty()) {
        if (settings->contains(Belfry::ClientIdKey))
            qDebug() << "the client id in" << settings->fileName() << "is empty; making a new one";
        settings->setValue(Belfry::ClientIdKey, newClientId());
    }

    if (!settings->contains(Belfry::VersionKey) || settings->value(Belfry::VersionKey) != QVariant(version)) {
        settings->remove(Belfry::UpdateVersionKey);
        settings->remove(Belfry::UpdateDownloadKey);
        settings->setValue(Belfry::ApplicationKey, application);
        settings->setValue(Belfry::VersionKey, version);
        // The key is spelled this way in every settings file already out there.
        settings->setValue(Belfry::OrganizationKey, organization);
        settings->setValue(Belfry::PulseKey, 5);
        settings->setValue(Belfry::HomePageKey, QString::fromLatin1(Belfry::HomePage));
        for (auto it = itunes.cbegin(); it != itunes.cend(); ++it)
            settings->setValue(Belfry::ITunesGroup + QLatin1Char('/') + it.key(), it.value());
        settings->setValue(Belfry::ITunesFolderKey, folder);
        settings->setValue(Belfry::ServiceHostKey, QString::fromLatin1(Belfry::ServiceHost));
        settings->setValue(Belfry::RingtoneHostKey, QString::fromLatin1(Belfry::RingtoneHost));
    }

    // The folder may have appeared (iTunes initialised since) or moved.
    const QString stored = iTunesFolder();
    if (stored.isEmpty() || stored == QLatin1String(".") || !QFile::exists(stored))
        settings->setValue(Belfry::ITunesFolderKey, folder);

    // Start-up may end without an event loop (second instance), which is when
    // QSettings would otherwise write back: make the first-start keys durable now.
    settings->sync();
}

Config::~Config()
{
    delete settings;
}

QString Config::text(QLatin1String key) const
{
    return settings->value(key).toString();
}

QString Config::clientId() const
{
    return text(Belfry::ClientIdKey);
}

QString Config::version() const
{
    return text(Belfry::VersionKey);
}

QString Config::serviceHost() const
{
    return text(Belfry::ServiceHostKey);
}

QString Config::ringtoneHost() const
{
    return text(Belfry::RingtoneHostKey);
}

QString Config::iTunesFolder() const
{
    return text(Belfry::ITunesFolderKey);
}

bool Config::hasUpdate() const
{
    return settings->contains(Belfry::UpdateVersionKey) && settings->contains(Belfry::UpdateDownloadKey);
}

QString Config::updateVersion() const
{
    return text(Belfry::UpdateVersionKey);
}

QString Config::updateDownload() const
{
    return text(Belfry::UpdateDownloadKey);
}

void Config::setUpdate(const QString &version, const QString &download)
{
    settings->setValue(Belfry::UpdateVersionKey, version);
    settings->setValue(Belfry::UpdateDownloadKey, download);
    settings->setValue(Belfry::UpdateAccessKey, true);
}

bool Config::isStored(int fullname) const
{
    return settings->value(Belfry::StoredKey).toStringList().contains(QString::number(fullname));
}

void Config::rememberStored(int fullname)
{
    const QString id = QString::number(fullname);
    QStringList ids = settings->value(Belfry::StoredKey).toStringList();
    ids.removeAll(id);
    ids.append(id);
    while (ids.size() > Belfry::RememberedRingtones)
        ids.removeFirst();
    settings->setValue(Belfry::StoredKey, ids);
    // At once, not at the next turn of the event loop: a program killed in
    // between would fetch the ringtone again after its restart.
    settings->sync();
}

QStringList Config::devices(QString group)
{
    settings->beginGroup(group);
    const QStringList keys = settings->childKeys();
    settings->endGroup();
    return keys;
}

bool Config::containDevices()
{
    return !devices().isEmpty();
}

QString Config::getDevice(QString ida)
{
    settings->beginGroup(Belfry::DevicesGroup);
    const QString name = settings->value(ida).toString();
    settings->endGroup();
    return name;
}

bool Config::delDevice(QString ida)
{
    settings->beginGroup(Belfry::DevicesGroup);
    settings->remove(ida);
    settings->endGroup();
    return true;
}

bool Config::delAllDevice()
{
    const QStringList keys = devices();
    for (const QString &key : keys)
        delDevice(key);
    return true;
}

bool Config::newDevice(QString ida, QString name)
{
    // Only the phone paired last is remembered: pairing a new phone replaces it.
    settings->remove(Belfry::DevicesGroup);
    settings->beginGroup(Belfry::DevicesGroup);
    settings->setValue(ida, name);
    settings->endGroup();
    return true;
}

QVariant Config::get(QString key, QVariant defaultValue)
{
    return settings->value(key, defaultValue);
}

void Config::set(QString key, QVariant value)
{
    settings->setValue(key, value);
}

bool Config::del(QString key)
{
    settings->remove(key);
    return true;
}

bool Config::contains(QString key)
{
    return settings->contains(key);
}

QString Config::iTunesCMD()
{
    const QString command
        = iTunesCommand(settings->value(Belfry::InstallLocationKey, QString()).toString());
#ifdef Q_OS_WIN
    return command;
#else
    // Off Windows, iTunes only exists inside Wine.
    return QStringLiteral("wine ") + command;
#endif
}

int Config::Pulse()
{
    const int pulse = settings->value(Belfry::PulseKey).toInt();
    if (pulse <= 4)
        return 10;
    return pulse > MaxPulse ? MaxPulse : pulse;
}

void Config::setAccess()
{
    settings->setValue(Belfry::AccessKey, true);
}

bool Config::getAccess()
{
    return settings->value(Belfry::AccessKey, false).toBool();
}
