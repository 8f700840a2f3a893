#include "dialogs/update.h"

#include "dialogs/messagedialog.h"
#include "service/webaddress.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QLabel>
#include <QUrl>

namespace {

// The service's texts go into rich text, where a quote or a tag in them would
// turn into markup. The version is shown as text; the address keeps its
// meaning with those characters percent-encoded (Qt takes href values as they
// stand, entities and all).
QString shownText(const QString &text)
{
    return text.toHtmlEscaped();
}

QString linkTarget(QString address)
{
    return address.replace(QLatin1Char('\''), QLatin1String("%27"))
        .replace(QLatin1Char('"'), QLatin1String("%22"))
        .replace(QLatin1Char('<'), QLatin1String("%3C"))
        .replace(QLatin1Char('>'), QLatin1String("%3E"));
}

}  // namespace

Update::Update(const QString &version, const QString &download, QWidget *parent)
    : QDialog(parent)
    , label(nullptr)
    , layout(nullptr)
{
    buildMessageDialog(this,
        QStringLiteral("<center><span style='font-family:serif,Times;font-size:15px;'>"
                       "有新版本可以更新<br>版本号%0, <a href='%1'>立即下载更新</a>"
                       "</span></center>")
            .arg(shownText(version), linkTarget(download)),
        label, layout);
    connect(label, &QLabel::linkActivated, this, &Update::openLink);
}

void Update::openLink(const QString &link)
{
    // The address comes from the service; only a web page may be opened,
    // never a local file or program.
    const QUrl url(link, QUrl::TolerantMode);
    if (isWebAddress(url))
        QDesktopServices::openUrl(url);
    else
        qDebug() << "Update: not a web address, not opened:" << link;
    hide();
}

void Update::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
