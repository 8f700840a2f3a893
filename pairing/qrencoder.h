#pragma once

#include <QByteArray>
#include <QVector>

// A QR symbol as a square of modules, row by row. Keeps the encoder library's
// own types out of every file that draws a code.
struct QrSymbol
{
    int width = 0;
    QVector<bool> modules;

    bool isNull() const { return width == 0; }
    bool dark(int x, int y) const { return modules.at(y * width + x); }
};

// Error-correction levels and encoding hints, numbered as the encoder numbers them.
namespace QrLevel {
constexpr int L = 0, M = 1, Q = 2, H = 3;
}
namespace QrMode {
constexpr int Numeric = 0, AlphaNumeric = 1, Byte = 2, Kanji = 3;
}

// Encodes `content` with at least symbol version `version` (a larger one when
// the content does not fit). Returns a null symbol when the encoder refuses.
QrSymbol encodeQr(const QByteArray &content, int version, int level, int mode, bool caseSensitive);
