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

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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

// The service: each beat takes the next scripted answer; files come slowly
// enough for the strip to be seen at work.
struct Service
{
    httplib::Server http;
    std::thread thread;
    std::mutex mutex;
    std::string next = "{\"status\":0}";
    int port = 0;

    Service()
    {
        http.Post("/p/v1/heart", [this](const httplib::Request &, httplib::Response &res) {
            std::lock_guard<std::mutex> lock(mutex);
            res.set_content(next, "application/json");
            next = "{\"status\":0}";
        });
        http.Get("/p/conf", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("{\"status\":0}", "application/json");
        });
        http.Get("/apiv1/ringtone", [this](const httplib::Request &req, httplib::Response &res) {
            static const char *const names[] = {"", "夜空中最亮的星 (Ringtone Remix)", "小幸运", "晴天"};
            const int id = std::stoi(req.get_param_value("ringtoneid"));
            res.set_content(std::string("{\"status\":0,\"data\":{\"name\":\"") + names[id % 4]
                    + "\",\"download_url\":\"http://127.0.0.1:" + std::to_string(port) + "/files/"
                    + std::to_string(id) + "\"}}",
                "application/json");
        });
        http.Get(R"(/files/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500 * std::stoi(req.matches[1])));
            res.set_content(std::string(4096, 'r'), "audio/x-m4r");
        });
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
    }
    ~Service()
    {
        http.stop();
        thread.join();
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    void answer(const std::string &json)
    {
        std::lock_guard<std::mutex> lock(mutex);
        next = json;
    }
};

}  // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral(".config")).toUtf8());
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    Resources::init();
    installFontSubstitutes();
    app.setStyleSheet(applicationStyleSheet());
    out.setPath(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    out.mkpath(QStringLiteral("."));

    Service service;
    Config config(QStringLiteral("Corvale"), QStringLiteral("Belfry"), QStringLiteral("1.0.1"),
        {{QStringLiteral("InstallLocation"), QStringLiteral("C:/iTunes/")}});
    config.set(Belfry::ServiceHostKey, service.base());
    config.set(Belfry::RingtoneHostKey, service.base());
    config.set(Belfry::ITunesFolderKey, home.filePath(QStringLiteral("auto-add")));
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

    service.answer("{\"status\":0,\"pair\":[{\"id\":\"dev-1\",\"name\":\"小明的iPhone\"}]}");
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

    service.answer("{\"status\":0,\"sync\":[\"1\",\"2\",\"3\"]}");
    heart->beat(5);
    settle(2200);
    saveScreen(window->frameGeometry().united(tray->geometry()), QStringLiteral("road-4-sync.png"));
    settle(3500);
    const QRect balloon = topLevel<QWidget>("QBalloonTip") ? topLevel<QWidget>("QBalloonTip")->geometry() : QRect();
    saveScreen(balloon.united(tray->geometry()).adjusted(-8, -4, 8, 8), QStringLiteral("road-5-balloon.png"));

    service.answer("{\"status\":0,\"update\":{\"version\":\"1.1.0\",\"download\":\"http://www.corvale.example/Carillo-1.1.0.exe\"}}");
    heart->beat(5);
    settle(800);
    if (QWidget *update = topLevel<QWidget>("Update"))
        saveScreen(update->frameGeometry(), QStringLiteral("road-6-update.png"));

    emit heart->network(3);
    settle(500);
    if (QWidget *network = topLevel<QWidget>("NetworkConnection"))
        saveScreen(network->frameGeometry(), QStringLiteral("road-7-network.png"));
    return 0;
}
