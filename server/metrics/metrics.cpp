#include "metrics/metrics.h"

#include <algorithm>
#include <cstdio>

namespace belfry {

namespace {

// Conversions run for seconds; the store answers in micro- to milliseconds.
const std::vector<double> ConversionBounds = {0.25, 0.5, 1, 2, 4, 8, 15, 30, 60};
const std::vector<double> StoreBounds
    = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};
const char *const StoreOpNames[StoreOps] = {"beat", "read", "write", "file"};

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

void family(std::string &out, const char *name, const char *type, const char *help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string &out, const std::string &name, const std::string &labels, const std::string &value)
{
    out += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

void counter(std::string &out, const char *name, const char *help, const Counter &c)
{
    family(out, name, "counter", help);
    sample(out, name, "", std::to_string(c.value()));
}

void gauge(std::string &out, const char *name, const char *help, int64_t value)
{
    family(out, name, "gauge", help);
    sample(out, name, "", std::to_string(value));
}

// One histogram's lines; `label` ("op=\"beat\"") goes before `le`.
void buckets(std::string &out, const std::string &name, const std::string &label, const Histogram &h)
{
    const std::vector<uint64_t> counts = h.buckets();
    const std::string prefix = label.empty() ? "" : label + ",";
    uint64_t total = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        total += counts[i];
        const std::string le = i < h.bounds().size() ? number(h.bounds()[i]) : "+Inf";
        sample(out, name + "_bucket", prefix + "le=\"" + le + "\"", std::to_string(total));
    }
    sample(out, name + "_sum", label, number(h.sum()));
    sample(out, name + "_count", label, std::to_string(total));
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds) : upper(std::move(bounds))
{
    upper.resize(std::min(upper.size(), MaxBuckets));
}

void Histogram::observe(double seconds)
{
    const size_t bucket = size_t(std::lower_bound(upper.begin(), upper.end(), seconds) - upper.begin());
    counts[bucket].fetch_add(1, std::memory_order_relaxed);
    micros.fetch_add(uint64_t(std::max(seconds, 0.0) * 1e6), std::memory_order_relaxed);
}

std::vector<uint64_t> Histogram::buckets() const
{
    std::vector<uint64_t> out(upper.size() + 1);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = counts[i].load(std::memory_order_relaxed);
    return out;
}

double quantile(const std::vector<double> &bounds, const std::vector<uint64_t> &buckets, double q)
{
    uint64_t total = 0;
    for (uint64_t n : buckets)
        total += n;
    if (total == 0 || bounds.empty())
        return 0;
    const double rank = q * double(total);
    double below = 0;
    for (size_t i = 0; i < buckets.size(); ++i) {
        if (below + double(buckets[i]) >= rank && buckets[i] > 0) {
            if (i >= bounds.size())
                return bounds.back();
            const double low = i == 0 ? 0 : bounds[i - 1];
            return low + (bounds[i] - low) * (rank - below) / double(buckets[i]);
        }
        below += double(buckets[i]);
    }
    return bounds.back();
}

Metrics::Metrics(std::vector<std::string> codes)
    : refusals(std::make_unique<Counter[]>(codes.size()))
    , refusalCodes(std::move(codes))
    , conversionSeconds(ConversionBounds)
    , storeSeconds {Histogram(StoreBounds), Histogram(StoreBounds), Histogram(StoreBounds), Histogram(StoreBounds)}
{ }

uint64_t Metrics::refusedTotal() const
{
    uint64_t total = 0;
    for (size_t i = 0; i < refusalCodes.size(); ++i)
        total += refusals[i].value();
    return total;
}

std::string Metrics::text() const
{
    std::string out;
    counter(out, "belfry_beats_total", "Beats of PCs answered.", beats);
    counter(out, "belfry_deliveries_total",
        "Ringtone files sent whole to a PC that does not confirm, closed in order.", deliveries);
    counter(out, "belfry_confirmations_total", "Ringtone ids PCs named as stored in their beats.", confirmations);
    counter(out, "belfry_uploads_total", "Uploads made into ringtones and stored.", uploads);
    family(out, "belfry_refusals_total", "counter", "Requests refused, by the code of the refusal.");
    for (size_t i = 0; i < refusalCodes.size(); ++i)
        sample(out, "belfry_refusals_total", "code=\"" + refusalCodes[i] + "\"", std::to_string(refusals[i].value()));
    family(out, "belfry_conversion_seconds", "histogram", "Time each conversion of an upload took.");
    buckets(out, "belfry_conversion_seconds", "", conversionSeconds);
    family(out, "belfry_store_seconds", "histogram", "Time each call to the store took, by kind.");
    for (size_t op = 0; op < StoreOps; ++op)
        buckets(out, "belfry_store_seconds", std::string("op=\"") + StoreOpNames[op] + "\"", storeSeconds[op]);
    gauge(out, "belfry_conversion_queue_depth", "Conversions running or waiting.", conversionQueue.value());
    gauge(out, "belfry_upload_memory_bytes", "Memory held for upload bodies being received.", uploadBytes.value());
    gauge(out, "belfry_file_memory_bytes", "Memory held for ringtone files being sent.", fileBytes.value());
    gauge(out, "belfry_open_connections", "Open client connections.", connections.value());
    gauge(out, "belfry_disk_full", "1 while the store cannot write for want of space.", diskFull.load() ? 1 : 0);
    return out;
}

}  // namespace belfry
