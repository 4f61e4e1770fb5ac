#pragma once

#include "firmware.h"
#include "kestranestate.h"

#include <optional>
#include <string>

namespace ksim {

// The Kestrane application firmware's file-manager service: named files uploaded by select and write
// requests, listed, removed, hashed, and the active configuration read from the stored "active.cfg".
// Requests and replies are single ISO-TP messages; positive replies carry the request code plus 0x40,
// refusals 0x7F and a JSON object {"cmd":N,"error":TEXT}.
class AppFirmware
{
public:
    explicit AppFirmware(KestraneState &state);

    FirmwareReply handle(const Bytes &request);
    // Forgets what lives in RAM only (the selected file), as a restart does.
    void restart() { selected_.reset(); }

    static bool isWrite(const Bytes &request) { return !request.empty() && request[0] == 0x21; }
    // A refusal of the request in the firmware's own format.
    static Bytes refusal(const Bytes &request, const std::string &error);
    // The positive reply cut short or corrupted, for the --malformed fault.
    static Bytes garble(const Bytes &request, const Bytes &reply);

private:
    FirmwareReply select(const Bytes &request);
    FirmwareReply write(const Bytes &request);
    FirmwareReply remove(const Bytes &request);
    FirmwareReply list() const;
    FirmwareReply digest() const;
    FirmwareReply configuration() const;

    KestraneState &state_;
    std::optional<std::string> selected_;
};

} // namespace ksim
