#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "settings/defaults.h"

class QSettings;

// The one persistent store: a per-user INI file. Every key name is shared
// with the service, which can change existing keys remotely through get and
// set; the program itself reads the keys it names through the typed accessors.
class Config : public QObject
{
    Q_OBJECT
public:
    // `folder`: iTunes' automatically-add folder as start-up found it, "."
    // when there is none.
    Config(const QString &organization, const QString &application, const QString &version,
        const QMap<QString, QString> &itunes, const QString &folder, QObject *parent = nullptr);
    ~Config() override;

    QString clientId() const;
    QString version() const;
    QString serviceHost() const;
    QString ringtoneHost() const;
    QString iTunesFolder() const;
    // The newer version the service announced last, and where to get it.
    bool hasUpdate() const;
    QString updateVersion() const;
    QString updateDownload() const;
    void setUpdate(const QString &version, const QString &download);
    // The ringtones stored in iTunes' folder, the last RememberedRingtones of them.
    bool isStored(int fullname) const;
    void rememberStored(int fullname);

public slots:
    QStringList devices(QString group = Belfry::DevicesGroup);
    bool containDevices();
    QString getDevice(QString ida);
    bool delDevice(QString ida);
    bool delAllDevice();
    bool newDevice(QString ida, QString name);
    QVariant get(QString key, QVariant defaultValue = QVariant());
    void set(QString key, QVariant value);
    bool del(QString key);
    bool contains(QString key);
    QString iTunesCMD();
    // Seconds between beats, as the beat timer may use them: a stored value
    // of 4 or less (or none) means 10, and a day is the longest.
    int Pulse();
    void setAccess();
    bool getAccess();

private:
    QString text(QLatin1String key) const;

    QSettings *settings;
};

// The command line that starts iTunes from its install location. A location
// ending in "/" is joined as it is; any other gets a backslash and quotes.
QString iTunesCommand(const QString &installLocation);

// Starts a command line such as iTunesCMD() returns, detached from this
// process; quoted parts (paths with spaces) stay one argument.
bool startCommand(const QString &command);
