#pragma once

#include "hex.h"
#include "scheduler.h"

namespace ksim {

// What the device does after its answer has gone out.
enum class AfterReply {
    Stay,
    Restart, // restart into the same firmware
    EnterBootloader,
    EnterApplication,
    LeaveForRomLoader, // gone to the microcontroller's own loader: silent until the simulator restarts
};

// A firmware's answer to one request. Slow operations (erase, write) answer "busy, response pending" at
// once and their result when they finish; the device is busy in between.
struct FirmwareReply
{
    Bytes pending; // sent at once; empty for none
    Bytes reply; // sent after delay; empty for no answer at all
    Micros delay = 0;
    AfterReply after = AfterReply::Stay;
    bool cutShort = false; // a fault: the reply stops after its First Frame
    bool shortened = false; // a fault: the reply carries two bytes fewer than it announces

    bool positive() const { return !reply.empty() && reply[0] != 0x7F; }
};

} // namespace ksim
