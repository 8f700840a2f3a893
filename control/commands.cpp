#include "control/commands.h"

#include "control/devicemenu.h"
#include "settings/defaults.h"

#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QUrl>

Commands::Commands(QObject *parent)
    : QObject(parent)
    , devices(new DeviceMenu)
    , help(new QAction(QStringLiteral("查看教程"), this))
    , itunes(new QAction(QStringLiteral("打开iTunes"), this))
    , update(new QAction(QStringLiteral("下载更新"), this))
    , about(new QAction(QStringLiteral("关于"), this))
    , autostart(new QAction(QStringLiteral("开机时启动"), this))
    , quit(new QAction(QStringLiteral("退出"), this))
    , tray(new QMenu)
    , settings(new QMenu)
{
    update->setEnabled(false);
    autostart->setCheckable(true);

    // The window has a button of its own for iTunes and a link to the tutorial.
    tray->addAction(help);
    tray->addMenu(devices);
    tray->addSeparator();
    tray->addAction(itunes);
    settings->addMenu(devices);
    settings->addSeparator();
    for (QMenu *menu : {tray, settings}) {
        menu->addActions({update, about, autostart});
        menu->setToolTipsVisible(true);
        menu->addSeparator();
        menu->addAction(quit);
    }

    connect(help, &QAction::triggered, this, [] {
        QDesktopServices::openUrl(QUrl(QString::fromLatin1(Belfry::HelpPage), QUrl::TolerantMode));
    });
    connect(devices, &DeviceMenu::unpair, this, &Commands::emit_unpair);
    connect(itunes, &QAction::triggered, this, &Commands::emit_itunes);
    connect(update, &QAction::triggered, this, &Commands::emit_update);
    connect(about, &QAction::triggered, this, &Commands::emit_about);
    connect(autostart, &QAction::triggered, this, &Commands::emit_autostart);
    connect(quit, &QAction::triggered, this, &Commands::emit_quit);
}

Commands::~Commands()
{
    // The submenu goes first, so that no menu is left holding its entry.
    delete devices;
    delete tray;
    delete settings;
}

void Commands::paired(const QString &name)
{
    devices->paired(name);
    help->setEnabled(true);
}

void Commands::deviceRemove()
{
    devices->removed();
    help->setEnabled(false);
}

void Commands::setUpdate()
{
    update->setEnabled(true);
}

void Commands::setAutostart(bool on, bool forEveryone)
{
    autostart->setChecked(on);
    // An install for everyone chose it for every user; only that changes it.
    autostart->setEnabled(!forEveryone);
    autostart->setToolTip(forEveryone ? QStringLiteral("安装时已为这台电脑的所有用户设置") : QString());
}
