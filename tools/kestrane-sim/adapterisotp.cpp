// What an ELS27 does with ISO 15765 by itself: automatic formatting of received messages (AT CAF1), and the
// flow control it sends for a First Frame (AT CFC1).

#include "adapter.h"

#include "eventlog.h"
#include "hex.h"

namespace ksim {

namespace {
constexpr std::uint8_t kSingle = 0x0;
constexpr std::uint8_t kFirst = 0x1;
constexpr std::uint8_t kConsecutive = 0x2;
// STP 33: ISO 15765, 11-bit identifiers, 500 kbit/s.
constexpr int kStnIsoTp = 33;
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
            id = (first.id & 0x1FFF0000) | (first.id & 0xFF) << 8 | (first.id >> 8 & 0xFF);
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

} // namespace ksim
