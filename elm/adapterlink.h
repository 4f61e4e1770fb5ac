#pragma once

#include "adapterport.h"
#include "canframe.h"
#include "elm327iobase.h"
#include "linktrace.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QVariant>
#include <QVector>

class QTimer;
struct Wire;

// The serial OBD adapter of the ELM327 kind, as a line-by-line exchange: it writes one text line
// at a time, each after the adapter's ">" prompt for the previous one, serving adapter commands
// before the queued messages, and sorts the adapter's answers into echoes, words and received CAN
// frames. It knows nothing of ISO-TP: its client turns each queued message into frame lines and
// takes the frames that come back.
//
// State, and what moves it on (one line is on the wire in the states from CommandSent to
// CountRefused):
//
//   from              on                                            to
//   Closed            setup()                                       SettingUp
//   SettingUp         the adapter answered: its initialisation is   Idle
//                     queued, and its first line written at once
//                     no port, or no adapter answered               Closed
//   Idle, Pacing      a queued line is written                      CommandSent, FrameSent
//   Idle              the receiver's separation time is not over    Pacing
//   Pacing            the queues were emptied meanwhile             Idle
//   CommandSent       its echo, or the echo of another command      CommandEchoed
//   CommandSent/-Echoed  an answer other than "OK"                  CommandAnswered
//   CommandSent/-Echoed/-Answered  "OK"                             Answering
//   FrameSent         its echo, or the first line of its answer     Answering
//   Answering         "CAN ERROR" (the line goes again)             Resending
//                     "?" to the reply-count digit (again, without) CountRefused
//   CommandAnswered, FrameSent, Answering, Resending, CountRefused
//                     the prompt                                    Idle
//   a line state      the adapter restarted, or left it unanswered  NeedsSetup
//   NeedsSetup        a line waits to be written                    SetupDue
//   SetupDue          the set-up again starts                       SettingUp
//   any               close(), the port lost                        Closed
//
// A prompt in CommandSent or CommandEchoed belongs to something earlier and is ignored.
class AdapterLink : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Closed, // no port
        SettingUp, // setup(), or the set-up again, is waiting on the port: nothing queued is written
        Idle, // open, nothing on the wire
        Pacing, // the next line waits out the receiver's separation time
        CommandSent, // an adapter command is on the wire; nothing has come back
        CommandEchoed, // an echo came back, no answer yet
        CommandAnswered, // answered otherwise than "OK" (an identification, "?"); an "OK" may follow
        FrameSent, // a frame line is on the wire; nothing has come back (its echo may)
        Answering, // its answer is coming: frames and words until the prompt
        Resending, // "CAN ERROR": after the prompt the line goes again
        CountRefused, // "?" to the count digit: after the prompt the line goes again without it
        NeedsSetup, // the adapter's settings are lost: it is set up again before the next line
        SetupDue, // a line waits, and the set-up again is queued
    };

    // What the link asks of the transport above it and tells it, on the path of every line:
    // called directly rather than signalled, since that path is what the benchmarks measure.
    class Client
    {
    public:
        // Turns one queued message item into lines (queueTimeout, queueFrames, queueRawFrame).
        virtual void dispatch(const QVariant &item) = 0;
        // The bytes of one frame the adapter received.
        virtual void frameReceived(const QByteArray &frame) = 0;
        // A line has gone to the adapter, as written (with its carriage return).
        virtual void lineWritten(const QByteArray &line) = 0;
        // The exchange under way failed: whatever the transport holds for it is dropped.
        virtual void exchangeAbandoned() = 0;

    protected:
        ~Client() = default;
    };

    explicit AdapterLink(Client &client, QObject *parent = nullptr);
    ~AdapterLink() override;

    bool isOpen() const;
    bool isBusy() const { return m_state == State::Pacing || lineOnWire(); }
    // See ELM327IOBase::setup.
    bool setup(const ELM_ConnInfo &cfg, bool adaptiveTiming);
    // The blocking part of setup(): the port opened, the adapter met, warm-started, named and its
    // voltage read, and nothing queued: the link is open and idle, the adapter not initialised.
    bool open(const ELM_ConnInfo &cfg);
    // One adapter command and its answer, blocking, for at most `waitMs`, with nothing on the
    // wire (see askAdapter); null when no prompt came. For the probe.
    QByteArray ask(const QByteArray &command, int waitMs, bool *echoed = nullptr);
    QString lastOpenError() const { return m_lastOpenError; }
    ELM327IOBase::SetupFailure setupFailure() const { return m_failure; }
    QString identification() const { return m_identification; }
    double lastVoltage() const { return m_lastVoltage; }
    // Queues "at rv"; voltageRead answers it, once.
    void requestVoltage();
    bool lowLatencyGranted() const { return port->lowLatencyGranted(); }
    bool isNetwork() const { return port->isNetwork(); }
    // The serial rate the switch raised the adapter to; 0 when it was not raised.
    int raisedRate() const { return portRate > baseRate ? portRate : 0; }
    static bool baudSwitch(const QString &port, uint current, uint target, bool permanent);
    void close();
    bool strictMode() const { return m_strictMode; }
    void setStrictMode(bool on) { m_strictMode = on; }
    qint64 guardDelayMs() const { return guardDelay; }
    // Until the queues run empty, no two writes come closer than this: the receiver's separation time.
    void setGuardDelay(qint64 ms) { guardDelay = ms; }
    int adapterKind() const { return adapter; }
    void monitor(bool on);

    // The queues. Nothing is written until pump().
    void queueLine(const QByteArray &text); // one line as given; its carriage return is added
    void queueMessage(const QVariant &item); // turned into lines by the client when its turn comes
    void queueTimeout(int timeoutMs);
    // Frames sent back to back; the adapter listens for the last one's replies only.
    void queueFrames(const QVector<CanFrame> &frames);
    // The longest time-out, then the frame: a raw frame carries no idea of how long its answer takes.
    void queueRawFrame(const QByteArray &hex);
    // Writes the next line unless one awaits its prompt.
    void pump();

    // Ends the exchange under way on a reply that breaks the protocol or says it failed: the rest
    // of its lines and the client's state for it are dropped, then `error` tells the worker, which
    // ends its request; nothing is left that waits for a reply which can no longer come.
    void endExchange(ELM327IOBase::ELM_ERROR code, const QString &reason);
    void note(const QString &text) { trace.note(text); }

    // What the adapter sent, in the order it came: complete lines are handled, the rest waits for
    // the next bytes. readyRead feeds it; the fuzz target feeds it directly.
    void takeInput(const QByteArray &bytes);
    static bool isAdapterCommand(const QByteArray &line);

