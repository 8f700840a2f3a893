#include "resource/resources.h"
#include "tray/tray.h"

#include <QAction>
#include <QDesktopServices>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QTimerEvent>
#include <QtTest>

#include "tests/support/browser.h"

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

void tick(Tray &tray)
{
    QTimerEvent event(tray.blinkTimerId());
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
    void menuStates();
    void menuCommands();
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

void TestTray::menuStates()
{
    Tray tray;
    QVERIFY(!tray.isVisible());
    QCOMPARE(tray.contextMenu(), tray.menu());

    QStringList entries;
    const auto actions = tray.menu()->actions();
    for (QAction *a : actions)
        entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(
        entries, QStringList({"查看教程", "已连接设备", "-", "打开iTunes", "下载更新", "关于", "-", "退出"}));
    QCOMPARE(tray.devicesMenu()->actions(), QList<QAction *> {tray.deviceMenu()->menuAction()});
    QCOMPARE(tray.deviceMenu()->actions(), QList<QAction *> {tray.unpairAction()});

    QVERIFY(tray.helpAction()->isEnabled());
    QVERIFY(tray.devicesMenu()->isEnabled());
    QVERIFY(!tray.deviceMenu()->isEnabled());
    QCOMPARE(tray.deviceMenu()->title(), QStringLiteral("无设备"));
    QVERIFY(!tray.updateAction()->isEnabled());

    tray.paired(QStringLiteral("id-1"), QStringLiteral("小明的iPhone"));
    QCOMPARE(tray.deviceMenu()->title(), QStringLiteral("小明的iPhone"));
    QVERIFY(tray.deviceMenu()->isEnabled());
    QVERIFY(tray.unpairAction()->isEnabled());

    tray.deviceRemove();
    QCOMPARE(tray.deviceMenu()->title(), QStringLiteral("无设备"));
    QVERIFY(!tray.deviceMenu()->isEnabled());
    QVERIFY(!tray.unpairAction()->isEnabled());
    QVERIFY(!tray.helpAction()->isEnabled());

    // Pairing again brings the tutorial entry back; an empty name is taken as is.
    tray.paired(QStringLiteral("id-2"), QString());
    QCOMPARE(tray.deviceMenu()->title(), QString());
    // An ampersand in a device name is shown, not taken as a shortcut mark.
    tray.paired(QStringLiteral("id-3"), QStringLiteral("Tom & Jerry"));
    QCOMPARE(tray.deviceMenu()->title(), QStringLiteral("Tom && Jerry"));
    QVERIFY(tray.deviceMenu()->isEnabled());
    QVERIFY(tray.helpAction()->isEnabled());
    QVERIFY(tray.unpairAction()->isEnabled());

    tray.setUpdate();
    QVERIFY(tray.updateAction()->isEnabled());
    tray.deviceRemove();
    QVERIFY(tray.updateAction()->isEnabled());
}

void TestTray::menuCommands()
{
    Tray tray;
    QSignalSpy clear(&tray, &Tray::emit_clear);
    QSignalSpy itunes(&tray, &Tray::emit_itunes);
    QSignalSpy update(&tray, &Tray::emit_update);
    QSignalSpy about(&tray, &Tray::emit_about);
    QSignalSpy quit(&tray, &Tray::emit_quit);
    QSignalSpy wanted(&tray, &Tray::emit_wanted);
    QSignalSpy open(&tray, &Tray::emit_open);
    QSignalSpy help(&tray, &Tray::emit_help);

    // The tutorial entry goes to the browser itself; the controller hears nothing.
    Browser browser;
    tray.helpAction()->trigger();
    QCOMPARE(browser.opened.size(), 1);
    QVERIFY(browser.opened.at(0).isValid());
    QVERIFY(!browser.opened.at(0).host().isEmpty());

    tray.paired(QString(), QStringLiteral("phone"));
    tray.unpairAction()->trigger();
    tray.itunesAction()->trigger();
    tray.setUpdate();
    tray.updateAction()->trigger();
    tray.aboutAction()->trigger();
    tray.quitAction()->trigger();
    QCOMPARE(clear.count(), 1);
    QCOMPARE(itunes.count(), 1);
    QCOMPARE(update.count(), 1);
    QCOMPARE(about.count(), 1);
    QCOMPARE(quit.count(), 1);
    QCOMPARE(wanted.count(), 0);
    QCOMPARE(open.count(), 0);
    QCOMPARE(help.count(), 0);
}

void TestTray::blinkSequence()
{
    Tray tray;
    QCOMPARE(tray.blinkIconPath(), QString());
    QCOMPARE(tray.blinkTimerId(), 0);

    tray.download();
    QVERIFY(tray.blinkTimerId() != 0);

    // The first tick shows the normal logo (no visible change), the second the dark one.
    for (int i = 1; i <= 10; ++i) {
        tick(tray);
        const QString expected = i % 2 ? NormalLogo : DarkLogo;
        QCOMPARE(tray.blinkIconPath(), expected);
        QVERIFY(shows(tray, expected));
        QVERIFY(tray.blinkTimerId() != 0);
    }
    tick(tray);
    QCOMPARE(tray.blinkTimerId(), 0);
    QCOMPARE(tray.blinkIconPath(), NormalLogo);
    QVERIFY(shows(tray, NormalLogo));

    // A blink that ended by itself can start again.
    tray.download();
    QVERIFY(tray.blinkTimerId() != 0);
    tick(tray);
    QCOMPARE(tray.blinkIconPath(), DarkLogo);
}

void TestTray::downloadDuringBlink()
{
    Tray tray;
    tray.download();
    const int timer = tray.blinkTimerId();
    for (int i = 0; i < 7; ++i)
        tick(tray);

    tray.download();
    QCOMPARE(tray.blinkTimerId(), timer);
    for (int i = 0; i < 10; ++i) {
        tick(tray);
        QCOMPARE(tray.blinkTimerId(), timer);
    }
    tick(tray);
    QCOMPARE(tray.blinkTimerId(), 0);

    // A timer event that is not the blink's is no tick.
    tray.download();
    const QString before = tray.blinkIconPath();
    QTimerEvent foreign(tray.blinkTimerId() + 1000);
    QCoreApplication::sendEvent(&tray, &foreign);
    QCOMPARE(tray.blinkIconPath(), before);
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
    QCOMPARE(tray.blinkIconPath(), DarkLogo);

    emit tray.activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(wanted.count(), 1);
    QCOMPARE(open.count(), opens);
    QCOMPARE(tray.blinkTimerId(), 0);
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
    QCOMPARE(tray.blinkTimerId(), 0);
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
    QVERIFY(tray.blinkTimerId() != 0);
    tray.hide();
}

QTEST_MAIN(TestTray)
#include "test_tray.moc"
