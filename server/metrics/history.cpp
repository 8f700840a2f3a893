#include "metrics/history.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace belfry {

using Json = nlohmann::json;

namespace {

std::vector<uint64_t> since(const std::vector<uint64_t> &now, const std::vector<uint64_t> &before)
{
    std::vector<uint64_t> out(now);
    for (size_t i = 0; i < out.size() && i < before.size(); ++i)
        out[i] -= before[i];
    return out;
}

// Null when nothing was observed: a gap in the chart, not a time of 0.
Json quantileOf(const std::vector<double> &bounds, const std::vector<uint64_t> &buckets, double q)
{
    for (uint64_t n : buckets)
        if (n)
            return quantile(bounds, buckets, q);
    return nullptr;
}

Json described(const History::Sample &s, const History::Sample *before, const Metrics &m)
{
    const History::Sample none;
    const History::Sample &b = before ? *before : none;
    const auto &conversionBounds = m.conversionSeconds.bounds();
    const auto &storeBounds = m.storeSeconds[0].bounds();
    const std::vector<uint64_t> conversions = since(s.conversions, b.conversions);
    const std::vector<uint64_t> store = since(s.store, b.store);
    return {{"t", std::round(s.at * 1000) / 1000}, {"beats", s.beats}, {"deliveries", s.deliveries},
        {"confirmations", s.confirmations}, {"uploads", s.uploads}, {"refusals", s.refusals},
        {"conversion_p50", quantileOf(conversionBounds, conversions, 0.5)},
        {"conversion_p99", quantileOf(conversionBounds, conversions, 0.99)},
        {"store_p99", quantileOf(storeBounds, store, 0.99)}, {"queue", s.queue}, {"upload_bytes", s.uploadBytes},
        {"file_bytes", s.fileBytes}, {"connections", s.connections}, {"disk_full", s.diskFull ? 1 : 0}};
}

}  // namespace

History::History(const Metrics &metrics, size_t capacity) : metrics(metrics), capacity(capacity) { }

double unixNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

History::Sample History::read(double at) const
{
    Sample s;
    s.at = at;
    s.beats = metrics.beats.value();
    s.deliveries = metrics.deliveries.value();
    s.confirmations = metrics.confirmations.value();
    s.uploads = metrics.uploads.value();
    for (size_t i = 0; i < metrics.refusalCodes.size(); ++i)
        s.refusals.push_back(metrics.refusals[i].value());
    s.conversions = metrics.conversionSeconds.buckets();
    // The store's latency over every kind of call: what an admin waits on.
    for (const Histogram &h : metrics.storeSeconds) {
        const std::vector<uint64_t> counts = h.buckets();
        s.store.resize(counts.size());
        for (size_t i = 0; i < counts.size(); ++i)
            s.store[i] += counts[i];
    }
    s.queue = metrics.conversionQueue.value();
    s.uploadBytes = metrics.uploadBytes.value();
    s.fileBytes = metrics.fileBytes.value();
    s.connections = metrics.connections.value();
    s.diskFull = metrics.diskFull.load();
    return s;
}

void History::sample(double unixSeconds)
{
    Sample s = read(unixSeconds);
    std::lock_guard<std::mutex> lock(mutex);
    ring.push_back(std::move(s));
    while (ring.size() > capacity)
        ring.pop_front();
}

std::string History::json(double unixSeconds) const
{
    const Sample live = read(unixSeconds);
    Json samples = Json::array();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < ring.size(); ++i)
            samples.push_back(described(ring[i], i ? &ring[i - 1] : nullptr, metrics));
        samples.push_back(described(live, ring.empty() ? nullptr : &ring.back(), metrics));
    }
    return Json {{"status", 0}, {"every", HistoryEverySeconds}, {"codes", metrics.refusalCodes},
        {"samples", std::move(samples)}}
        .dump();
}

Sampler::Sampler(History &history, std::chrono::seconds every)
    : thread([this, &history, every] {
        std::unique_lock<std::mutex> lock(mutex);
        do
            history.sample(unixNow());
        while (!wake.wait_for(lock, every, [this] { return stopping; }));
    })
{ }

Sampler::~Sampler()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

}  // namespace belfry
