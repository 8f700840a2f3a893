#pragma once

// Calls that would each be a transaction of their own, run together as one
// (group commit). The first caller that finds no batch under way leads: it
// takes everything queued so far, itself included, and runs it as one batch;
// the others wait until their batch has run, or until it is their turn to
// lead. Under light load a batch is one call and costs what the call did;
// under heavy load what a transaction costs (its begin and commit, its locks,
// a round trip to the database) is paid once per batch, not once per call.

#include "store/storage.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace belfry {

// At most this many beats in one transaction: a few milliseconds of work.
inline constexpr size_t BeatBatch = 64;

// One beat waiting for its batch; the batch sets its result.
struct BeatJob
{
    const Beat *beat;
    BeatAnswer *answer;
    Result result = Result::Failed;
};

template<typename Job> class Batches
{
public:
    explicit Batches(size_t most)
        : most(most)
    { }

    // Runs `job` within a batch: `work(std::vector<Job *> &)` runs a batch,
    // and it runs on the thread of one of the callers.
    template<typename Work> void run(Job &job, Work work)
    {
        Waiter self(&job);
        std::unique_lock<std::mutex> lock(mutex);
        queue.push_back(&self);
        self.wake.wait(lock, [&] {
            return self.done || (!leading && queue.front() == &self);
        });
        if (self.done)
            return;
        leading = true;
        std::vector<Waiter *> batch;
        std::vector<Job *> jobs;
        while (!queue.empty() && batch.size() < most) {
            batch.push_back(queue.front());
            jobs.push_back(queue.front()->job);
            queue.pop_front();
        }
        lock.unlock();
        work(jobs);
        finish(batch);
    }

private:
    struct Waiter
    {
        explicit Waiter(Job *job)
            : job(job)
        { }
        Job *job;
        bool done = false;
        std::condition_variable wake;
    };

    // Each waiter is told under the lock: it cannot go (and take its
    // condition with it) before the lock is let go.
    void finish(std::vector<Waiter *> &batch)
    {
        std::lock_guard<std::mutex> lock(mutex);
        leading = false;
        for (Waiter *w : batch) {
            w->done = true;
            w->wake.notify_one();
        }
        if (!queue.empty())
            queue.front()->wake.notify_one();
    }

    const size_t most;
    std::mutex mutex;
    std::deque<Waiter *> queue;
    bool leading = false;
};

}  // namespace belfry
