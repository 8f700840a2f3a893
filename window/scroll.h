#pragma once

#include <QImage>
#include <QSize>
#include <QStaticText>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class QLabel;

// The spinning wheel of the progress strip.
class Rotate : public QWidget
{
    Q_OBJECT
public:
    explicit Rotate(QWidget *parent = nullptr);

public slots:
    void setRotate(bool start);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void tick();

    QTimer spinTimer;
    bool running = false;
    int angle = 0;

    friend class ScrollTest;
};

// A one-line text that scrolls as a marquee when it is wider than the widget,
// with both edges faded while it moves.
class ScrollText : public QWidget
{
    Q_OBJECT
public:
    ScrollText(const QSize &size, QWidget *parent = nullptr);

public slots:
    void setText(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void timer_timeout();

private:
    void updateText();

    QString shownText;
    QString spacer;
    QStaticText drawnText;
    int textWidth = 0;
    QSize cycleSize = QSize(-1, -1);
    int indent = 0;
    bool scrolling = false;
    int offset = 0;
    QImage fadeMask;
    QImage canvas;
    QTimer scrollTimer;

    friend class ScrollTest;
};

// The strip at the top of the main window that shows running downloads: the
// wheel, "finished/started" and the name of the latest ringtone. It reports
// when every started download has ended.
class Scroll : public QWidget
{
    Q_OBJECT
public:
    explicit Scroll(QWidget *parent = nullptr);

signals:
    void syncFinished(int succeed, int failed);

public slots:
    void add(const QString &url, const QString &name);
    void finish(const QString &url, const QString &name);
    void failed(const QString &url, const QString &name);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showCount();
    void checkCompletion();

    QStringList pending;
    Rotate *rotate;
    QLabel *bar;
    ScrollText *marquee;
    QString currentName;
    int total = 0;
    int succeedCount = 0;
    int failedCount = 0;

    friend class ScrollTest;
    friend class WindowTest;
};
