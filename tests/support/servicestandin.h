#pragma once

#include "tests/support/standin.h"

#include <QJsonObject>
#include <QMap>
#include <QStringList>

// Plays the service for the program: the beat family, the ringtone
// information and files, and usage events, answered as the service answers
// them, one request per connection. Like the service it forgets a ringtone
// once it is delivered: the beats stop listing it, and its information and
// file are gone (404). Once a beat carried "got", the PC confirms, and a
// ringtone is delivered when a beat confirms it; before, when its file went
// out whole.
class ServiceStandIn : public StandIn
{
public:
    explicit ServiceStandIn(quint16 port = 0);
    ~ServiceStandIn() override;

    // Plays this same service on another server too.
    void install(StandIn &server);

    // What the phone and the operators do.
    void pair(const QString &id, const QString &name);  // named by the next beat answer
    void losePairing();  // every beat is answered with status 5 from now on
    void send(int id, const QString &name, const QByteArray &bytes);
    void setConf(const QString &key, const QString &value);
    void announce(const QString &version, const QString &download);
    // Off: a ringtone stays listed and served however often it went out.
    void setForgetDelivered(bool forget);
    // The answers to the next `count` beats are lost on the way back: the
    // beat is read, its confirmations taken, and its answer cut short.
    void loseBeatAnswers(int count);
    // Where the information sends the program for a ringtone's file;
    // fileAddress() by default.
    void setFileAddress(std::function<QString(int id)> address);
    QString fileAddress(int id) const;

    // What the service saw.
    QStringList waiting() const;
    QStringList events() const;
    int beats() const;
    QList<QJsonObject> bodies(const QByteArray &path) const;
    int fileRequests(int id) const;

    // The service's own answers, for a route that puts a fault before them.
    static const QString FilePattern;  // captures the ringtone id
    static QString filePath(int id);
    void beat(Exchange &exchange);
    void information(Exchange &exchange, int id);
    void file(Exchange &exchange, int id);
    // The file of a ringtone still waiting; false when there is none.
    bool waitingFile(int id, QByteArray *bytes) const;
    // Its file went out whole: delivered, unless the PC confirms.
    void delivered(int id);

private:
    struct Tone
    {
        QString name;
        QByteArray bytes;
        bool delivered = false;
    };
    QJsonObject withUpdate(QJsonObject answer) const;
    void confirmations(const QJsonObject &body);

    mutable QMutex state;
    QMap<int, Tone> tones;
    QMap<QString, QString> pairings;
    QJsonObject conf;
    QJsonObject update;
    bool paired = true;
    bool forgetDelivered = true;
    bool confirming = false;
    int lostAnswers = 0;
    std::function<QString(int)> address;
};
