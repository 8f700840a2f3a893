#include "tray/tray.h"

#include "settings/defaults.h"
#include "window/devicemenu.h"

#include <QAction>
#include <QDesktopServices>
#include <QIcon>
#include <QMenu>
#include <QTimerEvent>
#include <QUrl>

namespace {
const QString NormalLogo = QStringLiteral(":/resource/logo.win.png");
const QString DarkLogo = QStringLiteral(":/resource/logo.win_hide.png");
const int BlinkInterval = 800;
// The blink goes on for this many ticks after the last download started.
const int BlinkTicks = 11;
}  // namespace

Tray::Tray(QObject *parent)
    : QSystemTrayIcon(parent)
    , context(nullptr)
    , devices(nullptr)
    , help(nullptr)
    , itunes(nullptr)
    , update(nullptr)
    , about(nullptr)
    , quit(nullptr)
    , blinkTimer(0)
    , blinkCount(0)
{
    setIcon(QIcon(NormalLogo));

    context = new QMenu;
    devices = new DeviceMenu;
    help = context->addAction(QStringLiteral("查看教程"));
    context->addMenu(devices);
    context->addSeparator();
    itunes = context->addAction(QStringLiteral("打开iTunes"));
    update = context->addAction(QStringLiteral("下载更新"));
    about = context->addAction(QStringLiteral("关于"));
    context->addSeparator();
    quit = context->addAction(QStringLiteral("退出"));

    setContextMenu(context);
    update->setEnabled(false);

    connect(help, &QAction::triggered, this, [] {
        QDesktopServices::openUrl(QUrl(QString::fromLatin1(Belfry::HelpPage), QUrl::TolerantMode));
    });
    connect(devices, &DeviceMenu::unpair, this, &Tray::emit_clear);
    connect(itunes, &QAction::triggered, this, &Tray::emit_itunes);
    connect(update, &QAction::triggered, this, &Tray::emit_update);
    connect(about, &QAction::triggered, this, &Tray::emit_about);
    connect(quit, &QAction::triggered, this, &Tray::emit_quit);
    connect(this, &QSystemTrayIcon::messageClicked, this, &Tray::onMessageClicked);
    connect(this, &QSystemTrayIcon::activated, this, &Tray::onActivated);
}

Tray::~Tray()
{
    // The menus have no parent widget; a submenu goes before the menu that
    // holds it so that no menu is left pointing at a deleted one.
    delete devices;
    delete context;
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

void Tray::paired(const QString &ida, const QString &name)
{
    Q_UNUSED(ida)
    devices->paired(name);
    help->setEnabled(true);
}

void Tray::setUpdate()
{
    update->setEnabled(true);
}

void Tray::deviceRemove()
{
    help->setEnabled(false);
    devices->removed();
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
