#include "window/scroll.h"

#include <cstring>

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QTransform>

#include "resource/resources.h"

namespace {

const QColor TextColour(227, 227, 227, 255);
// Pixels a scrolling text stands still before it moves: the offset climbs from
// here to 0 two pixels a tick.
const int ScrollPause = 64;
// Width of each faded edge.
const int FadeWidth = 15;
const int TextTop = 9;

}  // namespace

// ---------------------------------------------------------------- Rotate

Rotate::Rotate(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(23, 23);
    spinTimer.setInterval(80);
    connect(&spinTimer, &QTimer::timeout, this, &Rotate::tick);
}

void Rotate::setRotate(bool start)
{
    running = start;
    if (!start) {
        angle = 0;
        spinTimer.stop();
    } else if (!spinTimer.isActive()) {
        spinTimer.start();
    }
    repaint();
}

void Rotate::tick()
{
    angle = (angle + 30) % 360;
    repaint();
}

void Rotate::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    if (running) {
        const QPointF centre(width() / 2.0, height() / 2.0);
        painter.translate(centre);
        painter.rotate(angle);
        painter.translate(-centre);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
    }
    // The wheel sits two pixels in from each side. Asking for the picture at
    // the size it is drawn at scales it once, not twice.
    const QRect target(2, 2, width() - 4, height() - 4);
    painter.drawPixmap(
        target, Resources::pixmap(QStringLiteral(":/resource/roll.png"), target.size(), devicePixelRatioF()));
    event->accept();
}

// ---------------------------------------------------------------- ScrollText

ScrollText::ScrollText(const QSize &size, QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(size);
    drawnText.setTextFormat(Qt::PlainText);
    // The face comes from the style sheet.
    QFont sized = font();
    sized.setPointSize(13);
    setFont(sized);
    indent = 0;
    spacer = QString(6, QLatin1Char(' '));
    setContentsMargins(0, 0, 0, 0);
    connect(&scrollTimer, &QTimer::timeout, this, &ScrollText::timer_timeout);
    scrollTimer.setInterval(45);
}

void ScrollText::setText(const QString &text)
{
    shownText = text;
    drawnText.setText(text);
    updateText();
    repaint();
}

void ScrollText::updateText()
{
    scrollTimer.stop();
    const QFontMetrics metrics(font());
    textWidth = metrics.horizontalAdvance(shownText);
    scrolling = textWidth > width() - indent;
    if (scrolling) {
        offset = -ScrollPause;
        drawnText.setText(shownText + spacer);
        if (isVisible())
            scrollTimer.start();
    } else {
        drawnText.setText(shownText);
    }
    drawnText.prepare(QTransform(), font());
    cycleSize = QSize(metrics.horizontalAdvance(drawnText.text()), metrics.height());
}

void ScrollText::timer_timeout()
{
    // The remainder keeps the sign: the pause counts up to 0 before the wrap.
    if (cycleSize.width() > 0)
        offset = (offset + 2) % cycleSize.width();
    repaint();
}

// The program spends weeks in the tray with its window hidden: a marquee
// nobody sees must not wake the machine every 45 ms. It stops where it is and
// goes on from there when the window comes back.
void ScrollText::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (scrolling && !scrollTimer.isActive())
        scrollTimer.start();
}

void ScrollText::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    scrollTimer.stop();
}

void ScrollText::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const QSize area = size();
    fadeMask = QImage(area, QImage::Format_ARGB32_Premultiplied);
    canvas = QImage(area, QImage::Format_ARGB32_Premultiplied);

    const int w = area.width();
    if (w <= ScrollPause) {
        fadeMask.fill(0xff000000u);
    } else if (area.height() > 0) {
        auto *row = reinterpret_cast<QRgb *>(fadeMask.scanLine(0));
        for (int i = 1; i <= FadeWidth; ++i) {
            // Premultiplied black with alpha i * 16.
            const QRgb faded = static_cast<QRgb>(i) << 28;
            row[i - 1] = faded;
            row[w - i] = faded;
        }
        for (int x = FadeWidth; x <= w - FadeWidth - 1; ++x)
            row[x] = 0xff000000u;
        const int bytes = fadeMask.bytesPerLine();
        for (int y = 1; y < area.height(); ++y)
            memcpy(fadeMask.scanLine(y), fadeMask.constScanLine(0), static_cast<size_t>(bytes));
    }

    if ((textWidth > w - indent) != scrolling)
        updateText();
}

