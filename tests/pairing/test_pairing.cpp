#include "pairing/code.h"
#include "pairing/qrcode.h"
#include "pairing/qrencoder.h"
#include "resource/resources.h"
#include "settings/defaults.h"
#include "window/label.h"

#include <QMouseEvent>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QUuid>
#include <QtTest>

namespace {
const QString Waiting = QStringLiteral("<center>扫描二维码与电脑配对</center>");
const QString WaitingAgain
    = QStringLiteral("<center><font color='#BCBCBC'>扫描二维码与电脑配对</font></center>");

QString countdownText(int seconds)
{
    return QStringLiteral("<center>%0 秒后自动隐藏</center>").arg(seconds);
}

// Under Wine a Windows program cannot run the Linux decoder; the Windows road
// reads the installed program's code from the screen instead.
#ifdef Q_OS_WIN
#define SKIP_WITHOUT_DECODER() QSKIP("zbarimg is a Linux program")
#else
#define SKIP_WITHOUT_DECODER()
#endif

// Reads the painted code back with a real decoder.
QString decode(QWidget *widget, const QString &dir)
{
    const QString file = dir + QStringLiteral("/qr.png");
    if (!widget->grab().save(file))
        return QStringLiteral("<cannot save>");
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), file});
    if (!zbar.waitForFinished(30000))
        return QStringLiteral("<zbarimg did not finish>");
    return QString::fromLatin1(zbar.readAllStandardOutput()).trimmed();
}
}  // namespace

class TestPairing : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void symbolSizes();
    void codeDecodes();
    void emptyIdShowsPlaceholder();
    void countdown();
    void pairedWhileHidden();
    void secondPairingDuringCountdown();
    void closeButton();
    void dragging();

private:
    QTemporaryDir dir;
    const QString pcid = QUuid::createUuid().toString(QUuid::WithoutBraces);
};

void TestPairing::initTestCase()
{
    Resources::init();
    QVERIFY(dir.isValid());
    QCOMPARE(pcid.size(), 36);
}

void TestPairing::symbolSizes()
{
    const QrSymbol id = encodeQr(pcid.toLatin1(), 7, QrLevel::Q, QrMode::Byte, true);
    QCOMPARE(id.width, 45);
    QCOMPARE(id.modules.size(), 45 * 45);
    // Finder pattern corners are dark.
    QVERIFY(id.dark(0, 0) && id.dark(44, 0) && id.dark(0, 44));

    // Too long for version 7: the encoder picks a larger symbol.
    const QrSymbol longer = encodeQr(QByteArray(200, 'x'), 7, QrLevel::Q, QrMode::Byte, true);
    QVERIFY(longer.width > 45);
}

void TestPairing::codeDecodes()
{
    Code page(pcid);
    auto *qr = page.findChild<QRCode *>();
    QCOMPARE(qr->margin, 6);
    SKIP_WITHOUT_DECODER();
    QCOMPARE(decode(qr, dir.path()), pcid);

    // A longer content still fits the same area and still reads.
    const QByteArray longer = QByteArray("http://www.corvale.example/pair?id=") + pcid.toLatin1().repeated(3);
    QRCode big(longer, QSize(200, 200));
    big.setMargin(6);
    QCOMPARE(decode(&big, dir.path()), QString::fromLatin1(longer));
}

void TestPairing::emptyIdShowsPlaceholder()
{
    Code page {QString()};
    auto *qr = page.findChild<QRCode *>();
    QCOMPARE(qr->content, QByteArray(Belfry::QrPlaceholder));
    SKIP_WITHOUT_DECODER();
    QCOMPARE(decode(qr, dir.path()), QString::fromLatin1(Belfry::QrPlaceholder));
}

