#include <QBuffer>

#include "fuzz/fuzz.h"
#include "itunes/library.h"
#include "itunes/plistparser.h"

// The start-up lookup of the library's "Music Folder" and its conversion to a
// local folder.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::setUp();
    QByteArray input = Fuzz::bytes(data, size);
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    const QVariant value = PListParser::value(&buffer, QStringLiteral("Music Folder"));
    // The lookup reads no further than it must; the device stays open for the caller.
    FUZZ_CHECK(buffer.isOpen(), QString());
    if (value.isValid())
        musicFolderPath(value.toString());
    return 0;
}
