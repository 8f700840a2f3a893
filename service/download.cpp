#include "service/download.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>

#include "service/channel.h"
#include "service/filename.h"
#include "service/json.h"
#include "service/webaddress.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 ChunkSize = 81920;
// A chunk that the disk keeps refusing is not retried for ever.
constexpr int MaxRetries = 2;
// Nor a name that keeps being taken between the check and the move.
constexpr int MaxNameRaces = 8;
// Beside the automatically-add folder, never inside it: iTunes takes
// whatever appears in that folder at once, half-written or not. Never in
// the system temp folder either: that may be another volume, and a move
// across volumes is a copy, which iTunes can take half-written too.
constexpr char StagingFolder[] = ".belfry-staging";
constexpr char StagedPattern[] = "*.part";
// The address a file request was made for; the reply's own URL changes
// when the server redirects.
constexpr char KeyProperty[] = "belfryKey";

enum class Moved { Done, Taken, Failed };

// Moves a file onto a name that must still be free, without copying.
// QFile::rename copies whenever the plain rename fails: across volumes the
// ringtone then grows in the watched folder, and onto a name that another
// program took a moment ago it overwrites that program's file.
Moved moveToFreeName(const QString &from, const QString &to, QString &why)
{
#ifdef Q_OS_WIN
    const auto extended = [](const QString &path) {
        return RingtoneFile::extendedLengthPath(QFileInfo(path).absoluteFilePath()).toStdWString();
    };
    const std::wstring source = extended(from);
    const std::wstring target = extended(to);
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH))
        return Moved::Done;
    const DWORD code = GetLastError();
    why = qt_error_string(int(code));
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS ? Moved::Taken : Moved::Failed;
#else
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return Moved::Done;
    // A file system that cannot refuse to replace in a rename: a hard link
    // refuses a taken name as well.
    if ((errno == EINVAL || errno == ENOSYS) && ::link(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return Moved::Done;
    }
    const int code = errno;
    why = qt_error_string(code);
    return code == EEXIST ? Moved::Taken : Moved::Failed;
#endif
}

// The length the final response announced. After a followed redirect Qt
// keeps the raw headers of every response on the way, joining a repeated one
// with ", ", and its parsed length can still be the redirect's own 0: a whole
// ringtone would then be refused as cut short, and the service, which saw it
// go out, would not offer it again.
QByteArray finalContentLength(const QNetworkReply *reply)
{
    const QByteArray joined = reply->rawHeader("Content-Length");
    return joined.mid(joined.lastIndexOf(',') + 1).trimmed();
}

}  // namespace

Download::Download(const QDir &folder, const QString &ringtoneBase, QObject *parent)
    : QObject(parent)
    , infoManager(new Channel(Service::ShortTimeout, true, Service::MaxAnswerSize, this))
    , fileManager(new Channel(Service::LongTimeout, true, Service::MaxFileSize, this))
    , folder(folder)
    , ringtoneBase(ringtoneBase)
{
    infoManager->setObjectName(QStringLiteral("information"));
    fileManager->setObjectName(QStringLiteral("files"));
    connect(infoManager, &QNetworkAccessManager::finished, this, &Download::informationReplied);
    connect(fileManager, &QNetworkAccessManager::finished, this, &Download::fileReplied);
}

Download::~Download() = default;

void Download::get(int fullname)
{
    if (fullname <= 0)
        return;
    infoManager->get(QNetworkRequest(
        QUrl(QString::fromLatin1(Service::RingtoneTemplate).arg(ringtoneBase, QString::number(fullname)))));
}

// Every file request leaves through here, so none escapes the address check.
bool Download::fetch(const QUrl &url, const QString &key)
{
    if (!isWebAddress(url)) {
        qDebug() << "ringtone file address refused:" << key;
        return false;
    }
    if (pending.isEmpty())
        removeLeftovers();
    QNetworkReply *reply = fileManager->get(QNetworkRequest(url));
    reply->setProperty(KeyProperty, key);
    return true;
}

