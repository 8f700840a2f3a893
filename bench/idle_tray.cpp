// The yardstick for the idle footprint: a Qt widgets program that shows a
// tray icon and nothing else.

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);

    // As large as the program's own tray picture.
    QPixmap picture(256, 256);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(200, 150, 40));
    painter.drawEllipse(16, 16, 224, 224);
    painter.end();

    const QIcon icon(picture);
    QSystemTrayIcon tray(icon);
    tray.show();
    return app.exec();
}
