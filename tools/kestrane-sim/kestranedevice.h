#pragma once

#include "appfirmware.h"
#include "bootloader.h"
#include "candevice.h"
#include "devicefaults.h"
#include "isotp.h"
#include "kestranestate.h"

#include <memory>
#include <string>

namespace ksim {

// The Kestrane device on the bus: its application firmware (file manager, listening on 74E, answering on
// 746) or its bootloader (74F / 747), whichever runs; frames for the other one go unanswered, as on the
// real device. Mode, files and flash persist in a KestraneState. The device-level faults are applied here,
// around the firmware, so that the firmware itself stays correct.
class KestraneDevice : public CanDevice
{
public:
    // endpoint: the flow control the device's ISO-TP endpoint gives (its identifiers follow the mode).
    KestraneDevice(const KestraneSettings &settings, const IsoTpConfig &endpoint, const DeviceFaults &faults,
        const FlowControlFault &flowControl);

    // Loads or creates the state; false with a reason when the state folder is unusable.
    bool open(std::string &error);

    void start(CanDeviceHost &host) override;
    void receiveFrame(const CanFrame &frame) override;

private:
    void handleRequest(const Bytes &request);
    bool injectFault(const Bytes &request, std::uint64_t number);
    void deliver(FirmwareReply reply, std::uint64_t epoch);
    void send(const Bytes &payload, bool shortened = false);
    void afterReply(AfterReply after);
    void restart();
    void makeEndpoint();
    void note(const std::string &text);

    KestraneSettings settings_;
    IsoTpConfig endpointConfig_;
    DeviceFaults faults_;
    FlowControlFault flowControl_;
    KestraneState state_;
    AppFirmware app_;
    Bootloader boot_;
    std::unique_ptr<IsoTpEndpoint> endpoint_;
    CanDeviceHost *host_ = nullptr;

    std::uint64_t requests_ = 0; // complete requests received, for --silent-requests
    std::uint64_t writes_ = 0; // write requests received, for --lose-write-reply
    std::uint64_t epoch_ = 0; // one per life between restarts; replies of an earlier life are dropped
    bool restarting_ = false;
    bool gone_ = false;
};

} // namespace ksim
