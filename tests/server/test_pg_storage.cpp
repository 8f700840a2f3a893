// The PostgreSQL backend where it differs from a single process on a file:
// several instances on one database, concurrent requests, and a schema that
// belongs to a newer service; and where both backends must answer alike.
// Needs BELFRY_TEST_PG, a libpq connection string (needs-pg.sh skips it
// otherwise); each run works in a database of its own, created and dropped
// here.

#include "store/storage.h"

#include <libpq-fe.h>

#include <QtTest>

#include <atomic>
#include <thread>

using namespace belfry;

namespace {

const char *const Pcid = "0f1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0";

// What a phone asks of the store, in phoneStepsInOrder.
enum PhoneRequest { Upload, Withdraw, Sent, Unpair, PairUnknownPc, UploadTaken };

// `conninfo` with its database replaced.
std::string withDatabase(const std::string &conninfo, const std::string &dbname)
{
    PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), nullptr);
    std::string out;
    for (PQconninfoOption *o = options; o && o->keyword; ++o) {
        const std::string value = std::string(o->keyword) == "dbname" ? dbname : o->val ? o->val : "";
        if (value.empty())
            continue;
        out += std::string(o->keyword) + "='";
        for (char ch : value)
            out += ch == '\'' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
        out += "' ";
    }
    PQconninfoFree(options);
    return out;
}

bool sql(const std::string &conninfo, const std::string &statement)
{
    PGconn *c = PQconnectdb(conninfo.c_str());
    PGresult *r = PQexec(c, statement.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (!ok)
        qDebug() << statement.c_str() << PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    return ok;
}

}  // namespace

class TestPgStorage : public QObject
{
    Q_OBJECT

    std::string admin = qEnvironmentVariable("BELFRY_TEST_PG").toStdString();
    std::string dbname = "belfry_test_" + std::to_string(QCoreApplication::applicationPid());
    std::string conninfo = withDatabase(admin, dbname);

    std::unique_ptr<Storage> open()
    {
        std::string error;
        auto s = openPgStorage(conninfo, error);
        if (!s)
            qDebug() << error.c_str();
        return s;
    }

private slots:
    void initTestCase()
    {
        sql(admin, "DROP DATABASE IF EXISTS " + dbname);
        QVERIFY2(sql(admin, "CREATE DATABASE " + dbname),
            "the role of BELFRY_TEST_PG must be allowed to create databases");
    }
    void cleanupTestCase() { sql(admin, "DROP DATABASE IF EXISTS " + dbname + " WITH (FORCE)"); }

    // Two instances share the database and nothing else: what one takes in,
    // the other answers with, and a delivery through one ends the waiting on both.
    void instancesShareOneDatabase()
    {
        auto a = open(), b = open();
        QVERIFY(a && b);
        BeatAnswer answer;
        QCOMPARE(b->beat({Pcid, "1.0.1", 5, 100}, answer), Result::Ok);
        QCOMPARE(a->pair(Pcid, {"dev-a", "Phone"}, "token-a", 101), Result::Ok);
        const std::string bytes("\0ftypM4A \xff", 10);
        QCOMPARE(a->addRingtone({77, "k77", Pcid, "dev-a", "token-a", "Bell", 102}, bytes), Result::Ok);

        QCOMPARE(b->beat({Pcid, "1.0.1", 5, 103}, answer), Result::Ok);
        QCOMPARE(answer.newPairings.size(), size_t(1));
        QCOMPARE(answer.waiting, std::vector<int64_t> {77});
        RingtoneInfo info;
        std::string head, rest;
        QCOMPARE(b->ringtone(77, info), Result::Ok);
        QCOMPARE(b->ringtoneFilePart(info, 0, 4, head), Result::Ok);
        QCOMPARE(b->ringtoneFilePart(info, 4, 64, rest), Result::Ok);
        QVERIFY(head + rest == bytes);
        QCOMPARE(b->markDelivered(77, 104), Result::Ok);
        QCOMPARE(a->ringtoneFilePart(info, 0, 4, head), Result::NotFound);
        QCOMPARE(a->beat({Pcid, "1.0.1", 5, 105}, answer), Result::Ok);
        QVERIFY(answer.waiting.empty() && answer.newPairings.empty());
    }

