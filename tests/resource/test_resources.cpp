#include "resource/resources.h"

#include <QImage>
#include <QtTest>

// Widgets draw these pictures into fixed geometry and the style sheet uses
// them unscaled: a picture of the wrong size shows as a misaligned window.
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Resources::init(); }

    void everyPictureAtItsSize_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        const QList<QPair<QStringList, QSize>> table = {
            {{"logo.win", "logo.win_hide"}, {256, 256}},
            {{"logo", "logo.qrcode"}, {512, 512}},
            {{"logo.mac"}, {50, 50}},
            {{"bg"}, {618, 456}},
            {{"bg_qrcode", "bg_qrcode_ok"}, {263, 343}},
            {{"close", "close_hover", "close_click", "setting", "setting_hover", "setting_click", "roll"},
                {20, 20}},
            {{"itunes", "itunes_hover", "itunes_click"}, {100, 20}},
            {{"1_hover", "1_click", "3_hover", "3_click"}, {130, 129}},
            {{"1_content", "2_content", "3_content"}, {469, 350}},
            {{"top_scroll"}, {332, 36}},
        };
        for (const auto &row : table)
            for (const QString &name : row.first)
                QTest::newRow(qPrintable(name)) << name << row.second;
    }

    void everyPictureAtItsSize()
    {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const QImage normal(QStringLiteral(":/resource/%1.png").arg(name));
        QCOMPARE(normal.size(), size);
        const QImage dense(QStringLiteral(":/resource/%1@2x.png").arg(name));
        QCOMPARE(dense.size(), size * 2);
    }

    void scaledPixmapsPreferTheDenseRendering()
    {
        const QPixmap normal = Resources::pixmap(":/resource/bg.png", QSize(618, 456), 1.0);
        QCOMPARE(normal.size(), QSize(618, 456));
        QCOMPARE(normal.devicePixelRatio(), 1.0);

        const QPixmap dense = Resources::pixmap(":/resource/bg.png", QSize(618, 456), 2.0);
        QCOMPARE(dense.size(), QSize(1236, 912));
        QCOMPARE(dense.devicePixelRatio(), 2.0);

        // The strip draws a 332 x 36 picture into whatever size it is given.
        QCOMPARE(Resources::pixmap(":/resource/roll.png", QSize(19, 19)).size(), QSize(19, 19));
        QVERIFY(Resources::pixmap(":/resource/missing.png", QSize(10, 10)).isNull());
    }
};

QTEST_MAIN(TestResources)
#include "test_resources.moc"
