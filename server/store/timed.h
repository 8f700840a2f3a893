#pragma once

// A store that times every call into the metrics, by kind, and keeps their
// disk-full state: what a write answers says whether there is room.

#include "metrics/metrics.h"
#include "store/storage.h"

#include <memory>

namespace belfry {

// Calls `inner`, which must outlive it.
std::unique_ptr<Storage> timedStorage(Storage &inner, Metrics &metrics);

}  // namespace belfry