    // Every sweep goes on past its first batch until all that is old is gone
    // (the waiting ringtones, the unpaired PCs, the events), and keeps the rest.
    void sweepsPastABatch()
    {
        const std::string db = dbname + "_sweeps", at = withDatabase(admin, db);
        QVERIFY(sql(admin, "CREATE DATABASE " + db));
        std::string error;
        auto s = openPgStorage(at, error);
        QVERIFY2(s, error.c_str());
        const std::string old = std::to_string(SweepBatchRows + 1);
        QVERIFY(sql(at, "INSERT INTO pcs (pcid, version, last_beat, expire) SELECT 'pc' || i, '1', 1, 5 "
                        "FROM generate_series(1, " + old + ") i UNION ALL SELECT 'young', '1', 100000, 5"));
        QVERIFY(sql(at, "INSERT INTO event_counts SELECT 'pc' || i, 'opened', 0, 1 FROM generate_series(1, "
                + old + ") i UNION ALL SELECT 'young', 'opened', 2, 1"));
        QVERIFY(sql(at, "INSERT INTO ringtones (id, file_key, pcid, device_id, name, size, created) "
                        "SELECT i, 'k' || i, 'paired', 'dev', 'Bell', 1, 1 FROM generate_series(1, " + old + ") i"));
        int64_t removed = 0;
        QCOMPARE(s->expireRingtones(2, removed), Result::Ok);
        QCOMPARE(removed, int64_t(SweepBatchRows + 1));
        QCOMPARE(s->expireAnonymous(DaySeconds, 2), Result::Ok);
        Stats stats;
        QCOMPARE(s->stats(100000, stats), Result::Ok);
        QCOMPARE(stats.pcs, int64_t(1));
        QCOMPARE(stats.events["opened"], int64_t(1));
        s.reset();
        sql(admin, "DROP DATABASE " + db + " WITH (FORCE)");
    }

    // Many beats of one PC at once, on several instances: a new pairing and
    // then the lost pairing each reach exactly one of them.
    void concurrentBeatsTakeOnce()
    {
        auto a = open(), b = open();
        QVERIFY(a && b);
        const std::string pcid = "1f1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0";
        BeatAnswer answer;
        QCOMPARE(a->beat({pcid, "1.0.1", 5, 1}, answer), Result::Ok);
        for (int round = 0; round < 20; ++round) {
            QCOMPARE(a->pair(pcid, {"dev", "Phone"}, "token", 2), Result::Ok);
            QCOMPARE(a->removePairing(pcid, "dev", "token"), Result::Ok);
            QCOMPARE(a->pair(pcid, {"dev", "Phone"}, "token", 3), Result::Ok);
            std::atomic<int> pairings {0}, losses {0}, failures {0};
            auto beats = [&](Storage *s, bool remover) {
                for (int i = 0; i < 10; ++i) {
                    BeatAnswer mine;
                    failures += s->beat({pcid, "1.0.1", 5, 4}, mine) != Result::Ok;
                    pairings += int(mine.newPairings.size());
                    // The loss is set while the beats run, so some of them see it.
                    if (i == 4 && remover)
                        failures += s->removePairing(pcid, "dev", "token") != Result::Ok;
                    losses += mine.pairingLost;
                }
            };
            std::vector<std::thread> threads;
            for (int t = 0; t < 6; ++t)
                threads.emplace_back(beats, t % 2 ? a.get() : b.get(), t == 0);
            for (std::thread &t : threads)
                t.join();
            QCOMPARE(failures.load(), 0);
            QCOMPARE(pairings.load(), 1);
            QCOMPARE(losses.load(), 1);
        }
    }

