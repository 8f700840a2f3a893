#include <QBuffer>

#include "fuzz/fuzz.h"
#include "itunes/winereg.h"

// Wine's system.reg text: only the six uninstall values come out, each short
// enough for the registry buffer it stands for.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::setUp();
    static const QStringList names
        = {QStringLiteral("DisplayName"), QStringLiteral("DisplayVersion"), QStringLiteral("InstallLocation"),
            QStringLiteral("InstallDate"), QStringLiteral("URLUpdateInfo"), QStringLiteral("HelpLink")};

    QByteArray input = Fuzz::bytes(data, size);
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    const QMap<QString, QString> info = parseWineUninstall(&buffer);
    for (auto it = info.cbegin(); it != info.cend(); ++it) {
        FUZZ_CHECK(names.contains(it.key()), it.key());
        // 4096 bytes of UTF-16 with the terminating NUL.
        FUZZ_CHECK((it.value().size() + 1) * 2 <= 4096, it.key());
    }
    if (!info.isEmpty())
        FUZZ_CHECK(
            info.value(QStringLiteral("DisplayName")) == QLatin1String("iTunes"), info.value("DisplayName"));
    return 0;
}
