// What one counted event of a limit per source address costs: in PostgreSQL,
// where every instance on the database spends from one budget, against the
// count in memory of a single instance. "take" counts an event (a pairing,
// an upload, a new PC, a usage event, a missed lookup); "look" only checks
// (before every ringtone lookup); "spent" is a take refused at the limit.
//
//   bench_budget CONNINFO [--events 20000]
//
// Use a throw-away cluster (scripts/pg-cluster.sh): the schema is migrated
// there and the counts stay behind. Loopback addresses only, as keys.

#include "core/budgets.h"
#include "store/storage.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace belfry;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Addresses = 10000;
constexpr int64_t Now = 1700000000;

std::string address(int i)
{
    return "127." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "."
        + std::to_string(i % 256);
}

// `events` calls of `one` spread over `threads`; prints the time per event.
void measure(const char *what, int threads, int events, const std::function<Allowance(int)> &one)
{
    std::atomic<int> next {0}, yes {0}, failed {0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = next++; i < events; i = next++) {
                const Allowance a = one(i);
                yes += a == Allowance::Yes;
                failed += a == Allowance::Failed || a == Allowance::Full;
            }
        });
    for (std::thread &w : workers)
        w.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-22s %2d thread%s  %8.1f µs per event  %9.0f events/s  (%d allowed, %d failed)\n", what,
        threads, threads == 1 ? " " : "s", seconds * 1e6 / events * threads, events / seconds, yes.load(),
        failed.load());
}

void run(const char *backend, Storage *store, int events)
{
    // The pool's connections opened and the statements planned before any timing.
    if (store) {
        std::unique_ptr<AddressBudget> warm = store->sharedBudget("bench-warm-up", 1000000, 3600);
        std::vector<std::thread> workers;
        for (int t = 0; t < 16; ++t)
            workers.emplace_back([&, t] {
                for (int i = 0; i < 100; ++i)
                    warm->take(address(t * 100 + i), Now), warm->left(address(i), Now);
            });
        for (std::thread &w : workers)
            w.join();
    }
    for (int threads : {1, 4, 16}) {
        const std::string take = std::string(backend) + " take", look = std::string(backend) + " look",
                          spent = std::string(backend) + " spent";
        // A budget no address spends and one every address has spent, under
        // a name of this run's own, so that earlier runs' counts do not matter.
        const std::string name = "bench-" + std::to_string(threads) + "-"
            + std::to_string(Clock::now().time_since_epoch().count());
        auto budget = [&](int64_t capacity) -> std::unique_ptr<AddressBudget> {
            if (store)
                return store->sharedBudget(name + "-" + std::to_string(capacity), capacity, 3600);
            return std::make_unique<AddressLimit>(capacity, 3600);
        };
        auto roomy = budget(int64_t(1) << 40), tight = budget(1);
        measure(take.c_str(), threads, events, [&](int i) {
            return roomy->take(address(i % Addresses), Now);
        });
        measure(look.c_str(), threads, events, [&](int i) {
            return roomy->left(address(i % Addresses), Now);
        });
        measure(spent.c_str(), threads, events, [&](int i) {
            return tight->take(address(i % 100), Now);
        });
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int events = 20000;
    if (argc == 4 && std::string(argv[2]) == "--events")
        events = std::atoi(argv[3]);
    if ((argc != 2 && argc != 4) || events < 1) {
        std::fprintf(stderr, "usage: bench_budget CONNINFO [--events N]\n");
        return 2;
    }
    std::string error;
    std::unique_ptr<Storage> store = openPgStorage(argv[1], error);
    if (!store) {
        std::fprintf(stderr, "bench_budget: %s\n", error.c_str());
        return 1;
    }
    run("PostgreSQL", store.get(), events);
    run("memory", nullptr, events);
    return 0;
}
