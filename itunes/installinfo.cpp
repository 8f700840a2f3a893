#include "itunes/itunes.h"

#ifdef Q_OS_WIN

#include "itunes/win32registry.h"

QMap<QString, QString> iTunesInstallInfo()
{
    QMap<QString, QString> info;
    for (const auto &value : readITunesUninstallEntry())
        info.insert(QString::fromStdWString(value.first), QString::fromStdWString(value.second));
    return info;
}

#else

#include "itunes/winereg.h"

// Outside Windows iTunes only runs inside Wine, and the user's default Wine
// prefix keeps its machine registry as text in system.reg.
QMap<QString, QString> iTunesInstallInfo()
{
    return readWineUninstall(QDir::homePath() + QStringLiteral("/.wine/system.reg"));
}

#endif
