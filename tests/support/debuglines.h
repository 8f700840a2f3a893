#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects qDebug lines while alive, so a test can check exactly which
// diagnostics a call wrote.
class DebugLines
{
public:
    DebugLines()
    {
        lines().clear();
        previous = qInstallMessageHandler(&DebugLines::handle);
    }
    ~DebugLines() { qInstallMessageHandler(previous); }
    QStringList take()
    {
        const QStringList taken = lines();
        lines().clear();
        return taken;
    }

private:
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtDebugMsg)
            lines().append(message);
    }
    QtMessageHandler previous;
};
