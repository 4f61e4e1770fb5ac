#include "isotptransport.h"

namespace {

constexpr int canFrameBytes = 8; // CAN data field
constexpr int singlePayload = 7; // bytes after the Single Frame's control byte
constexpr int firstPayload = 6; // bytes after the First Frame's two control bytes
constexpr int consecutivePayload = 7; // bytes after the Consecutive Frame's control byte

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

// 0x00-0x7F are milliseconds; the rest (reserved, or 100-900 us) round up to 1 ms. A flow control
// too short to carry the byte asks for none.
int IsoTpTransport::separationTime(const QByteArray &flowControl)
{
    if (flowControl.size() < 3)
        return 0;
    const auto st = quint8(flowControl.at(2));
    return st <= 0x7f ? st : 1;
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
    firstFrameSent(nowMs);
    out.frames.append({headFrame(payload), 1});
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
    const auto pci = quint8(frame.at(0));
    switch (pci >> 4) {
    case Single:
        // A Single Frame does not touch a message being received.
        out.messages.append(frame.mid(1, pci & 0x0f));
        break;
    case First:
        receiveFirst(frame, nowMs, out);
        break;
    case Continued:
        receiveConsecutive(frame, nowMs, out);
        break;
    case FlowControl:
        receiveFlowControl(frame, out);
        break;
    default:
        protocolError(Fault::UnknownFrame, QStringLiteral("msg inv header"), out);
    }
    return out;
}

void IsoTpTransport::receiveFirst(const QByteArray &frame, qint64 nowMs, Output &out)
{
    if (frame.size() != canFrameBytes) {
        protocolError(Fault::BadFirstFrame, QStringLiteral("rx %1 of 8").arg(frame.size()), out);
        return;
    }
    const int length = (quint8(frame.at(0)) & 0x0f) << 8 | quint8(frame.at(1));
    if (length <= singlePayload) {
        protocolError(Fault::BadFirstFrame, QStringLiteral("rx first frame of %1 bytes").arg(length), out);
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
        out.errors.append({Fault::StrayFrame, QStringLiteral("consecutive frame with no message under way: dropped")});
        return;
    }
    const int sequence = quint8(frame.at(0)) & 0x0f;
    if (sequence != m_rxSequence) {
        out.errors.append({Fault::WrongSequence,
            QStringLiteral("rx sequence %1, expected %2").arg(sequence, 0, 16).arg(m_rxSequence, 0, 16)});
        clearReception();
        return;
    }
    m_rxSequence = nextSequence(m_rxSequence);
    --m_rxFramesLeft;
    --m_rxBlockLeft;
    if (m_rxData.size() + consecutivePayload < m_rxLength) {
        m_rxData.append(frame.constData() + 1, frame.size() - 1);
        if (m_rxBlockLeft == 0)
            sendFlowControl(out);
        m_rxDeadline = nowMs + m_timing.consecutiveMs;
        return;
    }
    // The last frame: its fill bytes are not part of the payload.
    m_rxData.append(frame.mid(1, qMax(0, m_rxLength - m_rxData.size())));
    out.messages.append(m_rxData.left(m_rxLength));
    clearReception();
}

void IsoTpTransport::receiveFlowControl(const QByteArray &frame, Output &out)
{
    // The adapter listens for one reply to a First Frame, so after a WAIT the receiver's next flow
    // control would come when nobody listens, or as the answer to some later line: WAIT ends the
    // message like OVERFLOW does, and a "continue to send" that follows in the same answer finds
    // nothing left to send.
    if ((quint8(frame.at(0)) & 0x0f) != CTS) {
        protocolError(Fault::FlowRefused, QStringLiteral("out-of-order message"), out);
        return;
    }
    out.separationMs = separationTime(frame);
    if (m_tx != Tx::AwaitingFlowControl)
        return;
    const int size = m_txPayload.size();
    out.frames.reserve((size - firstPayload + consecutivePayload - 1) / consecutivePayload);
    int sequence = 0;
    for (int position = firstPayload; position < size; position += consecutivePayload) {
        sequence = nextSequence(sequence);
        const bool last = position + consecutivePayload >= size;
        out.frames.append({consecutiveFrame(m_txPayload, position, sequence), last ? m_txReplies : 0});
    }
    cancelSend();
}

// "Continue to send" for the frames still expected, at most a block's worth, with no separation
// time; the sender waits for the next one after them.
void IsoTpTransport::sendFlowControl(Output &out)
{
    m_rxBlockLeft = qMin(m_rxFramesLeft, maxBlockSize);
    QByteArray frame(3, '\0');
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

void IsoTpTransport::protocolError(Fault fault, const QString &reason, Output &out)
{
    reset();
    out.errors.append({fault, reason});
}

void IsoTpTransport::cancelSend()
{
    m_tx = Tx::Idle;
    m_txPayload.clear();
    m_txReplies = 0;
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
