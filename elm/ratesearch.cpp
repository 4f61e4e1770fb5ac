// The rate search, the warm start and the rate switches (see ratesearch.h).
#include "ratesearch.h"

#include "adapterlink.h"
#include "elm327iobase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QHash>
#include <QMutex>
#include <algorithm>
#include <cctype>

namespace {

// Rates to try, in order. The first is where the search starts; the second, 1000000, is where
// an adapter met above 1000000 bit/s is switched down to. The ELM327's table holds the rates
// the program raises an adapter to (500000, 250000, 115200), where one may still listen after a
// run that ended without resetting it.
const QList<uint> baudRatesElm {500000, 1000000, 38400, 2000000, 115200, 250000, 57600, 9600, 19200, 256000};
const QList<uint> baudRatesEls {
    8000000, 1000000, 500000, 38400, 115200, 57600, 9600, 19200, 256000, 2000000, 4000000, 5000000, 10000000};

constexpr uint probeLimit = 1000000; // above this the adapter is switched down, not probed

// Waits of the rate search and the rate switch, in ms
constexpr int probeWait = 100; // the first byte of an answer at a rate, in the quick pass
constexpr int settleWait = 500;
constexpr int drainWait = 200;
// One read of the search ends after this long or this much, whatever keeps arriving: noise is
// no answer, however much of it there is.
constexpr int readBound = 300;
constexpr int readLimit = 4096;
// Writes that the port completes only through its event notifiers (Windows) are waited for here
// instead, without turning the event loop.
constexpr int writeWait = 500;
// A warm start takes tens of milliseconds; this is the most an answer is waited for.
constexpr int warmStartWait = 1500;
// Stale input: read until the port has been quiet this long, but no longer than the bound.
constexpr int staleInputQuiet = 20;
constexpr int staleInputBound = 200;
// The quick pass waits a moment at each rate; the patient one as long as a slow adapter takes.
constexpr int searchPasses = 2;
// How long a real adapter may take to come back from a reset.
constexpr int restartAllowance = 1500;
// The ATZ that resets a raised adapter leaves the port before the port's rate changes.
constexpr int resetSendWait = 20;
// An STN chip's own STBRT time after power-up, which a switch down from an unknown rate meets.
constexpr int stnSwitchWait = 75;
// Beyond the adapter's switch time: a USB bridge's latency, a slow host.
constexpr int switchMargin = 200;

bool anyOf(const QByteArray &buffer, const QList<QByteArray> &marks)
{
    return std::any_of(marks.begin(), marks.end(), [&](const QByteArray &m) { return buffer.contains(m); });
}

// Text an adapter writes, as opposed to the noise a port at the wrong rate reads.
bool readable(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) {
        const auto u = quint8(c);
        return (u >= 0x20 && u < 0x7f) || c == '\r' || c == '\n';
    });
}

} // namespace

bool Wire::waitForInput(int waitMs)
{
    const qint64 left = deadline.remainingTime(); // -1: no deadline
    const int wait = left < 0 ? waitMs : int(qMin<qint64>(waitMs, left));
    return wait > 0 && port.waitForReadyRead(wait);
}

void Wire::write(const QByteArray &bytes)
{
    sendNow(bytes);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

void Wire::sendNow(const QByteArray &bytes)
{
    trace.sent(bytes);
    port.write(bytes);
    port.flush();
    if (port.bytesToWrite() > 0)
        port.waitForBytesWritten(writeWait);
}

QByteArray Wire::read()
{
    QByteArray bytes = port.readAll();
    if (!bytes.isEmpty())
        trace.received(bytes);
    AdapterLink::dropStrayBytes(bytes);
    return bytes;
}

void Wire::collect(QByteArray &buffer, int quietMs)
{
    QElapsedTimer reading;
    reading.start();
    for (int got = 0;;) {
        const QByteArray bytes = read();
        buffer += bytes;
        got += bytes.size();
        const qint64 left = readBound - reading.elapsed();
        if (got >= readLimit || left <= 0 || !waitForInput(int(qMin<qint64>(quietMs, left))))
            return;
    }
}

bool Wire::awaitAny(QByteArray &buffer, const QList<QByteArray> &marks, int waitMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        buffer += read();
        if (anyOf(buffer, marks))
            return true;
        const qint64 left = waitMs - waited.elapsed();
        if (left <= 0 || !port.isOpen() || expired())
            return false;
        waitForInput(int(qMin<qint64>(left, 10)));
    }
}

