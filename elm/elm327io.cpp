#include "elm327io.h"

#include <QTimer>

namespace {

constexpr int maxBlockSize = 15; // one hex digit: the adapter's reply count and our block size
// How long the receiver waits for the sender's next Consecutive Frame before it drops the
// message (ISO 15765-2 N_Cr).
constexpr int consecutiveFrameTimeoutMs = 1000;

// The pause the receiver asks for between Consecutive Frames (flow control byte 2), in ms.
// 0x00-0x7F are milliseconds; the rest (reserved, or 100-900 us) round up to 1 ms.
qint64 separationTime(const QByteArray &flowControl)
{
    if (flowControl.size() < 3)
        return 0;
    const auto st = quint8(flowControl.at(2));
    return st <= 0x7f ? st : 1;
}

} // namespace

ELM327IO::ELM327IO(QObject *parent)
    : ELM327IOBase(parent)
    , rxTimer(new QTimer(this))
{
    rxTimer->setSingleShot(true);
    rxTimer->setInterval(consecutiveFrameTimeoutMs);
    connect(rxTimer, &QTimer::timeout, this, &ELM327IO::receptionTimedOut);
}

void ELM327IO::send(const ELM_Message &msg)
{
    transmit(msg);
}

void ELM327IO::write(const QByteArray &data)
{
    if (isAdapterCommand(data))
        commandQueue << data + '\r';
    else if (!data.isEmpty())
        messageQueue << QVariant(data);
    if (!busy)
        sendNext();
}

void ELM327IO::writeRAW(const QByteArray &data)
{
    ELM327IOBase::write(data);
}

// Writes the message's first frame only; the rest waits in txMessage for the receiver's flow
// control frame, which the adapter is told to wait for as the reply.
void ELM327IO::dispatch(const QVariant &item)
{
    if (item.userType() == QMetaType::QByteArray) {
        txMessage.clear();
        queueRawFrame(item.toByteArray());
        return;
    }
    txMessage = item.value<ELM_Message>(); // an ELM_BasicMessage gives an empty message
    if (txMessage.framesLeft() == 0)
        return;
    commandQueue << timeoutCommand(txMessage.timeout());
    const QByteArray frame = txMessage.nextFrame();
    const bool single = txMessage.framesLeft() == 0;
    // A single frame waits for the caller's replies, a first frame for one flow control frame.
    const int replies = single ? txMessage.replies() : 1;
    if (adapter != ELS27)
        commandQueue << (replies == 0 ? "at r0\r" : "at r1\r");
    appendFrameLine(frame, replies);
}

void ELM327IO::handleFrame(const QByteArray &frame)
{
    const auto pci = quint8(frame.at(0));
    switch (pci >> 4) {
    case Single:
        emit read(frame.mid(1, pci & 0x0f));
        break;
    case First:
        receiveFirst(frame);
        break;
    case Continued:
        receiveConsecutive(frame);
        break;
    case FlowControl:
        receiveFlowControl(frame);
        break;
    default:
        endExchange(ERR_PROTOCOL, QStringLiteral("msg inv header"));
    }
}

void ELM327IO::receiveFirst(const QByteArray &frame)
{
    if (frame.size() != 8) {
        endExchange(ERR_PROTOCOL, QStringLiteral("rx %1 of 8").arg(frame.size()));
        return;
    }
    clearReception();
    rxLength = (quint8(frame.at(0)) & 0x0f) << 8 | quint8(frame.at(1));
    rxData.reserve(rxLength);
    rxData.append(frame.mid(2));
    rxFramesTotal = rxLength / 7;
    sendFlowControl();
    rxTimer->start();
}

void ELM327IO::receiveConsecutive(const QByteArray &frame)
{
    // A late frame of a message given up on, or of one that was never announced, is no message.
    if (rxLength == 0) {
        trace.note(QStringLiteral("consecutive frame with no message under way: dropped"));
        return;
    }
    // The sequence number is not checked: the adapter delivers frames in bus order.
    ++rxFramesReceived;
    --rxBlockLeft;
    if (rxData.size() + 7 < rxLength) {
        rxData.append(frame.mid(1));
        if (rxBlockLeft == 0)
            sendFlowControl();
        rxTimer->start();
        return;
    }
    // The last frame: its fill bytes are not part of the payload.
    rxData.append(frame.mid(1, qMax(0, rxLength - rxData.size())));
    const QByteArray payload = rxData.left(rxLength);
    clearReception();
    emit read(payload);
}

void ELM327IO::receiveFlowControl(const QByteArray &frame)
{
    // The adapter listens for one reply to a First Frame, so after a WAIT the receiver's next
    // flow control would come when nobody listens, or as the answer to some later line: WAIT
    // ends the message like OVERFLOW does, and a "clear to send" that follows in the same
    // answer finds nothing left to send.
    if ((quint8(frame.at(0)) & 0x0f) != CTS) {
        endExchange(ERR_PROTOCOL, QStringLiteral("out-of-order message"));
        return;
    }
    guardDelay = separationTime(frame);
    // The block size is not honoured: the whole rest goes out at once, paced by guardDelay.
    const bool els = adapter == ELS27;
    // Responses stay off up to the last frame, and for it too when nothing answers the
    // message: the first frame left them on to catch this flow control.
    const int left = txMessage.framesLeft();
    if (!els && (left >= 2 || (left == 1 && txMessage.replies() == 0)))
        commandQueue << "at r0\r";
    while (!txMessage.atEnd()) {
        const QByteArray text = txMessage.nextFrame();
        const bool last = txMessage.atEnd();
        if (!els && last && txMessage.replies() != 0)
            commandQueue << "at r1\r";
        appendFrameLine(text, last ? txMessage.replies() : 0);
    }
    if (!busy)
        sendNext();
}

// Flow control "continue to send" for the frames still expected, at most 15, with no
// separation time; the repeated digit tells the adapter how many reply frames to wait for.
void ELM327IO::sendFlowControl()
{
    const int n = qMin(rxFramesTotal - rxFramesReceived, maxBlockSize);
    rxBlockLeft = n;
    const QByteArray digit = QByteArray::number(n, 16);
    ELM327IOBase::write("300" + digit + "00" + digit);
}

// A sender that stopped in the middle of a message (the device reset, the adapter stopped
// listening) would leave the message, and whoever waits for it, unfinished for ever.
void ELM327IO::receptionTimedOut()
{
    const int got = rxData.size();
    const int announced = rxLength;
    clearReception();
    trace.note(QStringLiteral("incomplete ISO-TP message dropped: %1 of %2 bytes").arg(got).arg(announced));
    emit error(ERR_NODATA,
        QStringLiteral("message broken off after %1 of %2 bytes: no consecutive frame within %3 ms")
            .arg(got)
            .arg(announced)
            .arg(consecutiveFrameTimeoutMs));
}

void ELM327IO::abortExchange()
{
    txMessage.clear();
    clearReception();
}

void ELM327IO::clearReception()
{
    rxTimer->stop();
    rxData.clear();
    rxLength = 0;
    rxFramesTotal = 0;
    rxFramesReceived = 0;
    rxBlockLeft = 0;
}
