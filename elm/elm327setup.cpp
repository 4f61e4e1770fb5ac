// Opening the adapter's port, finding the rate it listens on, its initialisation, and the
// STN rate switch. Everything here waits on the port itself, blocking the calling thread, and
// every wait has its bound: the port may be anything, a receiver that never falls quiet included.
#include "elm327iobase.h"
#include "serialports.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEvent>
#include <QHash>
#include <QMutex>
#include <QScopedValueRollback>
#include <algorithm>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// Rates to try, in order. The first is where the search starts; the second, 1000000, is where
// an adapter met above 1000000 bit/s is switched down to. The ELM327's table holds the rates
// the program raises an adapter to (500000, 250000, 115200), where one may still listen after a
// run that ended without resetting it.
const QList<uint> baudRatesElm {500000, 1000000, 38400, 2000000, 115200, 250000, 57600, 9600, 19200, 256000};
const QList<uint> baudRatesEls {
    8000000, 1000000, 500000, 38400, 115200, 57600, 9600, 19200, 256000, 2000000, 4000000, 5000000, 10000000};

constexpr uint probeLimit = 1000000; // above this the adapter is switched down, not probed
constexpr int attempts = 5;

// Waits of the rate search and the rate switch, in ms
constexpr int probeWait = 100;
constexpr int settleWait = 500;
constexpr int switchPoll = 10;
constexpr int switchPolls = 8;
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
constexpr int warmStartAttempts = 3;
// Stale input: read until the port has been quiet this long, but no longer than the bound.
constexpr int staleInputQuiet = 20;
constexpr int staleInputBound = 200;
constexpr int searchPasses = 2;
// How long a real adapter may take to come back from a reset.
constexpr int restartAllowance = 1500;
// ATI attempts at each rate a raised adapter may have been left at: one, since the common case
// that meets these is an adapter still restarting after the last close, which answers nowhere.
constexpr int raisedProbeAttempts = 1;
// The ATZ that resets a raised adapter leaves the port before the port's rate changes.
constexpr int resetSendWait = 20;
// The steps of an AT BRD rate switch.
constexpr int brdAnswerWait = 300; // "OK" or "?"
// The identification at the new rate; the confirmation must reach the adapter within its AT BRT
// time (75 ms) after it, so this wait is short.
constexpr int brdIntroductionWait = 30;
constexpr int brdPromptWait = 200; // the prompt after the confirming carriage return
constexpr int brdFallbackWait = 300; // the adapter's way back after its AT BRT time (75 ms)

const QString baudKey = QStringLiteral("COM/Baud");

// USB-serial adapters (FTDI and the like) hold received bytes back for up to their latency timer,
// 16 ms by default, which adds up over the many short request/reply exchanges with the adapter.
// The Linux driver drops that wait in low-latency mode. Failure is ignored: ptys and many drivers
// refuse the request, and the port works either way, only slower.
void requestLowLatency([[maybe_unused]] QSerialPort &port)
{
#ifdef Q_OS_LINUX
    struct serial_struct ss;
    if (ioctl(port.handle(), TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(port.handle(), TIOCSSERIAL, &ss);
    }
#endif
}

// The port during set-up, which reads and writes it directly with blocking waits; every byte
// also goes to the trace. No wait runs past the set-up's deadline.
//
// The thread's events are not processed meanwhile: a timer or a queued call run from here could
// start another set-up inside this one, on the same port. Only the windows' own repainting goes
// on, so that a window does not look hung during a search.
struct Wire
{
    QSerialPort &port;
    LinkTrace &trace;
    QDeadlineTimer deadline {QDeadlineTimer::Forever};

    bool expired() const { return deadline.hasExpired(); }

    // Waits up to `waitMs` for input, never beyond the deadline.
    bool waitForInput(int waitMs)
    {
        const qint64 left = deadline.remainingTime(); // -1: no deadline
        const int wait = left < 0 ? waitMs : int(qMin<qint64>(waitMs, left));
        return wait > 0 && port.waitForReadyRead(wait);
    }

    void write(const QByteArray &bytes)
    {
        sendNow(bytes);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    }

    // Without the repainting: the rate commands are timed against the adapter.
    void sendNow(const QByteArray &bytes)
    {
        trace.sent(bytes);
        port.write(bytes);
        port.flush();
        if (port.bytesToWrite() > 0)
            port.waitForBytesWritten(writeWait);
    }

    QByteArray read()
    {
        const QByteArray bytes = port.readAll();
        if (!bytes.isEmpty())
            trace.received(bytes);
        return bytes;
    }

    // Appends what is there and whatever keeps arriving within `quietMs` of the last piece, for
    // at most readBound ms and readLimit bytes.
    void collect(QByteArray &buffer, int quietMs)
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

    // Short polls for one of `marks`; the adapter answers a rate command quickly or not at all.
    bool pollFor(QByteArray &buffer, const QList<QByteArray> &marks)
    {
        for (int poll = 0; poll < switchPolls && !expired(); ++poll) {
            waitForInput(switchPoll);
            buffer += read();
            if (std::any_of(marks.begin(), marks.end(), [&](const QByteArray &m) { return buffer.contains(m); }))
                return true;
        }
        return false;
    }

    // Whatever the adapter said before this program's first line (the end of an earlier
    // session's reset, read only now that the port is open again) is no answer to it.
    void dropStaleInput()
    {
        QByteArray stale = read();
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < staleInputBound && stale.size() < readLimit && waitForInput(staleInputQuiet))
            stale += read();
        if (!stale.isEmpty())
            trace.note(QStringLiteral("stale input dropped (%1 bytes)").arg(stale.size()));
    }
};

