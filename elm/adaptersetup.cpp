// Opening the adapter's port, its set-up (with the rate search when no rate is given), the
// initialisation lines, and the set-up again after the adapter lost its settings.
#include "adapterlink.h"
#include "ratesearch.h"
#include "serialports.h"

#include <QFile>
#include <QSerialPortInfo>
#include <QTimer>
#include <algorithm>
#include <cmath>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const QString baudKey = QStringLiteral("COM/Baud");

// The longest a network adapter may take to accept the connection.
constexpr int connectBudgetMs = 5000;
// What AT BRT (and STBRT on an STN chip) is set to before a rate switch: the chip waits this long
// before it introduces itself at the new rate, and as long again for the confirming carriage
// return. Wide enough for a USB bridge's 16 ms latency timer both ways, and a slow host.
constexpr int switchWaitMs = 100;

// A map value of QSerialPort's enums, or `fallback` when it is missing or not one of `accepted`.
int portSetting(const QVariantMap &params, const QString &key, int fallback, std::initializer_list<int> accepted)
{
    const int value = params.value(key, fallback).toInt();
    return std::find(accepted.begin(), accepted.end(), value) != accepted.end() ? value : fallback;
}

// Whether this user may open the port's device at all: the system reports a port that another
// program holds as a permission error too.
bool mayOpen(const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    const QString location = QSerialPortInfo(port).systemLocation();
    const QString path = location.isEmpty() ? port.portName() : location;
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(port)
    return true;
#endif
}

// One line of the adapter's initialisation, and whether the link depends on it: a refusal of one
// it depends on fails the set-up; one it can do without is only noted.
struct InitLine
{
    QByteArray text;
    bool required;
};

// The adapter's initialisation: no echo, spaces, headers, line feeds or lengths in replies,
// CAN at 500 kbit/s with 11-bit identifiers, and raw frames both ways so that ISO-TP is ours.
// The warm start ("atws") that comes first is done by warmStart(), which waits it out.
QList<InitLine> initLines(const ELM_ConnInfo &cfg, bool adaptiveTiming)
{
    QList<InitLine> lines {
        {"at e0", true}, // echo off
        {"at s0", false}, // no spaces between reply bytes (spaces are read too)
        {"at h0", true}, // no CAN identifiers in replies
        {"at l0", false}, // no line feed after carriage return (line feeds are read too)
        {"at d0", false}, // no data length in replies
        {"at at 0", false}, // adaptive timing off
        {"at st ff", false}, // longest reply time-out; each request sets its own
        {"at csm0", false}, // acknowledge the frames seen while listening with "at ma", as a node does
    };
    if (cfg.adapter == ELM327IOBase::ELS27)
        lines << InitLine {"st p33", true} // protocol 33: ISO 15765, 11-bit identifiers
              << InitLine {"st pbr500000", false}; // at 500 kbit/s, which protocol 33 is already
    else
        lines << InitLine {"at tp6", true}; // protocol 6: ISO 15765-4 CAN, 11-bit identifiers, 500 kbit/s
    lines << InitLine {"at sh " + AdapterLink::canIdentifier(cfg.pcId), true} // header of the frames we send
          << InitLine {"at cra " + AdapterLink::canIdentifier(cfg.canId), true}; // receive filter: the device's frames
    if (adaptiveTiming)
        lines << InitLine {"at at1", false}; // adaptive timing on
    lines << InitLine {"at ar", false} // automatic receive
          << InitLine {"at al", false} // allow frames longer than 7 data bytes
          << InitLine {"at caf0", true} // CAN automatic formatting off: we write and read the ISO-TP bytes
          << InitLine {"at cfc0", true}; // CAN automatic flow control off: we send the flow control frames
    return lines;
}

bool answeredOk(const QByteArray &answer)
{
    for (const QByteArray &line : answer.split('\n'))
        if (line.trimmed().toUpper() == "OK")
            return true;
    return false;
}

} // namespace

