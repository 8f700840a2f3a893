#include "resource/resources.h"
#include "tray/tray.h"

#include <QAbstractEventDispatcher>
#include <QIcon>
#include <QImage>
#include <QSignalSpy>
#include <QTimerEvent>
#include <QtTest>

namespace {
const QString NormalLogo = QStringLiteral(":/resource/logo.win.png");
const QString DarkLogo = QStringLiteral(":/resource/logo.win_hide.png");

// Keeps the balloons instead of showing them.
class RecordingTray : public Tray
{
public:
    struct Balloon
    {
        QString title;
        QString text;
        QSystemTrayIcon::MessageIcon icon;
        int msecs;
    };
    QList<Balloon> balloons;

protected:
    void showBalloon(
        const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon, int msecs) override
    {
        balloons.append({title, text, icon, msecs});
    }
};

// The id of the blink's timer, 0 when the icon does not blink.
int blinkTimer(Tray &tray)
{
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(&tray);
    return timers.isEmpty() ? 0 : timers.first().timerId;
}

// One tick of the blink, without waiting for it.
void tick(Tray &tray)
{
    QTimerEvent event(blinkTimer(tray));
    QCoreApplication::sendEvent(&tray, &event);
}

bool shows(const Tray &tray, const QString &path)
{
    return tray.icon().pixmap(32, 32).toImage() == QIcon(path).pixmap(32, 32).toImage();
}
}  // namespace

class TestTray : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void blinkSequence();
    void downloadDuringBlink();
    void activationStopsBlink_data();
    void activationStopsBlink();
    void balloonClick();
    void notifyTexts_data();
    void notifyTexts();
    void showsInTrayHost();
};

void TestTray::initTestCase()
{
    Resources::init();
    QVERIFY(!QImage(NormalLogo).isNull());
    QVERIFY(!QImage(DarkLogo).isNull());
    // The icon checks below only tell the phases apart while the two images differ.
    if (QImage(NormalLogo) == QImage(DarkLogo))
        qDebug() << "the two tray images are identical; icon checks are weak";
}

void TestTray::blinkSequence()
{
    Tray tray;
    QCOMPARE(blinkTimer(tray), 0);

    tray.download();
    QVERIFY(blinkTimer(tray) != 0);

    // The first tick shows the normal logo (no visible change), the second the dark one.
    for (int i = 1; i <= 10; ++i) {
        tick(tray);
        QVERIFY(shows(tray, i % 2 ? NormalLogo : DarkLogo));
        QVERIFY(blinkTimer(tray) != 0);
    }
    tick(tray);
    QCOMPARE(blinkTimer(tray), 0);
    QVERIFY(shows(tray, NormalLogo));

    // A blink that ended by itself can start again.
    tray.download();
    QVERIFY(blinkTimer(tray) != 0);
    tick(tray);
    QVERIFY(shows(tray, DarkLogo));
}

void TestTray::downloadDuringBlink()
{
    Tray tray;
    tray.download();
    const int timer = blinkTimer(tray);
    for (int i = 0; i < 7; ++i)
        tick(tray);

    tray.download();
    QCOMPARE(blinkTimer(tray), timer);
    for (int i = 0; i < 10; ++i) {
        tick(tray);
        QCOMPARE(blinkTimer(tray), timer);
    }
    tick(tray);
    QCOMPARE(blinkTimer(tray), 0);

    // A timer event that is not the blink's is no tick.
    tray.download();
    QTimerEvent foreign(blinkTimer(tray) + 1000);
    QCoreApplication::sendEvent(&tray, &foreign);
    QVERIFY(shows(tray, NormalLogo));
}

void TestTray::activationStopsBlink_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<int>("opens");
    QTest::newRow("trigger") << int(QSystemTrayIcon::Trigger) << 1;
    QTest::newRow("context") << int(QSystemTrayIcon::Context) << 0;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << 0;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << 0;
}

void TestTray::activationStopsBlink()
{
    QFETCH(int, reason);
    QFETCH(int, opens);

    Tray tray;
    QSignalSpy wanted(&tray, &Tray::emit_wanted);
    QSignalSpy open(&tray, &Tray::emit_open);
    tray.download();
    tick(tray);
    tick(tray);
    QVERIFY(shows(tray, DarkLogo));

    emit tray.activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(wanted.count(), 1);
    QCOMPARE(open.count(), opens);
    QCOMPARE(blinkTimer(tray), 0);
    // The icon is back to normal even though the blink stopped in its dark phase.
    QVERIFY(shows(tray, NormalLogo));

    // Without a blink an activation only signals.
    emit tray.activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(wanted.count(), 2);
    QCOMPARE(open.count(), 2 * opens);
}

void TestTray::balloonClick()
{
    Tray tray;
    QStringList order;
    connect(&tray, &Tray::emit_itunes, this, [&] {
        order << "itunes";
    });
    connect(&tray, &Tray::emit_wanted, this, [&] {
        order << "wanted";
    });
    connect(&tray, &Tray::emit_open, this, [&] {
        order << "open";
    });
    QSignalSpy help(&tray, &Tray::emit_help);

    tray.download();
    tick(tray);
    tick(tray);
    emit tray.messageClicked();
    QCOMPARE(order, QStringList({"itunes", "wanted"}));
    QCOMPARE(help.count(), 1);
    QCOMPARE(help.at(0).at(0).toInt(), 2);
    QCOMPARE(blinkTimer(tray), 0);
    QVERIFY(shows(tray, NormalLogo));
}

void TestTray::notifyTexts_data()
{
    QTest::addColumn<int>("succeed");
    QTest::addColumn<int>("failed");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing") << 0 << 0 << QStringLiteral("同步成功 0首\n点击打开iTunes");
    QTest::newRow("all good") << 5 << 0 << QStringLiteral("同步成功 5首\n点击打开iTunes");
    QTest::newRow("some failed") << 3 << 1 << QStringLiteral("同步成功 3首\n同步失败 1首\n点击打开iTunes");
    QTest::newRow("negative") << 2 << -1 << QStringLiteral("同步成功 2首\n同步失败 -1首\n点击打开iTunes");
}

void TestTray::notifyTexts()
{
    QFETCH(int, succeed);
    QFETCH(int, failed);
    QFETCH(QString, text);

    RecordingTray tray;
    tray.notify(succeed, failed);
    QCOMPARE(tray.balloons.size(), 1);
    QCOMPARE(tray.balloons.at(0).title, QStringLiteral("同步完成"));
    QCOMPARE(tray.balloons.at(0).text, text);
    QCOMPARE(tray.balloons.at(0).icon, QSystemTrayIcon::Information);
    QCOMPARE(tray.balloons.at(0).msecs, 10000);
}

void TestTray::showsInTrayHost()
{
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
    Tray tray;
    tray.show();
    QVERIFY(tray.isVisible());
#ifndef Q_OS_WIN
    // Wine answers no rectangle for a notification icon, even a shown one.
    QTRY_VERIFY_WITH_TIMEOUT(!tray.geometry().isEmpty(), 10000);
#endif
    // A real balloon must not disturb the blink or the menus.
    tray.notify(1, 0);
    tray.download();
    QVERIFY(blinkTimer(tray) != 0);
    tray.hide();
}

QTEST_MAIN(TestTray)
#include "test_tray.moc"
