#include "window/window.h"

#include <QAction>
#include <QDesktopServices>
#include <QIcon>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QUrl>

#include "resource/resources.h"
#include "settings/defaults.h"
#include "window/button.h"
#include "window/content.h"
#include "window/label.h"
#include "window/scroll.h"

namespace {

// The window has no title bar: rows above this one drag it.
const int DragStripHeight = 60;

bool leftHeld(const QMouseEvent *event)
{
    return event->buttons() & Qt::LeftButton;
}

QToolButton *toolButton(const QString &name, const QRect &geometry, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAttribute(Qt::WA_TranslucentBackground);
    return button;
}

}  // namespace

Window::Window(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(618, 456);
    setWindowIcon(QIcon(QStringLiteral(":/resource/logo.png")));
    setWindowTitle(QString::fromLatin1(Belfry::DisplayName));
    setWindowFlags(Qt::FramelessWindowHint);
    setContextMenuPolicy(Qt::NoContextMenu);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowModality(Qt::NonModal);
    setFocusPolicy(Qt::StrongFocus);

    closeButton = toolButton(QStringLiteral("btn_close"), QRect(574, 22, 22, 22), this);
    itunesButton = toolButton(QStringLiteral("btn_itunes"), QRect(439, 419, 100, 20), this);
    settingsButton = toolButton(QStringLiteral("btn_settings"), QRect(578, 419, 20, 20), this);
    settingsButton->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    settingsButton->setArrowType(Qt::NoArrow);
    settingsButton->setPopupMode(QToolButton::InstantPopup);
    buildPages();
    connectAll();
}

Window::~Window()
{
    delete closeButton;
}

void Window::setSettingsMenu(QMenu *menu)
{
    auto *menuAction = new QAction(settingsButton);
    menuAction->setMenu(menu);
    settingsButton->setDefaultAction(menuAction);
}

// The tutorial: three pages, one step button each, the progress strip above
// them and the help link below.
void Window::buildPages()
{
    page1 = new Content_1(this);
    page1->setGeometry(141, 59, 470, 350);
    page2 = new Content_2(this);
    page2->setGeometry(141, 59, 470, 350);
    page3 = new Content_3(this);
    page3->setGeometry(141, 59, 470, 350);
    page2->hide();
    page3->hide();

    step1 = new Button(QStringLiteral("请用Tintabell<br>发送铃声至电脑"), this);
    step1->setObjectName(QStringLiteral("cover_1_2"));
    step1->setGeometry(8, 57, 134, 134);
    // Steps 1 and 2 share their name and so their pictures.
    step2 = new Button(QStringLiteral("请用iTunes<br>同步铃声至手机"), this);
    step2->setObjectName(QStringLiteral("cover_1_2"));
    step2->setGeometry(8, 187, 134, 134);
    step3 = new Button(QStringLiteral("请在iPhone<br>中设置铃声"), this);
    step3->setObjectName(QStringLiteral("cover_3"));
    step3->setGeometry(8, 317, 134, 134);
    step1->setChecked(true);

    strip = new Scroll(this);
    strip->setGeometry(194, 15, 332, 36);
    strip->hide();

    helpLink = new Label(QStringLiteral("不会设置铃声？"), this);
    helpLink->setObjectName(QStringLiteral("more_help"));
    helpLink->setGeometry(160, 419, 100, 20);
    helpLink->setCursor(Qt::PointingHandCursor);
}

void Window::connectAll()
{
    connect(step1, &Button::clicked, this, [this] {
        showStep(1);
    });
    connect(step2, &Button::clicked, this, [this] {
        showStep(2);
    });
    connect(step3, &Button::clicked, this, [this] {
        showStep(3);
    });
    // The tray's "查看教程" lands on the iTunes step whatever it asks for.
    connect(this, &Window::goToHelp, this, [this](int step) {
        emit step2->clicked(step != 0);
    });
    connect(closeButton, &QToolButton::released, this, &QWidget::hide);
    connect(itunesButton, &QToolButton::released, this, &Window::emit_itunes);
    connect(this, &Window::emit_download, strip, &Scroll::add);
    connect(this, &Window::emit_finish, strip, &Scroll::finish);
    connect(this, &Window::emit_failed, strip, &Scroll::failed);
    connect(strip, &Scroll::syncFinished, this, &Window::emit_syncFinished);
    connect(helpLink, &Label::triggered, this, [] {
        QDesktopServices::openUrl(QUrl(QString::fromLatin1(Belfry::HelpPage), QUrl::TolerantMode));
    });
}

void Window::showStep(int step)
{
    page1->setVisible(step == 1);
    page2->setVisible(step == 2);
    page3->setVisible(step == 3);
    // Set all three: a click on the checked button must leave it checked.
    step1->setChecked(step == 1);
    step2->setChecked(step == 2);
    step3->setChecked(step == 3);
}

QPoint Window::offsetFrom(const QPoint &globalPos) const
{
    return globalPos - frameGeometry().topLeft();
}

// Dragging follows the pointer pixel for pixel, without a start threshold: a
// press that does not move never moves the window, and a threshold would only
// make the window lag behind the pointer.

void Window::mousePressEvent(QMouseEvent *event)
{
    QWidget::mousePressEvent(event);
    if (event->pos().y() >= DragStripHeight) {
        event->accept();
        return;
    }
    if (!leftHeld(event))
        return;
    dragOffset = offsetFrom(event->globalPos());
    event->accept();
}

void Window::mouseMoveEvent(QMouseEvent *event)
{
    QWidget::mouseMoveEvent(event);
    // Below the strip the offset keeps following the pointer, so a pointer
    // that enters the strip with the button held drags from there.
    if (event->pos().y() >= DragStripHeight) {
        dragOffset = offsetFrom(event->globalPos());
        event->accept();
        return;
    }
    if (dragOffset.isNull())
        dragOffset = offsetFrom(event->globalPos());
    if (!leftHeld(event))
        return;
    move(event->globalPos() - dragOffset);
    dragOffset = offsetFrom(event->globalPos());
    event->accept();
}

void Window::mouseReleaseEvent(QMouseEvent *event)
{
    QWidget::mouseReleaseEvent(event);
    if (dragOffset.isNull() || event->pos().y() >= DragStripHeight) {
        dragOffset = QPoint();
        event->accept();
        return;
    }
    if (!leftHeld(event))
        return;
    move(event->globalPos() - dragOffset);
    dragOffset = QPoint();
    event->accept();
}

void Window::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(
        rect(), Resources::pixmap(QStringLiteral(":/resource/bg.png"), size(), devicePixelRatioF()));
}