void TestPairing::countdown()
{
    Code page(pcid);
    auto *qr = page.findChild<QRCode *>();
    auto *caption = page.findChild<Label *>(QStringLiteral("qrcode"));
    QSignalSpy ok(&page, &Code::ok);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));

    page.paired();
    QVERIFY(qr->isHidden());
    QCOMPARE(caption->text(), countdownText(2));
    QTRY_COMPARE_WITH_TIMEOUT(caption->text(), countdownText(1), 3000);
    QVERIFY(page.isVisible());
    QCOMPARE(ok.count(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(ok.count(), 1, 3000);
    QCOMPARE(ok.at(0).at(0).toBool(), true);
    QVERIFY(!page.isVisible());
    QVERIFY(!qr->isHidden());
    QCOMPARE(caption->text(), WaitingAgain);

    // The timer stopped itself: no further report.
    QTest::qWait(1300);
    QCOMPARE(ok.count(), 1);

    // Shown again, the page can count down once more.
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    page.paired();
    QCOMPARE(caption->text(), countdownText(2));
    QTRY_COMPARE_WITH_TIMEOUT(ok.count(), 2, 3000);
}

void TestPairing::pairedWhileHidden()
{
    Code page(pcid);
    auto *qr = page.findChild<QRCode *>();
    auto *caption = page.findChild<Label *>(QStringLiteral("qrcode"));
    QSignalSpy ok(&page, &Code::ok);

    page.paired();
    QVERIFY(!qr->isHidden());
    QCOMPARE(caption->text(), Waiting);
    QTest::qWait(1300);
    QCOMPARE(caption->text(), Waiting);
    QCOMPARE(ok.count(), 0);
}

void TestPairing::secondPairingDuringCountdown()
{
    Code page(pcid);
    auto *caption = page.findChild<Label *>(QStringLiteral("qrcode"));
    QSignalSpy ok(&page, &Code::ok);
    QList<bool> visibleAtReport;
    connect(&page, &Code::ok, this, [&] {
        visibleAtReport << page.isVisible();
    });
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));

    page.paired();
    QTest::qWait(500);
    page.paired();
    QCOMPARE(caption->text(), countdownText(2));

    // The first timer brings the count to 1, the second to 0 and hides the
    // page; the first then finds the count below 1 and reports as well.
    // Half a second apart, the two reports may come in one poll on a busy machine.
    QTRY_COMPARE_WITH_TIMEOUT(ok.count(), 2, 5000);
    QCOMPARE(visibleAtReport, QList<bool>({false, false}));
    QVERIFY(ok.at(0).at(0).toBool() && ok.at(1).at(0).toBool());
    QCOMPARE(caption->text(), WaitingAgain);
    QTest::qWait(1300);
    QCOMPARE(ok.count(), 2);
}

void TestPairing::closeButton()
{
    Code page(pcid);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    auto *close = page.findChild<QToolButton *>(QStringLiteral("btn_close"));
    QSignalSpy ok(&page, &Code::ok);

    QTest::mouseClick(close, Qt::LeftButton);
    QCOMPARE(ok.count(), 1);
    QCOMPARE(ok.at(0).at(0).toBool(), false);

    // Pressed, then dragged off the button and released there: still a close.
    const QPoint inside = close->rect().center();
    const QPoint outside(-40, 60);
    QTest::mousePress(close, Qt::LeftButton, {}, inside);
    QMouseEvent move(QEvent::MouseMove, outside, close->mapToGlobal(outside), Qt::NoButton, Qt::LeftButton,
        Qt::NoModifier);
    QCoreApplication::sendEvent(close, &move);
    QTest::mouseRelease(close, Qt::LeftButton, {}, outside);
    QCOMPARE(ok.count(), 2);
    QCOMPARE(ok.at(1).at(0).toBool(), false);
}

void TestPairing::dragging()
{
    Code page(pcid);
    page.move(100, 100);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    QTRY_COMPARE(page.frameGeometry().topLeft(), QPoint(100, 100));
    auto *caption = page.findChild<Label *>(QStringLiteral("qrcode"));

    // Grabbed by the caption, which passes its mouse events on to the page;
    // the page follows the pointer without jumping to it.
    const QPoint grab(50, 10);
    const QPoint grabGlobal = QPoint(100, 100) + caption->pos() + grab;
    QMouseEvent press(
        QEvent::MouseButtonPress, grab, grabGlobal, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(caption, &press);
    QMouseEvent move(QEvent::MouseMove, grab + QPoint(30, 40), grabGlobal + QPoint(30, 40), Qt::NoButton,
        Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(caption, &move);
    QTRY_COMPARE(page.pos(), QPoint(130, 140));

    // Without the left button held a move is no drag.
    QMouseEvent hover(
        QEvent::MouseMove, grab, grabGlobal + QPoint(200, 200), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(caption, &hover);
    QTest::qWait(100);
    QCOMPARE(page.pos(), QPoint(130, 140));
}

QTEST_MAIN(TestPairing)
#include "test_pairing.moc"
