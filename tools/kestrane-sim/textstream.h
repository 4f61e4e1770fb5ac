#pragma once

#include "scheduler.h"

#include <cstdint>
#include <string>

namespace ksim {

class EventLog;
class Port;
class SerialLink;

// Something that is no adapter holds the port: a GPS receiver or a data logger that sends text lines
// without pause, several kilobytes a second, and never a prompt. Its lines are readable at whatever
// rate the port is set to: the worst case for a rate search, which then meets text at every rate it
// tries and an answer at none.
class TextStream
{
public:
    TextStream(Port &port, SerialLink &link, Scheduler &scheduler, EventLog &log);

    void start();

private:
    void tick();
    std::string nextSentence();

    Port &port_;
    SerialLink &link_;
    Scheduler &scheduler_;
    EventLog &log_;
    std::string pending_; // the rest of a sentence the byte budget did not let out yet
    std::int64_t budget_ = 0; // bytes that may go out now
    unsigned sentence_ = 0;
    unsigned seconds_ = 0;
    bool dropping_ = false;
};

} // namespace ksim
