#pragma once

#include <QWidget>

// The three tutorial pages shown to the right of the step buttons: a picture
// of the step with a short instruction laid over it.

class Content_1 : public QWidget
{
    Q_OBJECT
public:
    explicit Content_1(QWidget *parent = nullptr);
};

class Content_2 : public QWidget
{
    Q_OBJECT
public:
    explicit Content_2(QWidget *parent = nullptr);
};

class Content_3 : public QWidget
{
    Q_OBJECT
public:
    explicit Content_3(QWidget *parent = nullptr);
};
