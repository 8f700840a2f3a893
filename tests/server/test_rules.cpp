// The service's rules in-process: core/ on a real SQLite store in a
// temporary folder, with a clock the test turns. No sockets: each edge of a
// budget, an expiry or a delivery is one row.

#include "core/beats.h"
#include "service_limits.h"
#include "store/storage.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <string>
#include <vector>

using namespace belfry;

namespace {

constexpr int64_t Start = 1800000000;
const std::string Here = "192.0.2.1";
const std::string Elsewhere = "198.51.100.7";

std::string pcid(int n)
{
    const std::string digits = std::to_string(n);
    return "00000000-0000-4000-8000-" + std::string(12 - digits.size(), '0') + digits;
}

// A store, a clock and the rules over them.
struct Rules
{
    explicit Rules(int64_t keepSeconds = DefaultKeepSeconds, int64_t newPcsPerDay = DefaultNewPcsPerDay)
    {
        std::string error;
        storage = openSqliteStorage(dir.path().toStdString(), error);
        if (storage)
            beats = std::make_unique<Beats>(*storage, keepSeconds, newPcsPerDay, [this] { return now; });
        else
            qWarning("%s", error.c_str());
    }

    Verdict beat(const std::string &pc, const std::string &address = Here, bool receipts = false,
        std::vector<int64_t> got = {})
    {
        Beat b;
        b.pcid = pc;
        b.version = "1.0.1";
        b.expire = 60;
        b.address = address;
        b.receipts = receipts;
        b.got = std::move(got);
        answer = {};
        return beats->beat(b, answer);
    }

    bool listed(int64_t id) const
    {
        return std::find(answer.waiting.begin(), answer.waiting.end(), id) != answer.waiting.end();
    }

    // A ringtone for `pc` from a phone paired with it now.
    int64_t send(const std::string &pc, int64_t id = 4242)
    {
        if (storage->pair(pc, {"dev-1", "Phone"}, "token", now) != Result::Ok)
            return 0;
        NewRingtone r;
        r.id = id;
        r.fileKey = "key" + std::to_string(id);
        r.pcid = pc;
        r.deviceId = "dev-1";
        r.deviceToken = "token";
        r.name = "Bell";
        r.now = now;
        return storage->addRingtone(r, "not heard here") == Result::Ok ? id : 0;
    }

