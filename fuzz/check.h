#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// A broken promise becomes a finding: the message, then an abort that
// libFuzzer reports as a crash with the input that caused it.
namespace Fuzz {

[[noreturn]] inline void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "fuzz check failed: %s: %s\n", what, detail.c_str());
    abort();
}

}  // namespace Fuzz

#define FUZZ_CHECK(condition, detail)                                                                        \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            Fuzz::fail(#condition, detail);                                                                  \
    } while (0)
