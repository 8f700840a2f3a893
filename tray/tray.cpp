#include "tray/tray.h"

#include <QIcon>
#include <QTimerEvent>

namespace {
const QString NormalLogo = QStringLiteral(":/resource/logo.win.png");
const QString DarkLogo = QStringLiteral(":/resource/logo.win_hide.png");
const int BlinkInterval = 800;
// The blink goes on for this many ticks after the last download started.
const int BlinkTicks = 11;
}  // namespace

Tray::Tray(QObject *parent)
    : QSystemTrayIcon(parent)
    , blinkTimer(0)
    , blinkCount(0)
{
    setIcon(QIcon(NormalLogo));
    connect(this, &QSystemTrayIcon::messageClicked, this, &Tray::onMessageClicked);
    connect(this, &QSystemTrayIcon::activated, this, &Tray::onActivated);
}

void Tray::notify(int succeed, int failed)
{
    QString text = QStringLiteral("同步成功 %0首").arg(succeed);
    if (failed != 0)
        text += QStringLiteral("\n同步失败 %0首").arg(failed);
    text += QStringLiteral("\n点击打开iTunes");
    showBalloon(QStringLiteral("同步完成"), text, QSystemTrayIcon::Information, 10000);
}

void Tray::showBalloon(
    const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon, int msecs)
{
    showMessage(title, text, icon, msecs);
}

void Tray::download()
{
    if (blinkTimer == 0)
        blinkTimer = startTimer(BlinkInterval);
    blinkCount = 0;
}

void Tray::timerEvent(QTimerEvent *event)
{
    if (blinkTimer == 0 || event->timerId() != blinkTimer) {
        QSystemTrayIcon::timerEvent(event);
        return;
    }
    iconPath = iconPath == NormalLogo ? DarkLogo : NormalLogo;
    setIcon(QIcon(iconPath));

    if (++blinkCount >= BlinkTicks) {
        killTimer(blinkTimer);
        blinkTimer = 0;
        iconPath = NormalLogo;
        setIcon(QIcon(iconPath));
    }
}

void Tray::stopBlink()
{
    if (blinkTimer == 0)
        return;
    killTimer(blinkTimer);
    blinkTimer = 0;
    setIcon(QIcon(NormalLogo));
}

void Tray::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    emit emit_wanted();
    stopBlink();
    if (reason == QSystemTrayIcon::Trigger)
        emit emit_open();
}

void Tray::onMessageClicked()
{
    stopBlink();
    emit emit_itunes();
    emit emit_wanted();
    emit emit_help(2);
}
