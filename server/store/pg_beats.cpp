// The PostgreSQL backend's PCs: beats in one pipeline and what they answer,
// pairings, settings, updates and usage events.

#include "store/pg_db.h"

#include <algorithm>

namespace belfry::pg {

// Under load most of a beat's cost was its round trip and its commit:
// beats that arrive together share them.
Result PgStorage::beat(const Beat &beat, BeatAnswer &answer)
{
    BeatJob job {&beat, &answer};
    beats.run(job, [this](std::vector<BeatJob *> &jobs) {
        Connection c;
        if (acquire(c)) {
            if (!beatTogether(c, jobs) && !c.full)
                logLine("beat", c.pg);
            // A pipeline cut short leaves the connection unfit for the pool.
            if (PQpipelineStatus(c.pg) != PQ_PIPELINE_OFF) {
                c.lost = PQstatus(c.pg) != CONNECTION_OK;
                PQfinish(c.pg);
                c.pg = nullptr;
            }
            release(c);
        }
        for (BeatJob *job : jobs)
            if (job->result == Result::Failed)
                job->result = failure(c);
    });
    return job.result;
}

Result PgStorage::peekBeat(const Beat &beat, BeatAnswer &answer)
{
    Rows rows;
    if (const Result r = run("peek_beat", Params().text(beat.pcid).flag(beat.farewell), rows); r != Result::Ok)
        return r;
    BeatJob job {&beat, &answer};
    return readBeat(rows, job);
}

Result PgStorage::unpair(const std::string &pcid, const std::vector<std::string> &deviceIds)
{
    Rows rows;
    return durable("unpair", Params().text(pcid).text(textArray(deviceIds)), rows);
}

Result PgStorage::conf(const std::string &pcid, std::map<std::string, std::string> &values)
{
    values.clear();
    Rows rows;
    if (const Result r = run("conf", Params().text(pcid), rows); r != Result::Ok)
        return r;
    for (int i = 0; i < rows.count(); ++i)
        values[rows.text(i, 0)] = rows.text(i, 1);
    return Result::Ok;
}

Result PgStorage::latestUpdate(Update &update)
{
    Rows rows;
    if (const Result r = run("latest_update", Params(), rows); r != Result::Ok)
        return r;
    if (rows.count() == 0)
        return Result::NotFound;
    update = {rows.text(0, 0), rows.text(0, 1), rows.number(0, 2)};
    return Result::Ok;
}

Result PgStorage::recordEvent(const std::string &pcid, const std::string &event, int64_t now)
{
    return write("event", Params().text(pcid).text(event).number(now / DaySeconds));
}

Result PgStorage::pair(const std::string &pcid, const Device &device, const std::string &token, int64_t now)
{
    return transaction([&](Connection &c) {
        PgQueries q(*this, c);
        return steps::pair(q, pcid, device, token, now);
    });
}

Result PgStorage::removePairing(
    const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    return transaction([&](Connection &c) {
        PgQueries q(*this, c);
        return steps::removePairing(q, {pcid, deviceId, token});
    });
}

Result PgStorage::checkPairing(const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    Rows rows;
    if (const Result r = run("pairing_valid", Params().text(pcid).text(deviceId).text(token), rows); r != Result::Ok)
        return r;
    return rows.count() ? Result::Ok : Result::Denied;
}

// The beats in one pipeline: one transaction, sent at once, answered at
// once. Each PC's row is locked by its beat until the commit, so the PCs
// go in order: batches on several instances then wait for each other
// instead of deadlocking.
bool PgStorage::beatTogether(Connection &c, std::vector<BeatJob *> &jobs)
{
    std::stable_sort(jobs.begin(), jobs.end(), [](const BeatJob *a, const BeatJob *b) {
        return a->beat->pcid < b->beat->pcid;
    });
    if (!PQenterPipelineMode(c.pg))
        return false;
    bool sent = PQsendQueryParams(c.pg, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0);
    for (const BeatJob *j : jobs) {
        const Beat &b = *j->beat;
        sent = sent
            && send(c, "beat",
                Params()
                    .text(b.pcid)
                    .text(b.version)
                    .number(b.now)
                    .number(b.expire)
                    .flag(b.farewell)
                    .text(b.address)
                    .flag(b.mayCreate)
                    .flag(b.receipts)
                    .text(idArray(b.got)));
    }
    sent = sent && PQsendQueryParams(c.pg, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0)
        && PQpipelineSync(c.pg);
    if (!sent)
        return false;
    // Every command's result, then the end of the pipeline.
    std::vector<Rows> results;
    for (size_t i = 0; i < jobs.size() + 2; ++i) {
        results.emplace_back(PQgetResult(c.pg));
        while (PGresult *more = PQgetResult(c.pg))
            PQclear(more);
    }
    Rows end(PQgetResult(c.pg));
    const bool ended = end.status() == PGRES_PIPELINE_SYNC && PQexitPipelineMode(c.pg);
    bool ok = ended;
    for (const Rows &r : results) {
        ok = ok && r.ok();
        c.full = c.full || r.diskFull();
    }
    for (size_t i = 0; i < jobs.size(); ++i)
        jobs[i]->result = ok ? readBeat(results[i + 1], *jobs[i]) : c.full ? Result::Full : Result::Failed;
    return ok;
}

Result PgStorage::readBeat(const Rows &rows, BeatJob &job)
{
    BeatAnswer &answer = *job.answer;
    answer = BeatAnswer();
    for (int i = 0; i < rows.count(); ++i) {
        switch (rows.number(i, 0)) {
        case 0:
            answer.pairingLost = true;
            break;
        case 1:
            answer.newPairings.push_back({rows.text(i, 2), rows.text(i, 3)});
            break;
        case 2:
            answer.waiting.push_back(rows.number(i, 2));
            break;
        default:
            answer.created = job.beat->mayCreate;
            if (!answer.created)
                return Result::NotFound;
        }
    }
    return Result::Ok;
}

// The array literal of a text[] parameter: every element quoted.
std::string PgStorage::textArray(const std::vector<std::string> &items)
{
    std::string out = "{";
    for (const std::string &item : items) {
        if (out.size() > 1)
            out += ',';
        out += '"';
        for (char ch : item) {
            if (ch == '"' || ch == '\\')
                out += '\\';
            out += ch;
        }
        out += '"';
    }
    return out + "}";
}

std::string PgStorage::idArray(const std::vector<int64_t> &ids)
{
    std::string out = "{";
    for (int64_t id : ids)
        out += (out.size() > 1 ? "," : "") + std::to_string(id);
    return out + "}";
}

}  // namespace belfry::pg
