#include <QFile>

#include "fuzz/fuzz.h"
#include "service/filename.h"

// Ringtone file names from any display name: one safe path component of at
// most 255 bytes, directly inside the folder. The first byte picks the
// folder's length (up to past the 260-character path limit), the second the
// numbering try, the third whether the name is UTF-8 or raw UTF-16 (lone
// surrogates included).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::setUp();
    if (size < 3)
        return 0;
    QString folder = QStringLiteral("/tmp/");
    folder += QString(data[0] + 1, QLatin1Char('f'));
    const int counter = int(data[1]) * 100 - 1;
    const QByteArray raw = Fuzz::bytes(data + 3, size - 3);
    const QString name = data[2] & 1
        ? QString(reinterpret_cast<const QChar *>(raw.constData()), raw.size() / 2)
        : QString::fromUtf8(raw);

    const QString base = RingtoneFile::safeBaseName(name);
    FUZZ_CHECK(!base.isEmpty(), name);
    const QString path = RingtoneFile::targetPath(folder, base, counter);
    FUZZ_CHECK(path.startsWith(folder + QLatin1Char('/')), path);
    const QString file = path.mid(folder.size() + 1);
    FUZZ_CHECK(file.endsWith(QLatin1String(RingtoneFile::Extension)), file);
    FUZZ_CHECK(file != QLatin1String(".") && file != QLatin1String(".."), file);
    FUZZ_CHECK(QFile::encodeName(file).size() <= RingtoneFile::MaxFileName, file);
    for (int i = 0; i < file.size(); ++i) {
        const QChar c = file.at(i);
        FUZZ_CHECK(!QStringLiteral("/\\<>:\"|?*").contains(c) && c.category() != QChar::Other_Control, file);
        if (c.isHighSurrogate())
            FUZZ_CHECK(i + 1 < file.size() && file.at(++i).isLowSurrogate(), file);
        else
            FUZZ_CHECK(!c.isLowSurrogate(), file);
    }
    return 0;
}
