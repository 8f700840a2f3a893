#pragma once

// The last hour of the metrics in memory, for the admin page of a service
// that no Prometheus scrapes: a ring of samples taken every few seconds by a
// thread of its own.

#include "metrics/metrics.h"
#include "service_limits.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace belfry {

// Now, in seconds since 1970 to the millisecond: samples a second apart make rates.
double unixNow();

class History
{
public:
    explicit History(const Metrics &metrics, size_t capacity = HistorySamples);
    // Takes a sample at `unixSeconds`; the oldest goes past the capacity.
    void sample(double unixSeconds);
    // The samples, oldest first, and one taken at `unixSeconds`, as JSON:
    // counters as they stand, gauges, and the quantiles of what happened
    // since the sample before (null when nothing did).
    std::string json(double unixSeconds) const;

    struct Sample
    {
        double at = 0;
        uint64_t beats = 0, deliveries = 0, confirmations = 0, uploads = 0;
        std::vector<uint64_t> refusals, conversions, store;
        int64_t queue = 0, uploadBytes = 0, fileBytes = 0, connections = 0;
        bool diskFull = false;
    };

private:
    Sample read(double at) const;

    const Metrics &metrics;
    const size_t capacity;
    mutable std::mutex mutex;
    std::deque<Sample> ring;
};

// Samples `history` now and then every `every` until it is destroyed.
class Sampler
{
public:
    Sampler(History &history, std::chrono::seconds every);
    ~Sampler();
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

private:
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

}  // namespace belfry
