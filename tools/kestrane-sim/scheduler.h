#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

namespace ksim {

// Microseconds on the monotonic clock: the one time base for timers, delays and log stamps.
using Micros = std::int64_t;

Micros monotonicMicros();

// Single-threaded timer queue driven by the main poll loop. Everything that must happen "later" (reply
// time-outs, emulated wire delays, separation times) goes through here, so nothing ever sleeps.
class Scheduler
{
public:
    using TimerId = std::uint64_t;

    TimerId at(Micros when, std::function<void()> action);
    TimerId after(Micros delay, std::function<void()> action);
    void cancel(TimerId id);

    // Time of the earliest pending timer, or -1 when there is none.
    Micros nextDue() const;

    // Runs every timer that is due, including ones that become due while running.
    void runDue();

private:
    using Key = std::pair<Micros, TimerId>;
    std::map<Key, std::function<void()>> timers_;
    std::unordered_map<TimerId, Micros> dueById_;
    TimerId nextId_ = 1;
};

} // namespace ksim
