// Opening the adapter's port, its set-up (with the rate search when no rate is given), the
// initialisation lines, and the set-up again after the adapter lost its settings.
#include "adapterlink.h"
#include "ratesearch.h"
#include "serialports.h"

#include <QTimer>
#include <algorithm>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

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

bool AdapterLink::openPort(const QString &name, const QVariantMap &portParams, QSerialPort &port, QString *reason)
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

bool AdapterLink::setup(const ELM_ConnInfo &cfg, bool adaptive_timing)
{
    if (m_state == State::SettingUp) {
        // Asked for from a slot of a signal the running set-up emits: running it here would pull
        // the port from under that one. It follows once that one has ended.
        trace.note(QStringLiteral("set-up asked for during a set-up: it follows that one"));
        m_lastOpenError
            = ELM327IOBase::tr("The adapter on %1 is being set up already; this set-up follows").arg(cfg.port);
        QMetaObject::invokeMethod(
            this,
            [this, cfg, adaptive_timing] {
                if (!setup(cfg, adaptive_timing))
                    emit disconnected();
            },
            Qt::QueuedConnection);
        return false;
    }
    close();
    setState(State::SettingUp);
    config = cfg;
    adaptiveTiming = adaptive_timing;
    replyCount = true; // a new adapter may know the digit again
    if (!connectAdapter(cfg, setupDeadline(cfg))) {
        setState(State::Closed);
        return false;
    }
    m_lastOpenError.clear();
    queueInitialisation(cfg, adaptive_timing);
    setState(State::Idle);
    sendNext();
    emit connected();
    return true;
}

QDeadlineTimer AdapterLink::setupDeadline(const ELM_ConnInfo &cfg)
{
    return QDeadlineTimer(cfg.setupBudgetMs > 0 ? cfg.setupBudgetMs : ELM_ConnInfo().setupBudgetMs);
}

// Opens the port, finds the adapter's rate when none is given, and warm-starts the adapter,
// waiting until it has finished, all before `deadline`. On failure the port is closed and
// m_lastOpenError says why.
bool AdapterLink::connectAdapter(const ELM_ConnInfo &cfg, QDeadlineTimer deadline)
{
    m_lastOpenError.clear();
    trace.setPort(cfg.port);
    const bool els = cfg.adapter == ELM327IOBase::ELS27;
    const QList<uint> &rates = searchRates(els);
    auto baud = uint(cfg.baud);
    QVariantMap params {{baudKey, baud ? baud : rates[0]}};
    if (!openPort(cfg.port, params, *port, &m_lastOpenError))
        return false;
    Wire wire {*port, trace, deadline};
    if (baud == 0) {
        // "STBR": the STN rate command; "AT BR 4": the ELM327's divisor for 1000000 bit/s.
        uint metAt = 0;
        baud = searchRate(wire, rates, els ? "STBR 1000000\r" : "AT BR 4\r", lastMetRate(cfg.port), metAt);
        if (baud == 0) {
            m_lastOpenError = ELM327IOBase::tr("No adapter answers on %1").arg(cfg.port);
            return false;
        }
        setLastMetRate(cfg.port, metAt);
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
        if (!els && cfg.rateSwitch) {
            const RateSwitch raised = raiseRate(wire, baud);
            portRate = int(raised.rate);
            if (!raised.note.isEmpty())
                emit notice(raised.note);
        }
        return true;
    }
    // An adapter that does not answer at the rate it was given would leave every line waiting.
    m_lastOpenError = ELM327IOBase::tr("No adapter answers on %1 at %2 bit/s").arg(cfg.port).arg(baud);
    port->close();
    return false;
}

void AdapterLink::queueInitialisation(const ELM_ConnInfo &cfg, bool adaptiveTiming)
{
    adapter = cfg.adapter;
    adapterTimeoutMs = 0x32 * 4; // the adapter's own default after the warm start
    m_init = Initialisation::Lines;
    QList<QByteArray> lines;
    for (const QByteArray &line : initLines(cfg, adaptiveTiming))
        lines << line + '\r';
    commandQueue = lines + commandQueue;
}

// After a restart or a line left unanswered the adapter's settings are unknown; it is warm-
// started and initialised again, before the requests that are waiting. An adapter that came
// back at its power-up rate is searched for again when the rate was searched at first.
void AdapterLink::reinitialise()
{
    if (m_state != State::SetupDue)
        return;
    if (!port->isOpen()) {
        setState(State::NeedsSetup);
        return;
    }
    setState(State::SettingUp);
    trace.note(QStringLiteral("setting the adapter up again"));
    emit notice(QStringLiteral("Setting the adapter up again"));
    rxBuffer.clear();
    bool ok = false;
    {
        const QDeadlineTimer deadline = setupDeadline(config);
        const QSignalBlocker quiet(port);
        Wire wire {*port, trace, deadline};
        ok = warmStart(wire, warmStartAttempts - 1);
        // A warm start keeps a raised rate, a restart does not: the adapter may be back at the
        // rate it was met at, where it is asked to switch again.
        if (!ok && portRate != baseRate && port->setBaudRate(baseRate)) {
            portRate = baseRate;
            ok = warmStart(wire, warmStartAttempts - 1);
            if (ok && config.adapter != ELM327IOBase::ELS27 && config.rateSwitch)
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
    // What is queued now was asked for after the failure and goes out once the adapter is set up.
    queueInitialisation(config, adaptiveTiming);
    setState(State::Idle);
    sendNext();
}

bool AdapterLink::baudSwitch(const QString &port, uint current, uint target, bool permanent)
{
    QSerialPort serial;
    const QList<uint> &rates = searchRates(true);
    if (!openPort(port, {{baudKey, current ? current : rates[0]}}, serial))
        return false;
    const QByteArray command = "STSBR " + QByteArray::number(target) + '\r'; // STN: switch baud rate
    bool result = false;
    if (current != 0) {
        result = switchRate(serial, command, target, permanent);
    } else {
        for (uint rate : rates) {
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
