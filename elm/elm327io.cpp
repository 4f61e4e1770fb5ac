#include "elm327io.h"

#include <QTimer>

namespace {

// How long the sender's next Consecutive Frame may take before a message being received is
// dropped (N_Cr).
constexpr int consecutiveFrameTimeoutMs = 1000;
// How long the message being sent waits for its flow control after the First Frame went out
// How long the adapter listens for a reply asked for again (listenForReply), as long as its longest
// time-out would keep it listening after a frame line.
constexpr int replyListenMs = 1020;
// (N_Bs): longer than the link waits for the First Frame's line (the adapter's longest time-out,
// "at st ff", and half a second for the answer's way), which reports the line failing first
// ("NO DATA", or its time-out). This only keeps the rest of the message from going out after a
// flow control that comes later still.
constexpr int flowControlTimeoutMs = 2000;

} // namespace

ELM327IO::ELM327IO(QObject *parent)
    : ELM327IOBase(parent)
    , m_transport({flowControlTimeoutMs, consecutiveFrameTimeoutMs})
    , m_deadline(new QTimer(this))
    , m_replyWait(new QTimer(this))
    , m_link(*this, this)
{
    m_replyWait->setSingleShot(true);
    m_replyWait->setInterval(replyListenMs);
    // Nothing came: as an adapter's "NO DATA" would say after a frame line.
    connect(m_replyWait, &QTimer::timeout, this, [this] {
        if (m_transport.receiving()) { // its rest is under way, on a deadline of its own
            m_replyWait->start();
            return;
        }
        m_awaitingReply = false;
        if (m_link.strictMode())
            m_link.endExchange(ERR_NODATA, QStringLiteral("trasport error no data"));
        else
            m_link.pump();
    });
    m_clock.start();
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] { apply(m_transport.expire(now())); });
    connect(&m_link, &AdapterLink::connected, this, &ELM327IOBase::connected);
    connect(&m_link, &AdapterLink::disconnected, this, &ELM327IOBase::disconnected);
    connect(&m_link, &AdapterLink::ready, this, &ELM327IOBase::ready);
    connect(&m_link, &AdapterLink::notice, this, &ELM327IOBase::notice);
    connect(&m_link, &AdapterLink::error, this, &ELM327IOBase::error);
    connect(&m_link, &AdapterLink::voltageRead, this, &ELM327IOBase::voltageRead);
}

bool ELM327IO::setup(const ELM_ConnInfo &cfg, bool adaptive_timing)
{
    return m_link.setup(cfg, adaptive_timing);
}

void ELM327IO::send(const ELM_Message &msg)
{
    transmit(msg);
}

void ELM327IO::write(const QByteArray &data)
{
    if (AdapterLink::isAdapterCommand(data))
        m_link.queueLine(data);
    else if (!data.isEmpty())
        m_link.queueMessage(QVariant(data));
    m_link.pump();
}

void ELM327IO::writeRAW(const QByteArray &data)
{
    // A frame line is a frame only while the adapter adds nothing to it.
    if (!AdapterLink::isAdapterCommand(data))
        m_link.queueFormatting(false);
    m_link.queueLine(data);
    m_link.pump();
}

void ELM327IO::writeHEX(const QByteArray &data)
{
    m_link.queueMessage(QVariant(data.toHex().toUpper()));
    m_link.pump();
}

void ELM327IO::transmit(const ELM_BasicMessage &msg)
{
    if (!msg.data().isEmpty()) {
        // The queue copies by meta-type, so the copy has to be made as the message's own type.
        if (const auto *iso = qobject_cast<const ELM_Message *>(&msg))
            m_link.queueMessage(QVariant::fromValue(*iso));
        else
            m_link.queueMessage(QVariant::fromValue(msg));
    }
    m_link.pump();
}

