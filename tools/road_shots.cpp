// Pictures of the whole road, taken from the real controller against a small
// stand-in for the service on 127.0.0.1: the pairing page at start, the
// countdown after a pairing, the window and tray icon after it, the strip
// during a sync of three ringtones, the balloon, the network dialog and the
// update dialog. Run on a virtual display with a tray host and no window
// manager: road_shots OUTPUT_DIR
#include "control/control.h"
#include "resource/resources.h"
#include "service/heart.h"
#include "settings/config.h"
#include "tray/tray.h"
#include "window/stylesheet.h"
#include "window/window.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include "tests/support/servicestandin.h"

namespace {

QDir out;

void settle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void saveScreen(const QRect &area, const QString &name)
{
    const QPixmap shot
        = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    qDebug() << (shot.save(out.filePath(name)) ? "saved" : "cannot save") << name;
}

template<class T>
T *topLevel(const char *className = nullptr)
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *w : widgets) {
        if (!w->isVisible())
            continue;
        if (className ? QLatin1String(w->metaObject()->className()) == QLatin1String(className)
                      : qobject_cast<T *>(w) != nullptr)
            return static_cast<T *>(w);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral(".config")).toUtf8());
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    Resources::init();
    app.setStyleSheet(applicationStyleSheet());
    out.setPath(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    out.mkpath(QStringLiteral("."));

    ServiceStandIn service;
    // Files come slowly enough for the strip to be seen at work.
    service.route("GET", ServiceStandIn::FilePattern, [&service](Exchange &exchange) {
        const int id = exchange.match(1).toInt();
        QElapsedTimer asked;
        asked.start();
        exchange.hold([asked, id] { return asked.elapsed() >= 1500 * id; },
            [&service, id](Exchange &late) { service.file(late, id); });
    });
    Config config(QStringLiteral("Corvale"), QStringLiteral("Belfry"), QStringLiteral("1.0.1"),
        {{QStringLiteral("InstallLocation"), QStringLiteral("C:/iTunes/")}}, home.filePath(QStringLiteral("auto-add")));
    config.set(Belfry::ServiceHostKey, service.base());
    config.set(Belfry::RingtoneHostKey, service.base());
    config.set(Belfry::ClientIdKey, QStringLiteral("3f2a6c1e-8b4d-Re2a-9c71-5d0b8e6f1a24"));
    QElapsedTimer wait;
    wait.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable() && wait.elapsed() < 10000)
        settle(100);

    Control control(&config);
    Heart *heart = control.findChild<Heart *>();
    QWidget *page = topLevel<QWidget>("Code");
    page->move(380, 150);
    settle(800);
    saveScreen(page->frameGeometry(), QStringLiteral("road-1-pairing.png"));

    service.pair(QStringLiteral("dev-1"), QStringLiteral("小明的iPhone"));
    heart->beat(5);
    settle(500);
    saveScreen(page->frameGeometry(), QStringLiteral("road-2-countdown.png"));

    settle(2500);
    auto *window = topLevel<Window>();
    Tray *tray = window->findChild<Tray *>();
    window->move(200, 60);
    settle(500);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    saveScreen(screen, QStringLiteral("road-3-paired.png"));

    const QStringList names {
        QStringLiteral("夜空中最亮的星 (Ringtone Remix)"), QStringLiteral("小幸运"), QStringLiteral("晴天")};
    for (int id = 1; id <= 3; ++id)
        service.send(id, names.at(id - 1), QByteArray(4096, 'r'));
    heart->beat(5);
    settle(2200);
    saveScreen(window->frameGeometry().united(tray->geometry()), QStringLiteral("road-4-sync.png"));
    settle(3500);
    const QRect balloon = topLevel<QWidget>("QBalloonTip") ? topLevel<QWidget>("QBalloonTip")->geometry() : QRect();
    saveScreen(balloon.united(tray->geometry()).adjusted(-8, -4, 8, 8), QStringLiteral("road-5-balloon.png"));

    service.announce(QStringLiteral("1.1.0"), QStringLiteral("http://www.corvale.example/Carillo-1.1.0.exe"));
    heart->checkUpdate();
    settle(800);
    if (QWidget *update = topLevel<QWidget>("Update"))
        saveScreen(update->frameGeometry(), QStringLiteral("road-6-update.png"));

    emit heart->network(3);
    settle(500);
    if (QWidget *network = topLevel<QWidget>("NetworkConnection"))
        saveScreen(network->frameGeometry(), QStringLiteral("road-7-network.png"));
    return 0;
}
