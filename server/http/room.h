#pragma once

// Memory that all connections share under one cap: room for the pieces of
// files being sent, and room for upload bodies, which no single sender and
// no crowd of strangers may fill.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace belfry::transport {

class Room
{
public:
    explicit Room(size_t total) : total(total), left(total) { }
    // Takes all of `bytes` or nothing.
    bool take(size_t bytes)
    {
        size_t room = left.load();
        do {
            if (room < bytes)
                return false;
        } while (!left.compare_exchange_weak(room, room - bytes));
        return true;
    }
    void give(size_t bytes) { left += bytes; }
    size_t used() const { return total - left.load(); }

private:
    const size_t total;
    std::atomic<size_t> left;
};

// One sender (an address, or an IPv6 network) holds at most `share` of it,
// and bodies whose sender is not yet known to be a paired phone hold at most
// `strangers` between them: the rest waits for uploads whose credentials
// were checked before their body, so a stranger cannot make them wait.
class UploadRoom
{
public:
    UploadRoom(size_t total, size_t share, size_t strangers);
    bool take(const std::string &sender, size_t bytes, bool vouched);
    void give(const std::string &sender, size_t bytes, bool vouched);
    size_t used() const { return room.used(); }

private:
    Room room, strangerRoom;
    const size_t share;
    std::mutex mutex;
    std::unordered_map<std::string, size_t> held;
};

}  // namespace belfry::transport
