#pragma once

#include <QToolButton>

class Label;

// A large checkable step button of the tutorial's left column. Its images come
// from the style sheet through the object name its owner gives it; the
// caption lies over the lower part of the button and passes clicks through.
class Button : public QToolButton
{
    Q_OBJECT
public:
    explicit Button(const QString &text, QWidget *parent = nullptr);

private:
    Label *caption;

    friend class WindowTest;
};
