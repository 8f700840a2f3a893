#pragma once

#include <QDir>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class RingtoneFolder;

// Turns a ringtone id into an .m4r file in iTunes' automatically-add folder:
// asks the ringtone server for the name and file address, fetches the file
// and moves it, whole, into the folder. Every add is followed by exactly one
// finish or failed.
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

public slots:
    void get(int fullname);

private:
    void informationReplied(QNetworkReply *reply);
    void fileReplied(QNetworkReply *reply);
    bool fetch(const QUrl &url, const QString &key);

    QNetworkAccessManager *infoManager;
    QNetworkAccessManager *fileManager;
    // File address as text -> display name, one entry per file request in flight.
    QMap<QString, QString> pending;
    RingtoneFolder *shelf;
    QString ringtoneBase;
};
