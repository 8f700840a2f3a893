#include "service/ringtonefolder.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTemporaryFile>

#include "service/filename.h"

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

}  // namespace

RingtoneFolder::RingtoneFolder(const QDir &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
{
}

// Nothing else writes to the staging folder, and this program writes there
// only while storing a file, never between two turns of the event loop.
void RingtoneFolder::removeLeftovers()
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

// An empty hidden folder is all that may stay, and only while other files
// are coming.
void RingtoneFolder::tidy()
{
    QDir().rmdir(stagingPath());
}

QString RingtoneFolder::stagingPath() const
{
    const QString target = QDir::cleanPath(folder.absolutePath());
    return QDir::cleanPath(
        QFileInfo(target).absolutePath() + QLatin1Char('/') + QLatin1String(StagingFolder));
}

bool RingtoneFolder::put(QIODevice *body, const QString &name, const QString &source)
{
    const QString target = QDir::cleanPath(folder.absolutePath());
    if (!QFileInfo(target).isDir() && !QDir().mkpath(target)) {
        qDebug() << "cannot create the ringtone folder" << target;
        return false;
    }
    const QString staged = stage(body, source);
    return !staged.isEmpty() && moveIn(staged, target, name, source);
}

// The body, written whole to a fresh file in the staging folder: its path,
// or an empty one when that failed (reported, and nothing left behind).
QString RingtoneFolder::stage(QIODevice *body, const QString &source)
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
    bool written = copyBody(body, file);
    const QString writeError = file.errorString();
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    if (!written) {
        qDebug() << "cannot write the ringtone" << source << "to" << staged << writeError;
        QFile::remove(staged);
        emit info(QStringLiteral("save"), QString());
        return QString();
    }
    return staged;
}

// Copies the body chunk by chunk; a chunk the disk refuses is written again
// from where it stopped, MaxRetries times over the whole body at the most.
bool RingtoneFolder::copyBody(QIODevice *body, QFile &file)
{
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    int retries = 0;
    for (;;) {
        const qint64 got = body->read(buffer.data(), ChunkSize);
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
bool RingtoneFolder::moveIn(const QString &staged, const QString &target, const QString &name, const QString &source)
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
            qDebug() << "cannot move the ringtone" << source << "to" << path << why;
            QFile::remove(staged);
            emit info(QStringLiteral("save"), why);
            return false;
        }
        qDebug() << "the name" << path << "was taken before the move; trying the next one";
    }
}
