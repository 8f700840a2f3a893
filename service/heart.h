#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;

// Client of the heartbeat family: beat, remote configuration, update check
// and unpair. It owns no timer and decides nothing about the user interface;
// every answer of the service becomes signals.
class Heart : public QObject
{
    Q_OBJECT

public:
    Heart(const QUrl &host, const QString &pcid, const QString &version, QObject *parent = nullptr);
    ~Heart() override;

signals:
    void get(int fullname);
    void network(int err);
    void info(QString e, QString i);
    void config(QString key, QString value);
    void device(QString ida, QString name);
    void update(QMap<QString, QString> &info);
    void paired(bool);

public slots:
    void getConfig();
    void checkUpdate();
    void beat(int pulse);
    void unpair(QStringList idas);
    // The ringtone is in iTunes' folder: every beat says so until one of
    // them is answered.
    void confirm(int fullname);

private:
    void replied(QNetworkReply *reply);
    void answer(const QJsonObject &object);
    QString address(const char *pattern) const;

    // False from an unpair request to its answer: no beat goes out meanwhile.
    bool active;
    // Unpair requests not answered yet.
    int unpairing;
    // Ids stored and not yet confirmed by an answered beat, as the beat sends them.
    QStringList unconfirmed;
    QUrl host;
    QString pcid;
    QString version;
    QString platform;
    QNetworkAccessManager *manager;

    friend class TestHeart;
    friend class TestControl;
};
