#include "control/control.h"

#include "control/commands.h"
#include "dialogs/about.h"
#include "dialogs/networkconnection.h"
#include "dialogs/update.h"
#include "service/webaddress.h"
#include "pairing/code.h"
#include "service/download.h"
#include "service/feedback.h"
#include "service/heart.h"
#include "settings/autostart.h"
#include "settings/config.h"
#include "settings/defaults.h"
#include "tray/tray.h"
#include "window/window.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QEventLoop>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>

namespace {

// Between the farewell beat and the end of the process, so the beat can leave.
constexpr int ExitDelay = 3000;
// Windows asks a program that keeps the end of a session waiting for five
// seconds whether to end it anyway.
constexpr int SessionEndWait = 2000;

bool sameName(const QString &a, QLatin1String b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The service speaks plain HTTP, so whoever sits on the way can answer for
// it. It may tune the program, but not change its identity, its pairing, the
// command a balloon click starts or the folder it writes into. Keys are
// compared the way the settings file resolves them: either separator, empty
// parts dropped, any case (Windows' INI files ignore it).
bool remotelyWritable(QString key)
{
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = key.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    const QString &first = parts.first();
    // Nor which ringtones it stored: one named there would be confirmed and
    // never fetched, one taken out would be stored twice.
    if (sameName(first, Belfry::ITunesGroup) || sameName(first, Belfry::DevicesGroup)
        || sameName(first, Belfry::StoredGroup))
        return false;
    return !(parts.size() == 1 && (sameName(first, Belfry::ClientIdKey) || sameName(first, Belfry::VersionKey)));
}

}  // namespace

Control::Control(Config *config, QObject *parent)
    : QObject(parent)
    , config(config)
    , about(nullptr)
    , code(nullptr)
    , tray(nullptr)
    , commands(nullptr)
    , autostart(nullptr)
    , updateDialog(nullptr)
    , networkDialog(nullptr)
    , window(nullptr)
    , feedBack(nullptr)
    , heart(nullptr)
    , download(nullptr)
    , screen(Screen::Nothing)
    , networkDown(false)
    , beatTimer(0)
    , beatGuard(true)
{
    const QString pcid = config->clientId();
    const QString version = config->version();
    const QString host = config->serviceHost();
    beat.reset(config->Pulse());

    feedBack = new FeedBack(version, host, pcid);
    heart = new Heart(QUrl(host), pcid, version, this);
    download = new Download(QDir(config->iTunesFolder()), config->ringtoneHost(), this);
    window = new Window;
    code = new Code(pcid);
    about = new About;
    networkDialog = new NetworkConnection;
    tray = new Tray(window);
    commands = new Commands(this);
    tray->setContextMenu(commands->trayMenu());
    window->setSettingsMenu(commands->settingsMenu());
    autostart = new Autostart(this);
    commands->setAutostart(autostart->isOn(), autostart->isForEveryone());

    if (config->hasUpdate())
        commands->setUpdate();

    connectAll();

    const QStringList paired = config->devices();
    for (const QString &ida : paired)
        pairDevice(ida, config->getDevice(ida));
    show(config->containDevices() ? Screen::Icon : Screen::Page);

    startBeat();
    heart->getConfig();
}

Control::~Control()
{
    delete updateDialog;
    delete code;
    delete tray;
    delete about;
    delete window;
    delete heart;
    delete download;
    // Parentless like the others; nothing else would release them.
    delete networkDialog;
    delete feedBack;
}

void Control::connectAll()
{
    connect(heart, &Heart::get, this, &Control::requestRingtone);
    connect(heart, &Heart::device, this, [this](QString ida, QString name) {
        beat.activity();
        pairDevice(ida, name);
    });
    connect(heart, &Heart::paired, this, &Control::pairingLost);
    connect(heart, &Heart::config, this, &Control::remoteSetting);
    connect(heart, &Heart::network, this, &Control::networkState);
    connect(heart, &Heart::update, this, &Control::updateAnnounced);
    connect(commands, &Commands::emit_unpair, this, &Control::unpair);
    connect(commands, &Commands::emit_itunes, this, &Control::startITunes);
    connect(commands, &Commands::emit_about, this, [this] {
        about->show();
        about->raise();
    });
    connect(commands, &Commands::emit_quit, this, &Control::quit);
    connect(commands, &Commands::emit_update, this, &Control::openUpdate);
    // The entry shows what the system does, also when the change failed.
    connect(commands, &Commands::emit_autostart, this, [this](bool on) {
        autostart->set(on);
        commands->setAutostart(autostart->isOn(), autostart->isForEveryone());
    });
    connect(tray, &Tray::emit_itunes, this, &Control::startITunes);
    connect(window, &Window::emit_itunes, this, &Control::startITunes);
    connect(tray, &Tray::emit_wanted, this, &Control::resetBeat);
    connect(tray, &Tray::emit_open, this, &Control::open);
    connect(tray, &Tray::emit_help, window, &Window::goToHelp);
    connect(heart, &Heart::info, feedBack, &FeedBack::send);
    connect(download, &Download::info, feedBack, &FeedBack::send);
    connect(download, &Download::add, window, &Window::emit_download);
    connect(download, &Download::finish, window, &Window::emit_finish);
    connect(download, &Download::failed, window, &Window::emit_failed);
    connect(download, &Download::stored, this, [this](int id) {
        config->rememberStored(id);
        heart->confirm(id);
    });
    connect(download, &Download::add, tray, &Tray::download);
    connect(code, &Code::ok, this, &Control::pairingClosed);
    connect(window, &Window::emit_syncFinished, tray, &Tray::notify);
}

void Control::requestRingtone(int id)
{
    beat.activity();
    // Stored before and not confirmed, the confirmation lost or the program
    // ended before it left: only the confirmation goes again.
    if (config->isStored(id)) {
        heart->confirm(id);
        return;
    }
    download->get(id);
}

void Control::pairDevice(QString ida, QString name)
{
    if (devices.contains(ida))
        return;
    devices.insert(ida, name);
    commands->paired(name);
    config->newDevice(ida, name);
    config->setAccess();
    // Counts down only while the page is on screen.
    code->paired();
}

void Control::pairingLost(bool ok)
{
    if (ok || !code->isHidden())
        return;
    show(Screen::Page);
    config->delAllDevice();
    devices.clear();
}

void Control::remoteSetting(const QString &key, const QString &value)
{
    if (!config->contains(key) || config->get(key).toString() == value)
        return;
    if (!remotelyWritable(key)) {
        qDebug() << "the service may not change the setting" << key << "- ignored";
        return;
    }
    config->set(key, value);
}

void Control::networkState(int err)
{
    if (err == 0) {
        networkDown = false;
        // The failure took the screen; without the page an unpaired program
        // would have nothing on screen and no tray icon.
        if (screen == Screen::Network)
            show(devices.isEmpty() ? Screen::Page : Screen::Icon);
        return;
    }
    // Once per outage, not once per failed beat.
    if (!networkDown) {
        networkDown = true;
        show(Screen::Network);
    }
}

void Control::updateAnnounced(const QMap<QString, QString> &info)
{
    const QString version = info.value(QStringLiteral("version"));
    if (version == config->version() || !info.contains(QStringLiteral("download")))
        return;
    if (version == config->updateVersion())
        return;
    config->setUpdate(version, info.value(QStringLiteral("download")));
    commands->setUpdate();

    delete updateDialog;
    updateDialog = new Update(config->updateVersion(), config->updateDownload());
    show(Screen::Nothing);
    updateDialog->show();
}

void Control::unpair()
{
    QStringList idas;
    const QStringList keys = config->devices();
    for (const QString &ida : keys) {
        idas.append(ida);
        devices.remove(ida);
        config->delDevice(ida);
    }
    heart->unpair(idas);
    commands->deviceRemove();
    show(Screen::Page);
}

void Control::startITunes()
{
    startCommand(config->iTunesCMD());
}

void Control::openUpdate()
{
    if (!config->hasUpdate())
        return;
    // The address came from the service: a web page may open, a local file
    // or program may not.
    const QString address = config->updateDownload();
    const QUrl url(address);
    if (!isWebAddress(url)) {
        qDebug() << "update address is not a web address, not opened:" << address;
        return;
    }
    QDesktopServices::openUrl(url);
}

void Control::open()
{
    if (!devices.isEmpty())
        show(Screen::Window);
    else if (networkDown)
        show(Screen::Network);
    else
        show(code->isVisible() ? Screen::Nothing : Screen::Page);
}

void Control::pairingClosed(bool ok)
{
    if (!ok) {
        show(Screen::Gone);
        toExit();
        return;
    }
    show(Screen::Window);
}

void Control::newConnection()
{
    show(devices.isEmpty() ? Screen::Page : Screen::Window);
}

void Control::quit()
{
    // The end of the session, SIGTERM and the menu can all ask; one farewell
    // is enough.
    if (screen == Screen::Gone)
        return;
    // The farewell must be the last beat: one more would tell the service
    // that the PC stays for another pulse.
    killTimer(beatTimer);
    beatTimer = 0;
    heart->beat(1);
    emit emit_exit();
    show(Screen::Gone);
    QTimer::singleShot(ExitDelay, this, &Control::toExit);
}

void Control::sessionEnding()
{
    quit();
    QEventLoop wait;
    connect(heart, &Heart::network, &wait, &QEventLoop::quit);
    connect(heart, &Heart::info, &wait, &QEventLoop::quit);
    QTimer::singleShot(SessionEndWait, &wait, &QEventLoop::quit);
    wait.exec();
}

void Control::toExit()
{
    QCoreApplication::exit(0);
}

void Control::show(Screen next)
{
    // Nothing comes back while the program leaves, whatever the service says.
    if (screen == Screen::Gone)
        return;
    screen = next;
    code->setVisible(next == Screen::Page);
    window->setVisible(next == Screen::Window);
    networkDialog->setVisible(next == Screen::Network);
    // The icon belongs to a paired program: it comes with the window and
    // goes with the pairing page.
    if (next == Screen::Icon || next == Screen::Window)
        tray->show();
    if (next == Screen::Page || next == Screen::Gone) {
        tray->hide();
        about->hide();
    }
    if (next == Screen::Gone && updateDialog)
        updateDialog->hide();
    QWidget *front = next == Screen::Page ? static_cast<QWidget *>(code)
        : next == Screen::Window          ? static_cast<QWidget *>(window)
        : next == Screen::Network         ? static_cast<QWidget *>(networkDialog)
                                          : nullptr;
    if (front) {
        front->raise();
        front->activateWindow();
    }
}

void Control::startBeat()
{
    beatTimer = startTimer(beat.pulse() * 1000, Qt::CoarseTimer);
}

void Control::resetBeat()
{
    if (beatTimer == 0)
        return;
    killTimer(beatTimer);
    beat.reset(config->Pulse());
    startBeat();
}

void Control::timerEvent(QTimerEvent *event)
{
    // Every timer of the controller is the beat; none runs once the program
    // is leaving.
    if (beatTimer == 0)
        return;
    if (beatGuard) {
        beatGuard = false;
        heart->beat(beat.pulse());
        beatGuard = true;
    }
    const BeatSchedule::Tick tick = beat.tick();
    if (tick.restart) {
        killTimer(beatTimer);
        startBeat();
    }
    event->accept();
    if (tick.checkUpdate)
        heart->checkUpdate();
}
