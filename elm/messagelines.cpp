// How a queued message becomes the adapter's lines: frame by frame, each frame a line of its own,
// or whole, for an STN chip that segments it itself (STPX), keeping to the device's flow control and
// answering the device's First Frames with a flow control of its own. Which of the two a link
// uses is chosen at set-up.
#include "adapterlink.h"

#include <QRegularExpression>

namespace {

// The longest command line written whole: the ELS27 family's UART buffer holds at least 511
// characters. A longer message goes by its length, its data after the adapter's "DATA>".
constexpr int lineLimit = 511;
// What an STN chip's message buffer holds: 2 KiB on an STN11xx, 4 KiB on an STN21xx or STN22xx.
constexpr int smallBuffer = 2048;
constexpr int largeBuffer = 4096;
// An STN11xx has STPX from this firmware on (major, minor and patch as one number).
constexpr int firstStpxFirmware = 40200;
constexpr int singleFramePayload = 7;
constexpr int consecutivePayload = 7;
// What an STPX message may take on the wire besides its reply's time-out, per frame: the bus time,
// and the separation time the device may ask for, up to ISO-TP's longest (127 ms); the adapter
// keeps to it and says nothing meanwhile.
constexpr qint64 frameAllowanceMs = 128;

} // namespace

AdapterLink::TransferChoice AdapterLink::chooseTransfer(
    int adapterKind, const ELM_ConnInfo &cfg, const QString &identification)
{
    if (adapterKind != ELM327IOBase::ELS27)
        return {false, 0, QStringLiteral("an %1 sends every frame itself").arg(ELM327IOBase::adapterName(adapterKind))};
    if (cfg.transfer == TransferMode::Frames)
        return {false, 0, QStringLiteral("frame by frame was chosen")};
    if (cfg.canId > 0x7ff || cfg.pcId > 0x7ff)
        return {false, 0, QStringLiteral("29-bit identifiers go frame by frame")};
    static const QRegularExpression firmware(QStringLiteral("STN(\\d)\\d{3}\\s+v(\\d+)\\.(\\d+)(?:\\.(\\d+))?"));
    const QRegularExpressionMatch found = firmware.match(identification);
    const int family = found.hasMatch() ? found.captured(1).toInt() : 0;
    // ISO-TP's First Frame announces 4095 bytes at most.
    const int limit = family >= 2 ? largeBuffer - 1 : smallBuffer;
    if (cfg.transfer == TransferMode::Segmented)
        return {true, limit, QStringLiteral("segmented transfer was chosen")};
    const int version = found.captured(2).toInt() * 10000 + found.captured(3).toInt() * 100 + found.captured(4).toInt();
    if (family == 2 || (family == 1 && version >= firstStpxFirmware))
        return {true, limit, QStringLiteral("%1 segments messages itself (STPX)").arg(identification)};
    if (family == 1)
        return {false, 0, QStringLiteral("%1 has no STPX (an STN11xx has it from v4.2.0)").arg(identification)};
    return {false, 0, QStringLiteral("%1 is no firmware known to segment messages").arg(identification)};
}

bool AdapterLink::isSegmentLine(const QByteArray &line)
{
    return line.size() >= 4 && line.left(4).toLower() == "stpx";
}

void AdapterLink::stopSegmenting(const QString &reason)
{
    if (m_framesOnly.isEmpty())
        m_framesOnly = reason;
    if (!m_segmented)
        return;
    m_segmented = false;
    m_transferReason = reason;
    trace.note(QStringLiteral("transfer: frame by frame from now on (%1)").arg(reason));
}

// The three settings go together: automatic formatting makes the Single Frame's PCI byte, the
// headers show which frames are the device's, and the adapter's flow control answers them.
void AdapterLink::queueFormatting(bool segmented)
{
    if (!m_formattingSwitched || m_queued.formatting == int(segmented))
        return;
    enqueue(segmented ? "at caf1\r" : "at caf0\r");
    enqueue(segmented ? "at h1\r" : "at h0\r");
    enqueue(segmented ? "at cfc1\r" : "at cfc0\r");
}