void ScrollText::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(TextColour);
    painter.setFont(font());

    if (!scrolling) {
        painter.drawStaticText(QPointF(0, TextTop), drawnText);
        return;
    }

    // The buffer follows the screen's pixel density so that the moving text
    // stays as sharp as the still one; the mask is scaled onto it.
    const qreal dpr = devicePixelRatioF();
    if (canvas.size() != size() * dpr || canvas.devicePixelRatio() != dpr) {
        canvas = QImage(size() * dpr, QImage::Format_ARGB32_Premultiplied);
        canvas.setDevicePixelRatio(dpr);
    }
    canvas.fill(0);
    QPainter buffer(&canvas);
    buffer.setPen(TextColour);
    buffer.setFont(font());
    const int step = QFontMetrics(font()).horizontalAdvance(drawnText.text());
    int x = qMin(-offset, 0) + indent;
    while (x < width()) {
        buffer.drawStaticText(QPointF(x, TextTop), drawnText);
        if (step <= 0)
            break;
        x += step;
    }

    // Keep the text only where the mask is opaque: the right edge always
    // fades, the left one fades in as the text starts to move.
    buffer.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    buffer.setClipRect(QRect(width() - FadeWidth, 0, FadeWidth, height()), Qt::ReplaceClip);
    buffer.drawImage(0, 0, fadeMask);
    buffer.setClipRect(QRect(0, 0, FadeWidth, height()));
    if (offset < 0)
        buffer.setOpacity(offset < -7 ? 0.0 : (offset + 8) * 0.125);
    buffer.drawImage(0, 0, fadeMask);
    buffer.end();

    painter.drawImage(0, 0, canvas);
}

// ---------------------------------------------------------------- Scroll

Scroll::Scroll(QWidget *parent)
    : QWidget(parent)
{
    rotate = new Rotate(this);
    rotate->setGeometry(15, 7, 23, 23);

    bar = new QLabel(this);
    bar->setObjectName(QStringLiteral("bar"));
    bar->setGeometry(45, 0, 60, 36);

    marquee = new ScrollText(QSize(216, 36), this);
    marquee->move(106, 0);
    marquee->setText(currentName);
}

void Scroll::add(const QString &, const QString &name)
{
    if (pending.isEmpty()) {
        currentName = name;
        marquee->setText(currentName);
    }
    pending.append(name);

    ++total;
    // A long run of downloads wraps the counter before it overflows its
    // place; failures stay counted so the completion check still adds up.
    if (total > 99) {
        total -= succeedCount;
        succeedCount = 0;
    }

    rotate->setRotate(true);
    show();
    showCount();
}

void Scroll::finish(const QString &, const QString &name)
{
    ++succeedCount;
    if (pending.contains(name)) {
        currentName = name;
        marquee->setText(currentName);
        pending.removeOne(name);
    }
    showCount();
    checkCompletion();
}

void Scroll::failed(const QString &, const QString &name)
{
    ++failedCount;
    pending.removeOne(name);
    checkCompletion();
}

void Scroll::showCount()
{
    bar->setText(QStringLiteral("%1/%2").arg(succeedCount).arg(total));
}

void Scroll::checkCompletion()
{
    if (succeedCount + failedCount == total) {
        emit syncFinished(succeedCount, failedCount);
        rotate->setRotate(false);
    }
}

void Scroll::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    const QSize strip(332, 36);
    painter.drawPixmap(QRect(QPoint(0, 0), strip),
        Resources::pixmap(QStringLiteral(":/resource/top_scroll.png"), strip, devicePixelRatioF()));
    event->accept();
}
