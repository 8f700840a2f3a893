#include "settings/autostart.h"

#include "settings/defaults.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

#ifdef Q_OS_WIN
const QString RunKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
#else
QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/belfry.desktop");
}

// An Exec value: the program quoted by the entry's own rules, then written
// as a string value, whose backslashes are escapes too. "%" would be a
// field code.
QString execValue(const QString &program)
{
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    quoted.replace(QLatin1Char('%'), QLatin1String("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}
#endif

}  // namespace

Autostart::Autostart(QObject *parent)
    : QObject(parent)
{
}

#ifdef Q_OS_WIN
bool Autostart::isOn() const
{
    return QSettings(RunKey, QSettings::NativeFormat).contains(QString::fromLatin1(Belfry::Application));
}

void Autostart::set(bool on)
{
    QSettings run(RunKey, QSettings::NativeFormat);
    const QString program = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    if (on)
        run.setValue(QString::fromLatin1(Belfry::Application), QLatin1Char('"') + program + QLatin1Char('"'));
    else
        run.remove(QString::fromLatin1(Belfry::Application));
    run.sync();
    if (run.status() != QSettings::NoError)
        qDebug() << "cannot change the Run value in" << RunKey;
}
#else
bool Autostart::isOn() const
{
    return QFile::exists(entryPath());
}

void Autostart::set(bool on)
{
    const QString path = entryPath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path))
            qDebug() << "cannot remove the autostart entry" << path;
        return;
    }
    QSaveFile entry(path);
    const bool written = QDir().mkpath(QFileInfo(path).path()) && entry.open(QIODevice::WriteOnly)
        && entry.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n")
                           .arg(QString::fromLatin1(Belfry::Application),
                               execValue(QCoreApplication::applicationFilePath()))
                           .toUtf8())
            > 0
        && entry.commit();
    if (!written)
        qDebug() << "cannot write the autostart entry" << path << entry.errorString();
}
#endif
