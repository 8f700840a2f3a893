#include "dialogs/about.h"

#include "settings/defaults.h"

#include <QCloseEvent>
#include <QDate>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

About::About(QWidget *parent)
    : QDialog(parent)
    , logoLayout(nullptr)
    , mainLayout(nullptr)
    , logoLabel(nullptr)
    , textLabel(nullptr)
{
    setFixedSize(400, 200);
    setWindowFlags(windowFlags() & ~(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    setWindowIcon(QIcon(QStringLiteral(":/resource/logo.win.png")));
    setWindowTitle(QStringLiteral("关于"));

    logoLabel = new QLabel;
    logoLabel->setFixedSize(100, 100);
    logoLabel->setScaledContents(true);

    logoLayout = new QHBoxLayout;
    logoLayout->setContentsMargins(0, 0, 0, 0);
    logoLayout->setSpacing(0);
    logoLayout->addSpacing(100);
    logoLayout->addWidget(logoLabel);
    logoLayout->addSpacing(100);

    const QString format
        = QStringLiteral("<center><font face='Times,serif'>"
                         "<p><font size=4>%0</font>&nbsp;&nbsp;&nbsp;<font size=2>Version %1</font></p>"
                         "&copy; %2 ")
        + QString::fromLatin1(Belfry::Organization) + QStringLiteral("</font></center>");
    textLabel = new QLabel(format.arg(QString::fromLatin1(Belfry::DisplayName))
                               .arg(QString::fromLatin1(Belfry::Version))
                               .arg(QDate::currentDate().year()));

    mainLayout = new QVBoxLayout;
    mainLayout->addSpacing(2);
    mainLayout->addLayout(logoLayout);
    mainLayout->addWidget(textLabel);
    setLayout(mainLayout);
}

About::~About()
{
    delete mainLayout;
    delete logoLabel;
}

// The logo is decoded when the dialog is first shown, not while the program
// waits in the tray.
void About::showEvent(QShowEvent *event)
{
    if (logoLabel->pixmap(Qt::ReturnByValue).isNull())
        logoLabel->setPixmap(QPixmap(QStringLiteral(":/resource/logo.png")));
    QDialog::showEvent(event);
}

void About::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}
