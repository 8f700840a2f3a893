// The SQL of the PostgreSQL backend: every statement it prepares, by name.

#include "store/pg_db.h"

namespace belfry::pg {

// Uploads to one PC queue up here, so that two of them cannot both pass its
// quota. A PC that never beat has no row to lock, hence a lock of its own.
#define SENDER_LOCK "SELECT pg_advisory_xact_lock(7428032, hashtext($1))"

// Tokens are kept as hashes: a copy of the database does not let anyone send.
#define TOKEN_HASH(p) "sha256(convert_to(" p ", 'UTF8'))"

#define RINGTONE_COLUMNS                                                                                     \
    "SELECT r.id, r.file_key, r.pcid, r.name, r.size, r.delivered IS NOT NULL, r.created, r.announced_to, "  \
    "r.announced_at, coalesce(p.receipts, false) FROM ringtones r LEFT JOIN pcs p ON p.pcid = r.pcid "

const Statement Statements[] = {
    // $1 pcid, $2 version, $3 now, $4 expire, $5 farewell, $6 address, $7 may create,
    // $8 receipts, $9 the ids the PC confirms (of its own ringtones only).
    // Rows: (0, lost) once, (1, seq, device id, name) per new pairing,
    // (2, seq, ringtone id) per waiting ringtone, which is recorded as
    // announced to $6, and (3) when the PC was not known. The FOR UPDATE
    // queues beats of one PC, so the lost pairing and new pairings are
    // reported once. A confirmed ringtone is left out of `announced`: one
    // statement must not change a row twice.
    {"beat", R"sql(
    WITH old AS (SELECT pairing_lost FROM pcs WHERE pcid = $1 FOR UPDATE),
    paired AS (
        UPDATE pairings SET reported = true
        WHERE pcid = $1 AND NOT reported AND NOT $5::boolean
        RETURNING seq, device_id, name),
    up AS (
        INSERT INTO pcs AS p (pcid, version, last_beat, expire, receipts)
        SELECT $1, $2, $3, $4, $8::boolean WHERE $7::boolean OR EXISTS (SELECT 1 FROM old)
        ON CONFLICT (pcid) DO UPDATE
        SET version = EXCLUDED.version, last_beat = EXCLUDED.last_beat, expire = EXCLUDED.expire,
            pairing_lost = p.pairing_lost AND $5::boolean, receipts = $8::boolean),
    confirmed AS (
        UPDATE ringtones SET delivered = $3, data = NULL
        WHERE pcid = $1 AND id = ANY($9::bigint[]) AND delivered IS NULL
        RETURNING id),
    announced AS (
        UPDATE ringtones SET announced_to = $6, announced_at = $3
        WHERE pcid = $1 AND delivered IS NULL AND id <> ALL($9::bigint[])
        RETURNING seq, id)
    SELECT 0 AS kind, 0::bigint AS ord, NULL AS a, NULL AS b FROM old WHERE pairing_lost AND NOT $5::boolean
    UNION ALL SELECT 1, seq, device_id, name FROM paired
    UNION ALL SELECT 2, seq, id::text, NULL FROM announced
    UNION ALL SELECT 3, 0, NULL, NULL WHERE NOT EXISTS (SELECT 1 FROM old)
    ORDER BY 1, 2)sql"},
    {"unpair", "DELETE FROM pairings WHERE pcid = $1 AND device_id = ANY($2::text[])"},
    {"conf", "SELECT key, value FROM conf WHERE pcid IN ('', $1) ORDER BY pcid <> ''"},
    {"latest_update",
        "SELECT version, url, published FROM updates ORDER BY published DESC, seq DESC LIMIT 1"},
    {"ringtone", RINGTONE_COLUMNS "WHERE r.id = $1"},
    {"ringtone_by_key", RINGTONE_COLUMNS "WHERE r.file_key = $1"},
    // The column is stored uncompressed, so a part reads only its own pages.
    {"ringtone_file_part",
        "SELECT substring(data FROM $2::int FOR $3::int) FROM ringtones WHERE id = $1 AND data IS NOT NULL"},
    {"delivered",
        "UPDATE ringtones SET delivered = coalesce(delivered, $2), data = NULL WHERE id = $1 RETURNING 1"},
    {"event", R"sql(
    INSERT INTO event_counts AS e (pcid, event, day, count) VALUES ($1, $2, $3, 1)
    ON CONFLICT (pcid, event, day) DO UPDATE SET count = e.count + 1)sql"},
    {"lock_pc", "SELECT 1 FROM pcs WHERE pcid = $1 FOR UPDATE"},
    {"pair",
        R"sql(
    INSERT INTO pairings (pcid, device_id, name, token_hash, paired_at) VALUES ($1, $2, $3, )sql" TOKEN_HASH(
            "$4") R"sql(, $5)
    ON CONFLICT (pcid, device_id) DO UPDATE
    SET name = EXCLUDED.name, token_hash = EXCLUDED.token_hash, paired_at = EXCLUDED.paired_at,
        seq = nextval(pg_get_serial_sequence('pairings', 'seq')), reported = false)sql"},
    // A new pairing supersedes a loss the PC has not heard of yet.
    {"pair_found", "UPDATE pcs SET pairing_lost = false WHERE pcid = $1"},
    {"remove_pairing",
        "DELETE FROM pairings WHERE pcid = $1 AND device_id = $2 AND token_hash = " TOKEN_HASH(
            "$3") " RETURNING 1"},
    {"pairing_lost", R"sql(
    UPDATE pcs SET pairing_lost = true
    WHERE pcid = $1 AND NOT EXISTS (SELECT 1 FROM pairings WHERE pcid = $1))sql"},
    {"pairing_valid",
        "SELECT 1 FROM pairings WHERE pcid = $1 AND device_id = $2 AND token_hash = " TOKEN_HASH("$3")},
    // The FOR SHARE makes a removal of the pairing that commits meanwhile win:
    // then nothing is stored.
    {"pairing_held",
        "SELECT 1 FROM pairings WHERE pcid = $1 AND device_id = $2 AND token_hash = " TOKEN_HASH(
            "$3") " FOR SHARE"},
    {"lock_sender", SENDER_LOCK},
    {"waiting_load",
        "SELECT count(*), coalesce(sum(size), 0) FROM ringtones WHERE pcid = $1 AND delivered IS NULL"},
    {"add_ringtone", R"sql(
    INSERT INTO ringtones (id, file_key, pcid, device_id, name, size, created, data)
    VALUES ($1, $2, $3, $4, $5, $6, $7, $8::bytea)
    ON CONFLICT DO NOTHING RETURNING 1)sql"},
    // $1 pcid, $2 device id, $3 limit.
    {"sent", R"sql(
    SELECT id, name, size, created, delivered IS NOT NULL FROM ringtones
    WHERE pcid = $1 AND device_id = $2 ORDER BY seq DESC LIMIT $3)sql"},
    // What "beat" answers, read only. $1 pcid, $2 farewell.
    {"peek_beat", R"sql(
    SELECT 0 AS kind, 0::bigint AS ord, NULL AS a, NULL AS b FROM pcs
    WHERE pcid = $1 AND pairing_lost AND NOT $2::boolean
    UNION ALL SELECT 1, seq, device_id, name FROM pairings WHERE pcid = $1 AND NOT reported AND NOT $2::boolean
    UNION ALL SELECT 2, seq, id::text, NULL FROM ringtones WHERE pcid = $1 AND delivered IS NULL
    ORDER BY 1, 2)sql"},
    {"withdraw", R"sql(
    DELETE FROM ringtones WHERE id = $3 AND pcid = $1 AND device_id = $2 AND delivered IS NULL
    RETURNING 1)sql"},
    // Rows a beat holds are left for the next time: waiting for them could
    // deadlock with the beat, which locks a PC's rows in an order of its own.
    {"expire", R"sql(
    DELETE FROM ringtones WHERE id IN (
        SELECT id FROM ringtones WHERE delivered IS NULL AND created < $1 LIMIT $2 FOR UPDATE SKIP LOCKED))sql"},
    {"publish", "INSERT INTO updates (version, url, published) VALUES ($1, $2, $3)"},
    {"set_conf", R"sql(
    INSERT INTO conf (pcid, key, value) VALUES ($1, $2, $3)
    ON CONFLICT (pcid, key) DO UPDATE SET value = EXCLUDED.value)sql"},
    {"unset_conf", "DELETE FROM conf WHERE pcid = $1 AND key = $2"},
    // $1 now, $2 grace.
    {"stats", R"sql(
    SELECT (SELECT count(*) FROM pcs),
           (SELECT count(*) FROM pcs WHERE last_beat + expire + $2 >= $1),
           (SELECT count(*) FROM pairings),
           (SELECT count(*) FROM ringtones WHERE delivered IS NULL),
           (SELECT count(*) FROM ringtones WHERE delivered IS NOT NULL))sql"},
    {"event_counts", "SELECT event, sum(count) FROM event_counts GROUP BY event ORDER BY 2 DESC, 1 LIMIT $1"},
    {"expire_events", R"sql(
    DELETE FROM event_counts WHERE ctid IN (SELECT ctid FROM event_counts WHERE day < $1 LIMIT $2))sql"},
    // Rows a beat or a pairing holds are left for the next time, as above.
    {"expire_pcs", R"sql(
    DELETE FROM pcs WHERE pcid IN (
        SELECT pcid FROM pcs p WHERE last_beat < $1
        AND NOT EXISTS (SELECT 1 FROM pairings WHERE pcid = p.pcid)
        AND NOT EXISTS (SELECT 1 FROM ringtones WHERE pcid = p.pcid)
        LIMIT $2 FOR UPDATE SKIP LOCKED))sql"},
    // A leaky bucket: $1 limit, $2 address, $3 now, $4 what one event adds,
    // $5 the most it may hold (all in milliseconds). A row only when the
    // address has room; the row of an address that has none is left as it is.
    {"budget_take", R"sql(
    INSERT INTO address_budgets AS b (name, address, empty_at) VALUES ($1, $2, $3::bigint + $4::bigint)
    ON CONFLICT (name, address) DO UPDATE SET empty_at = greatest(b.empty_at, $3) + $4
    WHERE greatest(b.empty_at, $3) + $4 <= $3 + $5::bigint
    RETURNING 1)sql"},
    {"budget_left", R"sql(
    SELECT 1 FROM address_budgets
    WHERE name = $1 AND address = $2 AND greatest(empty_at, $3::bigint) + $4::bigint > $3 + $5::bigint)sql"},
    // $3: what one event added.
    {"budget_give", "UPDATE address_budgets SET empty_at = empty_at - $3::bigint WHERE name = $1 AND address = $2"},
    {"budget_sweep", "DELETE FROM address_budgets WHERE empty_at < $1"},
};

const size_t StatementCount = sizeof Statements / sizeof Statements[0];

}  // namespace belfry::pg
