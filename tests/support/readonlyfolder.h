#pragma once

#include <QFile>
#include <QProcess>
#include <QString>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

// Makes a folder unwritable while alive. Permission bits do not stop root,
// which CI runs as; the immutable attribute does (ext4 and most local file
// systems). On Windows the folder gets the read-only attribute. isReadOnly()
// tells whether any of it worked here.
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(const QString &path)
        : path(path)
    {
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
#ifndef Q_OS_WIN
        if (::geteuid() == 0)
            immutable = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
#endif
    }

    ~ReadOnlyFolder()
    {
        if (immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    bool isReadOnly() const
    {
#ifdef Q_OS_WIN
        // The attribute alone does not stop an administrator: try.
        QFile probe(path + QStringLiteral("/.probe"));
        if (!probe.open(QIODevice::WriteOnly))
            return true;
        probe.remove();
        return false;
#else
        return ::access(QFile::encodeName(path).constData(), W_OK) != 0;
#endif
    }

private:
    QString path;
    bool immutable = false;
};
