#pragma once

#include <cstdint>

// The arithmetic of the beat timer, apart from any timer: the interval
// ("pulse", in seconds), the ticks since the last fold and the idle measure.
// The controller owns the timer and asks this after every tick whether to
// restart it with a new interval and whether to look for an update.
class BeatSchedule
{
public:
    // Longer than a day would overflow the timer's millisecond interval: a
    // timer that does not start never beats again.
    static constexpr int MaxPulse = 86400;

    struct Tick
    {
        bool restart;  // the interval changed: restart the timer with pulse()
        bool checkUpdate;
    };

    // The configured pulse as the timer may use it: 4 or less means 10.
    static int usablePulse(int configured);

    // Starts a new idle period with the configured pulse.
    void reset(int configured);
    // A pairing or a ringtone: the PC is in use again. The interval stays.
    void activity() { idleSeconds = 0; }
    Tick tick();

    int pulse() const { return seconds; }
    int ticks() const { return tickCount; }
    std::int64_t idle() const { return idleSeconds; }

private:
    int seconds = 10;
    int tickCount = 0;
    std::int64_t idleSeconds = 0;
};