// The answer to "atws": the echo of the line if the adapter echoes, its identification, then the
// prompt. A prompt that comes before an identification, or an identification before the echo,
// is left over from something earlier.
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
                } else if (!line.isEmpty()) {
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

// Warm-starts the adapter and waits until it has finished: input it receives while restarting
// is lost, so no line may follow before its prompt. Tries `attempts` times, since an adapter
// still busy with an earlier reset loses the line itself.
bool warmStart(Wire &wire, int attempts)
{
    for (int attempt = 0; attempt < attempts && !wire.expired(); ++attempt) {
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

// Asks for the identification at the port's current rate. An echo of the question or "?"
// (an unknown command) also proves the adapter understands this rate.
bool answersAt(Wire &wire, int attempts)
{
    QByteArray buffer;
    for (int attempt = 0; attempt < attempts && !wire.expired(); ++attempt) {
        wire.write("ati\r");
        wire.collect(buffer, probeWait);
        if (buffer.contains("ELM327") || buffer.contains("ati") || buffer.contains("?\r"))
            return true;
    }
    return false;
}

bool probe(Wire &wire)
{
    if (!answersAt(wire, attempts))
        return false;
    warmStart(wire, 1);
    return true;
}

// Asks an adapter listening above 1000000 bit/s to come down to `lowRate`; it says "OK" at
// the old rate and introduces itself at the new one.
bool switchDown(Wire &wire, const QByteArray &command, uint lowRate)
{
    QSerialPort &port = wire.port;
    bool ok = false;
    for (int attempt = 0; attempt < attempts && !ok && !wire.expired(); ++attempt) {
        wire.sendNow(command);
        QByteArray buffer;
        ok = wire.pollFor(buffer, {"OK"});
        if (!ok)
            port.clear();
    }
    if (!ok)
        return false;
    port.clear();
    port.setBaudRate(qint32(lowRate));
    QByteArray buffer;
    if (!wire.pollFor(buffer, {"ELM327", "STN"}))
        return false;
    // A carriage return at the new rate confirms it to the adapter; then a warm start.
    wire.write("\r");
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

// Waits up to `waitMs` for one of `marks` in what arrives, appending it to `buffer`.
bool awaitAny(Wire &wire, QByteArray &buffer, const QList<QByteArray> &marks, int waitMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        buffer += wire.read();
        if (std::any_of(marks.begin(), marks.end(), [&](const QByteArray &m) { return buffer.contains(m); }))
            return true;
        const qint64 left = waitMs - waited.elapsed();
        if (left <= 0 || !wire.port.isOpen() || wire.expired())
            return false;
        wire.waitForInput(int(qMin<qint64>(left, switchPoll)));
    }
}

struct RateSwitch
{
    uint rate; // the rate in force afterwards
    QString note; // what happened, for the user's log; empty when nothing was tried
};

// Asks an ELM327 for a faster serial rate ("AT BRD hh"). It says "OK" at the old rate,
// switches, introduces itself at the new one, and keeps the new rate only when a carriage
// return reaches it there within its AT BRT time (75 ms); otherwise it goes back. The prompt
// that answers the carriage return, read at the new rate, proves the link works both ways; a
// host that switched too late to read the introduction still gets it.
RateSwitch raiseRate(Wire &wire, uint current)
{
    QSerialPort &port = wire.port;
    QString note;
    for (const FastRate &fast : fastRates) {
        if (fast.rate <= current)
            break;
        // Ports that cannot be set to a rate say so here; the slower ones may still do.
        if (!port.setBaudRate(qint32(fast.rate)) || !port.setBaudRate(qint32(current)))
            continue;
        wire.dropStaleInput();
        wire.sendNow(QByteArray("at brd ") + fast.divisor + '\r');
        QByteArray answer;
        if (!awaitAny(wire, answer, {"OK", "?"}, brdAnswerWait) || !answer.contains("OK")) {
            // "?": this adapter keeps its rate; nothing to gain from asking again.
            note = QStringLiteral("The adapter keeps its serial rate of %1 bit/s: %2")
                       .arg(current)
                       .arg(answer.contains("?") ? QStringLiteral("it does not know AT BRD")
                                                 : QStringLiteral("no answer to AT BRD"));
            wire.trace.note(note);
            return {current, note};
        }
        port.setBaudRate(qint32(fast.rate));
        // Its identification, or the noise it makes when it came before the port followed: once
        // something of it is in, the carriage return may go.
        const int okEnd = answer.indexOf('\r', answer.indexOf("OK"));
        QByteArray hello = okEnd < 0 ? QByteArray() : answer.mid(okEnd + 1);
        awaitAny(wire, hello, {"ELM327", "STN", "\r", QByteArray(8, char(0xff))}, brdIntroductionWait);
        wire.sendNow("\r");
        QByteArray prompt;
        if (awaitAny(wire, prompt, {">"}, brdPromptWait)) {
            note = QStringLiteral("Serial rate raised from %1 to %2 bit/s").arg(current).arg(fast.rate);
            wire.trace.note(note);
            return {fast.rate, note};
        }
        // Not confirmed: the adapter goes back to the old rate after its AT BRT time and says so
        // with a prompt there.
        port.setBaudRate(qint32(current));
        QByteArray back;
        awaitAny(wire, back, {">"}, brdFallbackWait);
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
    QSerialPort &port = wire.port;
    for (const FastRate &fast : fastRates) {
        if (fast.rate == given || wire.expired() || !port.setBaudRate(qint32(fast.rate)))
            continue;
        wire.trace.note(QStringLiteral("no answer at %1 bit/s: trying %2 bit/s, where an earlier run may have left it")
                            .arg(given)
                            .arg(fast.rate));
        port.clear(QSerialPort::Input);
        if (!answersAt(wire, raisedProbeAttempts))
            continue;
        wire.trace.note(QStringLiteral("the adapter answers at %1 bit/s: resetting it").arg(fast.rate));
        wire.sendNow("ATZ\r");
        wire.waitForInput(resetSendWait);
        wire.read();
        port.setBaudRate(qint32(given));
        // It announces itself at its power-up rate once it has restarted.
        QByteArray hello;
        awaitAny(wire, hello, {">"}, restartAllowance);
        return true;
    }
    port.setBaudRate(qint32(given));
    return false;
}

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

// Tries the rates in order on the open port, which it leaves closed. Returns the rate the
// adapter answered at, or 0; `metAt` receives the rate it was met at (before a switch down).
// The rate it was met at last time comes first and is tried for a while; then the table is gone
// through twice, since an adapter still restarting after another program's reset may miss the
// first pass. The port's signals stay blocked meanwhile, so the driver sees none of the closing,
// reopening and reading done here.
uint searchRate(Wire &wire, const QList<uint> &rates, const QByteArray &switchCommand, uint lastMet, uint &metAt)
{
    QSerialPort &port = wire.port;
    const QSignalBlocker quiet(&port);
    QList<uint> order;
    if (lastMet != 0)
        order << lastMet;
    for (int pass = 0; pass < searchPasses; ++pass)
        order += rates;
    if (lastMet != 0) {
        port.setBaudRate(qint32(lastMet));
        if (!port.isOpen()) {
            port.clearError();
            port.open(QIODevice::ReadWrite);
        }
    }
    for (int step = 0;;) {
        port.clear();
        port.clearError();
        if (!port.isOpen())
            return 0;
        const uint rate = order[step];
        wire.trace.note(QStringLiteral("rate search: trying %1 bit/s").arg(rate));
        uint found = 0;
        QElapsedTimer patience;
        patience.start();
        do {
            if (rate <= probeLimit)
                found = probe(wire) ? rate : 0;
            else
                found = switchDown(wire, switchCommand, rates[1]) ? rates[1] : 0;
        } while (!found && step == 0 && lastMet != 0 && patience.elapsed() < restartAllowance && port.isOpen()
            && !wire.expired());
        if (found) {
            metAt = rate;
            port.flush();
            port.clear();
            port.clearError();
            port.close();
            return found;
        }
        if (++step == order.size() || wire.expired()) {
            if (wire.expired())
                wire.trace.note(QStringLiteral("rate search: out of time"));
            port.close();
            return 0;
        }
        port.setBaudRate(qint32(order[step]));
        if (!port.isOpen()) {
            port.clearError();
            port.open(QIODevice::ReadWrite);
        }
    }
}

// A map value of QSerialPort's enums, or `fallback` when it is missing or not one of `accepted`.
int portSetting(const QVariantMap &params, const QString &key, int fallback, std::initializer_list<int> accepted)
{
    const int value = params.value(key, fallback).toInt();
    return std::find(accepted.begin(), accepted.end(), value) != accepted.end() ? value : fallback;
}

// The adapter's initialisation: no echo, spaces, headers, line feeds or lengths in replies,
// CAN at 500 kbit/s with 11-bit identifiers, and raw frames both ways so that ISO-TP is ours.
// The warm start ("atws") that comes first is done by warmStart(), which waits it out.
QList<QByteArray> initLines(const ELM_ConnInfo &cfg, bool adaptiveTiming)
{
    QList<QByteArray> lines {
        "at e0", // echo off
        "at s0", // no spaces between reply bytes
        "at h0", // no CAN identifiers in replies
        "at l0", // no line feed after carriage return
        "at d0", // no data length in replies
        "at at 0", // adaptive timing off
        "at st ff", // longest reply time-out
    };
    if (cfg.adapter == ELM327IOBase::ELS27)
        lines << "st p33" // protocol 33: ISO 15765, 11-bit identifiers
              << "st pbr500000"; // at 500 kbit/s
    else
        lines << "at tp6"; // protocol 6: ISO 15765-4 CAN, 11-bit identifiers, 500 kbit/s
    lines << "at sh " + QByteArray::number(cfg.pcId, 16) // header of the frames we send
          << "at cra " + QByteArray::number(cfg.canId, 16); // receive filter: the device's frames
    if (adaptiveTiming)
        lines << "at at1"; // adaptive timing on
    lines << "at ar" // automatic receive
          << "at al" // allow frames longer than 7 data bytes
          << "at caf0" // CAN automatic formatting off: we write and read the ISO-TP bytes
          << "at cfc0"; // CAN automatic flow control off: we send the flow control frames
    return lines;
}

} // namespace

// The reasons a set-up failed reach the technician in the window's language; the system's own
// words, where they are shown, stand inside the translated sentence.
QString portOpenFailure(const QString &port, QSerialPort::SerialPortError error, const QString &systemText)
{
    switch (error) {
    case QSerialPort::PermissionError:
#ifdef Q_OS_LINUX
        return ELM327IOBase::tr("Permission denied for %1. Add your user to the 'dialout' group "
                                "(sudo usermod -aG dialout $USER), then log out and in again.")
            .arg(port);
#else
        return ELM327IOBase::tr("Permission denied for %1; another program may be using it.").arg(port);
#endif
    case QSerialPort::DeviceNotFoundError:
        return ELM327IOBase::tr("%1 is not available").arg(port);
    default:
        return ELM327IOBase::tr("Cannot open %1: %2").arg(port, systemText);
    }
}

bool ELM327IOBase::openPort(const QString &name, const QVariantMap &portParams, QSerialPort &port, QString *reason)
{
    if (!assignSerialPort(port, name)) {
        if (reason)
            *reason = portOpenFailure(name, QSerialPort::DeviceNotFoundError, QString());
        return false;
    }
    const auto baud = qint32(portParams.value(baudKey, 115200u).toUInt());
    port.setBaudRate(baud, QSerialPort::Input);
    port.setBaudRate(baud, QSerialPort::Output);
    port.setParity(QSerialPort::Parity(
        portSetting(portParams, QStringLiteral("COM/Parity"), QSerialPort::NoParity, {0, 2, 3, 4, 5})));
    port.setDataBits(
        QSerialPort::DataBits(portSetting(portParams, QStringLiteral("COM/Bits"), QSerialPort::Data8, {5, 6, 7, 8})));
    port.setFlowControl(QSerialPort::FlowControl(
        portSetting(portParams, QStringLiteral("COM/FlowCtrl"), QSerialPort::NoFlowControl, {0, 1, 2})));
    port.setStopBits(QSerialPort::StopBits(
        portSetting(portParams, QStringLiteral("COM/StopBits"), QSerialPort::OneStop, {1, 2, 3})));
    if (port.open(QIODevice::ReadWrite)) {
        requestLowLatency(port);
        return true;
    }
    if (reason)
        *reason = portOpenFailure(name, port.error(), port.errorString());
    return false;
}

bool ELM327IOBase::setup(const ELM_ConnInfo &cfg, bool adaptive_timing)
{
    if (settingUp) {
        // Asked for from a slot of a signal the running set-up emits: running it here would pull
        // the port from under that one. It follows once that one has ended.
        trace.note(QStringLiteral("set-up asked for during a set-up: it follows that one"));
        m_lastOpenError = tr("The adapter on %1 is being set up already; this set-up follows").arg(cfg.port);
        QMetaObject::invokeMethod(
            this,
            [this, cfg, adaptive_timing] {
                if (!setup(cfg, adaptive_timing))
                    emit disconnected();
            },
            Qt::QueuedConnection);
        return false;
    }
    {
        const QScopedValueRollback<bool> oneAtATime(settingUp, true);
        close();
        config = cfg;
        adaptiveTiming = adaptive_timing;
        replyCount = true; // a new adapter may know the digit again
        if (!connectAdapter(cfg, setupDeadline(cfg)))
            return false;
        m_lastOpenError.clear();
        queueInitialisation(cfg, adaptive_timing);
    }
    sendNext();
    emit connected();
    return true;
}

QDeadlineTimer ELM327IOBase::setupDeadline(const ELM_ConnInfo &cfg)
{
    return QDeadlineTimer(cfg.setupBudgetMs > 0 ? cfg.setupBudgetMs : ELM_ConnInfo().setupBudgetMs);
}

// Opens the port, finds the adapter's rate when none is given, and warm-starts the adapter,
// waiting until it has finished, all before `deadline`. On failure the port is closed and
// m_lastOpenError says why.
bool ELM327IOBase::connectAdapter(const ELM_ConnInfo &cfg, QDeadlineTimer deadline)
{
    m_lastOpenError.clear();
    trace.setPort(cfg.port);
    const bool els = cfg.adapter == ELS27;
    const QList<uint> &rates = els ? baudRatesEls : baudRatesElm;
    auto baud = uint(cfg.baud);
    QVariantMap params {{baudKey, baud ? baud : rates[0]}};
    if (!openPort(cfg.port, params, *port, &m_lastOpenError))
        return false;
    Wire wire {*port, trace, deadline};
    if (baud == 0) {
        // "STBR": the STN rate command; "AT BR 4": the ELM327's divisor for 1000000 bit/s.
        uint metAt = 0;
        baud = searchRate(wire, rates, els ? "STBR 1000000\r" : "AT BR 4\r", metRates().of(cfg.port), metAt);
        if (baud == 0) {
            m_lastOpenError = tr("No adapter answers on %1").arg(cfg.port);
            return false;
        }
        metRates().set(cfg.port, metAt);
        params[baudKey] = baud;
        if (!openPort(cfg.port, params, *port, &m_lastOpenError))
            return false;
    }
    portRate = int(baud);
    baseRate = portRate;
    const QSignalBlocker quiet(port);
    trace.note(QStringLiteral("port open at %1 bit/s").arg(baud));
    // At a given rate the raised rates are tried after the first attempt, so that a budget of a
    // few seconds still reaches them; an adapter that only missed it, restarting, answers the next.
    bool answered = warmStart(wire, cfg.baud == 0 ? warmStartAttempts : 1);
    if (!answered && cfg.baud != 0) {
        const bool reset = resetRaisedAdapter(wire, baud);
        answered = warmStart(wire, reset ? warmStartAttempts : warmStartAttempts - 1);
    }
    if (answered) {
        if (cfg.adapter != ELS27 && cfg.rateSwitch) {
            const RateSwitch raised = raiseRate(wire, baud);
            portRate = int(raised.rate);
            if (!raised.note.isEmpty())
                emit notice(raised.note);
        }
        return true;
    }
    // An adapter that does not answer at the rate it was given would leave every line waiting.
    m_lastOpenError = tr("No adapter answers on %1 at %2 bit/s").arg(cfg.port).arg(baud);
    port->close();
    return false;
}

void ELM327IOBase::queueInitialisation(const ELM_ConnInfo &cfg, bool adaptiveTiming)
{
    adapter = cfg.adapter;
    adapterTimeoutMs = 0x32 * 4; // the adapter's own default after the warm start
    initialising = true;
    echoOffAnswered = false;
    echoStillOn = false;
    echoRepeated = false;
    QList<QByteArray> lines;
    for (const QByteArray &line : initLines(cfg, adaptiveTiming))
        lines << line + '\r';
    commandQueue = lines + commandQueue;
}

// After a restart or a line left unanswered the adapter's settings are unknown; it is warm-
// started and initialised again, before the requests that are waiting. An adapter that came
// back at its power-up rate is searched for again when the rate was searched at first.
void ELM327IOBase::reinitialise()
{
    setupScheduled = false;
    if (!needsSetup || !port->isOpen())
        return;
    bool ok = false;
    {
        const QScopedValueRollback<bool> oneAtATime(settingUp, true);
        trace.note(QStringLiteral("setting the adapter up again"));
        emit notice(QStringLiteral("Setting the adapter up again"));
        ++inputGeneration;
        rxBuffer.clear();
        const QDeadlineTimer deadline = setupDeadline(config);
        const QSignalBlocker quiet(port);
        Wire wire {*port, trace, deadline};
        ok = warmStart(wire, warmStartAttempts - 1);
        // A warm start keeps a raised rate, a restart does not: the adapter may be back at the
        // rate it was met at, where it is asked to switch again.
        if (!ok && portRate != baseRate && port->setBaudRate(baseRate)) {
            portRate = baseRate;
            ok = warmStart(wire, warmStartAttempts - 1);
            if (ok && config.adapter != ELS27 && config.rateSwitch)
                portRate = int(raiseRate(wire, uint(baseRate)).rate);
        }
        if (!ok && config.baud == 0) {
            port->close();
            ok = connectAdapter(config, deadline);
        }
    }
    if (!ok || !port->isOpen()) {
        trace.note(QStringLiteral("the adapter cannot be set up again: closing the link"));
        close();
        emit disconnected();
        return;
    }
    needsSetup = false;
    // What is queued now was asked for after the failure and goes out once the adapter is set up.
    queueInitialisation(config, adaptiveTiming);
    if (!busy)
        sendNext();
}

bool ELM327IOBase::baudSwitch(const QString &port, uint current, uint target, bool permanent)
{
    QSerialPort serial;
    if (!openPort(port, {{baudKey, current ? current : baudRatesEls[0]}}, serial))
        return false;
    const QByteArray command = "STSBR " + QByteArray::number(target) + '\r'; // STN: switch baud rate
    bool result = false;
    if (current != 0) {
        result = switchRate(serial, command, target, permanent);
    } else {
        for (uint rate : baudRatesEls) {
            if (rate == target)
                continue;
            if (!serial.isOpen() || !serial.setBaudRate(qint32(rate)))
                break;
            result = switchRate(serial, command, target, permanent);
            if (result)
                break;
        }
    }
    serial.close();
    return result;
}

bool ELM327IOBase::switchRate(QSerialPort &port, const QByteArray &command, uint target, bool permanent)
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
