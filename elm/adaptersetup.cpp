// Opening the adapter's port, its set-up (with the rate search when no rate is given), the
// initialisation lines, and the set-up again after the adapter lost its settings.
#include "adapterlink.h"
#include "ratesearch.h"
#include "serialports.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

namespace {

const QString baudKey = QStringLiteral("COM/Baud");

// The longest a network adapter may take to accept the connection.
constexpr int connectBudgetMs = 5000;
// The adapter answers its own commands (STI, ATI, AT RV) at once; this is for slow clones.
constexpr int askWaitMs = 500;

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

bool AdapterLink::openPort(
    const QString &name, const QVariantMap &portParams, AdapterPort &adapterPort, QString *reason, int connectMs)
{
    QString host;
    quint16 number = 0;
    if (AdapterPort::isNetworkName(name, &host, &number)) {
        QString why;
        if (adapterPort.connectTo(host, number, connectMs, &why))
            return true;
        if (reason) {
            const QString where = (host.contains(':') ? '[' + host + ']' : host) + ':' + QString::number(number);
            *reason = ELM327IOBase::tr("Cannot connect to %1: %2").arg(where, why);
        }
        return false;
    }
    QSerialPort &port = adapterPort.serial();
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
    if (adapterPort.openSerial())
        return true;
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
        m_failure = ELM327IOBase::SetupRunning;
        QMetaObject::invokeMethod(
            this,
            [this, cfg, adaptive_timing] {
                if (!setup(cfg, adaptive_timing))
                    emit disconnected();
            },
            Qt::QueuedConnection);
        return false;
    }
    adaptiveTiming = adaptive_timing;
    if (!open(cfg))
        return false;
    queueInitialisation(config, adaptive_timing);
    sendNext();
    emit connected();
    return true;
}

bool AdapterLink::open(const ELM_ConnInfo &cfg)
{
    close();
    setState(State::SettingUp);
    config = cfg;
    replyCount = true; // a new adapter may know the digit again
    m_identification.clear();
    m_lastVoltage = std::nan("");
    if (!connectAdapter(cfg, setupDeadline(cfg))) {
        setState(State::Closed);
        return false;
    }
    config.adapter = adapter; // the kind met: a set-up again drives the same
    m_lastOpenError.clear();
    m_failure = ELM327IOBase::SetupSucceeded;
    setState(State::Idle);
    return true;
}

QByteArray AdapterLink::ask(const QByteArray &command, int waitMs, bool *echoed)
{
    if (!port->isOpen() || isBusy())
        return QByteArray();
    const AdapterPort::Quiet quiet(*port);
    Wire wire {*port, trace, QDeadlineTimer(waitMs)};
    return askAdapter(wire, command, waitMs, echoed);
}

QDeadlineTimer AdapterLink::setupDeadline(const ELM_ConnInfo &cfg)
{
    return QDeadlineTimer(cfg.setupBudgetMs > 0 ? cfg.setupBudgetMs : ELM_ConnInfo().setupBudgetMs);
}

