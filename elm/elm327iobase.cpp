#include "elm327iobase.h"

#include "transferoutcome.h"

#include <QTimer>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int canRetryLimit = 4; // resends of one line after "can error" before giving up

// How long the adapter may stay silent on a line beyond its own time-out: its latency, a USB
// adapter's buffering, and the answer's way over the serial wire.
constexpr qint64 answerMarginMs = 500;
// An adapter command is answered at once; the allowance is for slow clones.
constexpr qint64 commandBudgetMs = 1000;
// How often an outstanding line is looked at; the deadline needs no finer grain, and a check
// costs nothing per line.
constexpr int lineWatchIntervalMs = 50;
// A line the adapter keeps adding to without ever ending it is noise, not an answer.
constexpr int longestLine = 4096;

// Queued calls name these types in their signatures, so they must be known by name before the
// first such call; the ids themselves are cached by qMetaTypeId.
void registerLinkTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<ELM_ConnInfo>();
        qRegisterMetaType<ELM_BasicMessage>();
        qRegisterMetaType<ELM_Message>();
        qRegisterMetaType<ELM327IOBase::ELM_ERROR>();
        qRegisterMetaType<ELM327IOBase::Adapter>();
        qRegisterMetaType<TransferOutcome>();
        return true;
    }();
    Q_UNUSED(registered)
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The number of hexadecimal digits of a frame line (its carriage return aside), or -1 when the
// line holds anything else.
int isHexLine(const QByteArray &line)
{
    int digits = 0;
    for (const char c : line) {
        if (isHexDigit(c))
            ++digits;
        else if (c != '\r' && c != ' ')
            return -1;
    }
    return digits;
}

// Two lines say the same when they differ only in letter case and spaces: an adapter echoes a
// line as it received it, and may add spaces between the bytes of a frame.
bool sameLine(const QByteArray &received, const QByteArray &written)
{
    int i = 0;
    int j = 0;
    const auto skip = [](const QByteArray &s, int &k) {
        while (k < s.size() && (s.at(k) == ' ' || s.at(k) == '\r' || s.at(k) == '\n'))
            ++k;
    };
    for (;;) {
        skip(received, i);
        skip(written, j);
        if (i == received.size() || j == written.size())
            return i == received.size() && j == written.size();
        if (QChar::toLower(uint(received.at(i))) != QChar::toLower(uint(written.at(j))))
            return false;
        ++i;
        ++j;
    }
}

// The answer of a line written after a restart names the adapter; the same text arriving
// unasked means it has restarted by itself.
bool isIdentification(const QByteArray &word)
{
    return word.contains("ELM327") || word.startsWith("STN");
}

bool asksForIdentity(const QByteArray &line)
{
    QByteArray compact = line.toLower();
    compact.replace(' ', "");
    compact.replace('\r', "");
    return compact == "ati" || compact == "atz" || compact == "atws" || compact == "sti" || compact == "at@1";
}

} // namespace

ELM327IOBase::ELM327IOBase(QObject *parent)
    : QObject(parent)
    , port(new QSerialPort(this))
    , guardTimer(new QTimer(this))
    , lineWatch(new QTimer(this))
{
    registerLinkTypes();
    guardTimer->setSingleShot(true);
    guardTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
    lineWatch->setInterval(lineWatchIntervalMs);
    lastSendTime.start();
    lineActivity.start();
    connect(guardTimer, &QTimer::timeout, this, &ELM327IOBase::sendNext);
    connect(lineWatch, &QTimer::timeout, this, &ELM327IOBase::checkLineDeadline);
    connect(port, &QSerialPort::aboutToClose, this, &ELM327IOBase::handleClosing);
    connect(port, &QSerialPort::readyRead, this, &ELM327IOBase::readyRead);
    connect(port, &QSerialPort::errorOccurred, this, &ELM327IOBase::errorOccurred);
}

ELM327IOBase::~ELM327IOBase()
{
    if (port->isOpen()) {
        port->disconnect(this);
        resetAdapter();
    }
}

bool ELM327IOBase::isOpen() const
{
    return port->isOpen();
}

// Leaves the adapter as it was found: "ATZ" resets it, bypassing the queues.
void ELM327IOBase::resetAdapter()
{
    lastCommand = "ATZ\r";
    trace.sent(lastCommand);
    port->write(lastCommand);
    port->flush();
    port->close();
}

