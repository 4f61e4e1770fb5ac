#pragma once

#include "elmconninfo.h"
#include "elmmessage.h"

#include <QObject>
#include <QSerialPort>

// Why a serial port could not be opened, in words a technician can act on: a permission problem
// names the group that grants access, because that is the usual cause on a fresh Linux install.
// `permitted`: whether the user may open the port at all; the system reports a port that another
// program holds as a permission error too.
QString portOpenFailure(
    const QString &port, QSerialPort::SerialPortError error, const QString &systemText, bool permitted = true);

// What a protocol worker, veltrano-cli and the tests see of the link to a serial OBD adapter of
// the ELM327 kind: its set-up, its queues, and what it reports. ELM327IO is the link, made of the
// adapter's line-by-line exchange (AdapterLink) and ISO-TP on top of it (IsoTpTransport).
class ELM327IOBase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool strictMode READ strictMode WRITE setStrictMode)

public:
    // Auto: whichever kind the adapter says it is at set-up.
    enum Adapter { ELM327 = 0, ELS27 = 1, Custom = 2, Auto = 3 };
    Q_ENUM(Adapter)
    // Why the last set-up failed, for callers that act on the kind of failure (veltrano-cli's
    // exit status, the windows' message in place of the device's silence).
    enum SetupFailure {
        SetupSucceeded = 0,
        NoPort = 1, // the port is not there, cannot be opened, or the network adapter not reached
        NoAdapter = 2, // nothing answered as an adapter
        WrongKind = 3, // the adapter is of another kind than the one chosen
        SetupRunning = 4, // asked for during a set-up; it follows that one
    };
    Q_ENUM(SetupFailure)
    enum ELM_ERROR {
        ERR_OK = 0,
        ERR_NODATA = -1,
        ERR_STOPPED = -2,
        ERR_CANERR = -3,
        ERR_PROTOCOL = -4,
        ERR_SILENT = -5, // the adapter itself left a line unanswered
        ERR_REFUSED = -6, // the device refused the message (flow control OVERFLOW): sending it again changes nothing
        ERR_OTHER = -255
    };
    Q_ENUM(ELM_ERROR)

    Q_INVOKABLE virtual bool isOpen() const = 0;
    // Opens the port (searching the adapter's rate when cfg.baud is 0) and queues the
    // adapter's initialisation; blocks while it waits for the adapter, for at most
    // cfg.setupBudgetMs. An adapter that answers only at a rate this program raises adapters to
    // (left there by a run that never reset it) is reset and used at the rate given.
    //
    // One set-up at a time. The blocking waits of a set-up, and of the adapter's set-up again
    // after a restart or a time-out, process none of the thread's events (windows repaint), so
    // a timer or a queued call that asks for a set-up meanwhile runs after it has ended. A
    // set-up asked for from a slot of a signal emitted while one runs (a notice) returns false at
    // once and runs, queued, when the running one has ended; should it fail then, disconnected()
    // says so.
    Q_INVOKABLE virtual bool setup(const ELM_ConnInfo &cfg, bool adaptive_timing = false) = 0;
    // Why the last setup failed (the port would not open, or "No adapter answers on PORT" with
    // " at RATE bit/s" when the rate was given); empty when it succeeded. setup() only answers
    // yes or no, and its callers need the words to tell the user what to fix.
    virtual QString lastOpenError() const = 0;
    // Why the port went away, the last time disconnected() said it did: "The network connection to
    // tcp://HOST:PORT was reset", "The serial port PORT failed: ...".
    virtual QString lossReason() const = 0;
    // Whether the adapter is reached over the network (tcp://HOST:PORT) rather than a serial port.
    virtual bool isNetworkAdapter() const = 0;
    virtual SetupFailure setupFailure() const = 0;
    // The kind the link drives since the last set-up (ELM327, ELS27, or Custom when chosen so):
    // with Auto, the kind met.
    virtual int adapterKind() const = 0;
    // What the adapter called itself at set-up: its STI answer on an ELS27, its ATI answer on an
    // ELM327; empty when it did not say.
    virtual QString adapterIdentification() const = 0;
    // The vehicle's voltage as the adapter measured it at set-up or at the last voltageRead;
    // NaN when unknown.
    virtual double lastVoltage() const = 0;
    // "12.6V", "12.6" (the adapter's answer to AT RV) in volts; NaN for "?" and anything else.
    static double parseVoltage(const QByteArray &answer);
    // "ELM327", "ELS27", "Custom", "Auto".
    static QString adapterName(int kind);
    // Asks an STN adapter on `port` to change its serial rate, optionally for good.
    Q_INVOKABLE static bool baudSwitch(const QString &port, uint current, uint target, bool permanent);
    Q_INVOKABLE virtual void close() = 0;
    Q_INVOKABLE virtual bool isBusy() const = 0;
    Q_INVOKABLE virtual bool strictMode() const = 0;
    Q_INVOKABLE virtual void setStrictMode(bool on) = 0;
    virtual qint64 guardDelayMs() const = 0;
    // Whether the adapter segments messages itself (an STN chip's STPX), and why or why not.
    virtual bool segmentedTransfer() const = 0;
    virtual QString transferReason() const = 0;
    // From now on every message goes frame by frame.
    virtual void stopSegmenting(const QString &reason) = 0;
    // The device's reply still comes after the adapter stopped listening for it: the adapter
    // listens until a message comes, the link fails the exchange, or another message is sent.
    virtual void listenForReply() = 0;
    // How long a request of `bytes` may take to leave the adapter once its first line is written,
    // nothing coming back meanwhile: long for a message the adapter segments, 0 frame by frame
    // (every line is answered).
    virtual qint64 transmitAllowanceMs(int bytes) const = 0;

public slots:
    // An adapter command ("at", "st"), as one line; ELM327IO sends any other text as a raw frame.
    virtual void write(const QByteArray &data) = 0;
    // The bytes as one raw frame.
    virtual void writeHEX(const QByteArray &data) = 0;
    virtual void transmit(const ELM_BasicMessage &msg) = 0;
    virtual void monitor(bool on) = 0;
    // Asks the adapter for the vehicle's voltage, queued like any adapter line (nothing goes on
    // the CAN bus); voltageRead answers every request once, NaN when unknown or the link failed.
    virtual void requestVoltage() = 0;

signals:
    void connected();
    void disconnected();
    void ready();
    void error(ELM327IOBase::ELM_ERROR code, const QString &reason);
    void read(const QByteArray &data);
    // A line has gone to the adapter, as written (with its carriage return); for logs and tests.
    void lineSent(const QByteArray &line);
    // The first line of a message has gone to the adapter: its wait for the reply begins.
    void requestWritten(const QByteArray &payload);
    // Something the link decided on its own that the user's log should show (the adapter
    // restarted, echo stayed on, the adapter is set up again).
    void notice(const QString &text);
    void voltageRead(double volts);

protected:
    explicit ELM327IOBase(QObject *parent = nullptr);
};
