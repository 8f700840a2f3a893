#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// A home folder laid out by scripts/sandbox-home.sh (states "ready",
// "no-library", "no-itunes"), with the private runtime folder Qt expects, for
// tests that start the real program. Needs BELFRY_SOURCE_DIR.
inline void makeSandboxHome(const QString &home, const QString &state)
{
    QProcess script;
    script.start(
        QStringLiteral("bash"), {QStringLiteral(BELFRY_SOURCE_DIR "/scripts/sandbox-home.sh"), home, state});
    script.waitForFinished(10000);
    QDir(home).mkdir(QStringLiteral(".runtime"));
    QFile::setPermissions(home + QStringLiteral("/.runtime"),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// The environment of a program that must find everything of its user in `home`.
inline QProcessEnvironment sandboxEnvironment(const QString &home)
{
    const QDir dir(home);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", dir.filePath(".config"));
    env.insert("XDG_DATA_HOME", dir.filePath(".local/share"));
    env.insert("XDG_CACHE_HOME", dir.filePath(".cache"));
    env.insert("XDG_RUNTIME_DIR", dir.filePath(".runtime"));
    env.remove("XDG_MUSIC_DIR");
    return env;
}
