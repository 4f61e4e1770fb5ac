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

    // The emulated present. Inside a timer it is the time the timer was due, not the time this process
    // woke up for it: a late wake-up must not stretch the emulated wires and show up as time the
    // program under test took. Elsewhere (input from the port) it is the clock.
    Micros now() const { return running_ >= 0 ? running_ : monotonicMicros(); }

    // Time of the earliest pending timer, or -1 when there is none.
    Micros nextDue() const;

    // Runs every timer that is due, including ones that become due while running.
    void runDue();

private:
    using Key = std::pair<Micros, TimerId>;
    std::map<Key, std::function<void()>> timers_;
    std::unordered_map<TimerId, Micros> dueById_;
    TimerId nextId_ = 1;
    Micros running_ = -1; // due time of the timer being run, -1 outside timers
};

} // namespace ksim