// A message's first frame goes out with the time-out the adapter waits for its answer; the rest
// waits in the transport for the receiver's flow control, which the adapter is told to wait for.
void ELM327IO::dispatch(const QVariant &item)
{
    m_awaitingReply = false;
    m_replyWait->stop();
    m_unwritten.clear();
    if (item.userType() == QMetaType::QByteArray) {
        // A raw frame of the caller's own: the message waiting for a flow control has had its turn.
        m_transport.cancelSend();
        m_transport.setAdapterFlowControl(false);
        armDeadline();
        m_link.queueFormatting(false);
        m_link.queueRawFrame(item.toByteArray());
        return;
    }
    const ELM_Message msg = item.value<ELM_Message>(); // an ELM_BasicMessage gives an empty message
    // The adapter frames the message and answers the device's First Frames itself.
    const bool segmented = m_link.segments(msg.data().size());
    m_transport.setAdapterFlowControl(segmented);
    if (segmented) {
        m_transport.cancelSend();
        m_unwritten = msg.data();
        m_link.queueSegmented(msg.data(), msg.replies(), msg.timeout());
        armDeadline();
        return;
    }
    m_link.queueFormatting(false);
    const IsoTpTransport::Output out = m_transport.send(msg.data(), msg.replies(), now());
    for (const IsoTpTransport::Error &fault : out.errors)
        report(fault);
    if (!out.frames.isEmpty()) {
        m_unwritten = msg.data();
        m_link.queueTimeout(msg.timeout());
        m_link.queueFrames(out.frames);
    }
    armDeadline();
}

void ELM327IO::frameReceived(const QByteArray &frame)
{
    apply(m_transport.receive(frame, now()));
}

void ELM327IO::lineWritten(const QByteArray &line)
{
    // The adapter's settings go before a message; its own first line is a frame, or the STPX.
    if (!m_unwritten.isNull() && (!AdapterLink::isAdapterCommand(line) || AdapterLink::isSegmentLine(line))) {
        const QByteArray payload = m_unwritten;
        m_unwritten = QByteArray();
        emit requestWritten(payload);
    }
    emit lineSent(line);
    if (m_awaitingReply && line == "at ma\r")
        m_replyWait->start();
    // The wait for the flow control starts once the frame it answers is out (the First Frame, a
    // block's last frame), and again with each resend of it; no other line restarts it.
    if (m_transport.awaitsFlowControl() && line.startsWith(m_transport.flowControlAnswers().toHex())) {
        m_transport.firstFrameSent(now());
        armDeadline();
    }
}

void ELM327IO::listenForReply()
{
    m_awaitingReply = true;
    m_link.pump();
}

void ELM327IO::exchangeAbandoned()
{
    m_awaitingReply = false;
    m_replyWait->stop();
    m_unwritten = QByteArray();
    m_transport.reset();
    m_listening = false;
    m_deadline->stop();
}

// What the transport gave back for a frame received or a deadline passed.
void ELM327IO::apply(const IsoTpTransport::Output &out)
{
    for (const IsoTpTransport::Error &fault : out.errors)
        report(fault);
    if (out.separationMs >= 0)
        m_link.setGuardDelay(out.separationMs);
    if (!out.frames.isEmpty()) {
        m_listening = false; // whatever was listened for has come
        const CanFrame &first = out.frames.first();
        // Our flow control goes as a line of its own; the adapter still listens, as the request's
        // last line left it.
        if (quint8(first.bytes.at(0)) >> 4 == IsoTpTransport::FlowControl)
            m_link.queueFrameLine(first);
        else
            m_link.queueFrames(out.frames);
    }
    // The device asked to wait: its next flow control comes unasked, after the answer on the wire.
    if (out.listenForFlowControl)
        m_listening = true;
    if (!out.messages.isEmpty()) {
        m_awaitingReply = false;
        m_replyWait->stop();
    }
    armDeadline();
    // What the exchange now needs, or the next one once this one has ended.
    m_link.pump();
    for (const QByteArray &message : out.messages)
        emit read(message);
}

void ELM327IO::report(const IsoTpTransport::Error &fault)
{
    switch (fault.fault) {
    case IsoTpTransport::Fault::Ignored:
        m_link.note(fault.reason);
        return;
    case IsoTpTransport::Fault::BrokenOff:
    case IsoTpTransport::Fault::WrongSequence:
    case IsoTpTransport::Fault::NoFlowControl:
        // A sender that stopped in the middle of a message (the device reset, the adapter stopped
        // listening), a frame of it lost on the way, a flow control that never came: the message
        // is lost as a reply that never came is, and the worker may ask again.
        m_link.endExchange(ERR_NODATA, fault.reason);
        return;
    case IsoTpTransport::Fault::Overflow:
        m_link.endExchange(ERR_REFUSED, fault.reason);
        return;
    default:
        m_link.endExchange(ERR_PROTOCOL, fault.reason);
    }
}

void ELM327IO::armDeadline()
{
    const qint64 due = m_transport.nextDeadline();
    if (due < 0)
        m_deadline->stop();
    else
        m_deadline->start(int(qMax<qint64>(0, due - now())));
}
