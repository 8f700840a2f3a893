// Prints what the Wine registry reader finds in a system.reg, one value a
// line, escaped exactly like test_win32registry.exe prints the Win32 result.

#include "itunes/winereg.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SYSTEM_REG\n", argv[0]);
        return 2;
    }
    const QMap<QString, QString> info = readWineUninstall(QString::fromLocal8Bit(argv[1]));
    for (auto it = info.constBegin(); it != info.constEnd(); ++it) {
        QByteArray line = it.key().toLatin1() + '=';
        for (const QChar c : it.value()) {
            const ushort unit = c.unicode();
            if (unit >= 0x20 && unit < 0x7F && unit != '\\')
                line += char(unit);
            else
                line += QStringLiteral("\\u%1").arg(unit, 4, 16, QLatin1Char('0')).toLatin1();
        }
        std::printf("%s\n", line.constData());
    }
    return 0;
}
