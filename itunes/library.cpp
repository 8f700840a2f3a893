#include "itunes/itunes.h"
#include "itunes/library.h"
#include "itunes/plistparser.h"

#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

namespace {

constexpr char LibraryFileName[] = "iTunes Music Library.xml";

QString iTunesMusicDir()
{
    return QStandardPaths::locate(
        QStandardPaths::MusicLocation, QStringLiteral("iTunes"), QStandardPaths::LocateDirectory);
}

}  // namespace

QString wineDrivePath(const QString &path, const QString &home)
{
    static const QRegularExpression drive(QStringLiteral("^/?([A-Za-z]):(/.*)?$"));
    const QRegularExpressionMatch match = drive.match(path);
    if (!match.hasMatch())
        return path;
    return QStringLiteral("%1/.wine/dosdevices/%2:%3")
        .arg(home, match.captured(1).toLower(), match.captured(2));
}

QString musicFolderPath(const QString &musicFolderUrl)
{
    // A host of "localhost" would make QUrl produce a UNC path ("//localhost/...").
    QString text = musicFolderUrl;
    text.replace(QLatin1String("file://localhost"), QLatin1String("file://"));
    const QString local = QUrl(text, QUrl::TolerantMode).toLocalFile();
#ifdef Q_OS_WIN
    return local;
#else
    return wineDrivePath(local, QDir::homePath());
#endif
}

bool iTunesMusicDirExists()
{
    const QString dir = iTunesMusicDir();
    return !dir.isEmpty() && dir != QLatin1String(".") && QFile::exists(dir);
}

QDir autoAddFolder()
{
    const QString library
        = QStringLiteral("%0/%1").arg(iTunesMusicDir(), QLatin1String(LibraryFileName));
    if (!QFile::exists(library))
        return QDir(QString());

    QFile file(library);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << QStringLiteral("%0 not accessable!").arg(library);
        return QDir(QString());
    }
    // Reading only up to the "Music Folder" key keeps start-up quick however
    // many tracks the library lists.
    const QVariant value = PListParser::value(&file, QStringLiteral("Music Folder"));
    if (!value.isValid())
        return QDir(QString());

    const QString path = musicFolderPath(value.toString());
    // An empty path would make QDir stand for the working directory.
    if (path.isEmpty()) {
        qDebug().noquote() << QStringLiteral("%0 not exists!").arg(value.toString());
        return QDir(QString());
    }
    QDir music(path);

    const QDir::Filters filters = QDir::Dirs | QDir::Writable | QDir::NoDotAndDotDot;
    QStringList entries
        = music.entryList({QStringLiteral("自动*iTunes"), QStringLiteral("Automatically*iTunes.localized")},
            filters, QDir::NoSort);
    // iTunes 10.6 and later on Windows use this name in every language.
    if (entries.isEmpty())
        entries = music.entryList({QStringLiteral("Automatically Add to iTunes")}, filters, QDir::NoSort);
    if (entries.isEmpty()) {
        qDebug().noquote() << QStringLiteral("%0 not exists!").arg(music.path());
        return QDir(QString());
    }

    if (!music.cd(music.absolutePath())) {
        qDebug().noquote() << QStringLiteral("%0 not accessable!").arg(music.path());
        return QDir(QString());
    }
    if (!music.cd(entries.first())) {
        qDebug().noquote() << QStringLiteral("%0 not accessable!").arg(entries.first());
        return QDir(QString());
    }
    return music;
}