    // Uploads to one PC at once, through several instances: its quota holds.
    void quotaHoldsUnderConcurrency()
    {
        auto a = open(), b = open();
        QVERIFY(a && b);
        const std::string pcid = "2f1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0";
        BeatAnswer answer;
        QCOMPARE(a->beat({pcid, "1.0.1", 5, 1}, answer), Result::Ok);
        QCOMPARE(a->pair(pcid, {"dev", "Phone"}, "token", 1), Result::Ok);
        std::atomic<int> stored {0}, refused {0};
        std::atomic<int64_t> nextId {1000};
        auto upload = [&](Storage *s) {
            for (int i = 0; i < 5; ++i) {
                const int64_t id = nextId++;
                NewRingtone r {id, "q" + std::to_string(id), pcid, "dev", "token", "Bell", 2};
                r.quota.maxWaiting = 7;
                const Result got = s->addRingtone(r, "bytes");
                stored += got == Result::Ok;
                refused += got == Result::OverQuota;
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back(upload, t % 2 ? a.get() : b.get());
        for (std::thread &t : threads)
            t.join();
        QCOMPARE(stored.load(), 7);
        QCOMPARE(refused.load(), 33);
    }

    // Every instance spends from one budget per address and limit, also when
    // they count at once; a bucket gives its events back over its period.
    void instancesShareBudgets()
    {
        auto a = open(), b = open();
        QVERIFY(a && b);
        auto onA = a->sharedBudget("pairings", 7, 3600), onB = b->sharedBudget("pairings", 7, 3600);
        QVERIFY(onA && onB);
        std::atomic<int> taken {0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 5; ++i)
                    taken += (t % 2 ? onA : onB)->take("127.0.0.7", 1000) == Allowance::Yes;
            });
        for (std::thread &t : threads)
            t.join();
        QCOMPARE(taken.load(), 7);
        QCOMPARE(onA->left("127.0.0.7", 1000), Allowance::No);
        QCOMPARE(a->sharedBudget("uploads", 7, 3600)->take("127.0.0.7", 1000), Allowance::Yes);
        QCOMPARE(onB->take("127.0.0.8", 1000), Allowance::Yes);
        QCOMPARE(onB->take("127.0.0.7", 1000 + 3600 / 7 + 1), Allowance::Yes);
        QCOMPARE(onA->left("127.0.0.7", 1000 + 3600 / 7 + 1), Allowance::No);
        // A unit given back on one instance is there on the other.
        onB->give("127.0.0.7", 1000 + 3600 / 7 + 1);
        QCOMPARE(onA->take("127.0.0.7", 1000 + 3600 / 7 + 1), Allowance::Yes);
    }

    // The database ended every connection (a restart does): the next
    // requests get new ones instead of failing.
    void reconnectsAfterConnectionsEnded()
    {
        auto a = open();
        QVERIFY(a);
        BeatAnswer answer;
        QCOMPARE(a->beat({Pcid, "1.0.1", 5, 200}, answer), Result::Ok);
        QVERIFY(sql(conninfo,
            "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity"
            " WHERE datname = current_database() AND pid <> pg_backend_pid()"));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(a->beat({Pcid, "1.0.1", 5, 201}, answer), Result::Ok);
    }

    // Beats stored together are one transaction: when one of them fails,
    // none took its news, which the next beat gets once.
    void failedBatchTakesNothing()
    {
        const std::string locked = "ff1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0";
        const std::string paired = "0e1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0";  // stored first in a batch
        std::string error;
        auto s = openPgStorage(conninfo + " options='-c lock_timeout=2000'", error);
        QVERIFY2(s, error.c_str());
        BeatAnswer answer;
        QCOMPARE(s->beat({locked, "1.0.1", 5, 300}, answer), Result::Ok);
        QCOMPARE(s->beat({paired, "1.0.1", 5, 300}, answer), Result::Ok);
        QCOMPARE(s->pair(paired, {"dev", "Phone"}, "token", 300), Result::Ok);
        PGconn *holder = PQconnectdb(conninfo.c_str());
        PQclear(PQexec(holder, "BEGIN"));
        PQclear(PQexec(holder, ("SELECT 1 FROM pcs WHERE pcid = '" + locked + "' FOR UPDATE").c_str()));
        // The first beat waits for the lock; the two after it queue up meanwhile
        // and go together, after it.
        Result first = Result::Ok, again = Result::Ok, other = Result::Ok;
        BeatAnswer firstAnswer, againAnswer, otherAnswer;
        std::thread waiting([&] {
            first = s->beat({locked, "1.0.1", 5, 301}, firstAnswer);
        });
        QTest::qWait(300);
        std::thread lockedToo([&] {
            again = s->beat({locked, "1.0.1", 5, 302}, againAnswer);
        });
        std::thread news([&] {
            other = s->beat({paired, "1.0.1", 5, 302}, otherAnswer);
        });
        for (std::thread *t : {&waiting, &lockedToo, &news})
            t->join();
        PQclear(PQexec(holder, "COMMIT"));
        PQfinish(holder);
        QCOMPARE(first, Result::Failed);
        QCOMPARE(again, Result::Failed);
        QCOMPARE(other, Result::Failed);
        QCOMPARE(s->beat({paired, "1.0.1", 5, 303}, answer), Result::Ok);
        QCOMPARE(answer.newPairings.size(), size_t(1));
        QCOMPARE(s->beat({paired, "1.0.1", 5, 304}, answer), Result::Ok);
        QVERIFY(answer.newPairings.empty());
    }

