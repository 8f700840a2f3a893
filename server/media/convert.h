#pragma once

#include "service_limits.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Turns whatever audio a phone uploads into a clean ringtone: AAC-LC in an
// MPEG-4 audio file of at most RingtoneSeconds, written by ffmpeg in a child process
// that runs under hard limits in a private folder. No Qt.
namespace belfry {

struct ConvertOptions
{
    // Absolute paths: the children run with an empty environment.
    std::string ffmpeg = "/usr/bin/ffmpeg";
    std::string ffprobe = "/usr/bin/ffprobe";
    // Where each conversion makes its private folder; empty: $TMPDIR or /tmp.
    std::string tempRoot;
    // The data folder of the service the conversions belong to. Their folders
    // are named for it, so that its next start can remove what a crash left
    // without touching another service's conversions. Empty: nobody's.
    std::string owner;
    size_t maxInputBytes = MaxTuneBytes;
    int maxTuneSeconds = MaxTuneSeconds;
    int ringtoneSeconds = RingtoneSeconds;
    // Limits of each child process.
    int wallSeconds = ConvertWallSeconds;
    int cpuSeconds = ConvertCpuSeconds;
    size_t memoryBytes = ConvertMemoryBytes;
    size_t outputBytes = ConvertOutputBytes;
    int openFiles = ConvertOpenFiles;
    int niceness = ConvertNiceness;
};

enum class ConvertStatus {
    Ok,
    Refused,  // not usable audio
    TooLarge,
    Busy,  // queue full or service stopping
    Failed,  // the service's own trouble
};

struct Conversion
{
    ConvertStatus status = ConvertStatus::Failed;
    // Why it was refused or failed, in English, for the log and the answer.
    std::string reason;
    // The converter's own first line of diagnostics, for the log only.
    std::string detail;
    // The ringtone file when status is Ok.
    std::string ringtone;
    // The audio was taken over as it was, without encoding it again.
    bool copied = false;
    double seconds = 0;
    // Wall seconds the converter ran for it (set by the queue), waiting not included.
    double took = 0;
};

class Converter
{
public:
    explicit Converter(ConvertOptions options = {});

    // Blocks while the children run, which the limits bound; `cancel`, once
    // set, ends them early. `startSeconds` is where the ringtone begins.
    Conversion convert(
        const std::string &input, int startSeconds, const std::atomic<bool> *cancel = nullptr) const;

    const ConvertOptions &options() const { return opts; }
    // Why no conversion can run at all (a converter program is missing), or empty.
    std::string unavailable() const;
    // Removes the folders of the owner's conversions, which only a crash
    // leaves behind: to be called at start, before any conversion runs.
    // Returns how many there were.
    size_t removeLeftovers() const;

private:
    ConvertOptions opts;
    std::string root, prefix;
};

// Runs conversions on a few threads of its own, so that the I/O threads never
// wait for one. A full queue refuses at once instead of making callers wait.
class ConvertQueue
{
public:
    using Done = std::function<void(Conversion)>;

    ConvertQueue(
        const Converter &converter, size_t workers = ConvertWorkers, size_t capacity = ConvertWaiting);
    // Waits for stop() to take effect: returns once every `done` was called.
    ~ConvertQueue();
    ConvertQueue(const ConvertQueue &) = delete;
    ConvertQueue &operator=(const ConvertQueue &) = delete;

    // False, without calling `done`, when every worker has a job and
    // `capacity` more wait. Otherwise `done` is called later on one of the
    // queue's threads.
    bool submit(std::string input, int startSeconds, Done done);
    // Ends the running conversions and answers every waiting job with Busy,
    // without waiting for the ends; later submissions are refused.
    void stop();
    // Conversions running or waiting.
    size_t depth();

private:
    struct Job
    {
        std::string input;
        int start = 0;
        Done done;
    };
    void work();

    const Converter &converter;
    const size_t capacity;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    size_t running = 0;  // jobs taken by a worker and not yet done
    std::atomic<bool> stopping {false};
    std::vector<std::thread> threads;
};

}  // namespace belfry
