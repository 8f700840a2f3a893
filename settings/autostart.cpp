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

#include <algorithm>

namespace {

#ifdef Q_OS_WIN
const QString RunKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString MachineRunKey
    = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
#else
const QString EntryName = QStringLiteral("autostart/belfry.desktop");

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + EntryName;
}

// A system-wide entry, which a user's own entry overrides.
bool systemEntryExists()
{
    const QStringList all = QStandardPaths::locateAll(QStandardPaths::GenericConfigLocation, EntryName);
    return std::any_of(all.begin(), all.end(), [](const QString &path) {
        return path != entryPath();
    });
}

bool hidden(const QString &path)
{
    QFile entry(path);
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    // Whatever the folder holds, no more than any real entry's length is read.
    for (const QByteArray &line : entry.read(64 * 1024).split('\n'))
        if (line.trimmed() == "Hidden=true")
            return true;
    return false;
}

void writeEntry(const QString &path, const QString &text)
{
    QSaveFile entry(path);
    const bool written = QDir().mkpath(QFileInfo(path).path()) && entry.open(QIODevice::WriteOnly)
        && entry.write(text.toUtf8()) > 0 && entry.commit();
    if (!written)
        qDebug() << "cannot write the autostart entry" << path << entry.errorString();
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
    return isForEveryone()
        || QSettings(RunKey, QSettings::NativeFormat).contains(QString::fromLatin1(Belfry::Application));
}

bool Autostart::isForEveryone() const
{
    return QSettings(MachineRunKey, QSettings::NativeFormat).contains(QString::fromLatin1(Belfry::Application));
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
    const QString path = entryPath();
    return QFile::exists(path) ? !hidden(path) : systemEntryExists();
}

bool Autostart::isForEveryone() const
{
    return false;
}

// Off hides a system-wide entry behind one of the user's own.
void Autostart::set(bool on)
{
    const QString path = entryPath();
    const QString head = QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\n")
                             .arg(QString::fromLatin1(Belfry::Application));
    if (on)
        writeEntry(path, head + QStringLiteral("Exec=%1\n").arg(execValue(QCoreApplication::applicationFilePath())));
    else if (systemEntryExists())
        writeEntry(path, head + QStringLiteral("Hidden=true\n"));
    else if (QFile::exists(path) && !QFile::remove(path))
        qDebug() << "cannot remove the autostart entry" << path;
}
#endif