void Wire::dropStaleInput()
{
    QByteArray stale = read();
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < staleInputBound && stale.size() < readLimit && waitForInput(staleInputQuiet))
        stale += read();
    if (!stale.isEmpty())
        trace.note(QStringLiteral("stale input dropped (%1 bytes)").arg(stale.size()));
}

bool Wire::drainOwed(int waitMs)
{
    while (owed > 0) {
        QByteArray late;
        if (!awaitAny(late, {">"}, waitMs)) {
            trace.note(QStringLiteral("the answer still owed has not come within %1 ms").arg(waitMs));
            return false;
        }
        owed = qMax(0, owed - int(late.count('>')));
        trace.note(QStringLiteral("late answer dropped (%1 bytes)").arg(late.size()));
    }
    return true;
}

const QList<uint> &searchRates(bool els27)
{
    return els27 ? baudRatesEls : baudRatesElm;
}

QList<uint> searchOrder(int kind)
{
    const bool els = kind == ELM327IOBase::ELS27 || kind == ELM327IOBase::Auto;
    const QList<uint> &own = searchRates(els);
    const QList<uint> &other = searchRates(!els);
    QList<uint> order;
    for (int i = 0; i < qMax(own.size(), other.size()); ++i) {
        for (const QList<uint> *table : {&own, &other})
            if (i < table->size() && !order.contains(table->at(i)))
                order << table->at(i);
    }
    return order;
}

QByteArray askAdapter(Wire &wire, const QByteArray &command, int waitMs, bool *echoed)
{
    if (echoed)
        *echoed = false;
    // Past the deadline nothing more is asked: its answer could not be waited for.
    if (!wire.drainOwed(waitMs) || wire.expired())
        return QByteArray();
    wire.read(); // whatever came unasked is no answer to this
    wire.write(command + '\r');
    QByteArray answer;
    if (!wire.awaitAny(answer, {">"}, waitMs)) {
        ++wire.owed;
        wire.trace.note(QStringLiteral("no answer to %1 within %2 ms").arg(QString::fromLatin1(command)).arg(waitMs));
        return QByteArray();
    }
    QList<QByteArray> lines;
    const QByteArray echo = command.toLower().replace(' ', "");
    for (const QByteArray &raw : answer.left(answer.indexOf('>')).split('\r')) {
        const QByteArray line = raw.trimmed();
        const bool isEcho = line.toLower().replace(' ', "") == echo;
        if (isEcho && echoed)
            *echoed = true;
        if (!line.isEmpty() && !isEcho)
            lines << line;
    }
    return lines.join('\n');
}

namespace {

// Whether a line can be an adapter's identification: "?", "OK", a status word or a frame answers
// something else, and is left over from it.
bool identifies(const QByteArray &line)
{
    static const QList<QByteArray> words {
        "?", "ok", "nodata", "stopped", "searching...", "busbusy", "bufferfull", "unabletoconnect", "lvreset"};
    if (line.isEmpty() || words.contains(line) || line.contains("error"))
        return false;
    return !std::all_of(line.begin(), line.end(), [](char c) { return std::isxdigit(quint8(c)) != 0; });
}

// The answer to "atws": the echo of the line if the adapter echoes, its identification, then the
// prompt. A prompt that comes before an identification, or an identification before the echo,
// is left over from something earlier; so is anything that identifies nothing.
class WarmStartAnswer
{
public:
    void feed(const QByteArray &bytes)
    {
        m_pending += bytes;
        int start = 0;
        while (start < m_pending.size() && !m_done) {
            const char c = m_pending.at(start);
            if (c == '\r' || c == '\n') {
                ++start;
            } else if (c == '>') {
                ++start;
                m_done = m_identified;
            } else {
                const int cr = m_pending.indexOf('\r', start);
                if (cr < 0)
                    break;
                QByteArray line = m_pending.mid(start, cr - start).trimmed().toLower();
                line.replace(' ', "");
                start = cr + 1;
                if (line == "atws") {
                    m_echoed = true;
                    m_identified = false;
                } else if (identifies(line)) {
                    m_identified = true;
                }
            }
        }
        m_pending.remove(0, start);
        // A line that never ends is noise, not an answer.
        if (m_pending.size() > readLimit)
            m_pending.clear();
    }

    bool done() const { return m_done; }
    bool echoed() const { return m_echoed; }

private:
    QByteArray m_pending;
    bool m_echoed = false;
    bool m_identified = false;
    bool m_done = false;
};

} // namespace

