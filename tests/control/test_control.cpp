// The controller with the real service clients, windows, tray and dialogs,
// against a stand-in for the service on 127.0.0.1.
#include "control/commands.h"
#include "control/control.h"
#include "dialogs/about.h"
#include "dialogs/networkconnection.h"
#include "dialogs/update.h"
#include "pairing/code.h"
#include "service/heart.h"
#include "settings/config.h"
#include "tray/tray.h"
#include "window/window.h"

#include <QAction>
#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QMetaMethod>
#include <QMenu>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>

#include "tests/support/browser.h"
#include "tests/support/menus.h"
#include "tests/support/servicestandin.h"

namespace {

template<class T> T *topLevel()
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        if (auto *found = qobject_cast<T *>(widget))
            return found;
    }
    return nullptr;
}

QByteArray ringtoneBytes(int id)
{
    QByteArray bytes;
    for (int i = 0; i < 5000 + id; ++i)
        bytes.append(char((i * 31 + id) & 0xff));
    return bytes;
}

struct ShowCounter : QObject
{
    int shows = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        shows += event->type() == QEvent::Show ? 1 : 0;
        return false;
    }
};

// Names the signals of its own class that an object emits, in order.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    explicit SignalLog(QObject *source)
    {
        const QMetaObject *meta = source->metaObject();
        const QMetaMethod record = staticMetaObject.method(staticMetaObject.indexOfSlot("record()"));
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                connect(source, meta->method(i), this, record);
    }
    QStringList names;

public slots:
    void record() { names << QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name()); }
};

}  // namespace

class TestControl : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    std::unique_ptr<ServiceStandIn> service;
    std::unique_ptr<Config> config;
    std::unique_ptr<Control> control;
    std::unique_ptr<QSettings> file;

    QSettings &settings() { return *file; }
    Heart *heart() { return control->findChild<Heart *>(); }
    Window *window() { return topLevel<Window>(); }
    Code *code() { return topLevel<Code>(); }
    Tray *tray() { return window()->findChild<Tray *>(); }
    NetworkConnection *network() { return topLevel<NetworkConnection>(); }
    QString folder() const { return home.filePath("auto-add"); }

    // A controller on fresh settings that point at the test service.
    void start(const QMap<QString, QVariant> &preset = {})
    {
        control.reset();
        config.reset();
        file = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "Corvale", "Belfry");
        file->clear();
        config = std::make_unique<Config>(
            "Corvale", "Belfry", "1.0.1", QMap<QString, QString> {{"InstallLocation", "C:/iTunes/"}}, folder());
        settings().setValue(Belfry::ServiceHostKey, service->base());
        settings().setValue(Belfry::RingtoneHostKey, service->base());
        for (auto it = preset.cbegin(); it != preset.cend(); ++it)
            settings().setValue(it.key(), it.value());
        run();
    }
    // A controller on the settings as they are, as a new run of the program finds them.
    void restart()
    {
        control.reset();
        config.reset();
        config = std::make_unique<Config>("Corvale", "Belfry", "1.0.1",
            QMap<QString, QString> {{"InstallLocation", "C:/iTunes/"}}, folder());
        run();
    }
    void run()
    {
        control = std::make_unique<Control>(config.get());
        // The configuration request of the start answers first.
        QSignalSpy configured(heart(), &Heart::network);
        QTRY_COMPARE(configured.count(), 1);
    }
    // One beat, as the timer would send it, and its answer (or failure) handled.
    void beat()
    {
        QSignalSpy answered(heart(), &Heart::network);
        QSignalSpy failed(heart(), &Heart::info);
        heart()->beat(5);
        QTRY_COMPARE(answered.count() + failed.count(), 1);
    }
    // The same for the other requests of the heartbeat family.
    void ask(void (Heart::*request)())
    {
        QSignalSpy answered(heart(), &Heart::network);
        (heart()->*request)();
        QTRY_COMPARE(answered.count(), 1);
    }
    // Runs the application's event loop until the controller ends the
    // program, or 10 s.
    int exitStatus()
    {
        QTimer::singleShot(10000, [] {
            QCoreApplication::exit(99);
        });
        return QCoreApplication::exec();
    }