    QTemporaryDir dir;
    int64_t now = Start;
    std::unique_ptr<Storage> storage;
    std::unique_ptr<Beats> beats;
    BeatAnswer answer;
};

}  // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    // PCs not seen before cost their address; known ones never do.
    void newPcBudget_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("before");  // new PCs from Here first
        QTest::addColumn<int>("pause");  // seconds before the last beat
        QTest::addColumn<bool>("known");  // the last beat is of the first PC
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("refused");
        const int share = int(DaySeconds / 3);
        QTest::newRow("the last unit") << 3 << 2 << 0 << false << "here" << false;
        QTest::newRow("the first refused") << 3 << 3 << 0 << false << "here" << true;
        QTest::newRow("a second short of a unit back") << 3 << 3 << share - 1 << false << "here" << true;
        QTest::newRow("a unit back after its share of the day") << 3 << 3 << share << false << "here" << false;
        QTest::newRow("a known PC costs nothing") << 1 << 1 << 0 << true << "here" << false;
        QTest::newRow("another address has its own") << 1 << 1 << 0 << false << "elsewhere" << false;
    }
    void newPcBudget()
    {
        QFETCH(int, capacity);
        QFETCH(int, before);
        QFETCH(int, pause);
        QFETCH(bool, known);
        QFETCH(QString, from);
        QFETCH(bool, refused);
        Rules rules(DefaultKeepSeconds, capacity);
        QVERIFY(rules.beats);
        for (int i = 1; i <= before; ++i)
            QVERIFY(rules.beat(pcid(i)).ok());
        rules.now += pause;
        const Verdict last = rules.beat(known ? pcid(1) : pcid(before + 1), from == "here" ? Here : Elsewhere);
        QCOMPARE(last.spent, refused);
        QCOMPARE(last.wait, refused ? DaySeconds / capacity + 1 : 0);
        QCOMPARE(rules.answer.created, !refused && !known);
    }

    // A ringtone is handed out by id only where a beat listed it, for a while.
    void lookups_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("after");  // seconds after the beat that listed it
        QTest::addColumn<bool>("delivered");
        QTest::addColumn<bool>("found");
        QTest::newRow("where it was listed") << "here" << 0 << false << true;
        QTest::newRow("the announcement's last second") << "here" << int(AnnouncementSeconds) << false << true;
        QTest::newRow("a second past it") << "here" << int(AnnouncementSeconds) + 1 << false << false;
        QTest::newRow("from another address") << "elsewhere" << 0 << false << false;
        QTest::newRow("once delivered") << "here" << 0 << true << false;
    }
    void lookups()
    {
        QFETCH(QString, from);
        QFETCH(int, after);
        QFETCH(bool, delivered);
        QFETCH(bool, found);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(id);
        QVERIFY(rules.beat(pcid(1)).ok() && rules.listed(id));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        if (delivered)
            QCOMPARE(rules.beats->onClose(info)(), std::string("delivered"));
        rules.now += after;
        const std::string address = from == "here" ? Here : Elsewhere;
        QVERIFY(rules.beats->mayLookUp(address).ok());
        QCOMPARE(rules.beats->lookup(id, address, info) == Result::Ok, found);
    }

    // Lookups of what was never listed to an address are counted, the last
    // allowed and the next refused; asking again for one's own is free.
    void lookupMisses_data()
    {
        QTest::addColumn<QString>("asker");
        QTest::addColumn<int>("misses");
        QTest::addColumn<bool>("refused");
        QTest::newRow("the last miss") << "elsewhere" << int(MissesPerHour) - 1 << false;
        QTest::newRow("the first refused") << "elsewhere" << int(MissesPerHour) << true;
        QTest::newRow("where it was listed, asked again and again") << "here" << int(MissesPerHour) << false;
    }
    void lookupMisses()
    {
        QFETCH(QString, asker);
        QFETCH(int, misses);
        QFETCH(bool, refused);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(rules.beat(pcid(1)).ok() && rules.listed(id));
        const std::string address = asker == "here" ? Here : Elsewhere;
        RingtoneInfo info;
        for (int i = 0; i < misses; ++i)
            rules.beats->lookup(id, address, info);
        const Verdict next = rules.beats->mayLookUp(address);
        QCOMPARE(next.spent, refused);
        QCOMPARE(next.wait, refused ? HourSeconds / MissesPerHour + 1 : 0);
    }

    // What waits longer than it may is removed, at the next beat.
    void expiry_data()
    {
        QTest::addColumn<int>("keepDays");
        QTest::addColumn<int>("age");  // seconds past the keep
        QTest::addColumn<bool>("kept");
        QTest::newRow("a second before its last") << 30 << -1 << true;
        QTest::newRow("its last second") << 30 << 0 << true;
        QTest::newRow("a second past it") << 30 << 1 << false;
        QTest::newRow("kept one day, a second past it") << 1 << 1 << false;
    }
    void expiry()
    {
        QFETCH(int, keepDays);
        QFETCH(int, age);
        QFETCH(bool, kept);
        Rules rules(keepDays * DaySeconds);
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(id);
        rules.now += keepDays * DaySeconds + age;
        QVERIFY(rules.beat(pcid(1)).ok());
        QCOMPARE(rules.listed(id), kept);
        RingtoneInfo info;
        QCOMPARE(rules.storage->ringtone(id, info) == Result::Ok, kept);
        QCOMPARE(QDir(rules.dir.path() + "/ringtones").entryList(QDir::Files).size(), kept ? 1 : 0);
    }

    // Who may say that a ringtone arrived, and what the PCs are told after.
    void receipts_data()
    {
        QTest::addColumn<bool>("confirms");  // the PC sends "got"
        QTest::addColumn<int>("confirmer");  // the PC whose beat names the id; 0: none
        QTest::addColumn<bool>("closed");  // its file was sent and the connection closed
        QTest::addColumn<bool>("delivered");
        QTest::newRow("named by its PC") << true << 1 << false << true;
        QTest::newRow("named by another PC") << true << 2 << false << false;
        QTest::newRow("a confirming PC's file sent, not named") << true << 0 << true << false;
        QTest::newRow("a PC that does not confirm: the close") << false << 0 << true << true;
        QTest::newRow("a PC that does not confirm: not fetched") << false << 0 << false << false;
    }
    void receipts()
    {
        QFETCH(bool, confirms);
        QFETCH(int, confirmer);
        QFETCH(bool, closed);
        QFETCH(bool, delivered);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1), Here, confirms).ok());
        QVERIFY(rules.beat(pcid(2), Here, confirms).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(rules.beat(pcid(1), Here, confirms).ok() && rules.listed(id));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        QCOMPARE(info.receipts, confirms);
        auto close = rules.beats->onClose(info);
        QCOMPARE(bool(close), !confirms);
        if (closed && close)
            close();
        close = nullptr;
        if (confirmer)
            QVERIFY(rules.beat(pcid(confirmer), Here, true, {id}).ok());
        QVERIFY(rules.beat(pcid(1), Here, confirms).ok());
        QCOMPARE(rules.listed(id), !delivered);
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info) == Result::NotFound, delivered);
    }

    // No beat lists a ringtone while its file is being sent; a connection
    // reset before the close leaves it waiting.
    void beingSent()
    {
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        auto close = rules.beats->onClose(info);
        QVERIFY(rules.beat(pcid(1)).ok());
        QVERIFY(!rules.listed(id));
        close = nullptr;
        QVERIFY(rules.beat(pcid(1)).ok());
        QVERIFY(rules.listed(id));
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "test_rules.moc"