void ELM327IOBase::close()
{
    {
        const QSignalBlocker quiet(port);
        if (port->isOpen()) {
            resetAdapter();
            monitoring = false;
        }
    }
    guardTimer->stop();
    lineWatch->stop();
    messageQueue.clear();
    commandQueue.clear();
    rxBuffer.clear();
    busy = false;
    lineInFlight = false;
    commandPending = false;
    canRetries = 0;
    lastCommand.clear();
    initialising = false;
    needsSetup = false;
    ++inputGeneration;
    abortExchange();
}

void ELM327IOBase::write(const QByteArray &data)
{
    commandQueue << data + '\r';
    if (!busy)
        sendNext();
}

void ELM327IOBase::writeHEX(const QByteArray &data)
{
    messageQueue << QVariant(data.toHex().toUpper());
    if (!busy)
        sendNext();
}

void ELM327IOBase::transmit(const ELM_BasicMessage &msg)
{
    if (!msg.data().isEmpty()) {
        // The queue copies by meta-type, so the copy has to be made as the message's own type.
        if (const auto *iso = qobject_cast<const ELM_Message *>(&msg))
            messageQueue << QVariant::fromValue(*iso);
        else
            messageQueue << QVariant::fromValue(msg);
    }
    if (!busy)
        sendNext();
}

void ELM327IOBase::monitor(bool on)
{
    if (on == monitoring)
        return;
    // "ATMA" lists every frame on the bus; any character the adapter receives stops it.
    const QByteArray line = on ? "ATMA\r" : "\r";
    trace.sent(line);
    port->write(line);
    port->flush();
    monitoring = on;
}

bool ELM327IOBase::isAdapterCommand(const QByteArray &line)
{
    const QByteArray head = line.left(2).toLower();
    return head == "at" || head == "st";
}

QByteArray ELM327IOBase::timeoutCommand(int timeoutMs)
{
    // "at st" takes the reply time-out in 4 ms steps, at most ff.
    const int units = timeoutMs <= 1020 ? (timeoutMs + 3) / 4 : 0xff;
    return "at st " + QByteArray::number(units, 16) + '\r';
}

void ELM327IOBase::queueRawFrame(const QByteArray &hex)
{
    // The longest time-out: a raw frame carries no idea of how long its answer takes.
    commandQueue << "at st ff\r" << hex + '\r';
}

void ELM327IOBase::sendNext()
{
    for (;;) {
        if (messageQueue.isEmpty() && commandQueue.isEmpty()) {
            if (initialising && finishInitialisation())
                continue;
            // Every way in here follows the last prompt, so nothing awaits an answer; a guard wait
            // that finds the queues emptied meanwhile must not leave the driver busy for good.
            busy = false;
            guardDelay = 0;
            lineWatch->stop();
            emit ready();
            return;
        }
        if (!port->isOpen())
            return;
        if (needsSetup) {
            // Not from here: this may run inside the handling of the adapter's own output.
            if (!setupScheduled) {
                setupScheduled = true;
                QTimer::singleShot(0, this, &ELM327IOBase::reinitialise);
            }
            return;
        }
        // Whole milliseconds of wall-clock time would let two writes come up to 1 ms closer than
        // the receiver's separation time; the monotonic clock is exact.
        const qint64 elapsedNs = lastSendTime.nsecsElapsed();
        if (guardDelay != 0 && guardDelay * 1000000 > elapsedNs) {
            busy = true;
            guardTimer->start(int(guardDelay + 1 - elapsedNs / 1000000));
            return;
        }
        if (!commandQueue.isEmpty()) {
            writeLine(commandQueue.takeFirst());
            return;
        }
        dispatch(messageQueue.takeFirst());
    }
}

// The adapter may echo the initialisation's "at e0" away and still echo: some clones do. The
// line is sent once more; either way the echoes are recognised and dropped from then on.
bool ELM327IOBase::finishInitialisation()
{
    if (echoStillOn && !echoRepeated) {
        echoRepeated = true;
        echoStillOn = false;
        echoOffAnswered = false;
        trace.note(QStringLiteral("echo still on after at e0: sending it again"));
        emit notice(QStringLiteral("The adapter still echoes after 'at e0'; turning its echo off again"));
        commandQueue << "at e0\r";
        return true;
    }
    initialising = false;
    return false;
}

