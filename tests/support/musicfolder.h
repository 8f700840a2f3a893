#pragma once

#include <QStandardPaths>
#include <QString>

// The Music folder the program looks in when the test has pointed HOME at
// `home`. Windows takes it from the shell, whatever HOME says; there the test
// runs in a throw-away Wine prefix whose Music folder is its own.
inline QString musicFolder(const QString &home)
{
#ifdef Q_OS_WIN
    Q_UNUSED(home);
    return QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
#else
    return home + QStringLiteral("/Music");
#endif
}
