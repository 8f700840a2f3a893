#include "dialogs/networkconnection.h"

#include "dialogs/messagedialog.h"

#include <QCloseEvent>

NetworkConnection::NetworkConnection(QWidget *parent)
    : QDialog(parent)
    , label(nullptr)
    , layout(nullptr)
{
    buildMessageDialog(this,
        QStringLiteral("<center><span style='font-family:serif,Times;font-size:15px;'>"
                       "当前网络不可用, 请检查您的网络连接</span></center>"),
        label, layout);
}

void NetworkConnection::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
