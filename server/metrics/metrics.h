#pragma once

// What the service counts, for Prometheus and for the admin page: counters
// and histograms that any thread bumps with relaxed atomics (a beat pays a
// few increments, never a lock or a lookup by name), and gauges read when
// they are asked for. Below every folder: everyone may count.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace belfry {

class Counter
{
public:
    void add(uint64_t n = 1) { count.fetch_add(n, std::memory_order_relaxed); }
    uint64_t value() const { return count.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> count {0};
};

// A level, read from its owner when asked: whoever owns the thing measured
// sets the reader once, before serving, and clears it before it goes.
class Gauge
{
public:
    void readFrom(std::function<int64_t()> read) { reader = std::move(read); }
    int64_t value() const { return reader ? reader() : 0; }

private:
    std::function<int64_t()> reader;
};

// Durations in seconds, counted per bucket; the sum kept in microseconds.
class Histogram
{
public:
    static constexpr size_t MaxBuckets = 16;
    // Upper bounds, ascending; the last bucket (+Inf) is added.
    explicit Histogram(std::vector<double> bounds);
    void observe(double seconds);
    const std::vector<double> &bounds() const { return upper; }
    // Per bucket, not cumulative; the last is +Inf.
    std::vector<uint64_t> buckets() const;
    double sum() const { return double(micros.load(std::memory_order_relaxed)) / 1e6; }

private:
    std::vector<double> upper;
    std::array<std::atomic<uint64_t>, MaxBuckets + 1> counts {};
    std::atomic<uint64_t> micros {0};
};

// The `q` quantile (0..1) of what fell into `buckets` (as Histogram::buckets,
// or the difference of two readings), interpolated within its bucket; 0 when
// nothing did. Past the last bound: the last bound.
double quantile(const std::vector<double> &bounds, const std::vector<uint64_t> &buckets, double q);

// What the store is asked, by kind: a small label set.
enum class StoreOp { Beat, Read, Write, File };
constexpr size_t StoreOps = 4;

struct Metrics
{
    // `refusalCodes`: the label of each refusal, by its number.
    explicit Metrics(std::vector<std::string> refusalCodes);

    Counter beats, deliveries, confirmations, uploads;
    std::unique_ptr<Counter[]> refusals;
    const std::vector<std::string> refusalCodes;
    Histogram conversionSeconds;
    std::array<Histogram, StoreOps> storeSeconds;
    Gauge conversionQueue, uploadBytes, fileBytes, connections;
    std::atomic<bool> diskFull {false};

    void refused(size_t code)
    {
        if (code < refusalCodes.size())
            refusals[code].add();
    }
    uint64_t refusedTotal() const;
    // Everything in Prometheus' text format (version 0.0.4).
    std::string text() const;
};

}  // namespace belfry
