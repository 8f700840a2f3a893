#pragma once

#include <cerrno>
#include <string_view>

#include <unistd.h>

namespace belfry {

// Writes every byte, through short writes and interrupted calls.
inline bool writeAll(int fd, std::string_view bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace belfry
