#include "window/button.h"

#include "window/label.h"

Button::Button(const QString &text, QWidget *parent)
    : QToolButton(parent)
{
    setFixedSize(134, 134);
    setCheckable(true);
    setAttribute(Qt::WA_TranslucentBackground);
    // The style sheet gives a transparent background when neither hovered nor
    // checked; a raised tool button would still draw the style's own panel
    // there (a dark box), so let the button lie flat.
    setAutoRaise(true);

    caption = new Label(QStringLiteral("<center>%0</center>").arg(text), this);
    caption->setObjectName(QStringLiteral("button"));
    // As tall as the button but pushed 30 pixels down: the text sits in the
    // lower part of the picture, and what hangs below the button is clipped.
    caption->setFixedSize(size());
    caption->move(0, 30);
}
