#include "http/room.h"

namespace belfry::transport {

UploadRoom::UploadRoom(size_t total, size_t share, size_t strangers)
    : room(total)
    , strangerRoom(strangers)
    , share(share)
{
}

bool UploadRoom::take(const std::string &sender, size_t bytes, bool vouched)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = held.find(sender);
    const size_t already = it == held.end() ? 0 : it->second;
    if (already + bytes > share || (!vouched && !strangerRoom.take(bytes)))
        return false;
    if (!room.take(bytes)) {
        if (!vouched)
            strangerRoom.give(bytes);
        return false;
    }
    held[sender] = already + bytes;
    return true;
}

void UploadRoom::give(const std::string &sender, size_t bytes, bool vouched)
{
    if (bytes == 0)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    room.give(bytes);
    if (!vouched)
        strangerRoom.give(bytes);
    const auto it = held.find(sender);
    if (it != held.end() && (it->second -= bytes) == 0)
        held.erase(it);
}

}  // namespace belfry::transport