// Staged files of a program that was killed while writing. Nothing else
// writes to the staging folder, and this program writes there only while
// storing a reply, never between two turns of the event loop.
void Download::removeLeftovers()
{
    const QString staging = stagingPath();
    const QStringList parts = QDir(staging).entryList(
        {QString::fromLatin1(StagedPattern)}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &part : parts) {
        const QString path = staging + QLatin1Char('/') + part;
        if (QFile::remove(path))
            qDebug() << "removed a leftover staged file" << path;
    }
}

void Download::informationReplied(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError || !Channel::accepted(reply)) {
        QString text = Channel::failure(reply);
        if (reply->error() == QNetworkReply::NoError)
            text = QStringLiteral("HTTP status %1").arg(Channel::status(reply));
        qDebug() << "ringtone information request failed:" << reply->url().toString() << text;
        emit info(QStringLiteral("fullname"), text);
        reply->close();
        reply->deleteLater();
        return;
    }
    const QByteArray body = reply->readAll();
    const QString source = reply->url().toString();
    reply->close();
    reply->deleteLater();

    QString problem;
    const QJsonDocument document = Service::parseJson(body, &problem);
    if (!problem.isEmpty()) {
        qDebug() << "ringtone information from" << source << "is not JSON:" << problem;
        return;
    }
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("status")).toInt(0) != 0 || !object.contains(QStringLiteral("data"))) {
        qDebug() << "ringtone information refused:" << source;
        emit info(QStringLiteral("fullname"), QStringLiteral("invalid fullname"));
        return;
    }
    const QJsonValue data = object.value(QStringLiteral("data"));
    if (!data.isObject()) {
        qDebug() << "ringtone information without a data object:" << source;
        emit info(QStringLiteral("json"), QString());
        return;
    }
    const QJsonObject record = data.toObject();
    if (!record.contains(QStringLiteral("download_url")) || !record.contains(QStringLiteral("name"))) {
        qDebug() << "ringtone information incomplete:" << source;
        emit info(QStringLiteral("fullname"), QStringLiteral("no complete info"));
        return;
    }
    const QString address = record.value(QStringLiteral("download_url")).toString();
    const QString name = record.value(QStringLiteral("name")).toString();
    if (pending.contains(address))
        return;
    if (!fetch(QUrl(address), address)) {
        emit info(QStringLiteral("fullname"), QStringLiteral("invalid download address"));
        return;
    }
    pending.insert(address, name);
    emit add(address, name);
}

void Download::fileReplied(QNetworkReply *reply)
{
    const QVariant mark = reply->property(KeyProperty);
    const QString key = mark.isValid() ? mark.toString() : reply->url().toString();
    const QString name = pending.take(key);

    QString problem;
    const int status = Channel::status(reply);
    if (reply->error() != QNetworkReply::NoError) {
        problem = Channel::failure(reply);
    } else if (!Channel::accepted(reply)) {
        problem = QStringLiteral("HTTP status %1").arg(status);
    } else {
        // A connection closed early can still end without an error; a short
        // body must not become a short ringtone.
        bool known = false;
        const qint64 length = finalContentLength(reply).toLongLong(&known);
        const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
        if (known && (encoding.isEmpty() || encoding == "identity") && length != reply->bytesAvailable())
            problem
                = QStringLiteral("incomplete body: %1 of %2 bytes").arg(reply->bytesAvailable()).arg(length);
    }

    if (!problem.isEmpty()) {
        qDebug() << "ringtone file" << key << "failed:" << problem;
        emit info(QStringLiteral("download"), problem);
        emit failed(key, name);
    } else if (store(reply, key, name)) {
        emit finish(key, name);
    } else {
        emit failed(key, name);
    }
    // The staging folder goes once nothing is in flight; an empty hidden
    // folder is all that may stay, and only while other files are coming.
    if (pending.isEmpty())
        QDir().rmdir(stagingPath());
    reply->close();
    reply->deleteLater();
}