void ELM327IOBase::writeLine(const QByteArray &line)
{
    const bool command = isAdapterCommand(line);
    commandPending = command;
    busy = true;
    lineInFlight = true;
    echoPending = true;
    replySeen = false;
    canErrorOnLine = false;
    countDigitOnLine = !command && isHexLine(line) % 2 == 1;
    lastCommand = line;
    if (command && line.startsWith("at st ")) {
        bool ok = false;
        const int units = line.mid(6).trimmed().toInt(&ok, 16);
        if (ok)
            adapterTimeoutMs = (units == 0 ? 0x32 : units) * 4;
    }
    // The adapter's own time-out ends a data line; a command is answered at once. Beyond that
    // comes the margin for latency and for the answer's way over the wire at this rate.
    const qint64 wireMs = portRate > 0 ? (line.size() + 64) * 10 * 1000 / portRate : 0;
    lineBudgetMs = (command ? commandBudgetMs : adapterTimeoutMs) + answerMarginMs + wireMs;
    lineActivity.start();
    if (!lineWatch->isActive())
        lineWatch->start();
    writeToPort(line);
    // The separation time counts from the end of a write: a write delayed by the scheduler must
    // not bring the next one closer.
    lastSendTime.start();
    emit lineSent(line);
}

// The next line is due the moment the adapter's prompt arrives, and the wire idles until it is
// out. Through QSerialPort's buffer every line would also switch the port's write notifier on
// and off again, two extra turns of the event loop per line; when nothing else waits to go out,
// the line goes straight to the descriptor instead. Whatever the descriptor does not take, and
// any failure, is left to QSerialPort, which reports a lost port as usual.
void ELM327IOBase::writeToPort(const QByteArray &bytes)
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

void ELM327IOBase::dispatch(const QVariant &item)
{
    if (item.userType() == QMetaType::QByteArray) {
        queueRawFrame(item.toByteArray());
    } else if (item.userType() == qMetaTypeId<ELM_Message>()) {
        ELM_Message msg = item.value<ELM_Message>();
        sendFrames(msg);
    } else if (item.userType() == qMetaTypeId<ELM_BasicMessage>()) {
        ELM_BasicMessage msg = item.value<ELM_BasicMessage>();
        sendFrames(msg);
    }
}

void ELM327IOBase::sendFrames(ELM_BasicMessage &msg)
{
    commandQueue << timeoutCommand(msg.timeout());
    // "at r0"/"at r1": responses off/on, so the adapter waits for replies only after the last frame.
    const int frames = msg.framesLeft();
    if (adapter != ELS27 && (frames >= 2 || (frames == 1 && msg.replies() == 0)))
        commandQueue << "at r0\r";
    while (!msg.atEnd()) {
        const QByteArray frame = msg.nextFrame();
        if (adapter != ELS27 && msg.atEnd() && msg.replies() != 0)
            commandQueue << "at r1\r";
        appendFrameLine(frame, msg.atEnd() ? msg.replies() : 0);
    }
}

void ELM327IOBase::appendFrameLine(const QByteArray &frame, int replies)
{
    const bool digit = adapter == ELS27 || (replyCount && replies > 0);
    // One hex digit: more than fifteen replies cannot be counted, only waited for.
    if (digit && replies <= 15)
        commandQueue << frame + QByteArray::number(replies, 16) + '\r';
    else
        commandQueue << frame + '\r';
}

void ELM327IOBase::readyRead()
{
    // A receiver of what a line brings may run a nested event loop (a modal box). The port does
    // not announce again what arrives meanwhile, so look once more until nothing is left: the
    // prompt that frees the link may be among it.
    do {
        takeInput(port->readAll());
    } while (port->isOpen() && port->bytesAvailable() > 0);
    if (!busy)
        sendNext();
}

// The adapter's output in the order it came: each complete line, and each prompt (">", which
// the adapter sends without a carriage return), is dealt with as it comes; the rest of a line
// waits for the next bytes.
void ELM327IOBase::takeInput(const QByteArray &bytes)
{
    trace.received(bytes);
    rxBuffer += bytes;
    const int generation = inputGeneration;
    int start = 0;
    while (start < rxBuffer.size() && generation == inputGeneration) {
        const char first = rxBuffer.at(start);
        if (first == '\n' || first == '\r') { // line feeds of an adapter that ignored "at l0"
            ++start;
            continue;
        }
        if (first == '>') {
            ++start;
            promptReceived();
            continue;
        }
        const int cr = rxBuffer.indexOf('\r', start);
        if (cr < 0)
            break;
        const QByteArray line = rxBuffer.mid(start, cr - start);
        start = cr + 1;
        handleLine(line);
    }
    // Something reset the link while its output was being read: what is left is stale.
    if (generation != inputGeneration)
        return;
    rxBuffer.remove(0, start);
    if (rxBuffer.size() > longestLine) {
        trace.note(QStringLiteral("dropped %1 bytes without a line end").arg(rxBuffer.size()));
        rxBuffer.clear();
    }
}

