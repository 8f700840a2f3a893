#include "app/tunes.h"
#include "resource/resources.h"
#include "settings/defaults.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class TestTunes : public QObject
{
    Q_OBJECT

public slots:
    // Stands in for the browser.
    void openInBrowser(const QUrl &url) { opened << url; }

private:
    QList<QUrl> opened;

    // Runs the event loop the way start-up does, with `action` scheduled in
    // it; returns the loop's result.
    int runWith(Tunes &dialog, std::function<void()> action)
    {
        dialog.show();
        QTimer::singleShot(0, &dialog, action);
        // A dialog that failed to end the loop must fail the test, not hang
        // it. The guard dies with this call, so it cannot end a later loop.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, &guard, [] {
            QCoreApplication::exit(99);
        });
        guard.start(30000);
        return QApplication::exec();
    }

private slots:
    void initTestCase()
    {
        Resources::init();
        // As in start-up: the tray program does not end with its last window.
        qApp->setQuitOnLastWindowClosed(false);
        QDesktopServices::setUrlHandler("http", this, "openInBrowser");
        QDesktopServices::setUrlHandler("https", this, "openInBrowser");
        QDesktopServices::setUrlHandler("file", this, "openInBrowser");
    }

    void init() { opened.clear(); }

    void looksLikeAMessageDialog()
    {
        Tunes dialog(Tunes::Mode::Install, QString());
        QCOMPARE(dialog.size(), QSize(280, 100));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Carillo"));
        QVERIFY(!dialog.windowIcon().isNull());
        QCOMPARE(dialog.label->size(), QSize(280, 100));
        QVERIFY(dialog.label->text().contains(QStringLiteral("Carillo依赖于官方的 iTunes")));

        Tunes init(Tunes::Mode::Init, QString());
        QCOMPARE(init.label->text(),
            QStringLiteral("<center><span style='font-family:serif,Times;font-size:15px;'>iTunes "
                           "还未初始化<br><a href='file://iTunes'>初始化您的 iTunes</a></span></center>"));
    }

    void downloadLinkOpensTheBrowserAndEnds()
    {
        Tunes dialog(Tunes::Mode::Install, QString());
        const QString text = dialog.label->text();
        const int start = text.indexOf("href='") + 6;
        const QString link = text.mid(start, text.indexOf('\'', start) - start);
        QVERIFY(link.startsWith("http://"));

        QCOMPARE(runWith(dialog,
                     [&] {
                         emit dialog.label->linkActivated(link);
                     }),
            0);
        QCOMPARE(opened, QList<QUrl> {QUrl(link)});
    }

    void initLinkStartsITunesAndEnds()
    {
        QTemporaryDir dir;
        const QString marker = dir.filePath("started by Tunes");
#ifdef Q_OS_WIN
        const QString command = QStringLiteral("cmd /c mkdir \"%1\"").arg(QDir::toNativeSeparators(marker));
#else
        const QString command = QStringLiteral("touch \"%1\"").arg(marker);
#endif
        Tunes dialog(Tunes::Mode::Init, command);
        QCOMPARE(runWith(dialog,
                     [&] {
                         emit dialog.label->linkActivated("file://iTunes");
                     }),
            0);
        QTRY_VERIFY(QFile::exists(marker));
        QVERIFY(opened.isEmpty());
    }

    void otherLinksOnlyEnd()
    {
        Tunes dialog(Tunes::Mode::Install, QStringLiteral("touch /nonexistent/should-not-run"));
        QCOMPARE(runWith(dialog,
                     [&] {
                         emit dialog.label->linkActivated("javascript:alert(1)");
                     }),
            0);
        QVERIFY(opened.isEmpty());
    }

    void closingEnds()
    {
        Tunes dialog(Tunes::Mode::Init, QString());
        QCOMPARE(runWith(dialog,
                     [&] {
                         dialog.close();
                     }),
            0);

        // Escape hides a dialog without closing it: that must end the run too,
        // not leave an invisible process behind.
        Tunes install(Tunes::Mode::Install, QString());
        QCOMPARE(runWith(install,
                     [&] {
                         QTest::keyClick(&install, Qt::Key_Escape);
                     }),
            0);
        QVERIFY(install.isHidden());
        QVERIFY(opened.isEmpty());
    }
};

QTEST_MAIN(TestTunes)
#include "test_tunes.moc"
