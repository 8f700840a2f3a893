#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include "control/schedule.h"

class About;
class Autostart;
class Code;
class Commands;
class Config;
class Download;
class FeedBack;
class Heart;
class NetworkConnection;
class Tray;
class Update;
class Window;

// The one object that knows every other: it creates the service clients, the
// windows, the tray icon and the dialogs, wires their signals, keeps the
// paired devices, decides what is on screen, drives the beat and ends the
// program. The objects below it only report and display.
class Control : public QObject
{
    Q_OBJECT
public:
    explicit Control(Config *config, QObject *parent = nullptr);
    ~Control() override;

signals:
    void emit_exit();

public slots:
    void pairDevice(QString ida, QString name);
    void quit();
    // The desktop session ends: quits, and gives the farewell the time to
    // leave, since the process may be killed as soon as this returns.
    void sessionEnding();
    void newConnection();
    void toExit();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void requestRingtone(int id);
    void pairingLost(bool ok);
    void remoteSetting(const QString &key, const QString &value);
    void networkState(int err);
    void updateAnnounced(const QMap<QString, QString> &info);
    void unpair();
    void startITunes();
    void openUpdate();
    void open();
    void pairingClosed(bool ok);
    void startBeat();
    void resetBeat();
    // At most one of the pairing page, the window and the network dialog is
    // on screen. Icon is none of them but the tray icon; Nothing leaves the
    // icon as it is; Gone takes everything away.
    enum class Screen { Nothing, Icon, Page, Window, Network, Gone };
    void show(Screen next);
    void connectAll();

    Config *config;
    About *about;
    Code *code;
    Tray *tray;
    Commands *commands;
    Autostart *autostart;
    Update *updateDialog;
    NetworkConnection *networkDialog;
    Window *window;
    FeedBack *feedBack;
    Heart *heart;
    Download *download;
    Screen screen;
    // From a failed request to the next answer.
    bool networkDown;
    QMap<QString, QString> devices;

    BeatSchedule beat;
    int beatTimer;
    // Keeps a beat from being sent from within the sending of another.
    bool beatGuard;
};
