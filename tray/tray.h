#pragma once

#include <QString>
#include <QSystemTrayIcon>

// The program's presence in the notification area. It does no work of its
// own: a click leaves as a signal for the controller, which also gives it the
// menu of the program's commands. While ringtones arrive the icon blinks; a
// finished sync is reported in a balloon whose click starts iTunes.
class Tray : public QSystemTrayIcon
{
    Q_OBJECT
public:
    explicit Tray(QObject *parent = nullptr);

signals:
    void emit_open();
    void emit_itunes();
    void emit_wanted();
    void emit_help(int step);

public slots:
    void notify(int succeed, int failed);
    void download();

protected:
    void timerEvent(QTimerEvent *event) override;
    // The one place the balloon leaves the program; a seam for tests.
    virtual void showBalloon(
        const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon, int msecs);

private:
    void stopBlink();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onMessageClicked();

    // Resource path that the blink set last; empty until its first tick.
    QString iconPath;
    // Id of the running blink timer, 0 when the icon does not blink.
    int blinkTimer;
    int blinkCount;
};
