#pragma once

#include <QDir>
#include <QObject>
#include <QString>

class QFile;
class QIODevice;

// iTunes' automatically-add folder as the downloader fills it. iTunes takes
// whatever appears there at once, half-written or not, so a ringtone is
// written beside the folder first, on its own volume, and renamed in whole
// under a name that is still free.
class RingtoneFolder : public QObject
{
    Q_OBJECT

public:
    explicit RingtoneFolder(const QDir &folder, QObject *parent = nullptr);

    // Before the first file of a batch: what a program killed while writing
    // left behind goes.
    void removeLeftovers();
    // Reads `body` to its end into the folder under the ringtone's name, or
    // the next free numbered one. Every problem but a folder that cannot be
    // made is reported through info; `source` names the file in diagnostics.
    bool put(QIODevice *body, const QString &name, const QString &source);
    // After the last file of a batch: the staging folder goes.
    void tidy();

signals:
    void info(QString s, QString i);

private:
    QString stage(QIODevice *body, const QString &source);
    static bool copyBody(QIODevice *body, QFile &file);
    bool moveIn(const QString &staged, const QString &target, const QString &name, const QString &source);
    QString stagingPath() const;

    QDir folder;
};
