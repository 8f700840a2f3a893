#pragma once

#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QMenu;

// The program's presence in the notification area. It does no work of its
// own: every command in its menu leaves as a signal for the controller, except
// opening the help page. While ringtones arrive the icon blinks; a finished
// sync is reported in a balloon whose click starts iTunes.
class Tray : public QSystemTrayIcon
{
    Q_OBJECT
public:
    explicit Tray(QObject *parent = nullptr);
    ~Tray() override;

    QAction *helpAction() const { return help; }
    QAction *unpairAction() const { return unpair; }
    QAction *itunesAction() const { return itunes; }
    QAction *updateAction() const { return update; }
    QAction *aboutAction() const { return about; }
    QAction *quitAction() const { return quit; }
    QMenu *deviceMenu() const { return device; }
    QMenu *devicesMenu() const { return devices; }
    QMenu *menu() const { return context; }

    // Resource path that the blink set last; empty until its first tick.
    QString blinkIconPath() const { return iconPath; }
    // Id of the running blink timer, 0 when the icon does not blink.
    int blinkTimerId() const { return blinkTimer; }

signals:
    void emit_open();
    void emit_about();
    void emit_itunes();
    void emit_quit();
    void emit_clear();
    void emit_wanted();
    void emit_update();
    void emit_help(int step);

public slots:
    void notify(int succeed, int failed);
    void download();
    void paired(const QString &ida, const QString &name);
    void setUpdate();
    void deviceRemove();

protected:
    void timerEvent(QTimerEvent *event) override;
    // The one place the balloon leaves the program; a seam for tests.
    virtual void showBalloon(
        const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon, int msecs);

private:
    void stopBlink();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onMessageClicked();

    QString iconPath;
    QMenu *context;
    QMenu *devices;
    QMenu *device;
    QAction *help;
    QAction *unpair;
    QAction *itunes;
    QAction *update;
    QAction *about;
    QAction *quit;
    int blinkTimer;
    int blinkCount;
};