QByteArray AdapterLink::queueSegmented(const QByteArray &payload, int replies, int timeoutMs)
{
    queueFormatting(true);
    m_segmentData.clear();
    if (payload.size() <= singleFramePayload) {
        // A data line of the payload alone: the adapter adds the PCI byte.
        queueTimeout(timeoutMs);
        const QByteArray line = frameLine(payload, replies);
        enqueue(line);
        return line;
    }
    const QByteArray hex = payload.toHex();
    const QByteArray head = "stpx h:" + canIdentifier(config.pcId);
    const QByteArray tail = ", t:" + QByteArray::number(timeoutMs) + ", r:" + QByteArray::number(replies) + '\r';
    QByteArray line = head + ", d:" + hex + tail;
    if (line.size() > lineLimit) {
        line = head + ", l:" + QByteArray::number(payload.size()) + tail;
        m_segmentData = hex;
    }
    m_segmentBytes = payload.size();
    m_segmentTimeoutMs = timeoutMs;
    enqueue(line);
    return line;
}

// Its data's way over the serial wire as hex digits, and its frames' time on the bus, which the
// device paces.
qint64 AdapterLink::segmentAllowance(int bytes) const
{
    const qint64 frames = 1 + (bytes - 6 + consecutivePayload - 1) / consecutivePayload;
    const qint64 dataMs = portRate > 0 ? qint64(bytes) * 2 * 10 * 1000 / portRate : 0;
    return frames * frameAllowanceMs + dataMs;
}

qint64 AdapterLink::transmitAllowanceMs(int bytes) const
{
    return segments(bytes) && bytes > singleFramePayload ? segmentAllowance(bytes) : 0;
}

// The reply's time-out after the message has left the adapter.
qint64 AdapterLink::segmentBudget(const QByteArray &line) const
{
    const qint64 lineMs = portRate > 0 ? qint64(line.size()) * 10 * 1000 / portRate : 0;
    return m_segmentTimeoutMs + segmentAllowance(m_segmentBytes) + lineMs;
}

void AdapterLink::queueTimeout(int timeoutMs)
{
    // "at st" takes the reply time-out in 4 ms steps, at most ff.
    const int units = timeoutMs <= 1020 ? (timeoutMs + 3) / 4 : 0xff;
    if (units != m_queued.timeoutUnits)
        enqueue("at st " + QByteArray::number(units, 16) + '\r');
}

void AdapterLink::queueRawFrame(const QByteArray &hex)
{
    queueTimeout(1020);
    enqueue(hex + '\r');
}

// "at r0"/"at r1": an ELM327 is told whether to listen at all, so that it waits only after the
// last frame, and only when something answers it. The ELS27 goes by the count digit alone. What
// the adapter is set to already is not said again.
void AdapterLink::queueFrames(const QVector<CanFrame> &frames)
{
    if (frames.isEmpty())
        return;
    const bool responses = adapter != ELM327IOBase::ELS27;
    const int replies = frames.last().replies;
    if (responses && (frames.size() >= 2 || replies == 0) && m_queued.responses != 0)
        enqueue("at r0\r");
    for (int i = 0; i < frames.size(); ++i) {
        if (responses && i == frames.size() - 1 && replies != 0 && m_queued.responses != 1)
            enqueue("at r1\r");
        enqueue(frameLine(frames.at(i).bytes, frames.at(i).replies));
    }
}

void AdapterLink::queueFrameLine(const CanFrame &frame)
{
    enqueue(frameLine(frame.bytes, frame.replies));
}

// The frame as lower-case hex text and its carriage return, with the digit that asks the adapter
// to wait for `replies` answers. The ELS27 always takes the count (0: none); an ELM327 takes it
// too (v1.3 on), for one or more replies. An adapter that does not know the digit is driven
// without it, listening for its whole time-out.
QByteArray AdapterLink::frameLine(const QByteArray &frame, int replies) const
{
    static const char digits[] = "0123456789abcdef";
    // One hex digit: more than fifteen replies cannot be counted, only waited for.
    const bool digit = (adapter == ELM327IOBase::ELS27 || (replyCount && replies > 0)) && replies <= 15;
    QByteArray line(2 * frame.size() + (digit ? 2 : 1), Qt::Uninitialized);
    char *out = line.data();
    for (const char byte : frame) {
        *out++ = digits[quint8(byte) >> 4];
        *out++ = digits[quint8(byte) & 0x0f];
    }
    if (digit)
        *out++ = digits[replies];
    *out = '\r';
    return line;
}

QByteArray AdapterLink::canIdentifier(int id)
{
    return QByteArray::number(id, 16).rightJustified(id > 0x7ff ? 8 : 3, '0');
}
