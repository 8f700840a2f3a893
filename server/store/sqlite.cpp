// The SQLite backend: opening the data folder, the schema and its
// migrations, the checks at start and the sweep of leftover files.

#include "store/sqlite_db.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belfry {
namespace sqlite {
namespace {

// Each entry brings the schema from its index to the next version; the
// database's user_version says how many have run.
const char *const Migrations[] = {
    R"(CREATE TABLE pcs (
         pcid TEXT PRIMARY KEY, version TEXT NOT NULL, last_beat INTEGER NOT NULL,
         expire INTEGER NOT NULL);
       CREATE TABLE pairings (
         pcid TEXT NOT NULL, device_id TEXT NOT NULL, device_name TEXT NOT NULL,
         token TEXT NOT NULL, paired_at INTEGER NOT NULL, reported INTEGER NOT NULL DEFAULT 0,
         PRIMARY KEY (pcid, device_id));
       CREATE TABLE lost_pairings (pcid TEXT PRIMARY KEY);
       CREATE TABLE ringtones (
         seq INTEGER PRIMARY KEY AUTOINCREMENT, id INTEGER NOT NULL UNIQUE,
         file_key TEXT NOT NULL UNIQUE, pcid TEXT NOT NULL,
         device_id TEXT NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL,
         created INTEGER NOT NULL, delivered_at INTEGER);
       CREATE INDEX ringtones_waiting ON ringtones (pcid, delivered_at);
       CREATE TABLE conf (
         pcid TEXT NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY (pcid, key));
       CREATE TABLE updates (
         seq INTEGER PRIMARY KEY AUTOINCREMENT, version TEXT NOT NULL, url TEXT NOT NULL,
         published INTEGER NOT NULL);
       CREATE TABLE events (
         seq INTEGER PRIMARY KEY AUTOINCREMENT, pcid TEXT NOT NULL, version TEXT NOT NULL,
         name TEXT NOT NULL, at INTEGER NOT NULL);
       CREATE INDEX events_name ON events (name);)",
    R"(ALTER TABLE ringtones ADD COLUMN announced_to TEXT NOT NULL DEFAULT '';
       ALTER TABLE ringtones ADD COLUMN announced_at INTEGER NOT NULL DEFAULT 0;
       CREATE INDEX ringtones_created ON ringtones (created) WHERE delivered_at IS NULL;
       CREATE INDEX ringtones_sender ON ringtones (pcid, device_id, seq);)",
    // Tokens are kept as hashes: a copy of the database does not let anyone send.
    R"(ALTER TABLE pairings RENAME COLUMN token TO token_hash;
       UPDATE pairings SET token_hash = sha256(token_hash);)",
    // Events are counted per PC, name and day instead of kept one by one.
    R"(CREATE TABLE event_counts (
         pcid TEXT NOT NULL, name TEXT NOT NULL, day INTEGER NOT NULL, count INTEGER NOT NULL,
         PRIMARY KEY (pcid, name, day));
       INSERT INTO event_counts SELECT pcid, name, at / 86400, count(*) FROM events GROUP BY 1, 2, 3;
       DROP TABLE events;
       CREATE INDEX event_counts_day ON event_counts (day);
       CREATE INDEX pcs_last_beat ON pcs (last_beat);)",
    // Every beat writes last_beat: its index made each beat's write dearer
    // (bench/load.sh). The expiry of unpaired PCs, once a minute, reads the
    // table instead: some 50 to 80 ms at a million PCs.
    "DROP INDEX IF EXISTS pcs_last_beat;",
    // A PC that confirms what it stored: its deliveries come from its beats.
    "ALTER TABLE pcs ADD COLUMN receipts INTEGER NOT NULL DEFAULT 0;",
};

// sha256(text): the digest of the text's bytes, as a 32-byte blob.
void sha256(sqlite3_context *context, int, sqlite3_value **args)
{
    if (sqlite3_value_type(args[0]) == SQLITE_NULL)
        return sqlite3_result_null(context);
    const auto *text = sqlite3_value_text(args[0]);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(text, size_t(sqlite3_value_bytes(args[0])), digest, &length, EVP_sha256(), nullptr))
        return sqlite3_result_error(context, "sha256 failed", -1);
    sqlite3_result_blob(context, digest, int(length), SQLITE_TRANSIENT);
}

}  // namespace

Result SqliteStorage::fail(const char *what, const Connection &on)
{
    // An empty text: the failure was not the database's and is logged already.
    if (!on.error.empty())
        std::fprintf(stderr, "storage: %s: %s\n", what, on.error.c_str());
    return Result::Failed;
}

