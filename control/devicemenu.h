#pragma once

#include <QMenu>

class QAction;

// The "已连接设备" entry that the window's settings menu and the tray's menu
// share: one submenu titled by the phone paired last (or "无设备"), holding
// the unpair entry, and disabled while no phone is paired. Like the menus it
// goes into, it has no parent widget; whoever makes it deletes it.
class DeviceMenu : public QMenu
{
    Q_OBJECT
public:
    DeviceMenu();
    ~DeviceMenu() override;

public slots:
    void paired(const QString &name);
    void removed();

signals:
    void unpair();

private:
    QMenu *device;
    QAction *unpairAction;
};
