#pragma once

#include <QFile>
#include <QProcess>
#include <QString>

#include <unistd.h>

// Makes a folder unwritable while alive. Permission bits do not stop root,
// which CI runs as; the immutable attribute does (ext4 and most local file
// systems). isReadOnly() tells whether either worked here.
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(const QString &path)
        : path(path)
    {
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        if (::geteuid() == 0)
            immutable = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
    }

    ~ReadOnlyFolder()
    {
        if (immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    bool isReadOnly() const { return ::access(QFile::encodeName(path).constData(), W_OK) != 0; }

private:
    QString path;
    bool immutable = false;
};
