#include "control/schedule.h"

#include <cmath>

namespace {
// A fold adds the interval to the idle measure once every this many ticks.
constexpr int TicksPerFold = 22;
// While the idle measure lies in this range every tick stretches the interval.
constexpr std::int64_t StretchFrom = 301;
constexpr std::int64_t StretchTo = 1199;
// The one idle value at which the schedule looks for an update.
constexpr std::int64_t UpdateIdle = 300;
constexpr int UpdateTick = 10;
}  // namespace

void BeatSchedule::reset(int configured)
{
    tickCount = 0;
    idleSeconds = 0;
    seconds = configured;
}

BeatSchedule::Tick BeatSchedule::tick()
{
    if (tickCount >= TicksPerFold - 1) {
        tickCount = 0;
        idleSeconds += seconds;
    } else {
        ++tickCount;
    }
    Tick result {false, false};
    if (idleSeconds >= StretchFrom && idleSeconds <= StretchTo) {
        // Each stretch adds the integer part of ln(idle): the longer the PC
        // has been left alone, the less often it asks.
        seconds = int(std::log(double(idleSeconds)) + seconds);
        result.restart = true;
    }
    result.checkUpdate = tickCount == UpdateTick && idleSeconds == UpdateIdle;
    return result;
}
