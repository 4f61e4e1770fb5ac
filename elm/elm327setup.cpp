// Opening the adapter's port, finding the rate it listens on, its initialisation, and the
// STN rate switch. Everything here waits on the port itself, blocking the calling thread.
#include "elm327iobase.h"
#include "serialports.h"

#include <QCoreApplication>
#include <algorithm>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// Rates to try, in order. The first is where the search starts; the second, 1000000, is where
// an adapter met above 1000000 bit/s is switched down to.
const QList<uint> baudRatesElm {500000, 1000000, 38400, 2000000, 115200, 57600, 9600, 19200, 256000};
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

void processEvents()
{
    QCoreApplication::processEvents();
}

// Appends what is there and whatever keeps arriving within `waitMs` of the last piece.
void collect(QSerialPort &port, QByteArray &buffer, int waitMs)
{
    do
        buffer += port.readAll();
    while (port.waitForReadyRead(waitMs));
}

// Short polls for one of `marks`; the adapter answers a rate command quickly or not at all.
bool pollFor(QSerialPort &port, QByteArray &buffer, const QList<QByteArray> &marks)
{
    for (int poll = 0; poll < switchPolls; ++poll) {
        port.waitForReadyRead(switchPoll);
        buffer += port.readAll();
        if (std::any_of(marks.begin(), marks.end(), [&](const QByteArray &m) { return buffer.contains(m); }))
            return true;
    }
    return false;
}

// Sends `line` and throws away the answer, so that it cannot be taken for the reply to the
// first initialisation line.
void writeAndSettle(QSerialPort &port, const QByteArray &line)
{
    port.write(line);
    processEvents();
    port.flush();
    processEvents();
    port.waitForReadyRead(settleWait);
    port.readAll();
}

// Asks for the identification at the port's current rate. An echo of the question or "?"
// (an unknown command) also proves the adapter understands this rate.
bool probe(QSerialPort &port)
{
    QByteArray buffer;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        port.write("ati\r");
        processEvents();
        port.flush();
        processEvents();
        collect(port, buffer, probeWait);
        if (buffer.contains("ELM327") || buffer.contains("ati") || buffer.contains("?\r")) {
            writeAndSettle(port, "atws\r"); // warm start
            return true;
        }
    }
    return false;
}

// Asks an adapter listening above 1000000 bit/s to come down to `lowRate`; it says "OK" at
// the old rate and introduces itself at the new one.
bool switchDown(QSerialPort &port, const QByteArray &command, uint lowRate)
{
    bool ok = false;
    for (int attempt = 0; attempt < attempts && !ok; ++attempt) {
        port.write(command);
        port.flush();
        processEvents();
        QByteArray buffer;
        ok = pollFor(port, buffer, {"OK"});
        if (!ok)
            port.clear();
    }
    if (!ok)
        return false;
    port.clear();
    port.setBaudRate(qint32(lowRate));
    QByteArray buffer;
    if (!pollFor(port, buffer, {"ELM327", "STN"}))
        return false;
    // The leading carriage return confirms the new rate to the adapter; then a warm start.
    writeAndSettle(port, "\ratws\r");
    return true;
}

// Tries the rates in order on the open port, which it leaves closed. Returns the rate the
// adapter answered at, or 0. The port's signals stay blocked meanwhile, so the driver sees
// none of the closing, reopening and reading done here.
uint searchRate(QSerialPort &port, const QList<uint> &rates, const QByteArray &switchCommand)
{
    const QSignalBlocker quiet(&port);
    for (int index = 0;;) {
        port.clear();
        port.clearError();
        if (!port.isOpen())
            return 0;
        const uint rate = rates[index];
        uint found = 0;
        if (rate <= probeLimit)
            found = probe(port) ? rate : 0;
        else
            found = switchDown(port, switchCommand, rates[1]) ? rates[1] : 0;
        if (found) {
            port.flush();
            port.clear();
            port.clearError();
            port.close();
            return found;
        }
        if (++index == rates.size()) {
            port.close();
            return 0;
        }
        port.setBaudRate(qint32(rates[index]));
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
QList<QByteArray> initLines(const ELM_ConnInfo &cfg, bool adaptiveTiming)
{
    QList<QByteArray> lines {
        "atws", // warm start
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

QString portOpenFailure(const QString &port, QSerialPort::SerialPortError error, const QString &systemText)
{
    switch (error) {
    case QSerialPort::PermissionError:
#ifdef Q_OS_LINUX
        return QStringLiteral("Permission denied for %1. Add your user to the 'dialout' group "
                              "(sudo usermod -aG dialout $USER), then log out and in again.")
            .arg(port);
#else
        return QStringLiteral("Permission denied for %1; another program may be using it.").arg(port);
#endif
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("%1 is not available").arg(port);
    default:
        return QStringLiteral("Cannot open %1: %2").arg(port, systemText);
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
    close();
    m_lastOpenError.clear();
    const bool els = cfg.adapter == ELS27;
    const QList<uint> &rates = els ? baudRatesEls : baudRatesElm;
    auto baud = uint(cfg.baud);
    QVariantMap params {{baudKey, baud ? baud : rates[0]}};
    if (!openPort(cfg.port, params, *port, &m_lastOpenError))
        return false;
    if (baud == 0) {
        // "STBR": the STN rate command; "AT BR 4": the ELM327's divisor for 1000000 bit/s.
        baud = searchRate(*port, rates, els ? "STBR 1000000\r" : "AT BR 4\r");
        if (baud == 0)
            return false;
        params[baudKey] = baud;
        if (!openPort(cfg.port, params, *port, &m_lastOpenError))
            return false;
    }
    adapter = cfg.adapter;
    for (const QByteArray &line : initLines(cfg, adaptive_timing))
        commandQueue << line + '\r';
    sendNext();
    emit connected();
    return true;
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
    port.write("\rATI\r");
    port.flush();
    if (!port.waitForReadyRead(settleWait))
        return false;
    port.write(command);
    port.flush();
    port.clearError();
    // Only what came at the old rate is dropped: flushing the output too could discard the
    // command before the adapter has read it.
    port.clear(QSerialPort::Input);
    if (!port.setBaudRate(qint32(target))) {
        port.close();
        return false;
    }
    QByteArray reply;
    collect(port, reply, drainWait);
    reply.clear();
    port.write("\rSTI\r"); // STN identification
    port.flush();
    collect(port, reply, probeWait);
    if (!reply.contains("STN") && !reply.contains("OK"))
        return false;
    if (!permanent)
        return true;
    // Wait for the adapter's answer: closing at once would restore the old line settings while
    // the command may still be on its way, and the rate would not be stored after all.
    port.write("STWBR\r"); // STN: store the current rate
    port.flush();
    reply.clear();
    collect(port, reply, probeWait);
    return reply.contains("OK");
}