QString Download::stagingPath() const
{
    const QString target = QDir::cleanPath(folder.absolutePath());
    return QDir::cleanPath(
        QFileInfo(target).absolutePath() + QLatin1Char('/') + QLatin1String(StagingFolder));
}

// Writes the body to a staging file on the folder's own volume and renames it
// into the folder, so the ringtone appears there whole or not at all. Reports
// every problem through info (except the folder itself, which has its own
// failure); the caller reports the outcome.
bool Download::store(QNetworkReply *reply, const QString &key, const QString &name)
{
    const QString target = QDir::cleanPath(folder.absolutePath());
    if (!QFileInfo(target).isDir() && !QDir().mkpath(target)) {
        qDebug() << "cannot create the ringtone folder" << target;
        return false;
    }
    const QString staged = stage(reply, key);
    return !staged.isEmpty() && moveIntoFolder(staged, target, name, key);
}

// The body, written whole to a fresh file in the staging folder: its path,
// or an empty one when that failed (reported, and nothing left behind).
QString Download::stage(QNetworkReply *reply, const QString &key)
{
    const QString staging = stagingPath();
    if (!QDir().mkpath(staging)) {
        qDebug() << "cannot create the staging folder" << staging << "- the ringtone is not stored";
        emit info(QStringLiteral("save"), QStringLiteral("cannot create the staging folder"));
        return QString();
    }
    // QTemporaryFile only reserves a fresh name; the writing goes through an
    // unbuffered QFile so that every refused byte shows at once.
    QString staged;
    {
        QTemporaryFile reserve(staging + QLatin1String("/XXXXXX.part"));
        if (reserve.open()) {
            reserve.setAutoRemove(false);
            staged = reserve.fileName();
        }
    }
    QFile file(staged);
    if (staged.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        qDebug() << "cannot open a staging file in" << staging << file.errorString();
        if (!staged.isEmpty())
            QFile::remove(staged);
        emit info(QStringLiteral("save"), QString());
        return QString();
    }
    bool written = copyBody(reply, file);
    const QString writeError = file.errorString();
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    if (!written) {
        qDebug() << "cannot write the ringtone" << key << "to" << staged << writeError;
        QFile::remove(staged);
        emit info(QStringLiteral("save"), QString());
        return QString();
    }
    return staged;
}

// Copies the body chunk by chunk; a chunk the disk refuses is written again
// from where it stopped, MaxRetries times over the whole body at the most.
bool Download::copyBody(QNetworkReply *reply, QFile &file)
{
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    int retries = 0;
    for (;;) {
        const qint64 got = reply->read(buffer.data(), ChunkSize);
        if (got <= 0)
            return true;
        qint64 done = 0;
        while (done < got) {
            const qint64 put = file.write(buffer.constData() + done, got - done);
            if (put > 0)
                done += put;
            if (done < got && ++retries > MaxRetries)
                return false;
        }
    }
}

// Moves the staged file into the folder under the ringtone's name, or the
// next free numbered one. The check only finds a candidate: another program
// may take the name before the move, which then refuses it, and the next
// name is tried.
bool Download::moveIntoFolder(const QString &staged, const QString &target, const QString &name, const QString &key)
{
    const QString base = RingtoneFile::safeBaseName(name);
    int counter = -1;
    for (int races = 0;; ++races, ++counter) {
        QString path = RingtoneFile::targetPath(target, base, counter);
        while (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            path = RingtoneFile::targetPath(target, base, ++counter);
        QString why;
        const Moved moved = moveToFreeName(staged, path, why);
        if (moved == Moved::Done)
            return true;
        if (moved == Moved::Failed || races == MaxNameRaces) {
            qDebug() << "cannot move the ringtone" << key << "to" << path << why;
            QFile::remove(staged);
            emit info(QStringLiteral("save"), why);
            return false;
        }
        qDebug() << "the name" << path << "was taken before the move; trying the next one";
    }
}
