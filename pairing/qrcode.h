#pragma once

#include <QByteArray>
#include <QColor>
#include <QPixmap>
#include <QWidget>

// Draws a byte string as a QR code filling the widget, inside a quiet border
// of `margin` pixels. Modules keep their fractional size, so the code always
// spans the same area whatever the symbol version.
class QRCode : public QWidget
{
    Q_OBJECT
public:
    QRCode(const QByteArray &content, const QSize &size, QWidget *parent = nullptr);

    void setMargin(int pixels);
    void setLogo(const QPixmap &picture);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QByteArray content;
    bool caseSensitive;
    int mode;
    int level;
    int margin;
    QColor foreground;
    QColor background;
    QPixmap logo;
    double logoRatio;

    friend class TestPairing;
};
