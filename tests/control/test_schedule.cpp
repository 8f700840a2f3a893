// The beat schedule driven tick by tick, without a timer.
#include "control/schedule.h"

#include <QtTest>

#include <climits>

class TestSchedule : public QObject
{
    Q_OBJECT

private slots:
    void idlePeriod_data()
    {
        QTest::addColumn<int>("pulse");
        QTest::addColumn<int>("updateTick");  // 0: never
        QTest::addColumn<int>("firstStretch");
        QTest::addColumn<int>("settledTick");
        QTest::addColumn<int>("settledPulse");
        QTest::newRow("pulse 5") << 5 << 1330 << 1342 << 1430 << 511;
        QTest::newRow("pulse 10") << 10 << 670 << 682 << 770 << 516;
        // idle steps 7, 14, ... 294, 301: it never equals 300.
        QTest::newRow("pulse 7") << 7 << 0 << 946 << -1 << -1;
    }
    void idlePeriod()
    {
        QFETCH(int, pulse);
        QFETCH(int, updateTick);
        QFETCH(int, firstStretch);
        QFETCH(int, settledTick);
        QFETCH(int, settledPulse);
        BeatSchedule schedule;
        schedule.reset(pulse);
        QList<int> updates;
        int first = 0;
        int last = 0;
        for (int tick = 1; tick <= 3000; ++tick) {
            const BeatSchedule::Tick result = schedule.tick();
            if (result.checkUpdate)
                updates << tick;
            if (result.restart) {
                first = first ? first : tick;
                last = tick;
            }
            if (tick == settledTick)
                QCOMPARE(schedule.pulse(), settledPulse);
        }
        QCOMPARE(updates, updateTick ? QList<int> {updateTick} : QList<int> {});
        QCOMPARE(first, firstStretch);
        if (settledTick > 0)
            QVERIFY(last < settledTick);
    }

    void foldResetAndActivity()
    {
        BeatSchedule schedule;
        schedule.reset(5);
        for (int tick = 1; tick <= 21; ++tick) {
            schedule.tick();
            QCOMPARE(schedule.ticks(), tick);
            QCOMPARE(schedule.idle(), 0);
        }
        schedule.tick();
        QCOMPARE(schedule.ticks(), 0);
        QCOMPARE(schedule.idle(), 5);

        // Activity ends the idle period but keeps a stretched interval; only
        // a reset brings the configured one back.
        while (schedule.pulse() == 5)
            schedule.tick();
        const int stretched = schedule.pulse();
        schedule.activity();
        QCOMPARE(schedule.idle(), 0);
        QCOMPARE(schedule.pulse(), stretched);
        schedule.reset(5);
        QCOMPARE(schedule.pulse(), 5);
        QCOMPARE(schedule.ticks(), 0);
    }

    void usablePulse_data()
    {
        QTest::addColumn<int>("configured");
        QTest::addColumn<int>("pulse");
        QTest::newRow("missing or not a number") << 0 << 10;
        QTest::newRow("negative") << -30 << 10;
        QTest::newRow("4") << 4 << 10;
        QTest::newRow("5") << 5 << 5;
        QTest::newRow("a day") << 86400 << 86400;
        // Times 1000 these no longer fit the timer's int milliseconds.
        QTest::newRow("a day and a second") << 86401 << 86400;
        QTest::newRow("int max") << INT_MAX << 86400;
    }
    void usablePulse()
    {
        QFETCH(int, configured);
        QFETCH(int, pulse);
        QCOMPARE(BeatSchedule::usablePulse(configured), pulse);
        // The stretch never takes a capped pulse past what a timer accepts.
        BeatSchedule schedule;
        schedule.reset(configured);
        for (int i = 0; i < 200; ++i)
            schedule.tick();
        QVERIFY(qint64(schedule.pulse()) * 1000 <= INT_MAX);
    }
};

QTEST_APPLESS_MAIN(TestSchedule)
#include "test_schedule.moc"