// The reasons a set-up failed reach the technician in the window's language; the system's own
// words, where they are shown, stand inside the translated sentence.
QString portOpenFailure(
    const QString &port, QSerialPort::SerialPortError error, const QString &systemText, bool permitted)
{
    switch (error) {
    case QSerialPort::PermissionError:
        // The system says "permission" also for a port that another program holds.
        if (!permitted)
#ifdef Q_OS_LINUX
            return ELM327IOBase::tr("Permission denied for %1. Add your user to the 'dialout' group "
                                    "(sudo usermod -aG dialout $USER), then log out and in again.")
                .arg(port);
#else
            return ELM327IOBase::tr("Permission denied for %1.").arg(port);
#endif
        return ELM327IOBase::tr("%1 is in use by another program").arg(port) + QStringLiteral(" (%1)").arg(systemText);
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
        *reason = portOpenFailure(name, port.error(), port.errorString(), mayOpen(port));
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
    // One wire for the whole set-up: its deadline bounds all of it, and an answer still owed at
    // the end of one step is drained before the next step's first question.
    Wire wire {*port, trace, setupDeadline(cfg)};
    if (!openWith(cfg, wire))
        return false;
    bool initialised = false;
    {
        setState(State::SettingUp);
        const AdapterPort::Quiet quiet(*port);
        initialised = initialise(wire, config);
    }
    if (!initialised) {
        abandonSetup();
        return false;
    }
    setState(State::Idle);
    emit connected();
    // Whatever was asked for meanwhile goes out, and ready() says the adapter is, from the event
    // loop: after setup() has returned to its caller, as the initialisation's end always came.
    QMetaObject::invokeMethod(this, &AdapterLink::pump, Qt::QueuedConnection);
    return true;
}

bool AdapterLink::open(const ELM_ConnInfo &cfg)
{
    Wire wire {*port, trace, setupDeadline(cfg)};
    const bool opened = openWith(cfg, wire);
    m_owed = wire.owed;
    return opened;
}

bool AdapterLink::openWith(const ELM_ConnInfo &cfg, Wire &wire)
{
    close();
    setState(State::SettingUp);
    config = cfg;
    replyCount = true; // a new adapter may know the digit again
    m_framesOnly.clear();
    m_segmentProven = false;
    m_identification.clear();
    m_lossReason.clear();
    m_lastVoltage = std::nan("");
    if (!connectAdapter(cfg, wire)) {
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
    // The answer an earlier question still owes is drained first: the deadline allows for it.
    Wire wire {*port, trace, QDeadlineTimer(waitMs * (m_owed + 1)), m_owed};
    const QByteArray answer = askAdapter(wire, command, waitMs, echoed);
    m_owed = wire.owed;
    if (!port->isOpen() && m_lossReason.isEmpty())
        m_lossReason = port->lossReason();
    return answer;
}

QDeadlineTimer AdapterLink::setupDeadline(const ELM_ConnInfo &cfg)
{
    return QDeadlineTimer(cfg.setupBudgetMs > 0 ? cfg.setupBudgetMs : ELM_ConnInfo().setupBudgetMs);
}

void AdapterLink::abandonSetup()
{
    {
        const AdapterPort::Quiet quiet(*port);
        if (port->isOpen())
            resetAdapter();
    }
    setState(State::Closed);
}

// Opens the port, finds the adapter's rate when none is given, warm-starts the adapter, waiting
// until it has finished, learns its kind and reads the voltage, all before `deadline`. A network
// adapter has no serial rate: nothing is searched or switched, the set-up starts at the warm
// start. On failure the port is closed (the adapter reset once it was met) and m_lastOpenError
// says why.
bool AdapterLink::connectAdapter(const ELM_ConnInfo &cfg, Wire &wire)
{
    const QDeadlineTimer deadline = wire.deadline;
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
    wire.owed = 0;
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
    if (meetAdapter(wire, cfg, baud))
        return true;
    abandonSetup();
    return false;
}

// Warm-starts the adapter on the open port, names it and raises its rate; false, with the reason
// in m_lastOpenError, when it does not answer or is of the wrong kind.
bool AdapterLink::meetAdapter(Wire &wire, const ELM_ConnInfo &cfg, uint baud)
{
    const bool network = port->isNetwork();
    // At a given rate the raised rates are tried after the first attempt, so that a budget of a
    // few seconds still reaches them; an adapter that only missed it, restarting, answers the next.
    bool answered = warmStart(wire, cfg.baud == 0 || network ? warmStartAttempts : 1);
    if (!answered && cfg.baud != 0 && !network) {
        const bool reset = resetRaisedAdapter(wire, baud);
        answered = warmStart(wire, reset ? warmStartAttempts : warmStartAttempts - 1);
    }
    if (!answered) {
        // An adapter that does not answer at the rate it was given would leave every line waiting.
        m_lastOpenError = network || cfg.baud == 0
            ? ELM327IOBase::tr("No adapter answers on %1").arg(cfg.port)
            : ELM327IOBase::tr("No adapter answers on %1 at %2 bit/s").arg(cfg.port).arg(baud);
        return false;
    }
    if (!identifyAdapter(wire, cfg))
        return false;
    if (adapter != ELM327IOBase::ELS27 && cfg.rateSwitch && !network) {
        const RateSwitch raised = raiseRate(wire, baud, m_adapterAnswer, switchWaitMs);
        portRate = int(raised.rate);
        if (!raised.note.isEmpty())
            emit notice(raised.note);
    }
    readVoltage(wire);
    return true;
}

// The kind is the adapter's own word: an STN chip (the ELS27's) names itself to STI, which an
// ELM327 answers with "?", and names itself to ATI instead. Silence tells nothing: the question
// is asked again, and an adapter that stays silent is no adapter to drive.
bool AdapterLink::identifyAdapter(Wire &wire, const ELM_ConnInfo &cfg)
{
    const auto answerTo = [&](const QByteArray &command) {
        QByteArray answer = askAdapter(wire, command, commandWaitMs);
        if (answer.isNull())
            answer = askAdapter(wire, command, commandWaitMs);
        if (answer.isNull())
            m_lastOpenError
                = ELM327IOBase::tr("The adapter on %1 did not answer '%2'").arg(cfg.port, QString::fromLatin1(command));
        return answer;
    };
    const QByteArray st = answerTo("sti");
    if (st.isNull())
        return false;
    const bool stn = st.contains("STN");
    // The ATI answer is what the chip introduces itself with after AT BRD; "?" names nothing.
    m_adapterAnswer = answerTo("ati");
    if (m_adapterAnswer.isNull())
        return false;
    if (m_adapterAnswer.trimmed() == "?")
        m_adapterAnswer = QByteArray("");
    m_identification = QString::fromLatin1(stn ? st : m_adapterAnswer).simplified();
    const int met = stn ? ELM327IOBase::ELS27 : ELM327IOBase::ELM327;
    trace.note(QStringLiteral("adapter: %1 (%2)").arg(ELM327IOBase::adapterName(met), m_identification));
    return checkKind(met, cfg);
}

// An ELM327 cannot be driven as an ELS27: it knows none of the ST commands. An STN chip takes the
// ELM327's commands, so it is driven as the technician chose, only slower.
bool AdapterLink::checkKind(int met, const ELM_ConnInfo &cfg)
{
    if (cfg.adapter == ELM327IOBase::ELS27 && met != ELM327IOBase::ELS27) {
        m_failure = ELM327IOBase::WrongKind;
        m_lastOpenError = ELM327IOBase::tr("The adapter on %1 is an %2 (%3), not an %4: choose %2")
                              .arg(cfg.port, ELM327IOBase::adapterName(met), m_identification,
                                  ELM327IOBase::adapterName(cfg.adapter));
        return false;
    }
    if (cfg.adapter == ELM327IOBase::ELM327 && met == ELM327IOBase::ELS27) {
        const QString note = ELM327IOBase::tr("The adapter on %1 is an ELS27 (%2); it is driven as an ELM327, as "
                                              "chosen. Choose ELS27 for faster transfers")
                                 .arg(cfg.port, m_identification);
        trace.note(note);
        emit notice(note);
    }
    adapter = cfg.adapter == ELM327IOBase::Custom || cfg.adapter == ELM327IOBase::ELM327 ? cfg.adapter : met;
    return true;
}

// Read once, at the end of the set-up: the set-up never fails for it.
void AdapterLink::readVoltage(Wire &wire)
{
    m_voltageAnswer = askAdapter(wire, "at rv", commandWaitMs).trimmed();
    m_lastVoltage = ELM327IOBase::parseVoltage(m_voltageAnswer);
    m_voltageAnswer.clear();
    trace.note(std::isnan(m_lastVoltage) ? QStringLiteral("voltage unknown")
                                         : QStringLiteral("voltage: %1 V").arg(m_lastVoltage, 0, 'f', 1));
}

// Each line is answered before the next goes, and each answer is checked. An adapter may answer
// "at e0" and still echo (some clones do): it is told once more, and its echoes are recognised
// and dropped from then on either way.
bool AdapterLink::initialise(Wire &wire, const ELM_ConnInfo &cfg)
{
    adapter = cfg.adapter;
    adapterTimeoutMs = 0x32 * 4; // the adapter's own default after the warm start
    m_written = m_queued = Settings();
    bool echoOff = false;
    bool toldAgain = false;
    for (const InitLine &line : initLines(cfg, adaptiveTiming)) {
        bool echoed = false;
        const QByteArray answer = askAdapter(wire, line.text, commandWaitMs, &echoed);
        if (echoed && echoOff && !toldAgain) {
            toldAgain = true;
            trace.note(QStringLiteral("echo still on after at e0: sending it again"));
            emit notice(QStringLiteral("The adapter still echoes after 'at e0'; turning its echo off again"));
            askAdapter(wire, "at e0", commandWaitMs);
        }
        const QString text = QString::fromLatin1(line.text);
        if (answer.isNull()) {
            m_lastOpenError = ELM327IOBase::tr("The adapter did not answer '%1'").arg(text);
            return false;
        }
        if (!answeredOk(answer)) {
            if (line.required) {
                m_lastOpenError = ELM327IOBase::tr("The adapter refused '%1'").arg(text);
                trace.note(m_lastOpenError);
                return false;
            }
            trace.note(QStringLiteral("the adapter refused %1 (%2): going on without it")
                           .arg(text, QString::fromLatin1(answer)));
        } else if (line.text == "at st ff") {
            m_written.timeoutUnits = m_queued.timeoutUnits = 0xff;
            adapterTimeoutMs = 1020;
        }
        echoOff = echoOff || line.text == "at e0";
    }
    return setUpTransfer(wire, cfg);
}

// The adapter left framing as the initialisation set it, or set to segment: the device's frames
// with their identifier, the adapter's own flow control for them on the PC's identifier only, and
// a flow-control filter for the device's identifier (with a receive filter set, the adapter takes
// no other frame for a flow control). A refusal of any of these leaves the link framing.
bool AdapterLink::setUpTransfer(Wire &wire, const ELM_ConnInfo &cfg)
{
    TransferChoice choice = chooseTransfer(adapter, cfg, m_identification);
    if (!m_framesOnly.isEmpty())
        choice = {false, 0, m_framesOnly};
    m_segmented = m_formattingSwitched = false;
    m_segmentLimit = choice.limit;
    m_written.formatting = m_queued.formatting = 0;
    const QByteArray pc = canIdentifier(cfg.pcId);
    const QByteArray device = canIdentifier(cfg.canId);
    const QList<QByteArray> lines {"stcfcpc", "stcfcpa " + pc + ", " + device, "stffcc", "stffca " + device + ", 7ff",
        "at caf1", "at h1", "at cfc1"};
    for (int i = 0; choice.segmented && i < lines.size(); ++i) {
        const QByteArray answer = askAdapter(wire, lines.at(i), commandWaitMs);
        if (answer.isNull()) {
            m_lastOpenError = ELM327IOBase::tr("The adapter did not answer '%1'").arg(QString::fromLatin1(lines.at(i)));
            return false;
        }
        if (answeredOk(answer))
            continue;
        choice = {false, 0, QStringLiteral("the adapter refused '%1'").arg(QString::fromLatin1(lines.at(i)))};
        for (const char *framing : {"at caf0", "at h0", "at cfc0"})
            if (!answeredOk(askAdapter(wire, framing, commandWaitMs))) {
                m_lastOpenError = ELM327IOBase::tr("The adapter refused '%1'").arg(QString::fromLatin1(framing));
                return false;
            }
    }
    m_segmented = m_formattingSwitched = choice.segmented;
    m_written.formatting = m_queued.formatting = choice.segmented ? 1 : 0;
    m_transferReason = choice.reason;
    const QString mode = choice.segmented ? QStringLiteral("segmented, up to %1 bytes a message").arg(choice.limit)
                                          : QStringLiteral("frame by frame");
    trace.note(QStringLiteral("transfer: %1 (%2)").arg(mode, choice.reason));
    if (adapter == ELM327IOBase::ELS27 && cfg.transfer != TransferMode::Frames)
        emit notice(QStringLiteral("Transfers: %1 (%2)").arg(mode, choice.reason));
    return true;
}

// After a restart or a line left unanswered the adapter's settings are unknown; it is warm-
// started and initialised again, before the requests that are waiting. An adapter that came
// back at its power-up rate is searched for again when the rate was searched at first.
bool AdapterLink::setUpAgain()
{
    const QDeadlineTimer deadline = setupDeadline(config);
    const AdapterPort::Quiet quiet(*port);
    Wire wire {*port, trace, deadline};
    bool ok = warmStart(wire, warmStartAttempts - 1);
    // A warm start keeps a raised rate, a restart does not: the adapter may be back at the
    // rate it was met at, where it is asked to switch again.
    if (!ok && portRate != baseRate && port->setBaudRate(baseRate)) {
        portRate = baseRate;
        ok = warmStart(wire, warmStartAttempts - 1);
        if (ok && config.adapter != ELM327IOBase::ELS27 && config.rateSwitch)
            portRate = int(raiseRate(wire, uint(baseRate), m_adapterAnswer, switchWaitMs).rate);
    }
    if (!ok && config.baud == 0) {
        port->close();
        ok = connectAdapter(config, wire);
    }
    return ok && port->isOpen() && initialise(wire, config);
}

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
    if (!setUpAgain()) {
        trace.note(QStringLiteral("the adapter cannot be set up again: closing the link"));
        close();
        emit disconnected();
        return;
    }
    // What is queued now was asked for after the failure and goes out once the adapter is set up.
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
