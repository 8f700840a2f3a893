#include <QBuffer>

#include "fuzz/fuzz.h"
#include "itunes/plistparser.h"

// Whole-file reading: any bytes give a variant, never a crash, a leak or
// unbounded work.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::setUp();
    QByteArray input = Fuzz::bytes(data, size);
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    PListParser::read(&buffer);
    return 0;
}
