#include "pairing/qrcode.h"

#include "pairing/qrencoder.h"

#include <QPainter>

namespace {
// Version 7 keeps the modules of a client id the same size on every page.
const int MinimumVersion = 7;
}  // namespace

QRCode::QRCode(const QByteArray &content, const QSize &size, QWidget *parent)
    : QWidget(parent)
    , content(content)
    , caseSensitive(true)
    , mode(QrMode::Byte)
    , level(QrLevel::Q)
    , margin(10)
    , logoRatio(0.23)
{
    foreground.setNamedColor(QStringLiteral("black"));
    background.setNamedColor(QStringLiteral("white"));
    setFixedSize(size);
}

void QRCode::setMargin(int pixels)
{
    margin = pixels;
}

void QRCode::setLogo(const QPixmap &picture)
{
    logo = picture;
    update();
}

void QRCode::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);

    const QrSymbol symbol = encodeQr(content, MinimumVersion, level, mode, caseSensitive);
    if (symbol.isNull())
        return;

    // No antialiasing: neighbouring fractional rectangles then meet without
    // the light seams that blending their edges would leave.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(background, Qt::SolidPattern));
    painter.drawRect(0, 0, width(), height());

    const int n = symbol.width;
    const double s = double(width() - 2 * margin) / n;
    painter.setBrush(QBrush(foreground, Qt::SolidPattern));
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            if (symbol.dark(x, y))
                painter.drawRect(QRectF(margin + x * s, margin + y * s, s, s));
        }
    }

    if (!logo.isNull()) {
        const double w = width();
        const double d = (w - 2 * margin) * logoRatio;
        const double o = (w - d) * 0.5;
        painter.setBrush(QBrush(background, Qt::SolidPattern));
        painter.drawRoundedRect(QRectF(o - 3, o - 3, d + 6, d + 6), 50, 50, Qt::RelativeSize);
        painter.drawPixmap(QRectF(o, o, d, d), logo, QRectF(logo.rect()));
    }
}
