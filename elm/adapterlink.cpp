// The adapter link: its queues, the pump that writes one line at a time, its state, and what
// ends a line or the exchange when the adapter does not answer as it should.
#include "adapterlink.h"
#include "ratesearch.h"

#include <QTimer>
#include <cmath>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// How long the adapter may stay silent on a line beyond its own time-out: its latency, a USB
// adapter's buffering, and the answer's way over the serial wire.
constexpr qint64 answerMarginMs = 500;
// An adapter command is answered at once; the allowance is for slow clones and bridges.
constexpr qint64 commandBudgetMs = 1000;
// Listening for a frame that comes unasked ends on the client's own deadline well before this.
constexpr qint64 listenBudgetMs = 5000;
// How often an outstanding line is looked at; the deadline needs no finer grain, and a check
// costs nothing per line.
constexpr int lineWatchIntervalMs = 50;
// The vehicle's voltage, as the adapter measures it at its OBD pin 16.
const QByteArray voltageLine = "at rv\r";
// How long an adapter that was stopped at close may take to give its prompt.
constexpr int stopWaitMs = 300;

struct VoltageRequest
{
};

} // namespace

Q_DECLARE_METATYPE(VoltageRequest)

AdapterLink::AdapterLink(Client &client, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , port(new AdapterPort(this))
    , guardTimer(new QTimer(this))
    , lineWatch(new QTimer(this))
    , m_lastVoltage(std::nan(""))
{
    guardTimer->setSingleShot(true);
    guardTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
    lineWatch->setInterval(lineWatchIntervalMs);
    lastSendTime.start();
    lineClock.start();
    connect(guardTimer, &QTimer::timeout, this, &AdapterLink::sendNext);
    connect(lineWatch, &QTimer::timeout, this, &AdapterLink::checkLineDeadline);
    connect(port, &AdapterPort::aboutToClose, this, &AdapterLink::handleClosing);
    port->onReadyRead(this, &AdapterLink::readyRead);
    connect(port, &AdapterPort::failed, this, &AdapterLink::portFailed);
}

AdapterLink::~AdapterLink()
{
    if (port->isOpen()) {
        port->disconnect(this);
        resetAdapter();
    }
}

bool AdapterLink::isOpen() const
{
    return port->isOpen();
}

bool AdapterLink::lineOnWire() const
{
    switch (m_state) {
    case State::CommandSent:
    case State::CommandEchoed:
    case State::CommandAnswered:
    case State::FrameSent:
    case State::Answering:
    case State::Resending:
    case State::CountRefused:
    case State::SegmentSent:
    case State::DataPrompted:
    case State::SegmentRefused:
    case State::Listening:
    case State::Stopping:
    case State::Discarding:
        return true;
    default:
        return false;
    }
}

void AdapterLink::setState(State next)
{
    if (next == State::Closed || next == State::SettingUp)
        ++m_session;
    m_state = next;
}

// Leaves the adapter as it was found: "ATZ" resets it, bypassing the queues. An adapter still at a
// line (listening on the bus, monitoring) would take the "A" of ATZ for the character that stops
// it and the rest for a command: it is stopped first, and its prompt waited for a moment.
void AdapterLink::resetAdapter()
{
    // Read here directly: nothing of what comes is for the link any more.
    const AdapterPort::Quiet quiet(*port);
    if (lineOnWire() || monitoring) {
        trace.note(QStringLiteral("stopping the adapter before its reset"));
        writeToPort(stopCharacter());
        Wire wire {*port, trace, QDeadlineTimer(stopWaitMs)};
        QByteArray rest;
        wire.awaitAny(rest, {">"}, stopWaitMs);
    }
    lastCommand = "ATZ\r";
    trace.sent(lastCommand);
    port->write(lastCommand);
    port->flush();
    port->close();
}

void AdapterLink::close()
{
    dropVoltageRequests();
    {
        const AdapterPort::Quiet quiet(*port);
        if (port->isOpen()) {
            resetAdapter();
            monitoring = false;
        }
    }
    guardTimer->stop();
    lineWatch->stop();
    messageQueue.clear();
    commandQueue.clear();
    m_resend = QVariant();
    rxBuffer.clear();
    setState(State::Closed);
    canRetries = 0;
    lastCommand.clear();
    m_written = m_queued = Settings();
    m_client.exchangeAbandoned();
}

bool AdapterLink::attach(const QString &portName, int adapterKind)
{
    close();
    port->serial().setPortName(portName);
    if (!port->openSerial())
        return false;
    adapter = adapterKind;
    setState(State::Idle);
    return true;
}

void AdapterLink::detach()
{
    {
        const AdapterPort::Quiet quiet(*port);
        port->close();
    }
    close();
}

void AdapterLink::monitor(bool on)
{
    if (on == monitoring)
        return;
    // "ATMA" lists every frame on the bus; any character the adapter receives stops it.
    const QByteArray line = on ? "ATMA\r" : stopCharacter();
    trace.sent(line);
    port->write(line);
    port->flush();
    monitoring = on;
}

// Runs for every line both ways: looked at in place, without a lower-case copy.
bool AdapterLink::isAdapterCommand(const QByteArray &line)
{
    if (line.size() < 2)
        return false;
    // Setting bit 5 lower-cases an ASCII letter, and only 'A', 'S' and 'T' become 'a', 's', 't'.
    const char first = char(line.at(0) | 0x20);
    return (first == 'a' || first == 's') && char(line.at(1) | 0x20) == 't';
}

void AdapterLink::requestVoltage()
{
    messageQueue << QVariant::fromValue(VoltageRequest());
    if (!port->isOpen()) {
        dropVoltageRequests(); // nothing will be written: unknown, said at once
        return;
    }
    pump();
}

// Every request is answered once: the ones whose line can no longer be answered, as unknown. The
// answer comes from the event loop, not from inside close() or the handling of a reply.
void AdapterLink::dropVoltageRequests()
{
    const int voltageType = qMetaTypeId<VoltageRequest>();
    int dropped = 0;
    for (int i = messageQueue.size() - 1; i >= 0; --i) {
        if (messageQueue.at(i).userType() == voltageType) {
            messageQueue.removeAt(i);
            ++dropped;
        }
    }
    answerUnknown(dropped);
    dropExchangeVoltage();
}

void AdapterLink::dropExchangeVoltage()
{
    int dropped = int(commandQueue.removeAll(voltageLine));
    if (m_voltageOnWire) {
        m_voltageOnWire = false; // its prompt, should it come, answers nothing any more
        m_voltageAnswer.clear();
        ++dropped;
    }
    answerUnknown(dropped);
}

void AdapterLink::answerUnknown(int requests)
{
    for (int i = 0; i < requests; ++i)
        QMetaObject::invokeMethod(
            this, [this] { emit voltageRead(std::nan("")); }, Qt::QueuedConnection);
}

void AdapterLink::voltageAnswered()
{
    m_voltageOnWire = false;
    m_lastVoltage = ELM327IOBase::parseVoltage(m_voltageAnswer);
    trace.note(std::isnan(m_lastVoltage) ? QStringLiteral("voltage unknown")
                                         : QStringLiteral("voltage: %1 V").arg(m_lastVoltage, 0, 'f', 1));
    m_voltageAnswer.clear();
    emit voltageRead(m_lastVoltage);
}

// What a line sets the adapter to, in whatever spelling: the time-out, responses on or off.
bool AdapterLink::readSetting(const QByteArray &line, Settings &settings)
{
    const QByteArray compact = line.trimmed().toLower().replace(' ', "");
    bool ok = false;
    if (compact.startsWith("atst")) {
        const int units = compact.mid(4).toInt(&ok, 16);
        settings.timeoutUnits = ok ? units : -1;
        return true;
    }
    if (compact == "atr0" || compact == "atr1" || compact == "atcaf0" || compact == "atcaf1") {
        (compact.startsWith("atr") ? settings.responses : settings.formatting) = compact.endsWith('1') ? 1 : 0;
        return true;
    }
    return false;
}

// A setting written: what the adapter holds from now on, as far as it answers.
void AdapterLink::noteSetting(const QByteArray &line)
{
    if (!readSetting(line, m_written) || m_written.timeoutUnits < 0)
        return;
    if (line.trimmed().toLower().replace(' ', "").startsWith("atst"))
        adapterTimeoutMs = (m_written.timeoutUnits == 0 ? 0x32 : m_written.timeoutUnits) * 4;
}

// Every line joins the queue here, so that what the queued lines will set the adapter to is known
// when the next one is chosen.
void AdapterLink::enqueue(const QByteArray &line)
{
    if (isAdapterCommand(line))
        readSetting(line, m_queued);
    commandQueue << line;
}

// The queued lines will not be written: the adapter stays as the written ones left it.
void AdapterLink::forgetQueuedLines()
{
    commandQueue.clear();
    m_segmentData.clear();
    m_queued = m_written;
}

void AdapterLink::queueLine(const QByteArray &text)
{
    enqueue(text + '\r');
}

void AdapterLink::queueMessage(const QVariant &item)
{
    messageQueue << item;
}

// Only a line of the exchange under way stops the listening: another exchange waits for this one.
void AdapterLink::pump()
{
    if (!isBusy())
        sendNext();
    else if (m_state == State::Listening && (!commandQueue.isEmpty() || !m_client.wantsToListen()))
        stopListening();
}

void AdapterLink::stopListening()
{
    if (m_state != State::Listening)
        return;
    trace.note(QStringLiteral("stopping the listening"));
    setState(State::Stopping);
    lineClock.start();
    lineBudgetMs = commandBudgetMs + answerMarginMs;
    writeToPort(stopCharacter());
}

void AdapterLink::sendNext()
{
    for (;;) {
        // The next message waits while the one under way still waits for the device.
        const bool underWay = m_client.exchangeUnderWay();
        if (commandQueue.isEmpty() && (messageQueue.isEmpty() || underWay)) {
            if (m_client.wantsToListen() && port->isOpen() && (m_state == State::Idle || m_state == State::Pacing)) {
                writeLine("at ma\r");
                return;
            }
            // Every way in here follows the last prompt, so nothing awaits an answer; a guard wait
            // that finds the queues emptied meanwhile must not leave the link busy for good.
            if (m_state == State::Pacing)
                setState(State::Idle);
            lineWatch->stop();
            if (underWay)
                return;
            guardDelay = 0;
            emit ready();
            return;
        }
        if (!port->isOpen() || m_state == State::SettingUp || m_state == State::SetupDue)
            return;
        if (m_state == State::NeedsSetup) {
            // Not from here: this may run inside the handling of the adapter's own output.
            setState(State::SetupDue);
            QTimer::singleShot(0, this, &AdapterLink::reinitialise);
            return;
        }
        if (writeQueued())
            return;
    }
}

// Writes the next queued line, or turns the next message into lines; whether a line went out or
// a wait began.
bool AdapterLink::writeQueued()
{
    // Whole milliseconds of wall-clock time would let two writes come up to 1 ms closer than
    // the receiver's separation time; the monotonic clock is exact.
    const qint64 elapsedNs = lastSendTime.nsecsElapsed();
    if (guardDelay != 0 && guardDelay * 1000000 > elapsedNs) {
        setState(State::Pacing);
        guardTimer->start(int(guardDelay + 1 - elapsedNs / 1000000));
        return true;
    }
    if (!commandQueue.isEmpty()) {
        writeLine(commandQueue.takeFirst());
        return true;
    }
    const QVariant item = messageQueue.takeFirst();
    if (item.userType() == qMetaTypeId<VoltageRequest>()) {
        enqueue(voltageLine);
        return false;
    }
    m_exchangeItem = item;
    m_client.dispatch(item);
    // A slot of what the client reported meanwhile (a message refused) may have sent a line.
    return isBusy();
}

qint64 AdapterLink::lineBudget(const QByteArray &line) const
{
    // The adapter's own time-out ends a data line; a command is answered at once. Beyond that
    // comes the margin for latency and for the answer's way over the wire at this rate.
    const bool command = isAdapterCommand(line);
    const qint64 wireMs = portRate > 0 ? (line.size() + 64) * 10 * 1000 / portRate : 0;
    if (command && line.startsWith("at ma"))
        return listenBudgetMs;
    if (isSegmentLine(line))
        return segmentBudget(line) + answerMarginMs + wireMs;
    return (command ? commandBudgetMs : adapterTimeoutMs) + answerMarginMs + wireMs;
}

void AdapterLink::writeLine(const QByteArray &line)
{
    const bool command = isAdapterCommand(line);
    const bool listening = line == "at ma\r";
    setState(listening            ? State::Listening
            : isSegmentLine(line) ? State::SegmentSent
            : command             ? State::CommandSent
                                  : State::FrameSent);
    lastCommand = line;
    m_voltageOnWire = command && line == voltageLine;
    if (command)
        noteSetting(line);
    lineBudgetMs = lineBudget(line);
    framesOnLine = 0;
    lineClock.start();
    if (!lineWatch->isActive())
        lineWatch->start();
    writeToPort(line);
    // The separation time counts from the end of a write: a write delayed by the scheduler must
    // not bring the next one closer.
    lastSendTime.start();
    m_client.lineWritten(line);
}

// The next line is due the moment the adapter's prompt arrives, and the wire idles until it is
// out. Through QSerialPort's buffer every line would also switch the port's write notifier on
// and off again, two extra turns of the event loop per line; when nothing else waits to go out,
// the line goes straight to the descriptor instead. Whatever the descriptor does not take, and
// any failure, is left to QSerialPort, which reports a lost port as usual.
void AdapterLink::writeToPort(const QByteArray &bytes)
{
    trace.sent(bytes);
    qint64 done = 0;
#ifdef Q_OS_UNIX
    if (port->bytesToWrite() == 0 && port->handle() >= 0) {
        const ssize_t n = ::write(port->handle(), bytes.constData(), size_t(bytes.size()));
        if (n == bytes.size())
            return;
        done = qMax<ssize_t>(n, 0);
    }
#endif
    port->write(bytes.constData() + done, bytes.size() - done);
    port->flush();
}

// What is still queued for the exchange under way is of no use once it failed: the rest of a
// message's frames, the client's state. With `wholeQueue`, the messages behind it go too.
void AdapterLink::abandonExchange(bool wholeQueue)
{
    // Voltage requests are answered, as unknown, before their queue entries go.
    if (wholeQueue)
        dropVoltageRequests();
    else
        dropExchangeVoltage();
    forgetQueuedLines();
    m_resend = QVariant(); // a message refused whole is not sent again by frames after all
    if (wholeQueue)
        messageQueue.clear();
    m_client.exchangeAbandoned();
    stopListening();
}

// The line on the wire is dead: whatever it still brings, up to its prompt, is dropped.
void AdapterLink::discardLine()
{
    if (!lineOnWire() || m_state == State::Stopping || m_state == State::Discarding)
        return;
    setState(State::Discarding);
    lineClock.start();
    lineBudgetMs = qMax(lineBudgetMs, commandBudgetMs) + answerMarginMs;
}

void AdapterLink::endExchange(ELM327IOBase::ELM_ERROR code, const QString &reason)
{
    trace.note(QStringLiteral("%1: exchange abandoned").arg(reason));
    abandonExchange(false);
    discardLine();
    emit error(code, reason);
}

// A restart (a voltage dip while cranking, a crashed clone) took the adapter's settings with it.
// Nothing it says until it is set up again can be trusted, and the exchange under way is lost.
// Requests queued behind it go out once the adapter is set up again. An exchange that had already
// ended (its line given up) is not ended a second time.
void AdapterLink::adapterRestarted(const QByteArray &word)
{
    trace.note(QStringLiteral("the adapter restarted by itself (%1)").arg(QString::fromLatin1(word)));
    const bool exchangeEnded = m_state == State::Discarding || m_state == State::Stopping;
    setState(State::NeedsSetup);
    guardTimer->stop();
    lineWatch->stop();
    abandonExchange(false);
    m_written = m_queued = Settings();
    emit notice(QStringLiteral("The adapter restarted by itself (%1); it is set up again before the next request")
                    .arg(QString::fromLatin1(word)));
    if (!exchangeEnded)
        emit error(ELM327IOBase::ERR_OTHER, QStringLiteral("the adapter restarted by itself"));
    pump();
}

void AdapterLink::checkLineDeadline()
{
    if (!lineOnWire() || lineClock.elapsed() <= lineBudgetMs)
        return;
    if (m_state == State::Discarding || m_state == State::Stopping) {
        // Its prompt never came: the adapter is gone, restarting, or lost the line. A prompt
        // still to come would be taken for the next line's, so it is set up again first.
        trace.note(QStringLiteral("no prompt after %1 given up: setting the adapter up again")
                       .arg(QString::fromLatin1(lastCommand.trimmed())));
        setState(State::NeedsSetup);
        lineWatch->stop();
        m_written = m_queued = Settings();
        pump();
        return;
    }
    lineTimedOut();
}

// The adapter left a line unanswered past its own time-out. The line is given up; its answer,
// should it still come, is dropped up to its prompt before anything else is written.
void AdapterLink::lineTimedOut()
{
    const qint64 waited = lineClock.elapsed();
    const QString line = QString::fromLatin1(lastCommand.trimmed());
    trace.note(QStringLiteral("time-out: no answer to %1 within %2 ms").arg(line).arg(waited));
    const bool voltage = m_voltageOnWire;
    // Whether a setting on the wire took, nobody knows: each is said again before it is relied on.
    if (isAdapterCommand(lastCommand) && !isSegmentLine(lastCommand))
        m_written = Settings();
    abandonExchange(false);
    discardLine();
    // A voltage reading is answered as unknown; the line's failure is no request's.
    if (!voltage)
        emit error(ELM327IOBase::ERR_SILENT, QStringLiteral("no answer to '%1' within %2 ms").arg(line).arg(waited));
}

// An unplugged serial adapter and a network adapter that dropped the connection are lost alike.
void AdapterLink::portFailed(const QString &reason)
{
    trace.note(QStringLiteral("%1: closing").arg(reason));
    m_lossReason = reason;
    port->close();
}

void AdapterLink::handleClosing()
{
    dropVoltageRequests();
    rxBuffer.clear();
    guardTimer->stop();
    lineWatch->stop();
    messageQueue.clear();
    commandQueue.clear();
    m_resend = QVariant();
    m_written = m_queued = Settings();
    setState(State::Closed);
    // Whatever was under way ends with the port, not a second later on a deadline of its own.
    m_client.exchangeAbandoned();
    if (m_lossReason.isEmpty())
        m_lossReason = QStringLiteral("the port closed");
    emit disconnected();
}
