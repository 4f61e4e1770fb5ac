#include "isotptransport.h"

namespace {

constexpr int canFrameBytes = 8; // CAN data field
constexpr int singlePayload = 7; // bytes after the Single Frame's control byte
constexpr int firstPayload = 6; // bytes after the First Frame's two control bytes
constexpr int consecutivePayload = 7; // bytes after the Consecutive Frame's control byte
constexpr int flowControlBytes = 3; // flow status, block size, separation time
constexpr int overflow = 2; // flow status OVERFLOW: the receiver has no room for the message

// The earlier of two deadlines, -1 standing for none.
qint64 earlier(qint64 a, qint64 b)
{
    if (a < 0)
        return b;
    return b < 0 ? a : qMin(a, b);
}

} // namespace

QByteArray IsoTpTransport::headFrame(const QByteArray &payload)
{
    const int size = payload.size();
    QByteArray frame;
    if (size <= singlePayload) {
        // Single Frame: 0L and the L bytes, unpadded
        frame.reserve(size + 1);
        frame.append(char(Single << 4 | size)).append(payload);
        return frame;
    }
    // First Frame: 1 and the 12-bit length, then the first six bytes
    frame.reserve(canFrameBytes);
    frame.append(char(First << 4 | ((size >> 8) & 0x0f))).append(char(size & 0xff));
    return frame.append(payload.constData(), firstPayload);
}

QByteArray IsoTpTransport::consecutiveFrame(const QByteArray &payload, int position, int sequence)
{
    // Consecutive Frame: 2 and the sequence number, the next seven bytes, zero fill to eight
    const int take = qBound(0, payload.size() - position, consecutivePayload);
    QByteArray frame(canFrameBytes, '\0');
    frame[0] = char(Continued << 4 | (sequence & 0x0f));
    memcpy(frame.data() + 1, payload.constData() + position, size_t(take));
    return frame;
}

// 0x00-0x7F are milliseconds; 0xF1-0xF9 are 100-900 us, which the link can only time as 1 ms; the
// reserved values stand for the longest, 127 ms.
int IsoTpTransport::separationTime(const QByteArray &flowControl)
{
    if (flowControl.size() < flowControlBytes)
        return 0;
    const auto st = quint8(flowControl.at(2));
    if (st <= 0x7f)
        return st;
    return st >= 0xf1 && st <= 0xf9 ? 1 : reservedSeparationMs;
}

IsoTpTransport::Output IsoTpTransport::send(const QByteArray &payload, int replies, qint64 nowMs)
{
    cancelSend();
    Output out;
    if (payload.isEmpty())
        return out;
    if (payload.size() > maxPayload) {
        out.errors.append({Fault::TooLong,
            QStringLiteral("a message of %1 bytes is longer than ISO-TP carries (%2)")
                .arg(payload.size())
                .arg(maxPayload)});
        return out;
    }
    if (payload.size() <= singlePayload) {
        out.frames.append({headFrame(payload), replies});
        return out;
    }
    // The rest waits for the receiver's flow control, which answers the First Frame.
    m_tx = Tx::AwaitingFlowControl;
    m_txPayload = payload;
    m_txReplies = replies;
    m_txPosition = firstPayload;
    m_txSequence = 0;
    m_txWaits = 0;
    m_txResent = false;
    m_txAnswered = headFrame(payload);
    firstFrameSent(nowMs);
    out.frames.append({m_txAnswered, 1});
    return out;
}

void IsoTpTransport::firstFrameSent(qint64 nowMs)
{
    if (m_tx == Tx::AwaitingFlowControl)
        m_txDeadline = nowMs + m_timing.flowControlMs;
}

IsoTpTransport::Output IsoTpTransport::receive(const QByteArray &frame, qint64 nowMs)
{
    Output out;
    if (frame.isEmpty())
        return out;
    switch (quint8(frame.at(0)) >> 4) {
    case Single:
        receiveSingle(frame, out);
        break;
    case First:
        receiveFirst(frame, nowMs, out);
        break;
    case Continued:
        receiveConsecutive(frame, nowMs, out);
        break;
    case FlowControl:
        receiveFlowControl(frame, nowMs, out);
        break;
    default:
        ignore(QStringLiteral("frame of unknown type %1").arg(quint8(frame.at(0)) >> 4, 0, 16), out);
    }
    return out;
}