// The adapter is ready for the next line. A prompt that answers nothing, or comes before an
// adapter command's answer, belongs to an earlier exchange and must not end this one.
void ELM327IOBase::promptReceived()
{
    if (!lineInFlight) {
        trace.note(QStringLiteral("prompt with no line on the wire: ignored"));
        return;
    }
    if (commandPending && !replySeen) {
        trace.note(QStringLiteral("prompt before the answer to %1: stale, ignored")
                       .arg(QString::fromLatin1(lastCommand.trimmed())));
        return;
    }
    lineInFlight = false;
    busy = false;
    commandPending = false;
    // Only errors of the same line in a row count towards giving up.
    if (!canErrorOnLine)
        canRetries = 0;
    if (initialising && sameLine(lastCommand, "at e0"))
        echoOffAnswered = true;
}

ELM327IOBase::Word ELM327IOBase::classify(const QByteArray &line)
{
    // The common case first and cheaply: hexadecimal digits, perhaps with spaces, are a frame.
    int digits = 0;
    bool hexOnly = true;
    for (const char c : line) {
        if (isHexDigit(c))
            ++digits;
        else if (c != ' ')
            hexOnly = false;
    }
    if (hexOnly && digits > 0)
        return digits % 2 == 0 ? Word::Frame : Word::NonHex;

    const QByteArray word = line.trimmed().toUpper();
    if (word == "OK")
        return Word::Ok;
    if (word == "NO DATA")
        return Word::NoData;
    if (word == "STOPPED")
        return Word::Stopped;
    if (word == "CAN ERROR")
        return Word::CanError;
    if (word == "SEARCHING...")
        return Word::Searching;
    if (word == "LV RESET" || isIdentification(word))
        return Word::Restart;
    static const QByteArray failures[]
        = {"BUFFER FULL", "BUS BUSY", "BUS ERROR", "DATA ERROR", "FB ERROR", "UNABLE TO CONNECT", "ACT ALERT"};
    for (const QByteArray &failure : failures)
        if (word == failure)
            return Word::Failure;
    // "<DATA ERROR" and "<RX ERROR" follow the damaged frame on the same line.
    if (word.contains("<DATA ERROR") || word.contains("<RX ERROR"))
        return Word::Failure;
    // "ERR" and two digits: an internal error of the adapter.
    if (word.size() >= 5 && word.startsWith("ERR") && word.mid(3).trimmed().size() == 2
        && isHexDigit(word.mid(3).trimmed().at(0)) && isHexDigit(word.mid(3).trimmed().at(1)))
        return Word::Failure;
    return Word::NonHex;
}

void ELM327IOBase::handleLine(const QByteArray &line)
{
    if (lineInFlight)
        lineActivity.start(); // the adapter is alive: its own time-out restarts with every answer
    // An echo is the first thing to come back for a line, if it comes at all; an equal line
    // later is a real answer.
    const bool echo = echoPending && sameLine(line, lastCommand);
    echoPending = false;
    if (echo) {
        trace.note(QStringLiteral("echo dropped"));
        if (initialising && echoOffAnswered)
            echoStillOn = true;
        return;
    }
    const Word word = classify(line);
    // The echo of some command; "STOPPED" and an "STN..." identification only look like one.
    if (word == Word::NonHex && isAdapterCommand(line.trimmed()))
        return;
    if (word == Word::Restart && !(commandPending && asksForIdentity(lastCommand))) {
        adapterRestarted(line.trimmed());
        return;
    }
    if (commandPending) {
        // Identification texts, "?" and the like answer a command too; only "OK" is looked for.
        replySeen = true;
        if (line.trimmed().left(2).toLower() == "ok")
            commandPending = false;
        return;
    }
    switch (word) {
    case Word::Ok:
    case Word::Restart:
        return;
    case Word::NoData:
    case Word::Stopped:
        if (m_strictMode)
            emit error(word == Word::NoData ? ERR_NODATA : ERR_STOPPED,
                QStringLiteral("trasport error %1").arg(QString::fromLatin1(line.trimmed().toLower())));
        return;
    case Word::CanError:
        handleCanError();
        return;
    case Word::Searching: // the adapter looks for the bus protocol; its answer follows
        return;
    case Word::Failure: {
        const QString word = QString::fromLatin1(line.trimmed());
        endExchange(ERR_OTHER, QStringLiteral("the adapter reports %1").arg(word));
        return;
    }
    case Word::NonHex:
        if (countDigitOnLine && adapter != ELS27 && line.trimmed() == "?") {
            dropReplyCount();
            return;
        }
        endExchange(ERR_PROTOCOL, QStringLiteral("non-hex reply"));
        return;
    case Word::Frame:
        break;
    }
    canRetries = 0;
    handleFrame(QByteArray::fromHex(line));
}

