#pragma once

#include "candevice.h"
#include "hex.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ksim {

// ISO 15765-2: the high nibble of a frame's first byte, and a flow control's flow status.
inline constexpr std::uint8_t kSingle = 0x0;
inline constexpr std::uint8_t kFirst = 0x1;
inline constexpr std::uint8_t kConsecutive = 0x2;
inline constexpr std::uint8_t kFlowControl = 0x3;
inline constexpr std::uint8_t kContinueToSend = 0x0;
inline constexpr std::uint8_t kWait = 0x1;
inline constexpr std::uint8_t kOverflow = 0x2;

// A device that will not take the PC's long requests: it answers a First Frame with flow status WAIT and
// never follows it with CTS, or with OVERFLOW (no room for the message), or gives it no flow control at
// all. Kept by the device, not by its endpoint, so that the count of First Frames survives the endpoint
// being replaced on a restart.
struct FlowControlFault
{
    enum class Kind { None, Wait, Overflow, Silent };
    Kind kind = Kind::None; // Wait or Overflow, for the First Frames nth picks
    std::uint64_t nth = 0; // 0: every First Frame; otherwise only the nth of the run
    // First Frames (first, count) that get no flow control at all, whatever kind says.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> silentRanges;
    std::uint64_t firstFrames = 0; // First Frames received so far

    // Counts one First Frame; what it gets instead of the usual flow control (None: the usual).
    Kind takeFirstFrame();
};

// Option value "wait", "overflow", "wait:N" or "overflow:N"; false on anything else.
bool parseFlowControlFault(const std::string &text, FlowControlFault &fault);
// Option value "N" or "N:C" (First Frames N..N+C-1 get no flow control); false on anything else.
bool parseSilentFlowControl(const std::string &text, FlowControlFault &fault);

struct IsoTpConfig
{
    std::uint32_t rxId = 0x74E; // frames addressed to the device
    std::uint32_t txId = 0x746; // frames the device sends
    std::uint8_t blockSize = 0; // BS of the device's own flow control frames
    std::uint8_t separationTime = 0; // STmin byte of the device's own flow control frames
    FlowControlFault *flowControlFault = nullptr; // owned by the device; null for none
    // A strict receiver (with a block size): the flow control after a full block goes out only this long
    // later, and Consecutive Frames that come before it are dropped. Negative: off.
    Micros blockPause = -1;
    // Flow controls WAIT that answer a First Frame, this far apart, before the CTS.
    unsigned flowWaits = 0;
    Micros flowWaitInterval = 20000;
    // N_Bs and N_Cr (ISO 15765-2, typically 1000 ms): how long a reply waits for the PC's flow control,
    // and a request for its next Consecutive Frame, before the endpoint gives it up.
    Micros timeout = 1000000;
};

// Device-side ISO-TP (ISO 15765-2, normal addressing, classic CAN): reassembles requests, sending the
// flow control frames itself, and segments replies, obeying the flow control the PC sends back. A request
// whose next Consecutive Frame does not come in time (N_Cr), and a reply whose flow control does not
// (N_Bs), is given up.
class IsoTpEndpoint
{
public:
    using MessageHandler = std::function<void(const Bytes &)>;

    IsoTpEndpoint(const IsoTpConfig &config, MessageHandler onMessage);
    IsoTpEndpoint(const IsoTpEndpoint &) = delete;
    IsoTpEndpoint &operator=(const IsoTpEndpoint &) = delete;
    // Its timers may still be pending (a device replacing its endpoint on a restart).
    ~IsoTpEndpoint();

    void attach(CanDeviceHost &host) { host_ = &host; }

    // Feeds one frame from the bus; returns false when it is not addressed to this endpoint.
    bool receiveFrame(const CanFrame &frame);

    // Sends a payload of 1..4095 bytes: a Single Frame (not padded) up to 7 bytes, otherwise a First
    // Frame and, as the PC's flow control allows, Consecutive Frames with the last one padded to 8 bytes.
    // shortened (a fault): the Single Frame, or the last Consecutive Frame, carries two bytes fewer than
    // the length announced still needs, and the last Consecutive Frame is not padded.
    bool send(const Bytes &payload, bool shortened = false);
    // Sends one frame of 1..8 bytes exactly as given, outside the protocol.
    void sendRaw(const Bytes &frameBytes);
    void cancelSend();
    bool sending() const { return txState_ != TxState::Idle; }

private:
    enum class TxState { Idle, WaitFlowControl, Sending };

    void startReception(const CanFrame &frame);
    void continueReception(const CanFrame &frame);
    void sendFlowControl();
    void sendNextWait();
    void holdFlowControl();
    void cancelReceptionTimer();
    void endReception();
    void awaitConsecutive(Micros from);
    void cancelConsecutiveTimer();
    void handleFlowControl(const CanFrame &frame);
    void awaitFlowControl(Micros from);
    void sendConsecutive();
    Micros emit(const Bytes &bytes);
    void note(const std::string &text);
    Micros delayUntil(Micros when) const;

    IsoTpConfig config_;
    MessageHandler onMessage_;
    CanDeviceHost *host_ = nullptr;

    bool rxActive_ = false;
    std::size_t rxLength_ = 0;
    Bytes rxData_;
    std::uint8_t rxSequence_ = 0;
    unsigned rxBlockCount_ = 0;
    // Set while the flow control that lets the PC go on has not gone out yet: why, for the log.
    const char *rxHeldBy_ = nullptr;
    unsigned rxWaitsLeft_ = 0;
    CanDeviceHost::TimerId rxTimer_ = 0;
    // N_Cr: runs while the device waits for the PC's next Consecutive Frame.
    CanDeviceHost::TimerId consecutiveTimer_ = 0;

    TxState txState_ = TxState::Idle;
    Bytes txData_;
    std::size_t txOffset_ = 0;
    std::uint8_t txSequence_ = 0;
    bool txShortened_ = false;
    unsigned txBlockLeft_ = 0; // 0 = no limit until the end
    Micros txSeparation_ = 0;
    // The separation time while sending; N_Bs while waiting for the PC's flow control.
    CanDeviceHost::TimerId txTimer_ = 0;
};

// The separation time of a flow control frame in microseconds; reserved values mean the maximum, 127 ms.
Micros separationMicros(std::uint8_t value);

} // namespace ksim
