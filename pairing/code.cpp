#include "pairing/code.h"

#include "pairing/qrcode.h"
#include "resource/resources.h"
#include "settings/defaults.h"
#include "window/label.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimerEvent>
#include <QToolButton>

namespace {
const QString Background = QStringLiteral(":/resource/bg_qrcode.png");
const QString CheckMark = QStringLiteral(":/resource/bg_qrcode_ok.png");
const QString Countdown = QStringLiteral("<center>%0 秒后自动隐藏</center>");
const int CountdownSeconds = 2;
}  // namespace

Code::Code(const QString &pcid, QWidget *parent)
    : QWidget(parent)
    , pcid(pcid)
    , qrcode(nullptr)
    , caption(nullptr)
    , closeButton(nullptr)
    , countdown(CountdownSeconds)
{
    setFixedSize(262, 343);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setContextMenuPolicy(Qt::NoContextMenu);
    setAttribute(Qt::WA_TranslucentBackground);

    closeButton = new QToolButton(this);
    closeButton->setObjectName(QStringLiteral("btn_close"));
    closeButton->setBaseSize(22, 22);
    closeButton->setGeometry(width() - 35, 17, 22, 22);
    closeButton->setAttribute(Qt::WA_TranslucentBackground);
    // released(), not clicked(): a press dragged off the button still closes.
    connect(closeButton, &QToolButton::released, this, [this] {
        emit ok(false);
    });

    QByteArray content = pcid.toLatin1();
    if (content.isEmpty())
        content = QByteArray(Belfry::QrPlaceholder);
    qrcode = new QRCode(content, QSize(200, 200), this);
    qrcode->setMargin(6);
    qrcode->repaint();
    qrcode->setGeometry(31, 63, 200, 200);

    caption = new Label(QStringLiteral("<center>扫描二维码与电脑配对</center>"), this);
    caption->setObjectName(QStringLiteral("qrcode"));
    caption->setFixedWidth(width());
    caption->setAttribute(Qt::WA_TranslucentBackground);
    caption->setGeometry(0, 273, width() - 20, 30);
}

Code::~Code()
{
    delete qrcode;
    delete closeButton;
    delete caption;
}

void Code::paired()
{
    if (!isVisible())
        return;
    qrcode->hide();
    countdownTimers.append(startTimer(1000, Qt::CoarseTimer));
    countdown = CountdownSeconds;
    caption->setText(Countdown.arg(countdown));
}

void Code::timerEvent(QTimerEvent *event)
{
    if (!countdownTimers.contains(event->timerId())) {
        QWidget::timerEvent(event);
        return;
    }
    --countdown;
    caption->setText(Countdown.arg(countdown));
    if (countdown < 1) {
        killTimer(event->timerId());
        countdownTimers.removeAll(event->timerId());
        hide();
        qrcode->show();
        caption->setText(
            QStringLiteral("<center><font color='#BCBCBC'>扫描二维码与电脑配对</font></center>"));
        emit ok(true);
    }
}

void Code::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::NoBrush);
    const qreal dpr = devicePixelRatioF();
    // The second layer is clear except for a frame and a check mark under
    // the QR code, which shows once the code is hidden.
    painter.drawPixmap(rect(), Resources::pixmap(Background, size(), dpr));
    painter.drawPixmap(rect(), Resources::pixmap(CheckMark, size(), dpr));
}

void Code::mousePressEvent(QMouseEvent *event)
{
    QWidget::mousePressEvent(event);
    if (event->buttons() & Qt::LeftButton) {
        dragOffset = event->globalPos() - frameGeometry().topLeft();
        event->accept();
    }
}

void Code::mouseMoveEvent(QMouseEvent *event)
{
    QWidget::mouseMoveEvent(event);
    if (event->buttons() & Qt::LeftButton) {
        move(event->globalPos() - dragOffset);
        event->accept();
    }
}
