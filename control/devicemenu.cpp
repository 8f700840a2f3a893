#include "control/devicemenu.h"

#include <QAction>

namespace {
const QString NoDevice = QStringLiteral("无设备");
}  // namespace

DeviceMenu::DeviceMenu()
    : QMenu(QStringLiteral("已连接设备"))
    , device(new QMenu(NoDevice))
{
    unpairAction = device->addAction(QStringLiteral("解除绑定"));
    addMenu(device);
    device->setEnabled(false);
    connect(unpairAction, &QAction::triggered, this, &DeviceMenu::unpair);
}

DeviceMenu::~DeviceMenu()
{
    // The submenu goes first, so that this menu is not left holding its entry.
    delete device;
}

void DeviceMenu::paired(const QString &name)
{
    // Qt takes "&" in a menu title as the mark of a keyboard shortcut: "Tom &
    // Jerry" would lose its ampersand.
    device->setTitle(QString(name).replace(QLatin1Char('&'), QLatin1String("&&")));
    device->setEnabled(true);
    unpairAction->setEnabled(true);
}

void DeviceMenu::removed()
{
    device->setTitle(NoDevice);
    device->setEnabled(false);
    unpairAction->setEnabled(false);
}
