#pragma once

#include <QObject>

class DeviceMenu;
class QAction;
class QMenu;

// The user's commands, each made once: the tray's menu and the window's
// settings menu show the same entries, so a pairing, an update announced or
// the start-with-the-system switch shows in both at once. Choosing an entry
// leaves as a signal for the controller; only the tutorial opens the browser
// itself.
class Commands : public QObject
{
    Q_OBJECT
public:
    explicit Commands(QObject *parent = nullptr);
    ~Commands() override;

    // Both menus have no parent widget; they live as long as the commands.
    QMenu *trayMenu() const { return tray; }
    QMenu *settingsMenu() const { return settings; }

signals:
    void emit_itunes();
    void emit_unpair();
    void emit_update();
    void emit_about();
    void emit_quit();
    void emit_autostart(bool on);

public slots:
    void paired(const QString &name);
    void deviceRemove();
    void setUpdate();
    void setAutostart(bool on, bool forEveryone);

private:
    DeviceMenu *devices;
    QAction *help;
    QAction *itunes;
    QAction *update;
    QAction *about;
    QAction *autostart;
    QAction *quit;
    QMenu *tray;
    QMenu *settings;
};
