// Reading the adapter's output: lines and prompts, echoes, the adapter's words, frames, and what
// each one means for the line on the wire.
#include "adapterlink.h"

#include <QTimer>
#include <algorithm>

namespace {

constexpr int canRetryLimit = 4; // resends of one line after "can error" before giving up
// The frames of one line's reply that each give the line the adapter's time-out again: more than a
// block of the longest reply. A port that goes on printing frames beyond them is not answering.
constexpr int extendingFrames = 64;
// A line the adapter keeps adding to without ever ending it is noise, not an answer.
constexpr int longestLine = 4096;

// A control byte that is no line end: a NUL some bridges send, noise.
bool isStray(char c)
{
    return quint8(c) < 0x20 && c != '\r' && c != '\n';
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

void AdapterLink::readyRead()
{
    // A receiver of what a line brings may run a nested event loop (a modal box). The port does
    // not announce again what arrives meanwhile, so look once more until nothing is left: the
    // prompt that frees the link may be among it.
    do {
        takeInput(port->readAll());
    } while (port->isOpen() && port->bytesAvailable() > 0);
    pump();
}

void AdapterLink::dropStrayBytes(QByteArray &bytes)
{
    // Nearly always there is none: looked for before anything is copied.
    if (std::none_of(bytes.cbegin(), bytes.cend(), isStray))
        return;
    bytes.truncate(int(std::remove_if(bytes.begin(), bytes.end(), isStray) - bytes.begin()));
}

// The adapter's output in the order it came: each complete line, and each prompt (">", which
// the adapter sends without a carriage return), is dealt with as it comes; the rest of a line
// waits for the next bytes. Control bytes other than line ends are no part of anything.
void AdapterLink::takeInput(const QByteArray &bytes)
{
    trace.received(bytes);
    if (std::none_of(bytes.cbegin(), bytes.cend(), isStray)) {
        rxBuffer += bytes;
    } else {
        QByteArray clean = bytes;
        dropStrayBytes(clean);
        rxBuffer += clean;
    }
    const int session = m_session;
    int start = 0;
    while (start < rxBuffer.size() && session == m_session) {
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
        const int prompt = rxBuffer.indexOf('>', start);
        // A prompt with no line end before it ends the line it follows.
        const int end = prompt >= 0 && (cr < 0 || prompt < cr) ? prompt : cr;
        if (end < 0)
            break;
        const QByteArray line = rxBuffer.mid(start, end - start);
        start = end == cr ? end + 1 : end;
        handleLine(line);
    }
    // Something reset the link while its output was being read: what is left is stale.
    if (session != m_session)
        return;
    rxBuffer.remove(0, start);
    if (rxBuffer.size() > longestLine) {
        trace.note(QStringLiteral("dropped %1 bytes without a line end").arg(rxBuffer.size()));
        rxBuffer.clear();
    }
}

// The adapter is ready for the next line. A prompt that answers nothing, or comes before an
// adapter command's answer, belongs to an earlier exchange and must not end this one.
void AdapterLink::promptReceived()
{
    if (std::exchange(m_dataAsked, false)) {
        if (m_state == State::DataPrompted)
            writeSegmentData();
        else
            // Not for a message of this link's any more (a given-up STPX asking late): the adapter
            // waits for data it will not get. A character that is no hex digit ends that.
            cancelSegmentData();
        return;
    }
    if (!lineOnWire()) {
        trace.note(QStringLiteral("prompt with no line on the wire: ignored"));
        return;
    }
    // An adapter command, and an STPX, are answered before their prompt: a bare prompt belongs to
    // something earlier.
    if (m_state == State::CommandSent || m_state == State::CommandEchoed || m_state == State::SegmentSent) {
        trace.note(QStringLiteral("prompt before the answer to %1: stale, ignored")
                       .arg(QString::fromLatin1(lastCommand.left(40).trimmed())));
        return;
    }
    if (m_state == State::SegmentRefused && m_resend.isValid())
        messageQueue.prepend(std::exchange(m_resend, QVariant()));
    if (m_state == State::Discarding)
        trace.note(QStringLiteral("the given-up line's prompt: the adapter is ready again"));
    // Only errors of the same line in a row count towards giving up.
    if (m_state != State::Resending)
        canRetries = 0;
    setState(State::Idle);
    if (m_voltageOnWire)
        voltageAnswered();
}

AdapterLink::Word AdapterLink::classify(const QByteArray &line, bool headers)
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
    // An 11-bit identifier in front of the frame is three digits.
    if (headers)
        digits -= 3;
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
    static const QByteArray failures[] = {"BUFFER FULL", "BUS BUSY", "BUS ERROR", "DATA ERROR", "FB ERROR",
        "UNABLE TO CONNECT", "ACT ALERT", "FC RX TIMEOUT", "OUT OF MEMORY"};
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

// Whether the line belongs to nothing the link waits for: the late answer of a line given up, the
// rest of a failed line's answer, what comes while the adapter stops or is to be set up again, and
// whatever comes with no line on the wire. Such a line is dropped, unless it says the adapter
// restarted.
bool AdapterLink::dropLine(const QByteArray &line)
{
    switch (m_state) {
    case State::Discarding:
    case State::Stopping:
        // A restart is no late answer: the adapter lost every setting meanwhile.
        if (classify(line) == Word::Restart && !asksForIdentity(lastCommand)) {
            adapterRestarted(line.trimmed());
            return true;
        }
        trace.note(QStringLiteral("late answer to %1 dropped").arg(QString::fromLatin1(lastCommand.trimmed())));
        return true;
    case State::NeedsSetup:
    case State::SetupDue:
        return true;
    case State::Idle:
    case State::Pacing:
        if (classify(line) == Word::Restart)
            adapterRestarted(line.trimmed());
        else
            trace.note(QStringLiteral("unasked output dropped"));
        return true;
    default:
        return !lineOnWire();
    }
}

void AdapterLink::handleLine(const QByteArray &line)
{
    m_dataAsked = line.trimmed().toUpper() == "DATA";
    if (dropLine(line))
        return;
    // An echo is the first thing to come back for a line, if it comes at all; an equal line
    // later is a real answer.
    if (m_state == State::DataPrompted && classify(line) != Word::Restart) {
        endExchange(ELM327IOBase::ERR_PROTOCOL, QStringLiteral("no prompt for the STPX message's data"));
        return;
    }
    if (m_state == State::SegmentSent) {
        if (sameLine(line, lastCommand)) {
            trace.note(QStringLiteral("echo dropped"));
            return;
        }
        if (segmentAnswered(line))
            return;
    }
    if (m_state == State::CommandSent || m_state == State::FrameSent) {
        const bool echo = sameLine(line, lastCommand);
        setState(m_state == State::CommandSent ? State::CommandEchoed : State::Answering);
        if (echo) {
            trace.note(QStringLiteral("echo dropped"));
            return;
        }
    }
    const Word word = classify(line, headersShown());
    // The echo of some command; "STOPPED" and an "STN..." identification only look like one.
    if (word == Word::NonHex && isAdapterCommand(line.trimmed()))
        return;
    const bool commandPending = m_state == State::CommandEchoed || m_state == State::CommandAnswered;
    if (word == Word::Restart && !(commandPending && asksForIdentity(lastCommand))) {
        adapterRestarted(line.trimmed());
        return;
    }
    if (commandPending) {
        handleCommandAnswer(line);
        return;
    }
    handleWord(word, line);
}

// Identification texts, "?" and the like answer a command too; "OK" is looked for. A command the
// exchange relies on and the adapter refuses ends the exchange: what follows would go out with
// the adapter set otherwise than the exchange needs.
void AdapterLink::handleCommandAnswer(const QByteArray &line)
{
    const QByteArray answer = line.trimmed();
    if (m_voltageOnWire) {
        m_voltageAnswer = answer;
        setState(State::CommandAnswered);
        return;
    }
    if (answer == "?") {
        m_written = m_queued = Settings();
        endExchange(ELM327IOBase::ERR_OTHER,
            QStringLiteral("the adapter refused '%1'").arg(QString::fromLatin1(lastCommand.trimmed())));
        return;
    }
    setState(answer.left(2).toLower() == "ok" ? State::Answering : State::CommandAnswered);
}

// A line that answers a frame line, or comes while the adapter listens.
void AdapterLink::handleWord(Word word, const QByteArray &line)
{
    switch (word) {
    case Word::Ok:
    case Word::Restart:
    case Word::Searching: // the adapter looks for the bus protocol; its answer follows
        return;
    case Word::NoData:
    case Word::Stopped:
        if (m_strictMode)
            endExchange(word == Word::NoData ? ELM327IOBase::ERR_NODATA : ELM327IOBase::ERR_STOPPED,
                QStringLiteral("trasport error %1").arg(QString::fromLatin1(line.trimmed().toLower())));
        return;
    case Word::CanError:
        handleCanError();
        return;
    case Word::Failure:
        endExchange(
            ELM327IOBase::ERR_OTHER, QStringLiteral("the adapter reports %1").arg(QString::fromLatin1(line.trimmed())));
        return;
    case Word::NonHex:
        if (lineHasCountDigit() && line.trimmed() == "?") {
            dropReplyCount();
            return;
        }
        endExchange(ELM327IOBase::ERR_PROTOCOL, QStringLiteral("non-hex reply"));
        return;
    case Word::Frame:
        frameArrived(line);
        return;
    }
}

// A frame of the reply waited for: the adapter's own time-out starts again with it, and so does the
// line's deadline, for as many frames as a reply brings.
void AdapterLink::frameArrived(const QByteArray &line)
{
    if (++framesOnLine <= extendingFrames)
        lineClock.start();
    canRetries = 0;
    const QByteArray frame = frameBytes(line);
    if (!frame.isEmpty())
        m_client.frameReceived(frame);
}

// Whether the ELM327 may answer "?" to the count digit of the line last written.
bool AdapterLink::lineHasCountDigit() const
{
    return m_state != State::CountRefused && adapter != ELM327IOBase::ELS27 && !isAdapterCommand(lastCommand)
        && isHexLine(lastCommand) % 2 == 1;
}

// "?" to a frame line with a reply count: this adapter does not know the digit. The line goes
// again without it, and so does every line after it; the adapter then listens for its whole
// time-out after each answer, which is slower but works.
void AdapterLink::dropReplyCount()
{
    replyCount = false;
    setState(State::CountRefused);
    QByteArray line = lastCommand.trimmed();
    line.chop(1);
    trace.note(QStringLiteral("the adapter does not know the reply count: resending without it"));
    emit notice(QStringLiteral("The adapter does not take a reply count; it is driven without one (slower)"));
    commandQueue.prepend(line + '\r');
    // The rest of the exchange goes without it too.
    for (QByteArray &queued : commandQueue) {
        if (!isAdapterCommand(queued) && isHexLine(queued) % 2 == 1) {
            queued.chop(2);
            queued += '\r';
        }
    }
}

// The adapter could not put the frame on the bus; the line is written again a few times
// before the whole exchange is given up.
void AdapterLink::handleCanError()
{
    // Part of a segmented message may be on the bus: sending it again could carry it out twice.
    if (isSegmentLine(lastCommand)) {
        endExchange(ELM327IOBase::ERR_CANERR, QStringLiteral("the adapter reports CAN ERROR"));
        return;
    }
    setState(State::Resending);
    if (!lastCommand.isEmpty() && ++canRetries <= canRetryLimit) {
        trace.note(QStringLiteral("CAN error: resending the line (%1 of %2)").arg(canRetries).arg(canRetryLimit));
        commandQueue.prepend(lastCommand);
        return;
    }
    canRetries = 0;
    trace.note(QStringLiteral("CAN error. Retries exhausted: exchange abandoned"));
    abandonExchange(true);
    discardLine();
    emit error(ELM327IOBase::ERR_CANERR, QStringLiteral("CAN error. Retries exhausted"));
}

// Before the first frame of its answer, an STPX may be asked for its data, refused ("?": the
// adapter does not know it) or found too long ("OUT OF MEMORY"); nothing went on the bus then.
// Whether the line was one of those; anything else begins the answer.
bool AdapterLink::segmentAnswered(const QByteArray &line)
{
    const QByteArray word = line.trimmed().toUpper();
    if (word == "?") {
        segmentRefused();
        return true;
    }
    // A restart proves nothing of STPX; it is dealt with as after any line.
    if (classify(line) == Word::Restart) {
        setState(State::Answering);
        return false;
    }
    m_segmentProven = true;
    if (word == "DATA" && !m_segmentData.isEmpty()) {
        setState(State::DataPrompted);
        return true;
    }
    if (word == "OUT OF MEMORY") {
        segmentTooLong();
        return true;
    }
    setState(State::Answering);
    return false;
}

// The message's hex digits, with no carriage return: the adapter sends it once the last digit is
// in, and a carriage return after it would repeat the STPX.
void AdapterLink::writeSegmentData()
{
    setState(State::Answering);
    trace.note(QStringLiteral("stpx: %1 bytes").arg(m_segmentBytes));
    const QByteArray data = m_segmentData;
    lineBudgetMs = lineBudget(lastCommand);
    framesOnLine = 0;
    lineClock.start();
    m_segmentData.clear();
    writeToPort(data);
    lastSendTime.start();
    m_client.lineWritten(data);
}

void AdapterLink::cancelSegmentData()
{
    trace.note(QStringLiteral("the adapter asks for data no message waits for: ending that"));
    if (!lineOnWire())
        setState(State::CommandSent); // so that discardLine() takes it up
    if (!lineWatch->isActive())
        lineWatch->start();
    writeToPort(stopCharacter());
    discardLine();
}

// "?" to the first STPX: this firmware does not have it, and nothing went on the bus. The link
// goes frame by frame for the rest of its life, starting with this message. Once an STPX has gone
// through, "?" is a refusal like any other.
void AdapterLink::segmentRefused()
{
    if (m_segmentProven) {
        endExchange(ELM327IOBase::ERR_OTHER,
            QStringLiteral("the adapter refused '%1'").arg(QString::fromLatin1(lastCommand.left(24).trimmed())));
        return;
    }
    stopSegmenting(QStringLiteral("the adapter does not know STPX"));
    emit notice(QStringLiteral("The adapter does not know STPX: messages go frame by frame from now on (slower)"));
    resendByFrames();
}

// The adapter has no room for the message: it and every one as long go by frames.
void AdapterLink::segmentTooLong()
{
    m_segmentLimit = qMin(m_segmentLimit, m_segmentBytes - 1);
    trace.note(QStringLiteral("the adapter has no room for %1 bytes: longer messages go frame by frame, this one too")
                   .arg(m_segmentBytes));
    resendByFrames();
}

// Once the adapter's prompt has come: should the exchange end before it (a restart, no prompt),
// the message is not sent again.
void AdapterLink::resendByFrames()
{
    forgetQueuedLines();
    m_client.exchangeAbandoned();
    m_resend = m_exchangeItem;
    m_exchangeItem = QVariant();
    setState(State::SegmentRefused);
}

// A frame as the adapter prints it: with its identifier in front while the headers are on. A
// frame of any other sender than the device is none of the exchange's.
QByteArray AdapterLink::frameBytes(const QByteArray &line)
{
    if (!headersShown())
        return QByteArray::fromHex(line);
    QByteArray digits = line.trimmed();
    digits.replace(' ', QByteArray());
    bool ok = false;
    const int sender = digits.left(3).toInt(&ok, 16);
    if (!ok || sender != config.canId) {
        trace.note(QStringLiteral("frame from %1 dropped").arg(QString::fromLatin1(digits.left(3))));
        return QByteArray();
    }
    return QByteArray::fromHex(digits.mid(3));
}
