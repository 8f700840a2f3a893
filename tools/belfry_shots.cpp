// Takes the screenshots of the tray, the pairing page and the dialogs for the
// docs. Run under a virtual display with a tray host and no window manager:
//   Xvfb :58 -screen 0 1280x800x24 &
//   DISPLAY=:58 trayer --edge top --align right --widthtype request --height 24 &
//   DISPLAY=:58 belfry_shots docs/screenshots
#include "control/commands.h"
#include "dialogs/about.h"
#include "dialogs/networkconnection.h"
#include "dialogs/update.h"
#include "pairing/code.h"
#include "resource/resources.h"
#include "tray/tray.h"
#include "window/stylesheet.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace {
QString outDir;

void settle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void save(const QPixmap &picture, const QString &name)
{
    const QString file = outDir + QLatin1Char('/') + name;
    qDebug() << (picture.save(file) ? "saved" : "cannot save") << file;
}

void saveScreen(const QRect &area, const QString &name)
{
    save(QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()),
        name);
}

QWidget *balloon()
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *w : widgets) {
        if (w->isVisible() && QLatin1String(w->metaObject()->className()) == QLatin1String("QBalloonTip"))
            return w;
    }
    return nullptr;
}
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Resources::init();
    app.setStyleSheet(applicationStyleSheet());
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(outDir);

    Code page(QStringLiteral("3f2a6c1e-8b4d-4e2a-9c71-5d0b8e6f1a24"));
    page.move(200, 150);
    page.show();
    settle(500);
    save(page.grab(), QStringLiteral("pairing.png"));
    page.paired();
    settle(300);
    save(page.grab(), QStringLiteral("pairing-ok.png"));
    page.hide();

    Tray tray;
    Commands commands;
    tray.setContextMenu(commands.trayMenu());
    QElapsedTimer wait;
    wait.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable() && wait.elapsed() < 10000)
        settle(100);
    commands.paired(QStringLiteral("小明的iPhone"));
    commands.setUpdate();
    tray.show();
    settle(800);
    const QRect icon = tray.geometry();
    qDebug() << "tray icon at" << icon;
    tray.contextMenu()->popup(icon.bottomLeft() + QPoint(-400, 4));
    settle(500);
    // Open the device entries as well, to show the paired phone: the first
    // submenu, and the first one in it.
    QList<QMenu *> opened {tray.contextMenu()};
    for (int level = 0; level < 2; ++level) {
        const QList<QAction *> entries = opened.last()->actions();
        QAction *entry = *std::find_if(entries.begin(), entries.end(), [](QAction *action) {
            return action->menu() != nullptr;
        });
        opened.last()->setActiveAction(entry);
        QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
        QApplication::sendEvent(opened.last(), &right);
        settle(400);
        opened << entry->menu();
    }
    QRect menus = icon;
    for (QMenu *menu : opened) {
        if (menu->isVisible())
            menus = menus.united(menu->geometry());
    }
    saveScreen(menus.adjusted(-8, -4, 8, 8), QStringLiteral("tray-menu.png"));
    for (int i = opened.size() - 1; i > 0; --i)
        opened.at(i)->hide();
    tray.contextMenu()->hide();

    tray.notify(3, 1);
    settle(800);
    if (QWidget *tip = balloon())
        saveScreen(tip->geometry().united(icon).adjusted(-8, -4, 8, 8), QStringLiteral("balloon.png"));
    else
        qDebug() << "no balloon widget";
    tray.hide();

    About about;
    about.show();
    settle(300);
    save(about.grab(), QStringLiteral("about.png"));

    Update update(QStringLiteral("1.1.0"), QStringLiteral("http://www.corvale.example/Carillo-1.1.0.exe"));
    update.show();
    settle(300);
    save(update.grab(), QStringLiteral("update.png"));

    NetworkConnection network;
    network.show();
    settle(300);
    save(network.grab(), QStringLiteral("network.png"));
    return 0;
}
