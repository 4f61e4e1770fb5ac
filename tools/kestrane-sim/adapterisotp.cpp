// What an ELS27 does with ISO 15765 by itself: automatic formatting of received messages (AT CAF1), the
// flow control it sends for a First Frame (AT CFC1), and the segmented transmission of a message (STPX,
// STCSEGT1) paced by the device's flow control.

#include "adapter.h"

#include "eventlog.h"
#include "hex.h"
#include "isotp.h"

namespace ksim {

namespace {
// STP 33: ISO 15765, 11-bit identifiers, 500 kbit/s.
constexpr int kStnIsoTp = 33;
// The device's STmin and STCSTM together.
constexpr Micros kMaxSeparation = 127000;

// A 29-bit identifier of ISO 15765-4 with its target and source bytes swapped: the other direction.
std::uint32_t swapLowBytes(std::uint32_t id)
{
    return (id & 0x1FFF0000) | (id & 0xFF) << 8 | (id >> 8 & 0xFF);
}

// The First Frame of a message of 8 bytes or more, and how many data bytes it carries: the 12-bit length,
// or for more than 4095 bytes the escape form (length 0, then 32 bits).
Bytes firstFrameOf(const Bytes &data, std::size_t &carried)
{
    const std::size_t size = data.size();
    Bytes frame;
    if (size <= 0xFFF)
        frame = {static_cast<std::uint8_t>(kFirst << 4 | size >> 8), static_cast<std::uint8_t>(size & 0xFF)};
    else
        frame = {kFirst << 4, 0x00, static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
            static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
    carried = 8 - frame.size();
    frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(carried));
    return frame;
}
} // namespace

// STP 33, or one of the ISO 15765-4 protocols of AT SP (6 to 9). The power-up protocol 0 (automatic) and
// STP 31 (raw ISO 11898) carry raw frames.
bool Adapter::isoTpProtocol() const
{
    if (settings_.stn.protocol != 0)
        return settings_.stn.protocol == kStnIsoTp;
    return settings_.protocol >= 6 && settings_.protocol <= 9;
}

// Only an ELS27 is modelled doing ISO-TP itself; an ELM327 takes every line as a raw frame, as before.
bool Adapter::formatting() const
{
    return kind_ == AdapterKind::Els27 && settings_.automaticFormatting && isoTpProtocol();
}

void Adapter::receiveFormatted(const CanFrame &frame)
{
    // With headers on, every frame is shown as it came, its PCI bytes included.
    if (settings_.headers)
        printLine(formatFrame(frame));
    const int type = frame.length > 0 ? frame.data[0] >> 4 : -1;
    if (type == kSingle)
        singleFrameReceived(frame);
    else if (type == kFirst)
        firstFrameReceived(frame);
    else if (type == kConsecutive)
        consecutiveFrameReceived(frame);
    // A flow control nobody waits for, an empty frame or one of an unknown type is no reply.
}

// A Single Frame that comes in the middle of a message is a reply of its own; the message goes on.
void Adapter::singleFrameReceived(const CanFrame &frame)
{
    const std::size_t length = frame.data[0] & 0x0F;
    if (length == 0 || length > static_cast<std::size_t>(frame.length - 1))
        return;
    if (!settings_.headers)
        printLine(toHex(frame.data.data() + 1, length, separator()));
    replyComplete();
}

// A First Frame starts a message, a new one taking the place of one under way. Its flow control goes out
// at once, and the next Consecutive Frame must come within the STCTOR time of it.
void Adapter::firstFrameReceived(const CanFrame &frame)
{
    const std::size_t length = static_cast<std::size_t>(frame.data[0] & 0x0F) << 8 | frame.data[1];
    // Shorter First Frames are invalid; the escape form for longer messages does not come from a device
    // that sends at most 4095 bytes.
    if (frame.length != 8 || length < 8)
        return;
    reception_ = Reception();
    reception_.active = true;
    reception_.id = frame.id;
    reception_.extended = frame.extended;
    reception_.length = length;
    reception_.received = 6;
    reception_.sequence = 1;
    // The ELM form without headers: the length, then the message in lines numbered as the frames are.
    if (!settings_.headers) {
        printLine(hexValue(static_cast<std::uint32_t>(length), 3));
        printLine("0:" + std::string(separator()) + toHex(frame.data.data() + 2, 6, separator()));
    }
    Micros from = scheduler_.now();
    if (settings_.automaticFlowControl) {
        const Micros sent = sendFlowControl(frame);
        from = sent > from ? sent : from;
    }
    armListenTimer(from + settings_.stn.consecutiveTimeout);
}

void Adapter::consecutiveFrameReceived(const CanFrame &frame)
{
    if (!reception_.active || frame.id != reception_.id || frame.extended != reception_.extended)
        return;
    const std::uint8_t sequence = frame.data[0] & 0x0F;
    const std::size_t missing = reception_.length - reception_.received;
    const std::size_t carried = static_cast<std::size_t>(frame.length - 1);
    const std::size_t taken = missing < carried ? missing : carried;
    // A wrong sequence number, or a frame short of 7 bytes before the last, ends the message.
    if (sequence != reception_.sequence || (taken < missing && carried < 7)) {
        log_.write('#',
            "consecutive frame " + hexValue(sequence, 1) + " from " + hexValue(frame.id, frame.extended ? 8 : 3)
                + " breaks its message (" + std::to_string(reception_.received) + " of "
                + std::to_string(reception_.length) + " bytes came); its reception is given up");
        reception_.active = false;
        armListenTimer(scheduler_.now() + listenTimeout_);
        return;
    }
    if (!settings_.headers)
        printLine(hexValue(sequence, 1) + ":" + separator() + toHex(frame.data.data() + 1, taken, separator()));
    reception_.received += taken;
    reception_.sequence = static_cast<std::uint8_t>((sequence + 1) & 0x0F);
    if (reception_.received >= reception_.length) {
        reception_.active = false;
        replyComplete();
        return;
    }
    armListenTimer(scheduler_.now() + settings_.stn.consecutiveTimeout);
}

// The flow control the chip sends for a First Frame by itself: continue, block size 0, STmin 0, as short as
// every frame the adapter sends. Returns when it has left the bus, or now when none goes out.
Micros Adapter::sendFlowControl(const CanFrame &first)
{
    std::uint32_t id = 0;
    if (!flowControlTarget(first, id)) {
        log_.write('#',
            "no flow-control pair for " + hexValue(first.id, first.extended ? 8 : 3)
                + ": its First Frame gets no flow control");
        return scheduler_.now();
    }
    return bus_.sendFromAdapter(CanFrame::make(id, Bytes {0x30, 0x00, 0x00}, first.extended));
}

// Without a pair the flow control goes on the First Frame's identifier less 8 (for a 29-bit one, with its
// two low bytes swapped). Once STCFCPA added a pair, only the pairs count.
bool Adapter::flowControlTarget(const CanFrame &first, std::uint32_t &id) const
{
    const auto &pairs = settings_.stn.flowControlPairs;
    if (pairs.empty()) {
        if (first.extended) {
            id = swapLowBytes(first.id);
            return true;
        }
        if (first.id < 8)
            return false;
        id = first.id - 8;
        return true;
    }
    for (const auto &[tx, rx] : pairs) {
        if (!first.extended && rx == first.id) {
            id = tx;
            return true;
        }
    }
    return false;
}

// ---- segmented transmission -----------------------------------------------------------------------------

// A data line of more than 7 bytes with STCSEGT1 goes out as STPX sends it.
void Adapter::sendSegmentedLine(const Bytes &bytes, int wanted, std::uint64_t number)
{
    Transfer transfer;
    transfer.name = "data line " + std::to_string(number);
    transfer.header = settings_.header;
    transfer.extended = settings_.extendedHeader;
    transfer.data = bytes;
    transfer.listen = wanted >= 0 ? wanted > 0 : settings_.responses;
    transfer.wanted = wanted > 0 ? static_cast<unsigned>(wanted) : 0;
    transfer.timeout = timeoutMicros();
    if (faults_.noReply(number)) {
        // The chip hangs after its First Frame.
        log_.write('#', "no answer to data line " + std::to_string(number) + " (fault)");
        std::size_t carried = 0;
        bus_.sendFromAdapter(CanFrame::make(transfer.header, firstFrameOf(bytes, carried), transfer.extended));
        return;
    }
    startTransfer(transfer);
}

// Up to 7 bytes go as a Single Frame; a longer message as a First Frame, then as the device's flow control
// allows, Consecutive Frames. Every frame goes on the bus at the bus's pace, as short as it can be.
void Adapter::startTransfer(const Transfer &transfer)
{
    transfer_ = transfer;
    state_ = State::Sending;
    ++listenGeneration_;
    const Bytes &data = transfer_.data;
    const std::string timeout = std::to_string(transfer_.timeout / 1000) + " ms";
    log_.write('#',
        transfer_.name + ": " + std::to_string(data.size()) + " bytes on "
            + hexValue(transfer_.header, transfer_.extended ? 8 : 3)
            + (!transfer_.listen ? ", no reply awaited"
                    : transfer_.wanted > 0
                    ? ", waiting for " + std::to_string(transfer_.wanted) + " replies, " + timeout + " each"
                    : ", listening until no reply comes within " + timeout));
    if (data.size() <= 7) {
        Bytes frame {static_cast<std::uint8_t>(kSingle << 4 | data.size())};
        frame.insert(frame.end(), data.begin(), data.end());
        transfer_.offset = data.size();
        transferSent(bus_.sendFromAdapter(transferFrame(frame)));
        return;
    }
    const Bytes first = firstFrameOf(data, transfer_.offset);
    transfer_.sequence = 1;
    awaitFlowControl(bus_.sendFromAdapter(transferFrame(first)));
}

CanFrame Adapter::transferFrame(const Bytes &bytes) const
{
    return CanFrame::make(transfer_.header, bytes, transfer_.extended);
}

// The STCTOR fc time runs from the moment the First Frame, or the last frame of a block, has left the bus,
// and again from a flow control WAIT.
void Adapter::awaitFlowControl(Micros from)
{
    transfer_.awaitingFlowControl = true;
    armTimer(from + settings_.stn.flowControlTimeout, &Adapter::flowControlTimedOut);
}

void Adapter::flowControlTimedOut()
{
    log_.write('#',
        transfer_.name + ": no flow control within " + std::to_string(settings_.stn.flowControlTimeout / 1000)
            + " ms after " + std::to_string(transfer_.offset) + " of " + std::to_string(transfer_.data.size())
            + " bytes: FC RX TIMEOUT");
    transferFailed("FC RX TIMEOUT");
}

void Adapter::transferFailed(const std::string &word)
{
    if (listenTimer_ != 0)
        scheduler_.cancel(listenTimer_);
    listenTimer_ = 0;
    ++listenGeneration_;
    transfer_.awaitingFlowControl = false;
    reply(word);
    becomeIdle();
}

// Frames other than the flow control awaited are not for the sending chip.
void Adapter::takeFlowControl(const CanFrame &frame)
{
    if (!transfer_.awaitingFlowControl || !flowControlSource(frame) || frame.length < 3
        || frame.data[0] >> 4 != kFlowControl)
        return;
    const std::uint8_t status = frame.data[0] & 0x0F;
    if (status == kWait) {
        log_.write('#',
            transfer_.name + ": flow status WAIT; waiting " + std::to_string(settings_.stn.flowControlTimeout / 1000)
                + " ms more");
        awaitFlowControl(scheduler_.now());
        return;
    }
    if (status != kContinueToSend) {
        log_.write('#',
            transfer_.name + ": flow status " + (status == kOverflow ? std::string("OVERFLOW") : hexValue(status, 1))
                + " after " + std::to_string(transfer_.offset) + " bytes: CAN ERROR");
        transferFailed("CAN ERROR");
        return;
    }
    transfer_.awaitingFlowControl = false;
    transfer_.blockLeft = frame.data[1];
    const Micros separation = separationMicros(frame.data[2]) + settings_.stn.addedSeparation;
    transfer_.separation = separation < kMaxSeparation ? separation : kMaxSeparation;
    sendConsecutive();
}

// The frames taken as flow control: those that match an STFFCA filter, and while no AT CRA filter is set,
// those from the header plus 8 (for a 29-bit header, its two low bytes swapped). With AT CRA set, the chip
// sees no flow control that no STFFCA filter lets through.
bool Adapter::flowControlSource(const CanFrame &frame) const
{
    for (const auto &[pattern, mask] : settings_.stn.flowControlFilters) {
        if (!frame.extended && (frame.id & mask) == (pattern & mask))
            return true;
    }
    if (!settings_.receiveFilter.empty() || frame.extended != transfer_.extended)
        return false;
    return frame.id == (transfer_.extended ? swapLowBytes(transfer_.header) : transfer_.header + 8);
}

// One Consecutive Frame; the next goes once this one has left the bus and the separation time has passed.
void Adapter::sendConsecutive()
{
    const Bytes &data = transfer_.data;
    const std::size_t missing = data.size() - transfer_.offset;
    const std::size_t taken = missing < 7 ? missing : 7;
    Bytes frame {static_cast<std::uint8_t>(kConsecutive << 4 | transfer_.sequence)};
    const auto from = data.begin() + static_cast<std::ptrdiff_t>(transfer_.offset);
    frame.insert(frame.end(), from, from + static_cast<std::ptrdiff_t>(taken));
    const Micros sent = bus_.sendFromAdapter(transferFrame(frame));
    transfer_.offset += taken;
    transfer_.sequence = static_cast<std::uint8_t>((transfer_.sequence + 1) & 0x0F);
    if (transfer_.offset >= data.size())
        transferSent(sent);
    else if (transfer_.blockLeft != 0 && --transfer_.blockLeft == 0)
        awaitFlowControl(sent);
    else
        armTimer(sent + transfer_.separation, &Adapter::sendConsecutive);
}

// The message has gone (once its last frame has left the bus at `sent`): now the replies.
void Adapter::transferSent(Micros sent)
{
    if (transfer_.listen) {
        listenFrom(sent, transfer_.wanted, transfer_.timeout);
        return;
    }
    state_ = State::Working;
    ++listenGeneration_;
    scheduler_.at(sent, [this] {
        emit(prompt());
        becomeIdle();
    });
}

} // namespace ksim
