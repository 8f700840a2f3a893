#pragma once

#include <cstdint>

// The arithmetic of the beat timer, apart from any timer: the interval
// ("pulse", in seconds), the ticks since the last fold and the idle measure.
// The controller owns the timer and asks this after every tick whether to
// restart it with a new interval and whether to look for an update.
class BeatSchedule
{
public:
    struct Tick
    {
        bool restart;  // the interval changed: restart the timer with pulse()
        bool checkUpdate;
    };

    // Starts a new idle period with the configured pulse (Config::Pulse()).
    void reset(int configured);
    // A pairing or a ringtone: the PC is in use again. The interval stays.
    void activity() { idleSeconds = 0; }
    Tick tick();

    int pulse() const { return seconds; }

private:
    int seconds = 10;
    int tickCount = 0;
    std::int64_t idleSeconds = 0;

    friend class TestSchedule;
};
