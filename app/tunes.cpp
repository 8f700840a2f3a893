#include "app/tunes.h"

#include "dialogs/messagedialog.h"
#include "settings/config.h"
#include "settings/defaults.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QUrl>

Tunes::Tunes(Mode mode, const QString &command, QWidget *parent)
    : QDialog(parent)
    , layout(nullptr)
    , label(nullptr)
{
    const QString text = mode == Mode::Install
        ? QStringLiteral("<center><span style='font-family:serif,Times;font-size:15px;'>"
                         "Carillo依赖于官方的 iTunes<br/>请先 <a href='%1'>下载iTunes</a>"
                         "</span></center>")
              .arg(QString::fromLatin1(Belfry::ITunesDownloadPage))
        : QStringLiteral("<center><span style='font-family:serif,Times;font-size:15px;'>"
                         "iTunes 还未初始化<br><a href='file://iTunes'>初始化您的 iTunes</a>"
                         "</span></center>");
    buildMessageDialog(this, text, label, layout, WindowButtons::Default);

    // Only web addresses go to the browser; the "init" link starts iTunes.
    // Anything else just ends the program, like closing the dialog.
    connect(label, &QLabel::linkActivated, this, [command](const QString &link) {
        if (link.startsWith(QLatin1String("http://")))
            QDesktopServices::openUrl(QUrl(link));
        else if (link.startsWith(QLatin1String("file://")))
            startCommand(command);
        QCoreApplication::quit();
    });
    // Escape rejects the dialog without a close event; the program runs
    // without quitting on its last window, so this would leave it windowless.
    connect(this, &QDialog::finished, this, [] {
        QCoreApplication::quit();
    });
}

Tunes::~Tunes()
{
    if (layout)
        layout->deleteLater();
    if (label)
        label->deleteLater();
}

void Tunes::closeEvent(QCloseEvent *event)
{
    QDialog::closeEvent(event);
    QCoreApplication::quit();
}