bool warmStart(Wire &wire, int attempts)
{
    for (int attempt = 0; attempt < attempts && !wire.expired(); ++attempt) {
        // A slow adapter's late answers come before this one's; they are no answer to it.
        wire.drainOwed(commandWaitMs);
        wire.owed = 0;
        wire.dropStaleInput();
        wire.write("atws\r");
        WarmStartAnswer answer;
        QElapsedTimer waited;
        waited.start();
        // The answer may be in the port's buffer already: what is there is looked at before
        // waiting for more.
        for (answer.feed(wire.read()); !answer.done() && waited.elapsed() < warmStartWait; answer.feed(wire.read())) {
            if (!wire.waitForInput(int(qMax<qint64>(1, warmStartWait - waited.elapsed())))
                && (!wire.port.isOpen() || wire.expired()))
                return false;
        }
        if (!answer.done()) {
            wire.trace.note(QStringLiteral("warm start: no complete answer within %1 ms").arg(warmStartWait));
            continue;
        }
        // Without the echo there is no telling whether that answer was this line's or a late one
        // from before; this line's own would follow at once, so it is waited for briefly.
        if (!answer.echoed())
            wire.dropStaleInput();
        return true;
    }
    return false;
}

namespace {

// Asks for the identification at the port's current rate, once, and waits up to `firstByteMs` for
// the answer to begin; an answer in readable text is then waited for up to its prompt. An echo of
// the question or "?" (an unknown command) also proves the adapter understands this rate; noise
// (the port at another rate than the adapter) does not, and is not waited out. An identification
// that comes unasked (the adapter back from a restart) proves it as well.
bool answersAt(Wire &wire, int firstByteMs)
{
    wire.write("ati\r");
    QByteArray buffer = wire.read();
    if (buffer.isEmpty() && !wire.waitForInput(firstByteMs))
        return false;
    wire.collect(buffer, probeWait);
    if (!readable(buffer))
        return false;
    // A slow adapter's answer may only have begun (its echo): the rest is waited for.
    const QList<QByteArray> marks {"ELM327", "ati", "ATI", "?\r"};
    if (!anyOf(buffer, marks) && !wire.awaitAny(buffer, marks, commandWaitMs))
        return false;
    // Its prompt comes with the answer, or is owed.
    if (!buffer.contains('>') && !wire.awaitAny(buffer, {">"}, commandWaitMs))
        wire.owed = 1;
    return true;
}

bool probe(Wire &wire, int firstByteMs)
{
    if (!answersAt(wire, firstByteMs))
        return false;
    warmStart(wire, 1);
    return true;
}

// A rate switch with the handshake the datasheets give (ELM327 AT BRD, STN STBR): "OK" at the old
// rate, then, at the new rate after the chip's switch time, its identification; the carriage
// return that confirms the rate goes only once that has come, and the chip answers "OK" at the
// new rate. Without that the chip goes back to the old rate after another switch time and gives
// its prompt there, where the port follows it. Returns whether the new rate holds; `answer`
// receives what the chip said to the command at the old rate.
bool handshake(Wire &wire, const QByteArray &command, uint from, uint to, const QList<QByteArray> &identification,
    int switchWaitMs, QByteArray &answer)
{
    AdapterPort &port = wire.port;
    wire.sendNow(command);
    if (!wire.awaitAny(answer, {"OK", "?"}, commandWaitMs) || !answer.contains("OK"))
        return false;
    port.setBaudRate(qint32(to));
    const int okEnd = answer.indexOf('\r', answer.indexOf("OK"));
    QByteArray hello = okEnd < 0 ? QByteArray() : answer.mid(okEnd + 1);
    // A carriage return before the identification would not count; noise is no identification.
    if (wire.awaitAny(hello, identification, switchWaitMs + switchMargin)) {
        wire.sendNow("\r");
        QByteArray confirmed;
        if (wire.awaitAny(confirmed, {"OK"}, switchWaitMs + switchMargin)) {
            wire.awaitAny(confirmed, {">"}, commandWaitMs);
            return true;
        }
    }
    port.setBaudRate(qint32(from));
    QByteArray back;
    wire.awaitAny(back, {">"}, 2 * switchWaitMs + switchMargin);
    return false;
}

// Asks an adapter listening above 1000000 bit/s to come down to `lowRate`, once per pass: its
// rate is not known, so its switch time cannot be set first and is its own.
bool switchDown(Wire &wire, const QByteArray &command, uint fromRate, uint lowRate)
{
    QByteArray answer;
    if (!handshake(wire, command, fromRate, lowRate, {"ELM327", "STN"}, stnSwitchWait, answer))
        return false;
    warmStart(wire, 1);
    return true;
}

// Faster rates an ELM327 is asked for after the set-up, fastest first, with the AT BRD divisor
// of each (4000000 / rate; 23 gives 114286 bit/s, within 1 % of 115200).
struct FastRate
{
    uint rate;
    const char *divisor;
};
const FastRate fastRates[] = {{500000, "08"}, {250000, "10"}, {115200, "23"}};

// The rate each port's adapter was last met at in this process. Connecting again (the updater
// after the manager, a reconnect) tries it first, and long enough to outlast the reset that
// ended the previous connection: an adapter restarting hears nothing for a second or so.
class MetRates
{
public:
    uint of(const QString &port)
    {
        const QMutexLocker lock(&m_mutex);
        return m_rates.value(port);
    }
    void set(const QString &port, uint rate)
    {
        const QMutexLocker lock(&m_mutex);
        m_rates.insert(port, rate);
    }

private:
    QMutex m_mutex; // the updater's link lives in a thread of its own
    QHash<QString, uint> m_rates;
};

MetRates &metRates()
{
    static MetRates rates;
    return rates;
}

} // namespace

