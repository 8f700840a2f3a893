#pragma once

#include <QPoint>
#include <QWidget>

class QAction;
class QMenu;
class QToolButton;
class Button;
class Content_1;
class Content_2;
class Content_3;
class Label;
class Scroll;

// The frameless main window: the three-step tutorial, the progress strip of a
// running sync, and the settings button, iTunes button and help link. It holds
// no program state; the controller wires its signals and gives it the menu of
// the program's commands.
class Window : public QWidget
{
    Q_OBJECT
public:
    explicit Window(QWidget *parent = nullptr);
    ~Window() override;

signals:
    void emit_download(const QString &url, const QString &name);
    void emit_finish(const QString &url, const QString &name);
    void emit_failed(const QString &url, const QString &name);
    void emit_itunes();
    void emit_syncFinished(int succeed, int failed);
    void goToHelp(int step);

public slots:
    // Shown by the settings button; not owned.
    void setSettingsMenu(QMenu *menu);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void buildPages();
    void connectAll();
    void showStep(int step);
    QPoint offsetFrom(const QPoint &globalPos) const;

    QToolButton *closeButton;
    QToolButton *itunesButton;
    QToolButton *settingsButton;

    Content_1 *page1;
    Content_2 *page2;
    Content_3 *page3;
    Button *step1;
    Button *step2;
    Button *step3;
    Scroll *strip;
    Label *helpLink;

    // Pointer minus the frame's top-left while dragging by the top strip;
    // (0, 0) means unset.
    QPoint dragOffset;

    friend class WindowTest;
};
