#pragma once

#include "elmconninfo.h"
#include "elmmessage.h"
#include "linktrace.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QVariant>

class QTimer;

// Why a serial port could not be opened, in words a technician can act on: a permission problem
// names the group that grants access, because that is the usual cause on a fresh Linux install.
QString portOpenFailure(const QString &port, QSerialPort::SerialPortError error, const QString &systemText);

// Driver of a serial OBD adapter of the ELM327 kind. It writes one text line at a time, each
// after the adapter's ">" prompt for the previous one, serving adapter commands before the
// queued messages, and turns the adapter's reply lines into received CAN frames. Raw frames
// only; ELM327IO adds ISO-TP.
class ELM327IOBase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool strictMode READ strictMode WRITE setStrictMode)

public:
    enum Adapter { ELM327 = 0, ELS27 = 1, Custom = 2 };
    Q_ENUM(Adapter)
    enum ELM_ERROR {
        ERR_OK = 0,
        ERR_NODATA = -1,
        ERR_STOPPED = -2,
        ERR_CANERR = -3,
        ERR_PROTOCOL = -4,
        ERR_OTHER = -255
    };
    Q_ENUM(ELM_ERROR)

    explicit ELM327IOBase(QObject *parent = nullptr);
    ~ELM327IOBase() override;

    Q_INVOKABLE bool isOpen() const;
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
    Q_INVOKABLE bool setup(const ELM_ConnInfo &cfg, bool adaptive_timing = false);
    // Why the last setup failed (the port would not open, or "No adapter answers on PORT" with
    // " at RATE bit/s" when the rate was given); empty when it succeeded. setup() only answers
    // yes or no, and its callers need the words to tell the user what to fix.
    QString lastOpenError() const { return m_lastOpenError; }
    // Asks an STN adapter on `port` to change its serial rate, optionally for good.
    Q_INVOKABLE static bool baudSwitch(const QString &port, uint current, uint target, bool permanent);
    Q_INVOKABLE void close();
    Q_INVOKABLE bool isBusy() const { return busy; }
    Q_INVOKABLE bool strictMode() const { return m_strictMode; }
    Q_INVOKABLE void setStrictMode(bool on) { m_strictMode = on; }
    qint64 guardDelayMs() const { return guardDelay; }

public slots:
    virtual void write(const QByteArray &data);
    virtual void writeHEX(const QByteArray &data);
    virtual void transmit(const ELM_BasicMessage &msg);
    void monitor(bool on);

signals:
    void connected();
    void disconnected();
    void ready();
    void error(ELM327IOBase::ELM_ERROR code, const QString &reason);
    void read(const QByteArray &data);
    // A line has gone to the adapter, as written (with its carriage return); for logs and tests.
    void lineSent(const QByteArray &line);
    // Something the link decided on its own that the user's log should show (the adapter
    // restarted, echo stayed on, the adapter is set up again).
    void notice(const QString &text);

protected:
    virtual void handleLine(const QByteArray &line);
    virtual void handleFrame(const QByteArray &frame);
    virtual void dispatch(const QVariant &item);
    // The exchange under way failed: whatever the transport holds for it is dropped.
    virtual void abortExchange() { }
    // Ends the exchange under way on a reply that breaks the protocol or says it failed: the rest
    // of its lines and the transport's state for it are dropped, then `error` tells the worker,
    // which ends its request; nothing is left that waits for a reply which can no longer come.
    void endExchange(ELM_ERROR code, const QString &reason);

    // What the adapter sent, in the order it came: complete lines are handled, the rest waits
    // for the next bytes. readyRead feeds it; the fuzz targets feed it directly.
    void takeInput(const QByteArray &bytes);
    void sendFrames(ELM_BasicMessage &msg);
    void queueRawFrame(const QByteArray &hex);
    static QByteArray timeoutCommand(int timeoutMs);
    // The frame line that asks the adapter to wait for `replies` answers. The ELS27 always takes
    // the count as a trailing digit (0: none); an ELM327 takes it too (v1.3 on), for one or
    // more replies, and is told with "at r0"/"at r1" whether to listen at all. An adapter that
    // does not know the digit is driven without it, listening for its whole time-out.
    void appendFrameLine(const QByteArray &frame, int replies);
    bool usesReplyCount() const { return adapter == ELS27 || replyCount; }
    static bool isAdapterCommand(const QByteArray &line);
    // On failure `reason`, when given, receives portOpenFailure()'s text.
    static bool openPort(
        const QString &name, const QVariantMap &portParams, QSerialPort &port, QString *reason = nullptr);
    static bool switchRate(QSerialPort &port, const QByteArray &command, uint target, bool permanent);

