#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Reports problems of the service client back to the service as usage
// events, one small GET request per event. Nothing is expected back.
class FeedBack : public QObject
{
    Q_OBJECT

public:
    FeedBack(const QString &version, const QString &host, const QString &pcid, QObject *parent = nullptr);
    ~FeedBack() override;

    // Connectable from the two-string info signals: only the stage word is sent.
    void send(const QString &event);

signals:
    void info(QString s, QString i);

private:
    void replied(QNetworkReply *reply);

    QNetworkAccessManager *manager;
    QString version;
    QString host;
    QString pcid;
};
