// A tray icon with a menu and nothing else, as Qt's own example would have
// it: the Windows road starts it afresh beside the program, so that a fault
// of Wine's tray shows in both and one of ours in the program alone.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {
// Two colours that no empty slot has: a blank slot is one flat colour.
QIcon bell()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(QColor(0x26, 0x33, 0x5a));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0xf5, 0xb7, 0x24));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(6, 6, 20, 20);
    painter.end();
    return QIcon(pixmap);
}
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QMenu menu;
    menu.addAction(QStringLiteral("Open"));
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app,
        &QApplication::quit);
    QSystemTrayIcon tray(bell());
    tray.setContextMenu(&menu);
    tray.show();
    return app.exec();
}