    // A phone's checks come in one order on both backends (store/steps.h):
    // the PC, then the pairing and its token, then the PC's room, then the
    // write. So a wrong token is Denied even where the right one would hear
    // of a full PC or a missing ringtone. The PC here is full: one waits.
    void phoneStepsInOrder_data()
    {
        QTest::addColumn<int>("request");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("expected");
        const auto row = [](const char *name, int request, const char *token, Result expected) {
            QTest::newRow(name) << request << QString(token) << int(expected);
        };
        row("upload, wrong token", Upload, "wrong", Result::Denied);
        row("upload, PC full", Upload, "token", Result::OverQuota);
        row("upload, file key taken, room", UploadTaken, "token", Result::Conflict);
        row("withdraw, wrong token", Withdraw, "wrong", Result::Denied);
        row("withdraw, no such ringtone", Withdraw, "token", Result::NotFound);
        row("sent, wrong token", Sent, "wrong", Result::Denied);
        row("sent", Sent, "token", Result::Ok);
        row("unpair, wrong token", Unpair, "wrong", Result::Denied);
        row("pair with a PC never seen", PairUnknownPc, "token", Result::NotFound);
    }
    void phoneStepsInOrder()
    {
        QFETCH(int, request);
        QFETCH(QString, token);
        QFETCH(int, expected);
        QTemporaryDir folder;
        std::string error;
        std::unique_ptr<Storage> backends[] = {openSqliteStorage(folder.path().toStdString(), error), open()};
        const std::string pcid = "3f1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0", t = token.toStdString();
        for (auto &s : backends) {
            QVERIFY2(s, error.c_str());
            BeatAnswer answer;
            QCOMPARE(s->beat({pcid, "1.0.1", 5, 1}, answer), Result::Ok);
            QCOMPARE(s->pair(pcid, {"dev", "Phone"}, "token", 1), Result::Ok);
            NewRingtone r {901, "k901", pcid, "dev", "token", "Bell", 2};
            r.quota.maxWaiting = 1;
            s->withdrawRingtone(pcid, "dev", "token", 901);  // an earlier row's, on PostgreSQL
            QCOMPARE(s->addRingtone(r, "bytes"), Result::Ok);
            std::vector<SentRingtone> sent;
            NewRingtone again {902, "k902", pcid, "dev", t, "Bell", 3};
            again.quota.maxWaiting = 1;
            Result got = Result::Failed;
            switch (request) {
            case Upload:
                got = s->addRingtone(again, "bytes");
                break;
            case Withdraw:
                got = s->withdrawRingtone(pcid, "dev", t, 999);
                break;
            case Sent:
                got = s->sentRingtones(pcid, "dev", t, 10, sent);
                break;
            case Unpair:
                got = s->removePairing(pcid, "dev", t);
                break;
            case PairUnknownPc:
                got = s->pair("4f1e2d3c-4b5a-R978-8695-a4b3c2d1e0f0", {"dev", "Phone"}, t, 3);
                break;
            case UploadTaken:
                again.fileKey = "k901";
                again.quota.maxWaiting = 2;
                got = s->addRingtone(again, "bytes");
                break;
            }
            QCOMPARE(int(got), expected);
            // A refusal takes nothing of what waits, file included.
            RingtoneInfo info;
            std::string bytes;
            QCOMPARE(s->ringtone(901, info), Result::Ok);
            QCOMPARE(s->ringtoneFilePart(info, 0, 64, bytes), Result::Ok);
            QCOMPARE(bytes, std::string("bytes"));
        }
    }

    // A database migrated by a newer service is refused, not written to.
    void newerSchemaRefused()
    {
        QVERIFY(open());
        QVERIFY(sql(conninfo, "UPDATE belfry_schema SET version = version + 100"));
        std::string error;
        QVERIFY(!openPgStorage(conninfo, error));
        QVERIFY2(error.find("newer") != std::string::npos, error.c_str());
        QVERIFY(sql(conninfo, "UPDATE belfry_schema SET version = version - 100"));
        QVERIFY(open());
    }

    // libpq's reason runs over lines (its hint indented below): the log, and
    // with it the journal, gets one line.
    void unreachableSaidOnOneLine()
    {
        std::string error;
        QVERIFY(!openPgStorage(withDatabase(admin, dbname) + " port=1", error));
        QVERIFY2(error.find("port 1") != std::string::npos, error.c_str());
        QVERIFY2(error.find_first_of("\n\t") == std::string::npos, error.c_str());
    }
};

QTEST_GUILESS_MAIN(TestPgStorage)

#include "test_pg_storage.moc"