// "?" to a frame line with a reply count: this adapter does not know the digit. The line goes
// again without it, and so does every line after it; the adapter then listens for its whole
// time-out after each answer, which is slower but works.
void ELM327IOBase::dropReplyCount()
{
    replyCount = false;
    countDigitOnLine = false;
    QByteArray line = lastCommand.trimmed();
    line.chop(1);
    trace.note(QStringLiteral("the adapter does not know the reply count: resending without it"));
    emit notice(QStringLiteral("The adapter does not take a reply count; it is driven without one (slower)"));
    commandQueue.prepend(line + '\r');
}

// The adapter could not put the frame on the bus; the line is written again a few times
// before the whole exchange is given up.
void ELM327IOBase::handleCanError()
{
    canErrorOnLine = true;
    if (!lastCommand.isEmpty() && ++canRetries <= canRetryLimit) {
        trace.note(QStringLiteral("CAN error: resending the line (%1 of %2)").arg(canRetries).arg(canRetryLimit));
        commandQueue.prepend(lastCommand);
        return;
    }
    canRetries = 0;
    abandonExchange(true);
    emit error(ERR_CANERR, QStringLiteral("CAN error. Retries exhausted"));
}

// What is still queued for the exchange under way is of no use once it failed: the rest of a
// message's frames, the transport's state. With `wholeQueue`, the messages behind it go too.
void ELM327IOBase::abandonExchange(bool wholeQueue)
{
    commandQueue.clear();
    if (wholeQueue)
        messageQueue.clear();
    abortExchange();
}

void ELM327IOBase::endExchange(ELM_ERROR code, const QString &reason)
{
    trace.note(QStringLiteral("%1: exchange abandoned").arg(reason));
    // The initialisation's own lines are no exchange: the adapter still needs them.
    if (initialising)
        abortExchange();
    else
        abandonExchange(false);
    emit error(code, reason);
}

// A restart (a voltage dip while cranking, a crashed clone) took the adapter's settings with it.
// Nothing it says until it is set up again can be trusted, and the exchange under way is lost.
void ELM327IOBase::adapterRestarted(const QByteArray &word)
{
    if (needsSetup)
        return;
    trace.note(QStringLiteral("the adapter restarted by itself (%1)").arg(QString::fromLatin1(word)));
    needsSetup = true;
    lineInFlight = false;
    busy = false;
    commandPending = false;
    guardTimer->stop();
    lineWatch->stop();
    abandonExchange(true);
    emit notice(QStringLiteral("The adapter restarted by itself (%1); it is set up again before the next request")
                    .arg(QString::fromLatin1(word)));
    emit error(ERR_OTHER, QStringLiteral("the adapter restarted by itself"));
}

void ELM327IOBase::checkLineDeadline()
{
    if (lineInFlight && lineActivity.elapsed() > lineBudgetMs)
        lineTimedOut();
}

// The adapter left a line unanswered past its own time-out: it is gone, restarting, or lost
// the line. Its prompt, should it still come, would be taken for the next line's, so the
// adapter is set up again before anything else is written.
void ELM327IOBase::lineTimedOut()
{
    const qint64 waited = lineActivity.elapsed();
    trace.note(QStringLiteral("time-out: no answer to %1 within %2 ms")
                   .arg(QString::fromLatin1(lastCommand.trimmed()))
                   .arg(waited));
    lineInFlight = false;
    busy = false;
    commandPending = false;
    lineWatch->stop();
    needsSetup = true;
    abandonExchange(false);
    emit error(ERR_NODATA, QStringLiteral("the adapter did not answer within %1 ms").arg(waited));
    if (!busy)
        sendNext();
}

void ELM327IOBase::handleFrame(const QByteArray &frame)
{
    emit read(frame);
}

void ELM327IOBase::errorOccurred(QSerialPort::SerialPortError error)
{
    // open() and clearError() report NoError through the same signal; that is no failure.
    if (error != QSerialPort::NoError && port->isOpen()) {
        trace.note(QStringLiteral("serial port error %1: closing").arg(int(error)));
        port->close();
    }
}

void ELM327IOBase::handleClosing()
{
    rxBuffer.clear();
    ++inputGeneration;
    lineInFlight = false;
    lineWatch->stop();
    emit disconnected();
}