bool SqliteStorage::open(const std::string &dataDir, std::string &error)
{
    // Two services on one folder would each delete the other's new files as
    // leftovers at start.
    const std::string lockPath = dataDir + "/service.lock";
    lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = "the data folder " + dataDir + " is in use by another service (or not writable)";
        return false;
    }
    files = dataDir + "/ringtones";
    if (::mkdir(files.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + files + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = dataDir + "/belfry.sqlite";
    if (sqlite3_open_v2(path.c_str(), &db.handle,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        error = "cannot open " + path + ": " + (db.handle ? sqlite3_errmsg(db.handle) : "out of memory");
        return false;
    }
    // While it starts nothing else runs, so SQLite's own wait will do.
    sqlite3_busy_timeout(db.handle, int(BusyWait.count()));
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=FULL")
        || !exec("PRAGMA foreign_keys=ON")
        || sqlite3_create_function(
               db.handle, "sha256", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, sha256, nullptr, nullptr)
            != SQLITE_OK) {
        error = "cannot set up " + path + ": " + (db.error.empty() ? sqlite3_errmsg(db.handle) : db.error);
        return false;
    }
    if (!checkIntegrity(path, error) || !migrate(error) || !removeLeftovers(path, error))
        return false;
    sqlite3_busy_timeout(db.handle, 0);
    if (sqlite3_open_v2(path.c_str(), &reader.handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        error = "cannot open " + path + " to read: "
            + (reader.handle ? sqlite3_errmsg(reader.handle) : "out of memory");
        return false;
    }
    // Only a recovery of the log after a crash holds readers up.
    sqlite3_busy_timeout(reader.handle, int(BusyWait.count()));
    return true;
}

// A damaged database is not written to, and nothing is swept on the word of
// one: the service refuses to start until it is restored or repaired.
bool SqliteStorage::checkIntegrity(const std::string &path, std::string &error)
{
    std::string problems;
    {
        Query q(db, "PRAGMA quick_check");
        while (q.next())
            if (q.text(0) != "ok" && problems.size() < 500)
                problems += (problems.empty() ? "" : "; ") + q.text(0);
        if (q.failed())
            problems = db.error;
    }
    if (problems.empty())
        return true;
    error = path + " is damaged (" + problems
        + "); the service does not start on it: restore it from a backup, or salvage it with the sqlite3"
          " shell's .recover";
    return false;
}

bool SqliteStorage::migrate(std::string &error)
{
    const int64_t known = int64_t(sizeof Migrations / sizeof *Migrations);
    int64_t version = 0;
    {
        Query q(db, "PRAGMA user_version");
        if (q.next())
            version = q.integer(0);
    }
    if (version > known) {
        error = "the database has schema version " + std::to_string(version)
            + ", newer than this service knows (" + std::to_string(known) + ")";
        return false;
    }
    // What a migration replaces (clear-text tokens) must not stay readable
    // in free space or in the log.
    const bool migrating = version < known;
    if (migrating && !exec("PRAGMA secure_delete=ON")) {
        error = "cannot prepare the schema migration: " + db.error;
        return false;
    }
    for (; version < known; ++version) {
        const std::string bump = "PRAGMA user_version=" + std::to_string(version + 1);
        if (!exec("BEGIN IMMEDIATE") || !exec(Migrations[version]) || !exec(bump.c_str())
            || !exec("COMMIT")) {
            error = "schema migration " + std::to_string(version + 1) + " failed: " + db.error;
            sqlite3_exec(db.handle, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        std::fprintf(stderr, "storage: database schema now at version %lld\n", (long long)version + 1);
    }
    if (migrating && !exec("PRAGMA wal_checkpoint(TRUNCATE)")) {
        error = "cannot write the migrated schema into the database: " + db.error;
        return false;
    }
    return true;
}

// A killed service can leave a temporary file, a renamed file whose row was
// never committed, or the file of a ringtone delivered just before. Rows whose
// file vanished cannot be delivered any more and are dropped. Nothing is
// removed unless both the rows and the folder were read completely.
bool SqliteStorage::removeLeftovers(const std::string &path, std::string &error)
{
    std::set<std::string> waiting;
    {
        Query q(db, "SELECT file_key FROM ringtones WHERE delivered_at IS NULL");
        while (q.next())
            waiting.insert(q.text(0));
        if (q.failed()) {
            error
                = "cannot read the waiting ringtones in " + path + " (" + db.error + "); nothing was removed";
            return false;
        }
    }
    std::vector<std::string> leftovers;
    DIR *dir = ::opendir(files.c_str());
    int readError = dir ? 0 : errno;
    errno = 0;
    while (const dirent *entry = dir ? ::readdir(dir) : nullptr) {
        const std::string name = entry->d_name;
        const bool kept = name == "." || name == ".."
            || (name.size() > 4 && name.compare(name.size() - 4, 4, ".m4r") == 0
                && waiting.erase(name.substr(0, name.size() - 4)) == 1);
        if (!kept)
            leftovers.push_back(name);
    }
    if (dir) {
        readError = errno;
        ::closedir(dir);
    }
    if (!dir || readError) {
        error
            = "cannot read the folder " + files + " (" + std::strerror(readError) + "); nothing was removed";
        return false;
    }
    for (const std::string &name : leftovers) {
        std::fprintf(stderr, "storage: removing leftover file %s\n", name.c_str());
        ::unlink((files + "/" + name).c_str());
    }
    for (const std::string &key : waiting) {
        std::fprintf(stderr, "storage: dropping ringtone %s: its file is missing\n", key.c_str());
        Query q(db, "DELETE FROM ringtones WHERE file_key = ?");
        q.bind(key).run();
    }
    return true;
}

}  // namespace sqlite

std::unique_ptr<Storage> openSqliteStorage(const std::string &dataDir, std::string &error)
{
    auto storage = std::make_unique<sqlite::SqliteStorage>();
    if (!storage->open(dataDir, error))
        return nullptr;
    return storage;
}

}  // namespace belfry
