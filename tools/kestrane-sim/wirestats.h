#pragma once

#include "scheduler.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ksim {

// Emulated time on the wires. With wire timing on, every byte on the serial link costs 10 bit times at
// the current rate and every CAN frame its bit time at 500 kbit/s; each adapter answer also costs the
// configured latency. The helpers return the delay to apply and add it to the running total. The time the
// device spends working before it answers is counted apart.
class WireStats
{
public:
    WireStats(bool enabled, Micros latency)
        : enabled_(enabled)
        , latency_(latency)
    { }

    bool enabled() const { return enabled_; }

    Micros serial(std::size_t bytes, std::uint32_t rate);
    Micros canFrame(std::size_t dataBytes);
    Micros answerLatency();
    void deviceWork(Micros duration);

    void countLine() { ++lines_; }
    std::uint64_t lines() const { return lines_; }
    std::uint64_t busyMicros() const { return busy_; }

    void print(std::FILE *out) const;

private:
    bool enabled_;
    Micros latency_;
    std::uint64_t busy_ = 0;
    std::uint64_t deviceBusy_ = 0; // the device working before an answer, kept apart from busy_
    std::uint64_t canBusy_ = 0; // the CAN frames alone, also counted in busy_
    std::uint64_t lines_ = 0;
};

} // namespace ksim
