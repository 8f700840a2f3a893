#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include "resource/resources.h"
#include "window/scroll.h"

namespace {

// A strip in a window of its own, hidden until its first download as the main
// window keeps it.
struct HostedStrip
{
    HostedStrip()
    {
        window.resize(400, 60);
        strip->hide();
    }
    QWidget window;
    Scroll *strip = new Scroll(&window);
};

}  // namespace

class ScrollTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Resources::init(); }
    void batchesCarryTheCounters();
    void hundredthStartWraps();
    void pendingNames();
    void marquee();
    void fadeMaskFromSixtyFivePixels();
    void wheel();
    void wheelStopsWhenTheSyncEnds_data();
    void wheelStopsWhenTheSyncEnds();
    void marqueeRestsWhileHidden_data();
    void marqueeRestsWhileHidden();
};

void ScrollTest::batchesCarryTheCounters()
{
    Scroll scroll;
    QSignalSpy done(&scroll, &Scroll::syncFinished);
    scroll.add(QString(), QStringLiteral("One"));
    QVERIFY(scroll.isVisible());
    QCOMPARE(scroll.bar->text(), QStringLiteral("0/1"));
    QVERIFY(scroll.rotate->spinTimer.isActive());
    scroll.finish(QString(), QStringLiteral("One"));
    QCOMPARE(scroll.bar->text(), QStringLiteral("1/1"));
    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0), (QVariantList {1, 0}));
    QVERIFY(!scroll.rotate->running);
    QVERIFY(!scroll.rotate->spinTimer.isActive());
    QVERIFY(scroll.isVisible());

    scroll.add(QString(), QStringLiteral("Two"));
    QCOMPARE(scroll.bar->text(), QStringLiteral("1/2"));
    scroll.finish(QString(), QStringLiteral("Two"));
    QCOMPARE(done.count(), 2);
    QCOMPARE(done.at(1), (QVariantList {2, 0}));

    // A failure ends a batch without touching the counter label.
    scroll.add(QString(), QStringLiteral("Three"));
    scroll.failed(QString(), QStringLiteral("Three"));
    QCOMPARE(scroll.bar->text(), QStringLiteral("2/3"));
    QCOMPARE(done.count(), 3);
    QCOMPARE(done.at(2), (QVariantList {2, 1}));
    QVERIFY(!scroll.rotate->running);
}

void ScrollTest::hundredthStartWraps()
{
    Scroll scroll;
    QSignalSpy done(&scroll, &Scroll::syncFinished);
    for (int i = 0; i < 20; ++i) {
        scroll.add(QString(), QStringLiteral("ok"));
        scroll.finish(QString(), QStringLiteral("ok"));
    }
    for (int i = 0; i < 5; ++i) {
        scroll.add(QString(), QStringLiteral("bad"));
        scroll.failed(QString(), QStringLiteral("bad"));
    }
    for (int i = 0; i < 74; ++i)
        scroll.add(QString(), QStringLiteral("n%1").arg(i));
    QCOMPARE(scroll.bar->text(), QStringLiteral("20/99"));

    // The 100th start drops the finished downloads from both counters;
    // the failures stay, so the batch still ends when it should.
    scroll.add(QString(), QStringLiteral("n74"));
    QCOMPARE(scroll.bar->text(), QStringLiteral("0/80"));
    QCOMPARE(scroll.failedCount, 5);
    done.clear();
    for (int i = 0; i < 75; ++i)
        scroll.finish(QString(), QStringLiteral("n%1").arg(i));
    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0), (QVariantList {75, 5}));
}

void ScrollTest::pendingNames()
{
    Scroll scroll;
    QSignalSpy done(&scroll, &Scroll::syncFinished);
    scroll.add(QString(), QStringLiteral("Same"));
    scroll.add(QString(), QStringLiteral("Same"));
    scroll.add(QString(), QStringLiteral("Other"));
    // Only the first start of a batch names the marquee.
    QCOMPARE(scroll.marquee->shownText, QStringLiteral("Same"));

    // A finish for a name that never started still counts, but names nothing.
    scroll.finish(QString(), QStringLiteral("Stranger"));
    QCOMPARE(scroll.bar->text(), QStringLiteral("1/3"));
    QCOMPARE(scroll.pending.size(), 3);
    QCOMPARE(scroll.marquee->shownText, QStringLiteral("Same"));

    scroll.finish(QString(), QStringLiteral("Other"));
    QCOMPARE(scroll.marquee->shownText, QStringLiteral("Other"));
    QCOMPARE(scroll.pending, QStringList({QStringLiteral("Same"), QStringLiteral("Same")}));

    // Each end takes one of two equal names.
    scroll.failed(QString(), QStringLiteral("Same"));
    QCOMPARE(scroll.pending, QStringList {QStringLiteral("Same")});
    QCOMPARE(done.count(), 1);  // the stray finish made the counts meet early
    scroll.failed(QString(), QStringLiteral("Same"));
    QVERIFY(scroll.pending.isEmpty());
}