// A Single Frame does not touch a message being received. One frame printed without its padding
// is fine as long as it carries every byte it announces.
void IsoTpTransport::receiveSingle(const QByteArray &frame, Output &out)
{
    const int length = quint8(frame.at(0)) & 0x0f;
    if (length == 0 || length > singlePayload) {
        ignore(QStringLiteral("single frame announcing %1 bytes").arg(length), out);
        return;
    }
    if (frame.size() - 1 < length) {
        ignore(
            QStringLiteral("single frame carrying %1 of the %2 bytes it announces").arg(frame.size() - 1).arg(length),
            out);
        return;
    }
    out.messages.append(frame.mid(1, length));
}

void IsoTpTransport::receiveFirst(const QByteArray &frame, qint64 nowMs, Output &out)
{
    if (frame.size() != canFrameBytes) {
        ignore(QStringLiteral("first frame of %1 bytes").arg(frame.size()), out);
        return;
    }
    const int length = (quint8(frame.at(0)) & 0x0f) << 8 | quint8(frame.at(1));
    if (length <= singlePayload) {
        ignore(QStringLiteral("first frame announcing %1 bytes").arg(length), out);
        return;
    }
    // A new First Frame drops whatever was being received.
    clearReception();
    m_rx = Rx::Receiving;
    m_rxLength = length;
    m_rxData.reserve(length);
    m_rxData.append(frame.constData() + 2, frame.size() - 2);
    // The bytes after the First Frame's six, seven a frame: (length - 6) / 7 rounded up.
    m_rxFramesLeft = length / consecutivePayload;
    m_rxSequence = 1;
    m_rxDeadline = nowMs + m_timing.consecutiveMs;
    sendFlowControl(out);
}

void IsoTpTransport::receiveConsecutive(const QByteArray &frame, qint64 nowMs, Output &out)
{
    // A late frame of a message given up on, or of one that was never announced, is no message.
    if (m_rx != Rx::Receiving) {
        ignore(QStringLiteral("consecutive frame with no message under way"), out);
        return;
    }
    const int missing = m_rxLength - m_rxData.size();
    const int carried = frame.size() - 1;
    const bool last = missing <= consecutivePayload;
    if (!last && carried < consecutivePayload) {
        ignore(QStringLiteral("consecutive frame of %1 bytes before the last").arg(frame.size()), out);
        return;
    }
    const int sequence = quint8(frame.at(0)) & 0x0f;
    if (sequence != m_rxSequence) {
        failReception(Fault::WrongSequence,
            QStringLiteral("rx sequence %1, expected %2").arg(sequence, 0, 16).arg(m_rxSequence, 0, 16), out);
        return;
    }
    if (last) {
        if (carried < missing) {
            failReception(Fault::ShortMessage,
                QStringLiteral("message shorter than announced (%1 of %2 bytes)")
                    .arg(m_rxData.size() + carried)
                    .arg(m_rxLength),
                out);
            return;
        }
        // Its fill bytes are not part of the payload.
        m_rxData.append(frame.constData() + 1, missing);
        out.messages.append(m_rxData);
        clearReception();
        return;
    }
    m_rxData.append(frame.constData() + 1, consecutivePayload);
    m_rxSequence = nextSequence(m_rxSequence);
    --m_rxFramesLeft;
    if (--m_rxBlockLeft == 0)
        sendFlowControl(out);
    m_rxDeadline = nowMs + m_timing.consecutiveMs;
}

void IsoTpTransport::receiveFlowControl(const QByteArray &frame, qint64 nowMs, Output &out)
{
    if (m_tx != Tx::AwaitingFlowControl) {
        ignore(QStringLiteral("flow control with no message waiting for one"), out);
        return;
    }
    // Too short to carry a block size and a separation time: it says nothing reliable.
    if (frame.size() < flowControlBytes) {
        ignore(QStringLiteral("flow control of %1 bytes").arg(frame.size()), out);
        return;
    }
    const int status = quint8(frame.at(0)) & 0x0f;
    if (status == Wait) {
        if (++m_txWaits > maxWaits) {
            failSend(Fault::KeptWaiting, QStringLiteral("the device kept asking to wait"), out);
            return;
        }
        m_txDeadline = nowMs + m_timing.flowControlMs;
        out.listenForFlowControl = true;
        return;
    }
    if (status == overflow) {
        failSend(Fault::Overflow,
            QStringLiteral("The device cannot take a message of %1 bytes").arg(m_txPayload.size()), out);
        return;
    }
    if (status != CTS) {
        failSend(Fault::FlowAborted,
            QStringLiteral("flow control with flow status %1: the message is aborted").arg(status), out);
        return;
    }
    m_txWaits = 0;
    out.separationMs = separationTime(frame);
    sendBlock(quint8(frame.at(1)), out);
}

