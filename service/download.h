#pragma once

#include <QDir>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class RingtoneFolder;

// Turns a ringtone id into an .m4r file in iTunes' automatically-add folder:
// asks the ringtone server for the name and file address, fetches the file
// and moves it, whole, into the folder. Every add is followed by exactly one
// finish or failed, and a finish by stored with the ringtone's id.
class Download : public QObject
{
    Q_OBJECT

public:
    Download(const QDir &folder, const QString &ringtoneBase, QObject *parent = nullptr);
    ~Download() override;

signals:
    void info(QString s, QString i);
    void add(QString url, QString name);
    void finish(QString url, QString name);
    void failed(QString url, QString name);
    void stored(int fullname);

public slots:
    void get(int fullname);

private:
    void informationReplied(QNetworkReply *reply);
    void fileReplied(QNetworkReply *reply);
    bool fetch(const QUrl &url, const QString &key);

    QNetworkAccessManager *infoManager;
    QNetworkAccessManager *fileManager;
    struct Pending
    {
        QString name;
        int fullname = 0;
    };
    bool inFlight(int fullname) const;

    // File address as text -> what it is, one entry per file request in flight.
    QMap<QString, Pending> pending;
    // Ids whose information request is in flight. The service lists a
    // ringtone until the PC confirms it, so it comes again while it is on
    // its way; a second request could store it twice.
    QSet<int> asking;
    RingtoneFolder *shelf;
    QString ringtoneBase;
};