void ScrollTest::marquee()
{
    const QString text = QStringLiteral("一首很长的铃声名字 Long Ringtone");
    const int width = QFontMetrics(ScrollText(QSize(10, 36)).font()).horizontalAdvance(text);

    ScrollText exact(QSize(width, 36));
    exact.setText(text);
    QVERIFY(!exact.scrolling);
    QVERIFY(!exact.scrollTimer.isActive());

    ScrollText narrower(QSize(width - 1, 36));
    narrower.show();
    QVERIFY(QTest::qWaitForWindowExposed(&narrower));
    narrower.setText(text);
    QVERIFY(narrower.scrolling);
    QVERIFY(narrower.scrollTimer.isActive());
    QCOMPARE(narrower.scrollTimer.interval(), 45);
    QCOMPARE(narrower.offset, -64);
    QCOMPARE(narrower.drawnText.text(), text + QStringLiteral("      "));

    // 32 ticks of pause, then a wrap after one text plus separator.
    for (int i = 0; i < 32; ++i)
        narrower.timer_timeout();
    QCOMPARE(narrower.offset, 0);
    narrower.offset = narrower.cycleSize.width() - 2;
    narrower.timer_timeout();
    QCOMPARE(narrower.offset, 0);
    for (int offset : {-64, -7, 0, 40}) {
        narrower.offset = offset;
        QVERIFY(!narrower.grab().isNull());
    }

    // Room enough for the text stops the scrolling; less starts it again.
    narrower.setFixedSize(width, 36);
    QVERIFY(!narrower.scrolling);
    QVERIFY(!narrower.scrollTimer.isActive());
    narrower.setFixedSize(width - 1, 36);
    QVERIFY(narrower.scrolling);
    QCOMPARE(narrower.offset, -64);
}

void ScrollTest::fadeMaskFromSixtyFivePixels()
{
    ScrollText narrow(QSize(64, 36));
    narrow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&narrow));
    QCOMPARE(narrow.fadeMask.size(), QSize(64, 36));
    QCOMPARE(qAlpha(narrow.fadeMask.pixel(0, 0)), 255);
    QCOMPARE(qAlpha(narrow.fadeMask.pixel(63, 35)), 255);

    ScrollText wide(QSize(65, 36));
    wide.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wide));
    for (int y : {0, 35}) {
        QCOMPARE(qAlpha(wide.fadeMask.pixel(0, y)), 16);
        QCOMPARE(qAlpha(wide.fadeMask.pixel(14, y)), 240);
        QCOMPARE(qAlpha(wide.fadeMask.pixel(15, y)), 255);
        QCOMPARE(qAlpha(wide.fadeMask.pixel(49, y)), 255);
        QCOMPARE(qAlpha(wide.fadeMask.pixel(50, y)), 240);
        QCOMPARE(qAlpha(wide.fadeMask.pixel(64, y)), 16);
    }
}

void ScrollTest::wheel()
{
    Rotate wheel;
    QCOMPARE(wheel.spinTimer.interval(), 80);
    wheel.setRotate(true);
    for (int i = 0; i < 13; ++i)
        wheel.tick();
    QCOMPARE(wheel.angle, 30);
    wheel.setRotate(false);
    QCOMPARE(wheel.angle, 0);
    QVERIFY(!wheel.spinTimer.isActive());
}

void ScrollTest::wheelStopsWhenTheSyncEnds_data()
{
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("windowShown");
    // "+name" starts a download, "=name" finishes it, "!name" fails it.
    const QStringList mixed {"+a", "+b", "+a", "=a", "!b", "=a"};
    QTest::newRow("finished") << QStringList {"+a", "=a"} << true;
    QTest::newRow("failed") << QStringList {"+a", "!a"} << true;
    QTest::newRow("mixed batch") << mixed << true;
    QTest::newRow("mixed batch, window hidden") << mixed << false;
}

void ScrollTest::wheelStopsWhenTheSyncEnds()
{
    QFETCH(QStringList, events);
    QFETCH(bool, windowShown);
    HostedStrip hosted;
    Scroll *scroll = hosted.strip;
    hosted.window.setVisible(windowShown);
    QSignalSpy done(scroll, &Scroll::syncFinished);
    for (int i = 0; i < events.size(); ++i) {
        QVERIFY2(scroll->rotate->spinTimer.isActive() == (i > 0), qPrintable(events.at(i)));
        const QString event = events.at(i);
        const QString name = event.mid(1);
        if (event.startsWith(QLatin1Char('+')))
            scroll->add(QString(), name);
        else if (event.startsWith(QLatin1Char('=')))
            scroll->finish(QString(), name);
        else
            scroll->failed(QString(), name);
    }
    QCOMPARE(done.count(), 1);
    QVERIFY(!scroll->rotate->spinTimer.isActive());
}

void ScrollTest::marqueeRestsWhileHidden_data()
{
    QTest::addColumn<bool>("shownFirst");
    QTest::addColumn<int>("ticksBeforeHiding");
    QTest::newRow("hidden while pausing") << true << 0;
    QTest::newRow("hidden while moving") << true << 40;
    QTest::newRow("name arrives while hidden") << false << 0;
}

void ScrollTest::marqueeRestsWhileHidden()
{
    QFETCH(bool, shownFirst);
    QFETCH(int, ticksBeforeHiding);
    HostedStrip hosted;
    QWidget &window = hosted.window;
    ScrollText *marquee = hosted.strip->marquee;
    if (shownFirst) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    hosted.strip->add(QString(), QStringLiteral("一首很长很长很长很长的铃声名字 A Very Long Ringtone Name"));
    QCOMPARE(marquee->scrollTimer.isActive(), shownFirst);
    for (int i = 0; i < ticksBeforeHiding; ++i)
        marquee->timer_timeout();

    const int offsetWhileHidden = -64 + 2 * ticksBeforeHiding;
    window.hide();
    QVERIFY(!marquee->scrollTimer.isActive());
    QTest::qWait(150);
    QCOMPARE(marquee->offset, offsetWhileHidden);

    window.show();
    QVERIFY(marquee->scrollTimer.isActive());
    QCOMPARE(marquee->offset, offsetWhileHidden);
    QTRY_VERIFY(marquee->offset != offsetWhileHidden);
}

QTEST_MAIN(ScrollTest)
#include "test_scroll.moc"
