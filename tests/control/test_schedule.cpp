// The beat schedule driven tick by tick, without a timer.
#include "control/schedule.h"

#include <QtTest>

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
            QCOMPARE(schedule.tickCount, tick);
            QCOMPARE(schedule.idleSeconds, 0);
        }
        schedule.tick();
        QCOMPARE(schedule.tickCount, 0);
        QCOMPARE(schedule.idleSeconds, 5);

        // Activity ends the idle period but keeps a stretched interval; only
        // a reset brings the configured one back.
        while (schedule.pulse() == 5)
            schedule.tick();
        const int stretched = schedule.pulse();
        schedule.activity();
        QCOMPARE(schedule.idleSeconds, 0);
        QCOMPARE(schedule.pulse(), stretched);
        schedule.reset(5);
        QCOMPARE(schedule.pulse(), 5);
        QCOMPARE(schedule.tickCount, 0);
    }
};

QTEST_APPLESS_MAIN(TestSchedule)
#include "test_schedule.moc"
