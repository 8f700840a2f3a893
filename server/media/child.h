#pragma once

// A tool run as a child process under limits: its own process group, no
// environment, capped CPU, memory, output and files, a wall-clock deadline,
// and its output collected.

#include "media/convert.h"

#include <atomic>
#include <string>
#include <vector>

namespace belfry {

struct Child
{
    bool started = false;
    bool timedOut = false;
    bool cancelled = false;
    int startError = 0;  // the errno that kept the tool from starting
    int exitCode = -1;  // -1 when a signal ended it
    std::string out, err;

    bool succeeded() const { return started && exitCode == 0 && !timedOut && !cancelled; }
};

// Runs `command` (a full path first) in `dir` under the limits of `o`,
// keeping at most `maxOut` bytes of its standard output; `cancel` set ends it.
Child runChild(const std::vector<std::string> &command, const std::string &dir, const ConvertOptions &o,
    size_t maxOut, const std::atomic<bool> *cancel);

}  // namespace belfry
