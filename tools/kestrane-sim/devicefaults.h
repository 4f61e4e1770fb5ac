#pragma once

#include "hex.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ksim {

// Misbehaviour of the Kestrane device itself, as opposed to the adapter's faults: lost, refused, busy and
// garbled replies, so that tests can drive the program's recovery paths. Requests are counted from 1 over
// the complete ISO-TP requests the device receives in either mode. A request pattern is a hexadecimal
// prefix of the request (one byte, or more, e.g. B100B3 for one EXEC routine).
struct DeviceFaults
{
    struct Negative
    {
        Bytes prefix;
        std::optional<std::uint8_t> code; // absent: only meant for the application (the code is ignored there)
    };
    struct Busy
    {
        Bytes prefix;
        std::uint64_t count = 0; // how many more matching requests get the busy answer
    };

    std::set<std::uint64_t> lostWriteReplies; // 1-based numbers among the write requests (36 / 21)
    std::uint64_t busyStatus = 0;
    std::vector<Negative> negatives;
    std::vector<Bytes> malformed;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> silentRanges; // first, count
    std::vector<Busy> busyReplies;
    // Requests answered at once with "busy", then carried out and answered this many ms later.
    std::vector<std::pair<Bytes, std::uint64_t>> slowReplies;
    std::vector<Bytes> cutReplies;
    std::vector<Bytes> shortReplies;
    // Another board plugged in while the program stayed connected: from status reply boardSwapAfter + 1
    // on the bootloader reports boardSwapId.
    std::optional<std::uint64_t> boardSwapAfter;
    std::uint32_t boardSwapId = 0;

    bool any() const;
    bool silent(std::uint64_t request) const;
    const Negative *negative(const Bytes &request) const;
    bool garbled(const Bytes &request) const;
    bool cutShort(const Bytes &request) const;
    bool shortened(const Bytes &request) const;
    // Counts one use of a matching busy-reply fault; true when this request gets the busy answer.
    bool takeBusy(const Bytes &request);
    // The extra time, in ms, the reply to this request takes; 0 for none.
    std::uint64_t slowness(const Bytes &request) const;
};

bool startsWith(const Bytes &request, const Bytes &prefix);

// Option values, e.g. "37:72", "B100B3", "5:3", "36:2", "2:0x4B455332"; false on a malformed value.
bool parseNegativeFault(const std::string &text, DeviceFaults &faults);
bool parseMalformedFault(const std::string &text, DeviceFaults &faults);
bool parseSilentFault(const std::string &text, DeviceFaults &faults);
bool parseBusyFault(const std::string &text, DeviceFaults &faults);
bool parseSlowFault(const std::string &text, DeviceFaults &faults);
bool parseCutFault(const std::string &text, DeviceFaults &faults);
bool parseShortFault(const std::string &text, DeviceFaults &faults);
bool parseBoardSwapFault(const std::string &text, DeviceFaults &faults);

} // namespace ksim
