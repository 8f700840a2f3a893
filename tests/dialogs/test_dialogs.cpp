#include "dialogs/about.h"
#include "dialogs/networkconnection.h"
#include "dialogs/update.h"
#include "service/webaddress.h"
#include "resource/resources.h"
#include "settings/defaults.h"

#include <QDate>
#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include "tests/support/browser.h"

class TestDialogs : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void closingHides();
    void about();
    void updateText();
    void updateTextStaysText();
    void webAddresses_data();
    void webAddresses();
    void updateLink_data();
    void updateLink();

private:
    Browser browser {{"http", "https", "file"}};
};

void TestDialogs::initTestCase()
{
    Resources::init();
}

void TestDialogs::closingHides()
{
    QList<QPointer<QDialog>> dialogs {new About, new NetworkConnection,
        new Update(QStringLiteral("2.0"), QStringLiteral("http://a.example/"))};
    for (QPointer<QDialog> dialog : dialogs) {
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QVERIFY(!dialog->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(dialog);
        QVERIFY(dialog->isHidden());
        // The same dialog comes back.
        dialog->show();
        QVERIFY(dialog->isVisible());
        delete dialog;
    }
}

void TestDialogs::about()
{
    About dialog;
    const QString text = dialog.textLabel->text();
    QVERIFY(text.contains(QStringLiteral("<font size=4>Carillo</font>")));
    QVERIFY(text.contains(QStringLiteral("Version %1").arg(QString::fromLatin1(Belfry::Version))));
    QVERIFY(text.contains(QString::number(QDate::currentDate().year())));
    QVERIFY(!text.contains(QLatin1Char('%')));
}

void TestDialogs::updateText()
{
    Update update(QStringLiteral("1.2.3"), QStringLiteral("http://a.example/x%1.exe"));
    QCOMPARE(update.size(), QSize(280, 100));
    // Both values go in unchanged, even one that looks like a marker.
    QCOMPARE(update.label->text(),
        QStringLiteral("<center><span style='font-family:serif,Times;font-size:15px;'>"
                       "有新版本可以更新<br>版本号1.2.3, <a href='http://a.example/x%1.exe'>立即下载更新</a>"
                       "</span></center>"));
}

void TestDialogs::updateTextStaysText()
{
    // A quote or a tag from the service must not become markup, and the link
    // must still lead to the address that was announced.
    const QString address = QStringLiteral("http://a.example/get?v=2&x='><img src='file:///etc/x.png'>");
    Update update(QStringLiteral("<b>2.0</b>"), address);
    QTextDocument document;
    document.setHtml(update.label->text());
    QVERIFY(document.toPlainText().contains(QStringLiteral("版本号<b>2.0</b>, 立即下载更新")));
    QStringList links;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor())
                links << it.fragment().charFormat().anchorHref();
    QCOMPARE(links.size(), 1);
    QCOMPARE(QUrl::fromPercentEncoding(links.at(0).toUtf8()), address);
    QVERIFY(!update.label->text().contains(QStringLiteral("<img")));
}

void TestDialogs::webAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("web");
    QTest::newRow("http") << "http://www.corvale.example/setup.exe" << true;
    QTest::newRow("https") << "https://www.corvale.example/setup.exe" << true;
    QTest::newRow("upper case") << "HTTPS://www.corvale.example/" << true;
    QTest::newRow("file") << "file:///C:/Windows/System32/calc.exe" << false;
    QTest::newRow("file host") << "file://server/share/setup.exe" << false;
    QTest::newRow("ftp") << "ftp://www.corvale.example/setup.exe" << false;
    QTest::newRow("no scheme") << "www.corvale.example/setup.exe" << false;
    QTest::newRow("no host") << "http:setup.exe" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false;
    QTest::newRow("qrc") << "qrc:/resource/logo.png" << false;
    QTest::newRow("data") << "data:audio/mp4;base64,AAAA" << false;
    QTest::newRow("relative") << "tone.m4r" << false;
}

void TestDialogs::webAddresses()
{
    QFETCH(QString, address);
    QFETCH(bool, web);
    QCOMPARE(isWebAddress(QUrl(address, QUrl::TolerantMode)), web);
}

void TestDialogs::updateLink_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("opens");
    QTest::newRow("http") << "http://www.corvale.example/Carillo-2.0.exe" << true;
    QTest::newRow("file") << "file:///C:/Windows/System32/cmd.exe" << false;
}

void TestDialogs::updateLink()
{
    QFETCH(QString, address);
    QFETCH(bool, opens);
    browser.opened.clear();

    Update dialog(QStringLiteral("2.0"), address);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // The click must come to the dialog: a label that opened links itself
    // would hand any address to the desktop.
    QVERIFY(dialog.label->textInteractionFlags() & Qt::LinksAccessibleByMouse);
    QVERIFY(!dialog.label->openExternalLinks());
    emit dialog.label->linkActivated(address);

    if (opens) {
        QCOMPARE(browser.opened.size(), 1);
        QCOMPARE(browser.opened.at(0), QUrl(address, QUrl::TolerantMode));
    } else {
        QCOMPARE(browser.opened.size(), 0);
    }
    // Hidden either way, not destroyed.
    QVERIFY(dialog.isHidden());
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
