#include "window/label.h"

#include <QMouseEvent>

Label::Label(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{ }

void Label::mousePressEvent(QMouseEvent *event)
{
    QLabel::mousePressEvent(event);
    event->ignore();
}

void Label::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    // Any button counts, wherever the pointer is by now: the release only
    // reaches us when the press did.
    emit triggered();
    event->ignore();
}

void Label::mouseMoveEvent(QMouseEvent *event)
{
    QLabel::mouseMoveEvent(event);
    event->ignore();
}
