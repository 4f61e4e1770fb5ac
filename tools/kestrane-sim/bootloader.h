#pragma once

#include "firmware.h"
#include "kestranestate.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ksim {

// The Kestrane bootloader: EXEC routines (status, description, erase, unique id), set address, write,
// finalise and the three ways out (restart itself, launch the application, leave for the ROM loader).
// Negative replies are 7F, the request's first byte and a code; 78 means busy, ask again.
class Bootloader
{
public:
    Bootloader(KestraneState &state, Micros eraseTime);

    FirmwareReply handle(const Bytes &request, Micros now);
    // Forgets what lives in RAM only (write address, latched error, operation in progress).
    void restart();
    // The next count status replies report busy, as after a write whose reply went missing.
    void reportBusy(std::uint64_t count) { forcedBusy_ = count; }
    // The work a delayed reply stood for is over once that reply goes out, whatever the wall clock
    // says: a device never asks for patience with work it has just reported done.
    void workDone() { busyUntil_ = 0; }
    // After this many status replies another board is plugged in: the replies from then on, and the
    // description, carry its board id. Survives restarts: the board stays swapped.
    void swapBoard(std::uint64_t afterStatusReplies, std::uint32_t id)
    {
        swapAfter_ = afterStatusReplies;
        swapId_ = id;
    }
    // Told when the first status reply reports the swapped board.
    std::function<void(const std::string &)> onNote;

    static bool isWrite(const Bytes &request) { return !request.empty() && request[0] == 0x36; }
    // The positive reply cut short or corrupted, for the --malformed fault.
    static Bytes garble(const Bytes &request, const Bytes &reply);

private:
    FirmwareReply exec(const Bytes &request, Micros now);
    FirmwareReply status(Micros now);
    FirmwareReply erase(const Bytes &request, Micros now);
    FirmwareReply setAddress(const Bytes &request);
    FirmwareReply write(const Bytes &request, Micros now);
    FirmwareReply finalise(const Bytes &request);
    FirmwareReply leave(const Bytes &request);
    FirmwareReply refuse(const Bytes &request, std::uint8_t code);
    std::uint32_t boardId() const;

    KestraneState &state_;
    Micros eraseTime_;
    std::optional<std::uint32_t> address_;
    std::uint8_t error_ = 0;
    Micros busyUntil_ = 0;
    std::uint64_t forcedBusy_ = 0;
    std::optional<std::uint64_t> swapAfter_;
    std::uint32_t swapId_ = 0;
    std::uint64_t statusReplies_ = 0;
};

} // namespace ksim