uint lastMetRate(const QString &port)
{
    return metRates().of(port);
}

void setLastMetRate(const QString &port, uint rate)
{
    metRates().set(port, rate);
}

// Asks an ELM327 for a faster serial rate, fastest first; see ratesearch.h. A chip that refuses
// AT BRT, or AT BRD, keeps its rate: nothing is gained by asking again.
RateSwitch raiseRate(Wire &wire, uint current, const QByteArray &identification, int switchWaitMs)
{
    AdapterPort &port = wire.port;
    QString note;
    const QByteArray units = QByteArray::number(qBound(1, (switchWaitMs + 4) / 5, 0xff), 16).rightJustified(2, '0');
    const QByteArray brt = askAdapter(wire, "at brt " + units, commandWaitMs);
    if (!brt.contains("OK")) {
        note = QStringLiteral("The adapter keeps its serial rate of %1 bit/s: %2")
                   .arg(current)
                   .arg(brt.isNull() ? QStringLiteral("no answer to AT BRT")
                                     : QStringLiteral("it does not know AT BRT"));
        wire.trace.note(note);
        return {current, note};
    }
    const QByteArray name = identification.trimmed().isEmpty() ? QByteArray("ELM327") : identification.trimmed();
    for (const FastRate &fast : fastRates) {
        if (fast.rate <= current)
            break;
        // Ports that cannot be set to a rate say so here; the slower ones may still do.
        if (!port.setBaudRate(qint32(fast.rate)) || !port.setBaudRate(qint32(current)))
            continue;
        wire.dropStaleInput();
        QByteArray answer;
        if (handshake(
                wire, QByteArray("at brd ") + fast.divisor + '\r', current, fast.rate, {name}, switchWaitMs, answer)) {
            note = QStringLiteral("Serial rate raised from %1 to %2 bit/s").arg(current).arg(fast.rate);
            wire.trace.note(note);
            return {fast.rate, note};
        }
        if (!answer.contains("OK")) {
            // "?": this adapter keeps its rate; nothing to gain from asking again.
            note = QStringLiteral("The adapter keeps its serial rate of %1 bit/s: %2")
                       .arg(current)
                       .arg(answer.contains("?") ? QStringLiteral("it does not know AT BRD")
                                                 : QStringLiteral("no answer to AT BRD"));
            wire.trace.note(note);
            if (!answer.contains("?"))
                wire.owed = 1;
            return {current, note};
        }
        note = QStringLiteral("The adapter did not confirm %1 bit/s; it stays at %2 bit/s").arg(fast.rate).arg(current);
        wire.trace.note(note);
    }
    return {current, note};
}

