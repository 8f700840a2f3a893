#pragma once

// Deliveries the store does not show yet: being sent, or not written for a
// full disk. What a beat may list leaves both out.

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace belfry {

// A file sent to a PC that confirms by closing is recorded a moment after
// the close, on a worker: until then it is "being sent". One the store
// could not write (a full disk) is kept here and tried again. A beat lists
// neither, so no PC fetches one twice.
class Deliveries
{
public:
    // Held while the file is sent and its delivery recorded.
    std::shared_ptr<void> sending(int64_t id);
    // The store could not write it: false when too many wait already.
    bool unrecorded(int64_t id);
    bool isUnrecorded(int64_t id) const;
    // Leaves out what is being sent or not yet recorded.
    void hide(std::vector<int64_t> &waiting) const;
    std::vector<int64_t> unrecordedIds() const;
    void recorded(int64_t id);

private:
    mutable std::mutex mutex;
    std::unordered_map<int64_t, int> inFlight;
    std::unordered_set<int64_t> unwritten;
};

}  // namespace belfry
