#include "pairing/qrencoder.h"

#include <QDebug>

#include <qrencode.h>

static_assert(QrLevel::Q == QR_ECLEVEL_Q && QrLevel::H == QR_ECLEVEL_H, "level numbering");
static_assert(QrMode::Byte == QR_MODE_8 && QrMode::Kanji == QR_MODE_KANJI, "mode numbering");

QrSymbol encodeQr(const QByteArray &content, int version, int level, int mode, bool caseSensitive)
{
    QrSymbol symbol;
    QRcode *code = QRcode_encodeString(content.constData(), version, static_cast<QRecLevel>(level),
        static_cast<QRencodeMode>(mode), caseSensitive ? 1 : 0);
    if (!code) {
        qDebug() << "QR: cannot encode" << content.size() << "bytes";
        return symbol;
    }
    symbol.width = code->width;
    symbol.modules.resize(code->width * code->width);
    for (int i = 0; i < symbol.modules.size(); ++i)
        symbol.modules[i] = code->data[i] & 1;
    QRcode_free(code);
    return symbol;
}
