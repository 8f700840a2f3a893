#include "dialogs/messagedialog.h"

#include "settings/defaults.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>

void buildMessageDialog(
    QDialog *dialog, const QString &text, QLabel *&label, QHBoxLayout *&layout, WindowButtons buttons)
{
    if (buttons == WindowButtons::CloseOnly)
        dialog->setWindowFlags(
            dialog->windowFlags() & ~(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    dialog->setFixedSize(280, 100);
    dialog->setWindowIcon(QIcon(QStringLiteral(":/resource/logo.win.png")));
    dialog->setWindowTitle(QString::fromLatin1(Belfry::DisplayName));

    label = new QLabel(text);
    label->setFixedSize(dialog->size());

    layout = new QHBoxLayout(dialog);
    layout->addWidget(label, 0);
    layout->setContentsMargins(0, 0, 0, 0);
    dialog->setLayout(layout);
}
