#pragma once

#include <cstdio>
#include <string>

namespace ksim {

// The event log that tests read: one line per event, "<monotonic us> <kind> <text>", flushed at once so a
// test can follow it while the simulator runs. Kinds: '<' line from the PC, '>' line to the PC, '!' bytes
// lost to a rate mismatch, '=' adapter rate change, '#' informational notes.
class EventLog
{
public:
    EventLog() = default;
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;
    ~EventLog();

    bool open(const std::string &path, std::string &error);
    void write(char kind, const std::string &text);

private:
    std::FILE *file_ = nullptr;
};

} // namespace ksim