protected slots:
    void readyRead();
    void errorOccurred(QSerialPort::SerialPortError error);
    void sendNext();
    void handleClosing();

protected:
    QSerialPort *port;
    QList<QByteArray> commandQueue; // lines with their carriage return, served before messageQueue
    QByteArray lastCommand; // resent on "can error"
    int canRetries = 0; // consecutive "can error" answers to the line on the wire
    qint64 guardDelay = 0; // ms between two writes: the receiver's ISO-TP separation time
    QElapsedTimer lastSendTime; // since the last line was written
    QByteArray rxBuffer;
    bool m_strictMode = false; // report "no data" and "stopped" as errors
    bool monitoring = false;
    bool busy = false; // a line awaits its prompt, or a guard wait runs
    bool commandPending = false; // the line on the wire is an adapter command not yet answered "OK"
    bool replyCount = true; // the ELM327 takes a reply-count digit at the end of a frame line
    int adapter = Custom;
    QList<QVariant> messageQueue; // raw frame hex text, ELM_BasicMessage or ELM_Message
    LinkTrace trace;

private:
    // The adapter's words besides frames, and what each one means for the exchange.
    enum class Word { Frame, Ok, NoData, Stopped, CanError, Searching, Failure, Restart, NonHex };
    static Word classify(const QByteArray &line);

    void promptReceived();
    void handleCanError();
    void dropReplyCount();
    void abandonExchange(bool wholeQueue);
    void adapterRestarted(const QByteArray &word);
    void checkLineDeadline();
    void lineTimedOut();
    bool finishInitialisation();
    void writeLine(const QByteArray &line);
    void writeToPort(const QByteArray &bytes);
    void resetAdapter();

    // Opening, the rate search and the adapter's warm start (elm327setup.cpp).
    static QDeadlineTimer setupDeadline(const ELM_ConnInfo &cfg);
    bool connectAdapter(const ELM_ConnInfo &cfg, QDeadlineTimer deadline);
    void queueInitialisation(const ELM_ConnInfo &cfg, bool adaptiveTiming);
    void reinitialise();

    QTimer *guardTimer;
    QTimer *lineWatch; // looks now and then whether the line on the wire is overdue
    QString m_lastOpenError;

    // The line on the wire
    bool lineInFlight = false;
    bool echoPending = false; // its echo, if the adapter echoes, has not come yet
    bool replySeen = false; // an adapter command has had an answer besides its echo
    bool canErrorOnLine = false;
    bool countDigitOnLine = false; // the line ends in a reply-count digit
    QElapsedTimer lineActivity; // since the line was written or the adapter last said something
    qint64 lineBudgetMs = 0; // how long the adapter may stay silent before the line is overdue
    qint64 adapterTimeoutMs = 1020; // the "at st" time-out in force
    int portRate = 0; // the serial rate in force
    int baseRate = 0; // the rate the adapter was met at, before any AT BRD switch

    // Initialisation and recovery
    ELM_ConnInfo config; // what the last setup was asked for, to set the adapter up again
    bool adaptiveTiming = false;
    bool initialising = false; // the initialisation lines are still being answered
    bool echoOffAnswered = false; // "at e0" has been answered during this initialisation
    bool echoStillOn = false; // a line written after that came back as an echo
    bool echoRepeated = false; // "at e0" has been sent a second time
    bool needsSetup = false; // the adapter's state is unknown: set it up before the next line
    bool setupScheduled = false;
    bool settingUp = false; // setup() or reinitialise() is waiting for the adapter
    int inputGeneration = 0; // moves on whenever the link is reset, so stale input processing stops
};
