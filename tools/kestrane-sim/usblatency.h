#pragma once

#include "scheduler.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <utility>

namespace ksim {

// A USB serial bridge (an FTDI chip) between the adapter's UART and the program: what it receives goes to
// the host in packets of 62 bytes, or when its latency timer runs out, counted from the first byte
// waiting. Short answers, a lone prompt above all, wait for the timer.
class UsbLatency
{
public:
    using Sink = std::function<void(const std::string &)>;

    UsbLatency(Scheduler &scheduler, Sink sink);

    // 0 passes everything on at once.
    void setLatency(Micros latency) { latency_ = latency; }
    Micros latency() const { return latency_; }

    void push(const std::string &bytes);
    // Forgets what waits, as when the port closes.
    void clear();

private:
    void sendFullPackets();
    void armTimer();
    void timerDue();

    Scheduler &scheduler_;
    Sink sink_;
    Micros latency_ = 0;
    std::string held_;
    // How many of the held bytes arrived when, oldest first.
    std::deque<std::pair<std::size_t, Micros>> arrivals_;
    Scheduler::TimerId timer_ = 0;
    Micros timerDue_ = -1;
};

} // namespace ksim
