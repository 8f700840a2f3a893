#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// Writes `text` to `path` as a script only its owner may run. A shell writes
// it, never this process: a child that another of our threads forks meanwhile
// holds our descriptor open for writing until it execs, and running the
// script in that moment fails with "Text file busy" (ETXTBSY).
inline bool writeScript(const QString &path, const QByteArray &text)
{
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("umask 077 && cat >\"$1\" && chmod 700 \"$1\""),
            QStringLiteral("sh"), path});
    const bool written = shell.waitForStarted() && shell.write(text) == text.size();
    shell.closeWriteChannel();
    return shell.waitForFinished(-1) && written && shell.exitStatus() == QProcess::NormalExit
        && shell.exitCode() == 0;
}
