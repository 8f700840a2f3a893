#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTextDocument>
#include <QToolButton>
#include <QtTest>

#include "pairing/code.h"
#include "resource/resources.h"
#include "settings/defaults.h"
#include "tray/tray.h"
#include "window/button.h"
#include "window/content.h"
#include "window/label.h"
#include "window/scroll.h"
#include "window/stylesheet.h"
#include "window/window.h"


class WindowTest : public QObject
{
    Q_OBJECT

public slots:
    // Stands in for the browser.
    void openUrl(const QUrl &url) { opened.append(url); }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void construction();
    void stepsAndHelp();
    void captionClicksItsButton();
    void dragByTheTopStrip();
    void dragEntersTheStripWhileHeld();
    void buttonsActOnRelease();
    void fixedValues_data();
    void fixedValues();
    void helpLink();
    void downloadsReachTheStrip();
    void picturesWaitUntilShown();
    void textsFitTheirPlaces();

private:
    // Sends a mouse event to the window as the window system would, with the
    // given buttons held, at a point in window coordinates.
    void mouse(QEvent::Type type, const QPoint &pos, Qt::MouseButton button, Qt::MouseButtons held);
    QWindow *handle() const { return window->windowHandle(); }
    QPoint centreOf(const QWidget *child) const { return child->mapTo(window, child->rect().center()); }

    Window *window = nullptr;
    QList<QUrl> opened;
};

void WindowTest::initTestCase()
{
    Resources::init();
    qApp->setStyleSheet(applicationStyleSheet());
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
}

void WindowTest::init()
{
    window = new Window;
    window->move(100, 100);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTRY_COMPARE(window->pos(), QPoint(100, 100));
    opened.clear();
}

void WindowTest::cleanup()
{
    delete window;
    window = nullptr;
}

void WindowTest::mouse(QEvent::Type type, const QPoint &pos, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, pos, pos, window->mapToGlobal(pos), button, held, Qt::NoModifier);
    QApplication::sendEvent(window, &event);
}

void WindowTest::construction()
{
    QVERIFY(window->isWindow());
    QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(window->strip->isHidden());
}

void WindowTest::stepsAndHelp()
{
    auto state = [this] {
        return QVector<bool> {window->page1->isVisible(), window->page2->isVisible(),
            window->page3->isVisible(), window->step1->isChecked(), window->step2->isChecked(),
            window->step3->isChecked()};
    };
    const QPoint onStep3 = window->step3->geometry().topLeft() + QPoint(60, 10);
    QCOMPARE(state(), (QVector<bool> {true, false, false, true, false, false}));
    QTest::mouseClick(handle(), Qt::LeftButton, {}, onStep3);
    QCOMPARE(state(), (QVector<bool> {false, false, true, false, false, true}));
    // A click on the checked step keeps it checked.
    QTest::mouseClick(handle(), Qt::LeftButton, {}, onStep3);
    QCOMPARE(state(), (QVector<bool> {false, false, true, false, false, true}));

    // Whatever step the tray asks for, the iTunes step is shown.
    emit window->goToHelp(0);
    QCOMPARE(state(), (QVector<bool> {false, true, false, false, true, false}));
    QTest::mouseClick(handle(), Qt::LeftButton, {}, onStep3);
    emit window->goToHelp(3);
    QCOMPARE(state(), (QVector<bool> {false, true, false, false, true, false}));
}

void WindowTest::captionClicksItsButton()
{
    const QPoint onCaption = centreOf(window->step3->caption);
    QCOMPARE(window->childAt(onCaption), window->step3->caption);
    QSignalSpy clicked(window->step3, &Button::clicked);
    QSignalSpy triggered(window->step3->caption, &Label::triggered);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, onCaption);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(triggered.count(), 1);
    QVERIFY(window->step3->isChecked());
    QVERIFY(window->page3->isVisible());
}