// Opens the port, finds the adapter's rate when none is given, warm-starts the adapter, waiting
// until it has finished, learns its kind and reads the voltage, all before `deadline`. A network
// adapter has no serial rate: nothing is searched or switched, the set-up starts at the warm
// start. On failure the port is closed and m_lastOpenError says why.
bool AdapterLink::connectAdapter(const ELM_ConnInfo &cfg, QDeadlineTimer deadline)
{
    m_lastOpenError.clear();
    m_failure = ELM327IOBase::NoPort;
    trace.setPort(cfg.port);
    const QList<uint> rates = searchOrder(cfg.adapter);
    auto baud = uint(cfg.baud);
    QVariantMap params {{baudKey, baud ? baud : rates[0]}};
    const qint64 left = deadline.remainingTime(); // -1: no deadline
    const int connectMs = left < 0 ? connectBudgetMs : int(qBound(qint64(1), left, qint64(connectBudgetMs)));
    if (!openPort(cfg.port, params, *port, &m_lastOpenError, connectMs))
        return false;
    const bool network = port->isNetwork();
    Wire wire {*port, trace, deadline};
    if (baud == 0 && !network) {
        uint metAt = 0;
        baud = searchRate(wire, rates, cfg.adapter, lastMetRate(cfg.port), metAt);
        if (baud == 0) {
            m_failure = ELM327IOBase::NoAdapter;
            m_lastOpenError = ELM327IOBase::tr("No adapter answers on %1").arg(cfg.port);
            return false;
        }
        setLastMetRate(cfg.port, metAt);
        params[baudKey] = baud;
        if (!openPort(cfg.port, params, *port, &m_lastOpenError))
            return false;
    }
    m_failure = ELM327IOBase::NoAdapter;
    portRate = network ? 0 : int(baud);
    baseRate = portRate;
    const AdapterPort::Quiet quiet(*port);
    if (network) {
        trace.note(QStringLiteral("connected"));
    } else {
        trace.note(QStringLiteral("port open at %1 bit/s").arg(baud));
        trace.note(QStringLiteral("low latency: %1").arg(port->lowLatency()));
    }
    // At a given rate the raised rates are tried after the first attempt, so that a budget of a
    // few seconds still reaches them; an adapter that only missed it, restarting, answers the next.
    bool answered = warmStart(wire, cfg.baud == 0 || network ? warmStartAttempts : 1);
    if (!answered && cfg.baud != 0 && !network) {
        const bool reset = resetRaisedAdapter(wire, baud);
        answered = warmStart(wire, reset ? warmStartAttempts : warmStartAttempts - 1);
    }
    if (!answered && network) {
        m_lastOpenError = ELM327IOBase::tr("No adapter answers on %1").arg(cfg.port);
        port->close();
        return false;
    }
    if (answered) {
        if (!identifyAdapter(wire, cfg)) {
            port->close();
            return false;
        }
        if (adapter != ELM327IOBase::ELS27 && cfg.rateSwitch && !network) {
            const RateSwitch raised = raiseRate(wire, baud);
            portRate = int(raised.rate);
            if (!raised.note.isEmpty())
                emit notice(raised.note);
        }
        readVoltage(wire);
        return true;
    }
    // An adapter that does not answer at the rate it was given would leave every line waiting.
    m_lastOpenError = ELM327IOBase::tr("No adapter answers on %1 at %2 bit/s").arg(cfg.port).arg(baud);
    port->close();
    return false;
}

// The kind is the adapter's own word: an STN chip (the ELS27's) names itself to STI, which an
// ELM327 answers with "?", and names itself to ATI instead. An adapter of another kind than the
// one chosen would fail later, and less clearly: with ST lines refused, or a rate never found.
bool AdapterLink::identifyAdapter(Wire &wire, const ELM_ConnInfo &cfg)
{
    const QByteArray st = askAdapter(wire, "sti", askWaitMs);
    int met = ELM327IOBase::ELM327;
    QByteArray name = st;
    if (st.contains("STN")) {
        met = ELM327IOBase::ELS27;
    } else if (st.isNull()) {
        // No answer at all tells nothing: the kind chosen stands.
        met = cfg.adapter == ELM327IOBase::Auto ? ELM327IOBase::ELM327 : cfg.adapter;
        trace.note(QStringLiteral("no answer to STI: driven as %1").arg(ELM327IOBase::adapterName(met)));
    } else {
        name = askAdapter(wire, "ati", askWaitMs);
    }
    m_identification = QString::fromLatin1(name).simplified();
    trace.note(QStringLiteral("adapter: %1 (%2)").arg(ELM327IOBase::adapterName(met), m_identification));
    const bool chosen = cfg.adapter == ELM327IOBase::ELM327 || cfg.adapter == ELM327IOBase::ELS27;
    if (chosen && met != cfg.adapter) {
        m_failure = ELM327IOBase::WrongKind;
        m_lastOpenError = ELM327IOBase::tr("The adapter on %1 is an %2 (%3), not an %4: choose %2")
                              .arg(cfg.port, ELM327IOBase::adapterName(met), m_identification,
                                  ELM327IOBase::adapterName(cfg.adapter));
        return false;
    }
    adapter = cfg.adapter == ELM327IOBase::Custom ? int(ELM327IOBase::Custom) : met;
    return true;
}

// Read once, at the end of the set-up: the set-up never fails for it.
void AdapterLink::readVoltage(Wire &wire)
{
    m_voltageAnswer = askAdapter(wire, "at rv", askWaitMs).trimmed();
    m_lastVoltage = ELM327IOBase::parseVoltage(m_voltageAnswer);
    m_voltageAnswer.clear();
    trace.note(std::isnan(m_lastVoltage) ? QStringLiteral("voltage unknown")
                                         : QStringLiteral("voltage: %1 V").arg(m_lastVoltage, 0, 'f', 1));
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
        const AdapterPort::Quiet quiet(*port);
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
    if (AdapterPort::isNetworkName(port))
        return false; // a network adapter has no serial rate to switch
    AdapterPort serial;
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