// An ELM327 raised by an earlier run that ended without closing the port (killed, crashed) keeps
// listening at the raised rate until a reset or power-off, and hears nothing at its own. Found at
// one of those rates, it is reset as a normal close would have done: ATZ takes it back to its
// power-up rate, where the port follows it. Returns whether it was found and reset.
bool resetRaisedAdapter(Wire &wire, uint given)
{
    AdapterPort &port = wire.port;
    for (const FastRate &fast : fastRates) {
        if (fast.rate == given || wire.expired() || !port.setBaudRate(qint32(fast.rate)))
            continue;
        wire.trace.note(QStringLiteral("no answer at %1 bit/s: trying %2 bit/s, where an earlier run may have left it")
                            .arg(given)
                            .arg(fast.rate));
        port.clear(QSerialPort::Input);
        if (!answersAt(wire, probeWait))
            continue;
        wire.trace.note(QStringLiteral("the adapter answers at %1 bit/s: resetting it").arg(fast.rate));
        wire.sendNow("ATZ\r");
        wire.waitForInput(resetSendWait);
        wire.read();
        wire.owed = 0; // a reset ends whatever it still had to say
        port.setBaudRate(qint32(given));
        // It announces itself at its power-up rate once it has restarted.
        QByteArray hello;
        wire.awaitAny(hello, {">"}, restartAllowance);
        return true;
    }
    port.setBaudRate(qint32(given));
    return false;
}

namespace {

// Reopens the port at `rate` for the next step of the search; false when it cannot be.
bool moveTo(AdapterPort &port, uint rate)
{
    port.setBaudRate(qint32(rate));
    if (!port.isOpen()) {
        port.clearError();
        port.open(QIODevice::ReadWrite);
    }
    port.clear();
    port.clearError();
    return port.isOpen();
}

} // namespace

// The rate it was met at last time comes first and is given the time a restart takes; then the
// table is gone through twice: quickly, a moment at each rate, then as long at each as a slow
// adapter takes to answer. One question at a time: nothing is asked again at a rate before the
// last question's answer or its deadline. The port's signals stay blocked meanwhile, so the
// driver sees none of the closing, reopening and reading done here.
uint searchRate(Wire &wire, const QList<uint> &rates, int kind, uint lastMet, uint &metAt)
{
    // "STBR": the STN rate command; "AT BRD 04": the ELM327's divisor for 1000000 bit/s.
    const auto switchCommand = [kind](uint rate) -> QByteArray {
        const bool elsOnly = !baudRatesElm.contains(rate);
        const bool elmOnly = !baudRatesEls.contains(rate);
        const bool els = elsOnly || (!elmOnly && (kind == ELM327IOBase::ELS27 || kind == ELM327IOBase::Auto));
        return els ? "STBR 1000000\r" : "AT BRD 04\r";
    };
    AdapterPort &port = wire.port;
    const AdapterPort::Quiet quiet(port);
    QList<QPair<uint, int>> order; // each rate with how long its answer may take to begin
    if (lastMet != 0)
        order << qMakePair(lastMet, restartAllowance);
    for (int pass = 0; pass < searchPasses; ++pass)
        for (uint rate : rates)
            order << qMakePair(rate, pass == 0 ? probeWait : commandWaitMs);
    for (const auto &[rate, wait] : order) {
        if (wire.expired() || !moveTo(port, rate))
            break;
        wire.trace.note(QStringLiteral("rate search: trying %1 bit/s").arg(rate));
        wire.owed = 0; // what a question at another rate still owes comes as noise, if at all
        const uint found = rate <= probeLimit
            ? (probe(wire, wait) ? rate : 0)
            : (switchDown(wire, switchCommand(rate), rate, probeLimit) ? probeLimit : 0);
        if (found) {
            metAt = rate;
            port.flush();
            port.clear();
            port.clearError();
            port.close();
            return found;
        }
    }
    if (wire.expired())
        wire.trace.note(QStringLiteral("rate search: out of time"));
    port.close();
    return 0;
}

bool switchRate(AdapterPort &port, const QByteArray &command, uint target, bool permanent)
{
    LinkTrace trace;
    trace.setPort(port.portName());
    Wire wire {port, trace};
    wire.sendNow("\rATI\r");
    if (!port.waitForReadyRead(settleWait))
        return false;
    wire.sendNow(command);
    port.clearError();
    // Only what came at the old rate is dropped: flushing the output too could discard the
    // command before the adapter has read it.
    port.clear(QSerialPort::Input);
    if (!port.setBaudRate(qint32(target))) {
        port.close();
        return false;
    }
    QByteArray reply;
    wire.collect(reply, drainWait);
    reply.clear();
    wire.sendNow("\rSTI\r"); // STN identification
    wire.collect(reply, probeWait);
    if (!reply.contains("STN") && !reply.contains("OK"))
        return false;
    if (!permanent)
        return true;
    // Wait for the adapter's answer: closing at once would restore the old line settings while
    // the command may still be on its way, and the rate would not be stored after all.
    wire.sendNow("STWBR\r"); // STN: store the current rate
    reply.clear();
    wire.collect(reply, probeWait);
    return reply.contains("OK");
}
