// Saves pictures of the main window on each tutorial page and during a sync.
// Run under a virtual X display: window_shots OUTPUT_DIR
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QScreen>
#include <QTimer>

#include "control/commands.h"
#include "resource/resources.h"
#include "window/stylesheet.h"
#include "window/window.h"

static void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Resources::init();
    app.setStyleSheet(applicationStyleSheet());
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());

    Window window;
    Commands commands;
    window.setSettingsMenu(commands.settingsMenu());
    window.move(40, 40);
    window.show();
    pause(300);
    window.grab().save(out.filePath(QStringLiteral("window-step1.png")));

    // The settings menu of a paired program, opened where the button opens it.
    commands.paired(QStringLiteral("小明的iPhone"));
    commands.setAutostart(true);
    commands.settingsMenu()->popup(window.mapToGlobal(QPoint(578, 439)));
    pause(300);
    const QRect shown = window.frameGeometry().united(commands.settingsMenu()->geometry());
    QGuiApplication::primaryScreen()
        ->grabWindow(0, shown.x(), shown.y(), shown.width(), shown.height())
        .save(out.filePath(QStringLiteral("window-menu.png")));
    commands.settingsMenu()->hide();
    emit window.goToHelp(2);
    pause(100);
    window.grab().save(out.filePath(QStringLiteral("window-step2.png")));
    // Step 3 through its button, as a user would.
    for (QObject *child : window.children()) {
        if (child->objectName() == QLatin1String("cover_3"))
            qobject_cast<QAbstractButton *>(child)->click();
    }
    pause(100);
    window.grab().save(out.filePath(QStringLiteral("window-step3.png")));

    emit window.emit_download(QString(), QStringLiteral("夜空中最亮的星 (Ringtone Remix) - 超长名字"));
    emit window.emit_download(QString(), QStringLiteral("短铃声"));
    pause(2500);
    window.grab().save(out.filePath(QStringLiteral("window-sync.png")));
    if (argc > 2)
        pause(QString::fromLocal8Bit(argv[2]).toInt());
    return 0;
}