// The next block of Consecutive Frames (the rest of the message for block size 0). A block that
// does not end the message ends in the frame the receiver answers with its next flow control.
void IsoTpTransport::sendBlock(int blockSize, Output &out)
{
    const int size = m_txPayload.size();
    const int left = (size - m_txPosition + consecutivePayload - 1) / consecutivePayload;
    const int count = blockSize == 0 ? left : qMin(blockSize, left);
    out.frames.reserve(count);
    for (int i = 0; i < count; ++i) {
        m_txSequence = nextSequence(m_txSequence);
        const bool lastOfMessage = m_txPosition + consecutivePayload >= size;
        const int replies = lastOfMessage ? m_txReplies : (i == count - 1 ? 1 : 0);
        out.frames.append({consecutiveFrame(m_txPayload, m_txPosition, m_txSequence), replies});
        m_txPosition += consecutivePayload;
    }
    m_txAnswered = out.frames.last().bytes;
    if (m_txPosition >= size)
        cancelSend();
}

// "Continue to send" for the frames still expected, at most a block's worth, with no separation
// time; the sender waits for the next one after them.
void IsoTpTransport::sendFlowControl(Output &out)
{
    if (m_adapterFlowControl) {
        m_rxBlockLeft = m_rxFramesLeft; // the adapter answers the First Frame; no block ends before the last frame
        return;
    }
    m_rxBlockLeft = qMin(m_rxFramesLeft, maxBlockSize);
    QByteArray frame(flowControlBytes, '\0');
    frame[0] = char(FlowControl << 4 | CTS);
    frame[1] = char(m_rxBlockLeft);
    out.frames.append({frame, m_rxBlockLeft});
}

IsoTpTransport::Output IsoTpTransport::expire(qint64 nowMs)
{
    Output out;
    if (m_rx == Rx::Receiving && m_rxDeadline <= nowMs) {
        out.errors.append({Fault::BrokenOff,
            QStringLiteral("message broken off after %1 of %2 bytes: no consecutive frame within %3 ms")
                .arg(m_rxData.size())
                .arg(m_rxLength)
                .arg(m_timing.consecutiveMs)});
        clearReception();
    }
    if (m_tx == Tx::AwaitingFlowControl && m_txDeadline <= nowMs && m_txWaits > 0 && !m_txResent
        && m_txPosition == firstPayload) {
        m_txResent = true;
        m_txWaits = 0;
        m_txAnswered = headFrame(m_txPayload);
        firstFrameSent(nowMs);
        out.frames.append({m_txAnswered, untilQuiet});
        return out;
    }
    if (m_tx == Tx::AwaitingFlowControl && m_txDeadline <= nowMs) {
        out.errors.append({Fault::NoFlowControl,
            QStringLiteral("no flow control within %1 ms: the rest of the message is dropped")
                .arg(m_timing.flowControlMs)});
        cancelSend();
    }
    return out;
}

qint64 IsoTpTransport::nextDeadline() const
{
    return earlier(m_rx == Rx::Receiving ? m_rxDeadline : -1, m_tx == Tx::AwaitingFlowControl ? m_txDeadline : -1);
}

void IsoTpTransport::failSend(Fault fault, const QString &reason, Output &out)
{
    cancelSend();
    out.errors.append({fault, reason});
}

void IsoTpTransport::failReception(Fault fault, const QString &reason, Output &out)
{
    clearReception();
    out.errors.append({fault, reason});
}

void IsoTpTransport::ignore(const QString &what, Output &out)
{
    out.errors.append({Fault::Ignored, what + QStringLiteral(" ignored")});
}

void IsoTpTransport::cancelSend()
{
    m_tx = Tx::Idle;
    m_txPayload.clear();
    m_txAnswered.clear();
    m_txResent = false;
    m_txReplies = 0;
    m_txPosition = 0;
    m_txSequence = 0;
    m_txWaits = 0;
    m_txDeadline = -1;
}

void IsoTpTransport::reset()
{
    cancelSend();
    clearReception();
}

void IsoTpTransport::clearReception()
{
    m_rx = Rx::Idle;
    m_rxData.clear();
    m_rxLength = 0;
    m_rxFramesLeft = 0;
    m_rxBlockLeft = 0;
    m_rxSequence = 0;
    m_rxDeadline = -1;
}