signals:
    void connected();
    void disconnected();
    void ready();
    void error(ELM327IOBase::ELM_ERROR code, const QString &reason);
    void notice(const QString &text);
    void voltageRead(double volts);

protected:
    // Drives an adapter that needs no set-up, on `portName`: for whoever plays the adapter's other
    // end itself (the fuzz target).
    bool attach(const QString &portName, int adapterKind);

private:
    // The adapter's words besides frames, and what each one means for the exchange.
    enum class Word { Frame, Ok, NoData, Stopped, CanError, Searching, Failure, Restart, NonHex };
    // The initialisation's lines go out like any others. An adapter may answer "at e0" and still
    // echo (some clones do): it is told once more at the end.
    enum class Initialisation { Done, Lines, EchoOff, EchoStillOn, EchoOffAgain };

    static Word classify(const QByteArray &line);
    bool lineOnWire() const;
    // Closed and SettingUp also end the handling of whatever input was being read.
    void setState(State next);

    void readyRead();
    void portFailed(const QString &reason);
    void sendNext();
    void handleClosing();
    void handleLine(const QByteArray &line);
    void handleWord(Word word, const QByteArray &line);
    void promptReceived();
    void handleCanError();
    void dropReplyCount();
    bool lineHasCountDigit() const;
    void abandonExchange(bool wholeQueue);
    void adapterRestarted(const QByteArray &word);
    void checkLineDeadline();
    void lineTimedOut();
    bool finishInitialisation();
    void writeLine(const QByteArray &line);
    void writeToPort(const QByteArray &bytes);
    void resetAdapter();
    // Answers the voltage requests that can no longer be: those queued and the one on the wire.
    void dropVoltageRequests();
    void voltageAnswered();
    QByteArray frameLine(const QByteArray &frame, int replies) const;

    // Opening, the warm start and the initialisation (adaptersetup.cpp).
    static QDeadlineTimer setupDeadline(const ELM_ConnInfo &cfg);
    // On failure `reason`, when given, receives portOpenFailure()'s text.
    static bool openPort(const QString &name, const QVariantMap &portParams, AdapterPort &port,
        QString *reason = nullptr, int connectMs = 5000);
    bool connectAdapter(const ELM_ConnInfo &cfg, QDeadlineTimer deadline);
    bool identifyAdapter(Wire &wire, const ELM_ConnInfo &cfg);
    void readVoltage(Wire &wire);
    void queueInitialisation(const ELM_ConnInfo &cfg, bool adaptiveTiming);
    void reinitialise();

    Client &m_client;
    AdapterPort *port;
    QTimer *guardTimer;
    QTimer *lineWatch; // looks now and then whether the line on the wire is overdue
    LinkTrace trace;

    State m_state = State::Closed;
    Initialisation m_init = Initialisation::Done;
    int m_session = 0; // moves on with every Closed and SettingUp, so that stale input handling stops

    QList<QByteArray> commandQueue; // lines with their carriage return, served before messageQueue
    QList<QVariant> messageQueue; // the client's items: raw frame hex text, or messages
    QByteArray lastCommand; // the line on the wire, or the last one; resent on "can error"
    int canRetries = 0; // consecutive "can error" answers to the line on the wire
    qint64 guardDelay = 0; // ms between two writes: the receiver's ISO-TP separation time
    QElapsedTimer lastSendTime; // since the last line was written
    QByteArray rxBuffer;
    QElapsedTimer lineActivity; // since the line was written or the adapter last said something
    qint64 lineBudgetMs = 0; // how long the adapter may stay silent before the line is overdue
    qint64 adapterTimeoutMs = 1020; // the "at st" time-out in force
    int portRate = 0; // the serial rate in force
    int baseRate = 0; // the rate the adapter was met at, before any AT BRD switch
    int adapter = ELM327IOBase::Custom;

    // Settings, and what the adapter turned out to take
    bool m_strictMode = false; // report "no data" and "stopped" as errors
    bool replyCount = true; // the ELM327 takes a reply-count digit at the end of a frame line
    bool monitoring = false; // "ATMA" has been written outside the queues and not yet stopped
    ELM_ConnInfo config; // what the last setup was asked for, to set the adapter up again
    bool adaptiveTiming = false;
    QString m_lastOpenError;
    ELM327IOBase::SetupFailure m_failure = ELM327IOBase::SetupSucceeded;
    QString m_identification; // what the adapter calls itself: STI on an ELS27, ATI on an ELM327
    double m_lastVoltage; // NaN: unknown
    bool m_voltageOnWire = false; // the line on the wire asks for the voltage
    QByteArray m_voltageAnswer; // its answer so far
};