private slots:
    void initTestCase()
    {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        qputenv("XDG_CONFIG_DIRS", home.filePath("xdg").toUtf8());
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
    }
    void init() { service = std::make_unique<ServiceStandIn>(); }
    void cleanup()
    {
        control.reset();
        config.reset();
        service.reset();
    }

    // Pair, receive three ringtones, an update, unpair, quit.
    void road()
    {
        start();
        QVERIFY(code()->isVisible());
        QVERIFY(!tray()->isVisible());

        service->pair("dev-1", "小明的iPhone");
        beat();
        QCOMPARE(settings().value("DEVICES/dev-1").toString(), QStringLiteral("小明的iPhone"));
        QVERIFY(code()->findChild<QLabel *>("qrcode")->text().contains("秒后自动隐藏"));
        QTRY_VERIFY_WITH_TIMEOUT(window()->isVisible(), 5000);
        QVERIFY(tray()->isVisible());
        QVERIFY(!code()->isVisible());

        QSignalSpy synced(window(), &Window::emit_syncFinished);
        for (int id = 1; id <= 3; ++id)
            service->send(id, QStringLiteral("铃声%1").arg(id), ringtoneBytes(id));
        beat();
        QTRY_COMPARE_WITH_TIMEOUT(synced.count(), 1, 10000);
        QCOMPARE(synced.at(0), (QVariantList {3, 0}));
        for (int id = 1; id <= 3; ++id) {
            QFile file(QStringLiteral("%1/铃声%2.m4r").arg(folder()).arg(id));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            QCOMPARE(file.readAll(), ringtoneBytes(id));
        }

        service->announce("2.0.0", "http://www.corvale.example/2.exe");
        ask(&Heart::checkUpdate);
        QVERIFY(topLevel<Update>() && topLevel<Update>()->isVisible());
        QCOMPARE(settings().value(Belfry::UpdateVersionKey).toString(), QStringLiteral("2.0.0"));

        choose(tray()->contextMenu(), "解除绑定");
        QTRY_COMPARE(service->bodies("/p/v1/unpair").size(), 1);
        QCOMPARE(service->bodies("/p/v1/unpair").at(0).value("data").toArray(), QJsonArray {"dev-1"});
        QVERIFY(code()->isVisible());
        QVERIFY(!tray()->isVisible() && !window()->isVisible());
        QVERIFY(config->devices().isEmpty());
        QTRY_VERIFY(heart()->active);

        QSignalSpy exiting(control.get(), &Control::emit_exit);
        choose(tray()->contextMenu(), "退出");
        // The session ends meanwhile: the farewell has left once it returns.
        control->sessionEnding();
        QCOMPARE(exiting.count(), 1);
        QCOMPARE(service->bodies("/p/v1/heart").last().value("expire").toInt(), 1);
        QVERIFY(!code()->isVisible());
        // Nor does a failure bring anything back on screen.
        emit heart()->network(QNetworkReply::HostNotFoundError);
        QVERIFY(!network()->isVisible());
        // A tick while leaving must not tell the service the PC stays.
        QTimerEvent tick(0);
        QCoreApplication::sendEvent(control.get(), &tick);
        QCOMPARE(exitStatus(), 0);
        QCOMPARE(service->bodies("/p/v1/heart").last().value("expire").toInt(), 1);
    }

    void pairingWhilePageHidden()
    {
        start();
        emit tray()->emit_open();
        QVERIFY(!code()->isVisible());
        service->pair("dev-1", "A");
        beat();
        // Recorded at once: no countdown, and the tray icon waits.
        QVERIFY(code()->findChild<QLabel *>("qrcode")->text().contains("扫描二维码"));
        QVERIFY(!tray()->isVisible());
        QVERIFY(menuLines(tray()->contextMenu()).contains("> A"));
    }

    void restoreTwoDevices()
    {
        start({{"DEVICES/a", "Phone A"}, {"DEVICES/b", "Phone B"}});
        QVERIFY(tray()->isVisible());
        QVERIFY(!code()->isVisible());
        // Each restore rewrites the group: the one restored last stays.
        QCOMPARE(config->devices(), QStringList {"b"});
        // Both are paired in this run: an unpair forgets only b, so the
        // window still opens.
        choose(tray()->contextMenu(), "解除绑定");
        emit tray()->emit_open();
        QVERIFY(window()->isVisible());
    }

    void pairingLost_data()
    {
        QTest::addColumn<bool>("pageShown");
        QTest::newRow("page hidden") << false;
        QTest::newRow("page shown") << true;
    }
    void pairingLost()
    {
        QFETCH(bool, pageShown);
        start({{"DEVICES/a", "Phone A"}});
        if (pageShown)
            code()->show();
        service->losePairing();
        beat();
        QCOMPARE(code()->isVisible(), true);
        QCOMPARE(tray()->isVisible(), pageShown);
        QCOMPARE(config->devices().isEmpty(), !pageShown);
    }

    void remoteSettings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("written");
        QTest::newRow("existing") << "Pulse" << true;
        QTest::newRow("server address") << "Server/Host" << true;
        QTest::newRow("absent") << "Nothing/Here" << false;
        QTest::newRow("client id") << "PCID" << false;
        QTest::newRow("version") << "Version" << false;
        QTest::newRow("iTunes command") << "iTunes/InstallLocation" << false;
        QTest::newRow("folder, other spelling") << "/iTunes//iTunesFolder" << false;
        QTest::newRow("devices") << "DEVICES/a" << false;
        QTest::newRow("stored ringtones") << "Ringtones/Stored" << false;
    }
    void remoteSettings()
    {
        QFETCH(QString, key);
        QFETCH(bool, written);
        start({{"DEVICES/a", "Phone A"}, {"Ringtones/Stored", "7"}});
        const QString normal = QString(key).remove(0, key.startsWith('/') ? 1 : 0).replace("//", "/");
        const QVariant before = settings().value(normal);
        service->setConf(key, "C:/evil");
        ask(&Heart::getConfig);
        QCOMPARE(settings().value(normal).toString() == "C:/evil", written);
        if (!written)
            QCOMPARE(settings().value(normal), before);
    }

    // A ringtone stored is confirmed by the beats that follow, until one is
    // answered, and never stored twice: listed again, it is only confirmed again.
    void confirmations_data()
    {
        QTest::addColumn<bool>("forget");  // the service forgets a ringtone once confirmed
        QTest::addColumn<bool>("restart");  // the program ends before its next beat
        QTest::addColumn<int>("lost");  // beat answers lost after the storing
        QTest::addColumn<QList<QStringList>>("got");  // of the beats after the storing
        const QStringList none, one {"1"};
        QTest::newRow("confirmed") << true << false << 0 << QList<QStringList> {one, none};
        QTest::newRow("answer lost") << true << false << 1 << QList<QStringList> {one, one, none};
        QTest::newRow("listed again") << false << false << 0 << QList<QStringList> {one, one, one};
        QTest::newRow("listed again after a restart")
            << true << true << 0 << QList<QStringList> {none, one, none};
    }
    void confirmations()
    {
        QFETCH(bool, forget);
        QFETCH(bool, restart);
        QFETCH(int, lost);
        QFETCH(QList<QStringList>, got);
        QDir(folder()).removeRecursively();
        // No beat of the timer's between the test's own.
        start({{"DEVICES/a", "Phone A"}, {"Pulse", 86400}});
        service->setForgetDelivered(forget);
        service->send(1, "Bell", ringtoneBytes(1));
        beat();
        QTRY_VERIFY(QFile::exists(folder() + "/Bell.m4r"));
        if (restart)
            this->restart();
        service->loseBeatAnswers(lost);
        const int before = service->beats();
        for (int i = 0; i < got.size(); ++i)
            beat();

        QList<QStringList> sent;
        for (const QJsonObject &body : service->bodies("/p/v1/heart").mid(before))
            sent << body.value("got").toVariant().toStringList();
        QCOMPARE(sent, got);
        QCOMPARE(service->waiting(), forget ? QStringList() : QStringList {"1"});
        int asked = 0;
        for (const Seen &seen : service->requests())
            asked += seen.path == "/apiv1/ringtone" ? 1 : 0;
        QCOMPARE(asked, 1);
        QCOMPARE(service->fileRequests(1), 1);
        QCOMPARE(QDir(folder()).entryList(QDir::Files), QStringList {"Bell.m4r"});
    }

    void networkDialog_data()
    {
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<int>("shown");
        QTest::addColumn<bool>("pageAfter");
        const int down = QNetworkReply::HostNotFoundError;
        QTest::newRow("two failures") << QList<int> {down, down} << 1 << false;
        QTest::newRow("failure, failure, success, failure") << QList<int> {down, down, 0, down} << 2 << false;
        QTest::newRow("recovered while unpaired") << QList<int> {down, 0} << 1 << true;
    }
    void networkDialog()
    {
        QFETCH(QList<int>, errors);
        QFETCH(int, shown);
        QFETCH(bool, pageAfter);
        start();
        ShowCounter counter;
        network()->installEventFilter(&counter);
        for (int err : errors)
            emit heart()->network(err);
        QCOMPARE(counter.shows, shown);
        QCOMPARE(code()->isVisible(), pageAfter);
    }

    void updateAnnouncements()
    {
        start({{"DEVICES/a", "Phone A"}});
        Browser browser({"http", "https", "file"});
        service->announce("2.0", "http://www.corvale.example/2.exe");
        ask(&Heart::checkUpdate);
        QPointer<Update> first = topLevel<Update>();
        QVERIFY(first && first->isVisible());
        first->hide();
        service->announce("2.0", "http://www.corvale.example/2.exe");
        ask(&Heart::checkUpdate);
        QVERIFY(!first->isVisible());
        service->announce("2.1", "file:///bin/sh");
        ask(&Heart::checkUpdate);
        QVERIFY(!first);
        QVERIFY(topLevel<Update>()->isVisible());
        // A stored address that is not a web address is not opened from the menu.
        choose(tray()->contextMenu(), "下载更新");
        settings().setValue(Belfry::UpdateDownloadKey, "https://www.corvale.example/2.1.exe");
        choose(window()->findChild<QToolButton *>("btn_settings")->defaultAction()->menu(), "下载更新");
        QCOMPARE(browser.opened, QList<QUrl> {QUrl("https://www.corvale.example/2.1.exe")});
    }

    void open_data()
    {
        QTest::addColumn<bool>("paired");
        QTest::addColumn<bool>("networkDown");
        QTest::addColumn<bool>("pageBefore");
        QTest::addColumn<QString>("shown");  // what is on screen after the command
        QTest::newRow("paired") << true << false << false << "window";
        QTest::newRow("network down") << false << true << false << "network";
        QTest::newRow("page shown: hides it") << false << false << true << "";
        QTest::newRow("page hidden: shows it") << false << false << false << "page";
    }
    void open()
    {
        QFETCH(bool, paired);
        QFETCH(bool, networkDown);
        QFETCH(bool, pageBefore);
        QFETCH(QString, shown);
        start(paired ? QMap<QString, QVariant> {{"DEVICES/a", "A"}} : QMap<QString, QVariant> {});
        if (networkDown)
            emit heart()->network(QNetworkReply::HostNotFoundError);
        network()->hide();
        code()->setVisible(pageBefore);
        emit tray()->emit_open();
        QCOMPARE(window()->isVisible(), shown == "window");
        QCOMPARE(network()->isVisible(), shown == "network");
        QCOMPARE(code()->isVisible(), shown == "page");

        // A second start brings the running one forward.
        control->newConnection();
        QCOMPARE(window()->isVisible(), paired);
        QCOMPARE(code()->isVisible(), !paired);
    }

    // The tray's menu and the window's settings menu, as the user sees them
    // and as far as they go: a signal of the commands, or the browser. The
    // window's entries are the tray's.
    void menus()
    {
        Commands owner;
        Browser browser;
        const auto shown = [&owner] {
            return menuLines(owner.trayMenu()).join('|') + " || " + menuLines(owner.settingsMenu()).join('|');
        };
        const QString fresh = "查看教程|已连接设备|> 无设备 (off)|> > 解除绑定|-|打开iTunes|下载更新 (off)|关于|开机时启动|-|退出"
                              " || 已连接设备|> 无设备 (off)|> > 解除绑定|-|下载更新 (off)|关于|开机时启动|-|退出";
        QCOMPARE(shown(), fresh);

        // Paired with a name that holds Qt's shortcut mark, and an update
        // announced: every entry is on, in both menus.
        owner.paired(QStringLiteral("Tom & Jerry"));
        owner.setUpdate();
        const QString on = QString(fresh).remove(QStringLiteral(" (off)")).replace("无设备", "Tom && Jerry");
        QCOMPARE(shown(), on);
        for (QAction *entry : commands(owner.settingsMenu()))
            QVERIFY(commands(owner.trayMenu()).contains(entry));
        SignalLog log(&owner);
        QStringList said;
        for (QAction *entry : commands(owner.trayMenu())) {
            log.names.clear();
            const int before = browser.opened.size();
            entry->trigger();
            said << entry->text() + ' '
                    + (browser.opened.size() > before ? QStringLiteral("browser") : log.names.join(','));
        }
        QCOMPARE(said.join('|'),
            "查看教程 browser|解除绑定 emit_unpair|打开iTunes emit_itunes|下载更新 emit_update|关于 emit_about|"
            "开机时启动 emit_autostart|退出 emit_quit");

        owner.deviceRemove();
        QCOMPARE(shown(),
            "查看教程 (off)|已连接设备|> 无设备 (off)|> > 解除绑定 (off)|-|打开iTunes|下载更新|关于|开机时启动|-|退出"
            " || 已连接设备|> 无设备 (off)|> > 解除绑定 (off)|-|下载更新|关于|开机时启动|-|退出");
        owner.paired(QStringLiteral("Tom & Jerry"));
        QCOMPARE(shown(), on);
    }

    // The entry that the session's start reads, as the system keeps it.
    QString autostartEntry() const
    {
#ifdef Q_OS_WIN
        return QSettings("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
            QSettings::NativeFormat)
            .value("Belfry")
            .toString();
#else
        QFile entry(home.filePath(".config/autostart/belfry.desktop"));
        return entry.open(QIODevice::ReadOnly) ? QString::fromUtf8(entry.readAll()) : QString();
#endif
    }
    void autostart_data()
    {
        QTest::addColumn<bool>("on");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }
    void autostart()
    {
        QFETCH(bool, on);
        start();
        QAction *entry = commands(tray()->contextMenu()).at(5);
        QCOMPARE(entry->text(), QStringLiteral("开机时启动"));
        // From the other state, whatever an earlier row left.
        if (entry->isChecked() == on)
            entry->trigger();
        // Checked when on, also in a later run.
        start();
        entry = commands(window()->findChild<QToolButton *>("btn_settings")->defaultAction()->menu()).at(3);
        QCOMPARE(entry->isChecked(), !on);
        entry->trigger();
        QCOMPARE(entry->isChecked(), on);
        const QString program = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
        QCOMPARE(autostartEntry().contains('"' + program + '"'), on);
    }

    // An install for everyone starts the program for every user: the entry
    // shows it. Windows leaves the change to that install; on a desktop of
    // the XDG kind a user's own entry hides it.
    void autostartForEveryone()
    {
#ifdef Q_OS_WIN
        QSettings machine("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
            QSettings::NativeFormat);
        machine.setValue("Belfry", R"("C:\Program Files\Belfry\belfry.exe")");
        const auto removed = qScopeGuard([&] {
            machine.remove("Belfry");
        });
#else
        QVERIFY(QDir().mkpath(home.filePath("xdg/autostart")));
        QFile system(home.filePath("xdg/autostart/belfry.desktop"));
        QVERIFY(system.open(QIODevice::WriteOnly));
        system.write("[Desktop Entry]\nType=Application\nName=Belfry\nExec=belfry\n");
        system.close();
        const auto removed = qScopeGuard([&] {
            system.remove();
            QFile::remove(home.filePath(".config/autostart/belfry.desktop"));
        });
#endif
        QFile::remove(home.filePath(".config/autostart/belfry.desktop"));
        start();
        QAction *entry = commands(tray()->contextMenu()).at(5);
        QVERIFY(entry->isChecked());
#ifdef Q_OS_WIN
        QVERIFY(!entry->isEnabled());
        QVERIFY(autostartEntry().isEmpty());
#else
        entry->trigger();
        QVERIFY(autostartEntry().contains("Hidden=true"));
        start();
        entry = commands(tray()->contextMenu()).at(5);
        QVERIFY(!entry->isChecked());
        entry->trigger();
        QVERIFY(entry->isChecked());
        QVERIFY(autostartEntry().contains("Exec="));
#endif
    }

    void closingThePageEndsAtOnce()
    {
        start();
        QTimer::singleShot(0, this, [this] {
            emit code()->findChild<QToolButton *>()->released();
        });
        QCOMPARE(exitStatus(), 0);
        for (const QJsonObject &beat : service->bodies("/p/v1/heart"))
            QVERIFY(beat.value("expire").toInt() != 1);
    }
};

QTEST_MAIN(TestControl)
#include "test_control.moc"