void WindowTest::dragByTheTopStrip()
{
    // Row 59 is the last one of the strip.
    mouse(QEvent::MouseButtonPress, QPoint(300, 59), Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(window->dragOffset, QPoint(300, 59));
    mouse(QEvent::MouseMove, QPoint(310, 59), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window->pos(), QPoint(110, 100));
    mouse(QEvent::MouseMove, QPoint(300, 50), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window->pos(), QPoint(110, 91));
    // Releasing the left button leaves the offset; the next press replaces it.
    mouse(QEvent::MouseButtonRelease, QPoint(300, 59), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(window->pos(), QPoint(110, 91));
    QCOMPARE(window->dragOffset, QPoint(300, 59));

    // Row 60 belongs to the body: no drag.
    window->move(100, 100);
    QTRY_COMPARE(window->pos(), QPoint(100, 100));
    window->dragOffset = QPoint();
    mouse(QEvent::MouseButtonPress, QPoint(300, 60), Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(window->dragOffset, QPoint());
    mouse(QEvent::MouseMove, QPoint(310, 60), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window->pos(), QPoint(100, 100));
    mouse(QEvent::MouseButtonRelease, QPoint(310, 60), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(window->dragOffset, QPoint());
    QCOMPARE(window->pos(), QPoint(100, 100));

    // A press on the very corner gives a zero offset, which reads as unset:
    // the first move takes its offset from where the pointer is then, and the
    // window follows from there on without jumping to the pointer.
    mouse(QEvent::MouseButtonPress, QPoint(0, 0), Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(window->dragOffset, QPoint());
    mouse(QEvent::MouseMove, QPoint(10, 5), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window->pos(), QPoint(100, 100));
    QCOMPARE(window->dragOffset, QPoint(10, 5));
    mouse(QEvent::MouseMove, QPoint(30, 5), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window->pos(), QPoint(120, 100));
    mouse(QEvent::MouseButtonRelease, QPoint(10, 5), Qt::LeftButton, Qt::NoButton);
}

void WindowTest::dragEntersTheStripWhileHeld()
{
    // Through the real event path: the press lands on the tutorial page and
    // is passed up to the window.
    QTest::mousePress(handle(), Qt::LeftButton, {}, QPoint(300, 80));
    QCOMPARE(window->dragOffset, QPoint());
    QTest::mouseMove(handle(), QPoint(300, 70));
    QCOMPARE(window->pos(), QPoint(100, 100));
    QCOMPARE(window->dragOffset, QPoint(300, 70));
    // Into the strip with the button still held: the window follows.
    mouse(QEvent::MouseMove, QPoint(280, 40), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window->pos(), QPoint(80, 70));
    QTest::mouseRelease(handle(), Qt::LeftButton, {}, QPoint(300, 70));
}

void WindowTest::buttonsActOnRelease()
{
    QSignalSpy itunes(window, &Window::emit_itunes);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, centreOf(window->itunesButton));
    QCOMPARE(itunes.count(), 1);

    // Pressed, then dragged off the button before letting go: still counts.
    QTest::mousePress(handle(), Qt::LeftButton, {}, centreOf(window->itunesButton));
    QTest::mouseMove(handle(), QPoint(300, 300));
    QTest::mouseRelease(handle(), Qt::LeftButton, {}, QPoint(300, 300));
    QCOMPARE(itunes.count(), 2);
    QVERIFY(window->isVisible());

    QTest::mousePress(handle(), Qt::LeftButton, {}, centreOf(window->closeButton));
    QVERIFY(window->isVisible());
    QTest::mouseMove(handle(), QPoint(300, 300));
    QTest::mouseRelease(handle(), Qt::LeftButton, {}, QPoint(300, 300));
    QVERIFY(!window->isVisible());
    QCOMPARE(itunes.count(), 2);
}

// Values the rest of the tests would not notice changing.
void WindowTest::fixedValues_data()
{
    QTest::addColumn<QVariant>("seen");
    QTest::addColumn<QVariant>("wanted");
    Window window;
    QTest::newRow("window size") << QVariant(window.minimumSize() == window.maximumSize() ? window.size() : QSize())
                                 << QVariant(QSize(618, 456));
    window.step1->caption->ensurePolished();
    const QFontMetrics latin(window.step1->caption->font());
    QTest::newRow("Latin letters in a caption proportional")
        << QVariant(latin.horizontalAdvance('i') < latin.horizontalAdvance('W')) << QVariant(true);
    auto *name = window.findChild<ScrollText *>();
    name->ensurePolished();
    QTest::newRow("the strip's ringtone name in the captions' face")
        << QVariant(QFontInfo(name->font()).family()) << QVariant(QFontInfo(window.step1->caption->font()).family());
    Tray tray;
    tray.download();
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(&tray);
    QTest::newRow("blink interval") << QVariant(timers.size() == 1 ? timers.first().interval : 0) << QVariant(800);
    Code page(QStringLiteral("3f2a6c1e-8b4d-Re2a-9c71-5d0b8e6f1a24"));
    auto *caption = page.findChild<QLabel *>(QStringLiteral("qrcode"));
    caption->ensurePolished();
    QTest::newRow("pairing caption under the style sheet")
        << QVariant(caption->palette().color(QPalette::WindowText)) << QVariant(QColor(0xBC, 0xBC, 0xBC));
}

void WindowTest::fixedValues()
{
    QFETCH(QVariant, seen);
    QFETCH(QVariant, wanted);
    QCOMPARE(seen, wanted);
}

void WindowTest::helpLink()
{
    const QPoint onLink = centreOf(window->helpLink);
    QSignalSpy triggered(window->helpLink, &Label::triggered);

    QTest::mouseClick(handle(), Qt::LeftButton, {}, onLink);
    QCOMPARE(triggered.count(), 1);
    QCOMPARE(opened, {QUrl(QString::fromLatin1(Belfry::HelpPage))});

    // The release goes to whoever got the press.
    QTest::mousePress(handle(), Qt::LeftButton, {}, onLink);
    QTest::mouseRelease(handle(), Qt::LeftButton, {}, QPoint(400, 200));
    QCOMPARE(triggered.count(), 2);
    QTest::mousePress(handle(), Qt::LeftButton, {}, QPoint(400, 200));
    QTest::mouseRelease(handle(), Qt::LeftButton, {}, onLink);
    QCOMPARE(triggered.count(), 2);

    QTest::mouseClick(handle(), Qt::RightButton, {}, onLink);
    QCOMPARE(triggered.count(), 3);
    QCOMPARE(opened.size(), 3);
}

void WindowTest::downloadsReachTheStrip()
{
    QSignalSpy finished(window, &Window::emit_syncFinished);
    emit window->emit_download(QStringLiteral("http://files.invalid/a.m4r"), QStringLiteral("A"));
    QVERIFY(window->strip->isVisible());
    QCOMPARE(window->strip->pending, QStringList {QStringLiteral("A")});
    emit window->emit_download(QStringLiteral("http://files.invalid/b.m4r"), QStringLiteral("B"));
    emit window->emit_failed(QStringLiteral("http://files.invalid/a.m4r"), QStringLiteral("A"));
    QCOMPARE(finished.count(), 0);
    emit window->emit_finish(QStringLiteral("http://files.invalid/b.m4r"), QStringLiteral("B"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0), (QVariantList {1, 1}));
}

// A program waiting in the tray with its window hidden keeps no tutorial
// picture in memory; each page decodes its own when it is first shown.
void WindowTest::picturesWaitUntilShown()
{
    Window hidden;
    const auto pictures = [&hidden] {
        QVector<bool> shown;
        for (QWidget *page : {static_cast<QWidget *>(hidden.page1), static_cast<QWidget *>(hidden.page3)})
            shown << !page->findChildren<QLabel *>().first()->pixmap(Qt::ReturnByValue).isNull();
        return shown;
    };
    QCOMPARE(pictures(), (QVector<bool> {false, false}));
    hidden.show();
    QCOMPARE(pictures(), (QVector<bool> {true, false}));
    hidden.step3->click();
    QCOMPARE(pictures(), (QVector<bool> {true, true}));
}

// The step captions and the page texts sit in fixed places, centred
// vertically: every line must show, whatever Chinese font the system has in
// place of the styled one.
void WindowTest::textsFitTheirPlaces()
{
    int texts = 0;
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (label->text().isEmpty() || !label->isVisibleTo(window))
            continue;
        ++texts;
        QTextDocument document;
        document.setDocumentMargin(0);
        document.setDefaultFont(label->font());
        if (label->wordWrap())
            document.setTextWidth(label->width());
        document.setHtml(label->text());
        const qreal centre = label->y() + label->height() / 2.0;
        const qreal half = document.size().height() / 2;
        const int top = qMax(label->y(), 0);
        const int bottom = qMin(label->y() + label->height(), label->parentWidget()->height());
        QVERIFY2(centre - half >= top && centre + half <= bottom,
            qPrintable(QStringLiteral("%1: %2 pixels high in %3 to %4 (%5)")
                           .arg(label->text())
                           .arg(2 * half)
                           .arg(top)
                           .arg(bottom)
                           .arg(QFontInfo(label->font()).family())));
    }
    QVERIFY(texts >= 6);
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
