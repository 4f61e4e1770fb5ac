#include "isotp.h"

namespace ksim {

namespace {
constexpr std::size_t kMaxPayload = 4095;
} // namespace

FlowControlFault::Kind FlowControlFault::takeFirstFrame()
{
    if (kind == Kind::None && silentRanges.empty())
        return Kind::None;
    ++firstFrames;
    for (const auto &range : silentRanges) {
        if (firstFrames >= range.first && firstFrames - range.first < range.second)
            return Kind::Silent;
    }
    return kind != Kind::None && (nth == 0 || firstFrames == nth) ? kind : Kind::None;
}

bool parseFlowControlFault(const std::string &text, FlowControlFault &fault)
{
    const auto colon = text.find(':');
    const std::string kind = toLower(text.substr(0, colon));
    if (kind == "wait")
        fault.kind = FlowControlFault::Kind::Wait;
    else if (kind == "overflow")
        fault.kind = FlowControlFault::Kind::Overflow;
    else
        return false;
    fault.nth = 0;
    return colon == std::string::npos || (parseNumber(text.substr(colon + 1), fault.nth) && fault.nth > 0);
}

bool parseSilentFlowControl(const std::string &text, FlowControlFault &fault)
{
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    if (!parseRange(text, first, count))
        return false;
    fault.silentRanges.emplace_back(first, count);
    return true;
}

Micros separationMicros(std::uint8_t value)
{
    if (value <= 0x7F)
        return static_cast<Micros>(value) * 1000;
    if (value >= 0xF1 && value <= 0xF9)
        return static_cast<Micros>(value - 0xF0) * 100;
    return 127000;
}

IsoTpEndpoint::IsoTpEndpoint(const IsoTpConfig &config, MessageHandler onMessage)
    : config_(config)
    , onMessage_(std::move(onMessage))
{ }

IsoTpEndpoint::~IsoTpEndpoint()
{
    cancelSend();
    endReception();
}

void IsoTpEndpoint::cancelReceptionTimer()
{
    if (rxTimer_ != 0 && host_)
        host_->cancelTimer(rxTimer_);
    rxTimer_ = 0;
    rxHeldBy_ = nullptr;
    rxWaitsLeft_ = 0;
}

// The request under way, if any, is over: complete, dropped or superseded.
void IsoTpEndpoint::endReception()
{
    rxActive_ = false;
    cancelReceptionTimer();
    cancelConsecutiveTimer();
}

void IsoTpEndpoint::cancelConsecutiveTimer()
{
    if (consecutiveTimer_ != 0 && host_)
        host_->cancelTimer(consecutiveTimer_);
    consecutiveTimer_ = 0;
}

Micros IsoTpEndpoint::delayUntil(Micros when) const
{
    const Micros delay = when - host_->now();
    return delay > 0 ? delay : 0;
}

// N_Cr: the device waits for the next Consecutive Frame only so long after `from`, the later of the last
// frame of the request it got and the flow control it last sent, then gives the request up. It does not
// run while the device holds its flow control back: the PC may not send then.
void IsoTpEndpoint::awaitConsecutive(Micros from)
{
    cancelConsecutiveTimer();
    if (!host_)
        return;
    consecutiveTimer_ = host_->startTimer(delayUntil(from + config_.timeout), [this] {
        consecutiveTimer_ = 0;
        note("no consecutive frame within " + std::to_string(config_.timeout / 1000) + " ms; request dropped");
        endReception();
    });
}

void IsoTpEndpoint::note(const std::string &text)
{
    if (host_)
        host_->note(text);
}

// Returns when the frame will have left the bus.
Micros IsoTpEndpoint::emit(const Bytes &bytes)
{
    return host_ ? host_->sendFrame(CanFrame::make(config_.txId, bytes)) : 0;
}

bool IsoTpEndpoint::receiveFrame(const CanFrame &frame)
{
    if (frame.extended || frame.id != config_.rxId)
        return false;
    if (frame.length == 0) {
        note("empty frame ignored");
        return true;
    }
    const std::uint8_t type = frame.data[0] >> 4;
    switch (type) {
    case kSingle: {
        const std::size_t length = frame.data[0] & 0x0F;
        if (length == 0 || length > static_cast<std::size_t>(frame.length - 1)) {
            note("malformed single frame ignored");
            return true;
        }
        // A new request supersedes whatever exchange was going on, as on a real ECU.
        cancelSend();
        endReception();
        onMessage_(Bytes(frame.data.begin() + 1, frame.data.begin() + 1 + static_cast<std::ptrdiff_t>(length)));
        return true;
    }
    case kFirst:
        startReception(frame);
        return true;
    case kConsecutive:
        continueReception(frame);
        return true;
    case kFlowControl:
        handleFlowControl(frame);
        return true;
    default:
        note("frame with unknown type " + hexValue(type, 1) + " ignored");
        return true;
    }
}

void IsoTpEndpoint::startReception(const CanFrame &frame)
{
    const std::size_t length = (static_cast<std::size_t>(frame.data[0] & 0x0F) << 8) | frame.data[1];
    if (frame.length != 8 || length < 8) {
        note("malformed first frame ignored");
        return;
    }
    cancelSend();
    endReception();
    FlowControlFault *fault = config_.flowControlFault;
    const FlowControlFault::Kind refusal = fault ? fault->takeFirstFrame() : FlowControlFault::Kind::None;
    if (refusal == FlowControlFault::Kind::Silent) {
        // Neither taken in nor answered: the PC waits for a flow control that never comes.
        note("first frame " + std::to_string(fault->firstFrames) + " gets no flow control (fault)");
        return;
    }
    if (refusal != FlowControlFault::Kind::None) {
        // The request is never taken in: whatever Consecutive Frames the PC sends anyway are ignored.
        const bool wait = refusal == FlowControlFault::Kind::Wait;
        note(std::string("first frame ") + std::to_string(fault->firstFrames) + " answered with flow status "
            + (wait ? "WAIT, no CTS will follow" : "OVERFLOW") + " (fault)");
        emit(Bytes {static_cast<std::uint8_t>(kFlowControl << 4 | (wait ? kWait : kOverflow)), 0x00, 0x00});
        return;
    }
    rxActive_ = true;
    rxLength_ = length;
    rxData_.assign(frame.data.begin() + 2, frame.data.end());
    rxSequence_ = 1;
    rxBlockCount_ = 0;
    if (config_.flowWaits > 0 && host_) {
        note("first frame answered with " + std::to_string(config_.flowWaits) + " flow controls WAIT, "
            + std::to_string(config_.flowWaitInterval / 1000) + " ms apart, before the CTS (fault)");
        rxWaitsLeft_ = config_.flowWaits;
        rxHeldBy_ = "before the CTS";
        sendNextWait();
        return;
    }
    sendFlowControl();
}

// One WAIT now and the next after the interval; after the last one, the interval, then the CTS.
void IsoTpEndpoint::sendNextWait()
{
    rxTimer_ = 0;
    if (rxWaitsLeft_ == 0) {
        rxHeldBy_ = nullptr;
        sendFlowControl();
        return;
    }
    --rxWaitsLeft_;
    emit(Bytes {static_cast<std::uint8_t>(kFlowControl << 4 | kWait), 0x00, 0x00});
    rxTimer_ = host_->startTimer(config_.flowWaitInterval, [this] { sendNextWait(); });
}

void IsoTpEndpoint::holdFlowControl()
{
    note("block of " + std::to_string(config_.blockSize) + " consecutive frames received; flow control held back "
        + std::to_string(config_.blockPause / 1000) + " ms (fault)");
    rxHeldBy_ = "beyond the block size";
    cancelConsecutiveTimer();
    rxTimer_ = host_->startTimer(config_.blockPause, [this] {
        rxTimer_ = 0;
        rxHeldBy_ = nullptr;
        sendFlowControl();
    });
}

void IsoTpEndpoint::continueReception(const CanFrame &frame)
{
    if (!rxActive_) {
        note("consecutive frame without a first frame ignored");
        return;
    }
    if (rxHeldBy_) {
        // A strict receiver: the PC did not wait for the flow control.
        note(std::string("consecutive frame ") + rxHeldBy_ + " dropped (fault)");
        return;
    }
    const std::uint8_t sequence = frame.data[0] & 0x0F;
    if (sequence != rxSequence_) {
        note("wrong sequence number " + hexValue(sequence, 1) + ", expected " + hexValue(rxSequence_, 1)
            + "; request dropped");
        endReception();
        return;
    }
    rxSequence_ = static_cast<std::uint8_t>((rxSequence_ + 1) & 0x0F);
    const std::size_t missing = rxLength_ - rxData_.size();
    const std::size_t available = static_cast<std::size_t>(frame.length - 1);
    const std::size_t take = missing < available ? missing : available;
    rxData_.insert(rxData_.end(), frame.data.begin() + 1, frame.data.begin() + 1 + static_cast<std::ptrdiff_t>(take));
    if (rxData_.size() >= rxLength_) {
        endReception();
        onMessage_(rxData_);
        return;
    }
    ++rxBlockCount_;
    if (config_.blockSize == 0 || rxBlockCount_ < config_.blockSize) {
        awaitConsecutive(host_ ? host_->now() : 0);
        return;
    }
    rxBlockCount_ = 0;
    if (config_.blockPause >= 0 && host_)
        holdFlowControl();
    else
        sendFlowControl();
}

// The CTS: the PC may go on, and N_Cr runs from the moment it has left the bus.
void IsoTpEndpoint::sendFlowControl()
{
    const Micros sent = emit(Bytes {
        static_cast<std::uint8_t>(kFlowControl << 4 | kContinueToSend), config_.blockSize, config_.separationTime});
    awaitConsecutive(sent);
}

bool IsoTpEndpoint::send(const Bytes &payload, bool shortened)
{
    if (payload.empty() || payload.size() > kMaxPayload)
        return false;
    cancelSend();
    if (payload.size() <= 7) {
        Bytes frame {static_cast<std::uint8_t>(payload.size())};
        const std::size_t carried = !shortened ? payload.size() : payload.size() > 2 ? payload.size() - 2 : 0;
        frame.insert(frame.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(carried));
        emit(frame);
        return true;
    }
    txData_ = payload;
    Bytes frame {static_cast<std::uint8_t>(kFirst << 4 | (payload.size() >> 8)),
        static_cast<std::uint8_t>(payload.size() & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.begin() + 6);
    const Micros sent = emit(frame);
    txOffset_ = 6;
    txSequence_ = 1;
    txShortened_ = shortened;
    awaitFlowControl(sent);
    return true;
}

// N_Bs: the reply waits for the PC's flow control only so long after `from` (its First Frame, or the last
// frame of a block, having left the bus; or the PC's WAIT), then is given up.
void IsoTpEndpoint::awaitFlowControl(Micros from)
{
    txState_ = TxState::WaitFlowControl;
    if (txTimer_ != 0 && host_)
        host_->cancelTimer(txTimer_);
    txTimer_ = 0;
    if (!host_)
        return;
    txTimer_ = host_->startTimer(delayUntil(from + config_.timeout), [this] {
        txTimer_ = 0;
        note("no flow control within " + std::to_string(config_.timeout / 1000) + " ms; reply dropped");
        cancelSend();
    });
}

void IsoTpEndpoint::sendRaw(const Bytes &frameBytes)
{
    emit(frameBytes);
}

void IsoTpEndpoint::cancelSend()
{
    if (txTimer_ != 0 && host_)
        host_->cancelTimer(txTimer_);
    txTimer_ = 0;
    txState_ = TxState::Idle;
    txData_.clear();
}

void IsoTpEndpoint::handleFlowControl(const CanFrame &frame)
{
    if (txState_ != TxState::WaitFlowControl) {
        note("unexpected flow control frame ignored");
        return;
    }
    const std::uint8_t flag = frame.data[0] & 0x0F;
    if (flag == kWait) {
        note("flow status WAIT received; waiting " + std::to_string(config_.timeout / 1000)
            + " ms more for the flow control");
        awaitFlowControl(host_ ? host_->now() : 0);
        return;
    }
    if (flag != kContinueToSend) {
        note(flag == kOverflow ? "reply aborted by the receiver" : "flow control with invalid flag; reply aborted");
        cancelSend();
        return;
    }
    if (txTimer_ != 0 && host_)
        host_->cancelTimer(txTimer_);
    txTimer_ = 0;
    txBlockLeft_ = frame.length >= 2 ? frame.data[1] : 0;
    txSeparation_ = frame.length >= 3 ? separationMicros(frame.data[2]) : 0;
    txState_ = TxState::Sending;
    sendConsecutive();
}

void IsoTpEndpoint::sendConsecutive()
{
    txTimer_ = 0;
    while (txState_ == TxState::Sending) {
        Bytes frame {static_cast<std::uint8_t>(kConsecutive << 4 | txSequence_)};
        const std::size_t missing = txData_.size() - txOffset_;
        const std::size_t take = missing < 7 ? missing : 7;
        // Two bytes short, and not padded: only the control byte may be left.
        const bool cut = txShortened_ && take == missing;
        const std::size_t carried = !cut ? take : take > 2 ? take - 2 : 0;
        frame.insert(frame.end(), txData_.begin() + static_cast<std::ptrdiff_t>(txOffset_),
            txData_.begin() + static_cast<std::ptrdiff_t>(txOffset_ + carried));
        if (!cut)
            frame.resize(8, 0x00);
        const Micros sent = emit(frame);
        txOffset_ += take;
        txSequence_ = static_cast<std::uint8_t>((txSequence_ + 1) & 0x0F);
        if (txOffset_ >= txData_.size()) {
            txState_ = TxState::Idle;
            txData_.clear();
            return;
        }
        if (txBlockLeft_ != 0 && --txBlockLeft_ == 0) {
            awaitFlowControl(sent);
            return;
        }
        if (txSeparation_ > 0 && host_) {
            txTimer_ = host_->startTimer(txSeparation_, [this] { sendConsecutive(); });
            return;
        }
    }
}

} // namespace ksim
