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
// at a time, each after the adapter's ">" prompt for the previous one (or after that line's
// deadline), serving adapter commands before the queued messages, and sorts the adapter's answers
// into echoes, words and received CAN frames. It knows nothing of ISO-TP: its client turns each
// queued message into frame lines and takes the frames that come back.
//
// Whatever the adapter sends is matched to the line on the wire. A line that failed (a failure
// word, a line that is no frame, a refusal, the client giving up on its reply) or that the adapter
// left unanswered past its deadline is dead: everything it still brings, up to its prompt, is
// dropped, and nothing of its exchange is written any more. Output with no line on the wire is
// dropped too, unless it is the adapter announcing that it restarted.
//
// State, and what moves it on (one line is on the wire in the states from CommandSent to
// Discarding):
//
//   from              on                                            to
//   Closed            setup(): the adapter met and initialised      Idle
//                     (blocking, in SettingUp)
//   Idle, Pacing      a queued line is written                      CommandSent, FrameSent
//   Idle              the receiver's separation time is not over    Pacing
//   Pacing            the queues were emptied meanwhile             Idle
//   Idle              the client wants to listen: "at ma" written   Listening
//   CommandSent       its echo, or the echo of another command      CommandEchoed
//   CommandSent/-Echoed  an answer other than "OK"                  CommandAnswered
//   CommandSent/-Echoed/-Answered  "OK"                             Answering
//   FrameSent         its echo, or the first line of its answer     Answering
//   SegmentSent       "DATA" (the adapter asks for the message)     DataPrompted
//                     "?" to the first STPX, "OUT OF MEMORY"        SegmentRefused
//                     the first line of its answer                  Answering
//   DataPrompted      its ">": the message's hex digits written     Answering
//   Answering         "CAN ERROR" (the line goes again)             Resending
//                     "?" to the reply-count digit (again, without) CountRefused
//   Listening         a line of the exchange waits to be written, or Stopping
//                     the exchange ended: a character stops it
//   a line state      the exchange failed, or the deadline passed   Discarding
//   CommandAnswered, FrameSent, SegmentSent, Answering, Resending, CountRefused, SegmentRefused,
//   Stopping, Discarding  the prompt                                Idle
//   Discarding        no prompt within its deadline                 NeedsSetup
//   a line state      the adapter restarted                         NeedsSetup
//   NeedsSetup        a line waits to be written                    SetupDue
//   SetupDue          the set-up again starts (blocking)            Idle, or Closed
//   any               close(), the port lost                        Closed
//
// A prompt in CommandSent or CommandEchoed belongs to something earlier and is ignored.
class AdapterLink : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Closed, // no port
        SettingUp, // setup(), or the set-up again, talks to the port itself: nothing queued is written
        Idle, // open, nothing on the wire
        Pacing, // the next line waits out the receiver's separation time
        CommandSent, // an adapter command is on the wire; nothing has come back
        CommandEchoed, // an echo came back, no answer yet
        CommandAnswered, // answered otherwise than "OK" (an identification, "?"); an "OK" may follow
        FrameSent, // a frame line is on the wire; nothing has come back (its echo may)
        Answering, // its answer is coming: frames and words until the prompt
        Resending, // "CAN ERROR": after the prompt the line goes again
        CountRefused, // "?" to the count digit: after the prompt the line goes again without it
        SegmentSent, // an STPX line is on the wire; nothing has come back
        DataPrompted, // the adapter asked for the STPX message's data: its ">" follows
        SegmentRefused, // "?" to the first STPX, "OUT OF MEMORY": after the prompt the message goes by frames
        Listening, // "at ma": the device's next frame comes unasked; nothing of ours answers it
        Stopping, // a character stopped the listening; "STOPPED" and the prompt are to come
        Discarding, // the line on the wire is dead: what it still brings is dropped, up to its prompt
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
        // The message under way still waits for the device (its flow control, the rest of its
        // reply) once the adapter has answered every line: the next one waits until it has ended.
        virtual bool exchangeUnderWay() const = 0;
        // The device asked to wait: its next flow control comes unasked and must be listened for.
        virtual bool wantsToListen() const = 0;

    protected:
        ~Client() = default;
    };

    explicit AdapterLink(Client &client, QObject *parent = nullptr);
    ~AdapterLink() override;

    bool isOpen() const;
    bool isBusy() const { return m_state == State::Pacing || lineOnWire(); }
    // See ELM327IOBase::setup. The adapter is met and initialised before it returns; every answer
    // of the initialisation is checked.
    bool setup(const ELM_ConnInfo &cfg, bool adaptiveTiming);
    // The blocking part of setup() without the initialisation: the port opened, the adapter met,
    // warm-started, named and its voltage read, and nothing queued: the link is open and idle.
    bool open(const ELM_ConnInfo &cfg);
    // One adapter command and its answer, blocking, for at most `waitMs`, with nothing on the
    // wire (see askAdapter); null when no prompt came. For the probe.
    QByteArray ask(const QByteArray &command, int waitMs, bool *echoed = nullptr);
    QString lastOpenError() const { return m_lastOpenError; }
    ELM327IOBase::SetupFailure setupFailure() const { return m_failure; }
    // Why the port went away, last time it did: the serial port failed, the connection was reset.
    QString lossReason() const { return m_lossReason; }
    QString identification() const { return m_identification; }
    double lastVoltage() const { return m_lastVoltage; }
    // Queues "at rv" as an exchange of its own; voltageRead answers it, once.
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
    // A CAN identifier as the adapter takes it: three hex digits for 11 bits, eight for 29.
    static QByteArray canIdentifier(int id);
    // Whether a frame line may end in the number of replies to wait for.
    bool takesReplyCount() const { return adapter == ELM327IOBase::ELS27 || replyCount; }

    // How messages cross the adapter, as chosen at set-up (see TransferMode): whether it segments
    // them itself, and why or why not, in the trace's words.
    struct TransferChoice
    {
        bool segmented = false;
        int limit = 0; // the longest message the adapter takes in one STPX
        QString reason;
    };
    static TransferChoice chooseTransfer(int adapterKind, const ELM_ConnInfo &cfg, const QString &identification);
    bool segmented() const { return m_segmented; }
    QString transferReason() const { return m_transferReason; }
    // From now on every message goes frame by frame (a flash that cannot trust a segmented write).
    void stopSegmenting(const QString &reason);
    // Whether a message of `bytes` goes to the adapter in one piece.
    bool segments(int bytes) const { return m_segmented && bytes > 0 && bytes <= m_segmentLimit; }
    // How long such a message may take to leave the adapter once its first line is written, with
    // nothing coming back meanwhile; 0 for a message that goes frame by frame, a line a frame.
    qint64 transmitAllowanceMs(int bytes) const;
    void monitor(bool on);

    // The queues. Nothing is written until pump().
    void queueLine(const QByteArray &text); // one line as given; its carriage return is added
    void queueMessage(const QVariant &item); // turned into lines by the client when its turn comes
    // "at st" for this reply time-out, unless the adapter already has it.
    void queueTimeout(int timeoutMs);
    // Frames sent back to back; the adapter listens for the last one's replies only.
    void queueFrames(const QVector<CanFrame> &frames);
    // One frame that the adapter is to listen after for `replies` frames, with the count digit
    // where the adapter takes it: our own flow control.
    void queueFrameLine(const CanFrame &frame);
    // The longest time-out, then the frame: a raw frame carries no idea of how long its answer takes.
    void queueRawFrame(const QByteArray &hex);
    // Sets the adapter to take messages whole (segmented) or frame by frame, unless the queued
    // lines leave it so already. Nothing on an adapter that never segments.
    void queueFormatting(bool segmented);
    // One message the adapter segments itself, answered by `replies` messages, the longest wait
    // for each `timeoutMs`: a data line of its payload when it fits one frame, an STPX otherwise.
    // The line that carries it, as written.
    QByteArray queueSegmented(const QByteArray &payload, int replies, int timeoutMs);
    // Writes the next line unless one awaits its prompt. While the client wants to listen and no
    // line of its exchange waits, the adapter listens for the device's frames ("at ma").
    void pump();

    // Ends the exchange under way on a reply that breaks the protocol or says it failed, once: the
    // rest of its lines and the client's state for it are dropped, whatever the line on the wire
    // still brings is dropped up to its prompt, then `error` tells the worker, which ends its
    // request; nothing is left that waits for a reply which can no longer come.
    void endExchange(ELM327IOBase::ELM_ERROR code, const QString &reason);
    void note(const QString &text) { trace.note(text); }

    // What the adapter sent, in the order it came: complete lines are handled, the rest waits for
    // the next bytes. readyRead feeds it; the fuzz target feeds it directly.
    void takeInput(const QByteArray &bytes);
    static bool isAdapterCommand(const QByteArray &line);
    // An STPX line: one message the adapter segments itself.
    static bool isSegmentLine(const QByteArray &line);
    // Drops control bytes other than line ends (a NUL some bridges send, noise) in place.
    static void dropStrayBytes(QByteArray &bytes);

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
    // Lets the port go without resetting the adapter, for the same.
    void detach();

private:
    // The adapter's words besides frames, and what each one means for the exchange.
    enum class Word { Frame, Ok, NoData, Stopped, CanError, Searching, Failure, Restart, NonHex };
    // What the adapter is set to, as far as this link knows: what it was told last, or -1 for not
    // known (after a restart, or a refused line).
    struct Settings
    {
        int timeoutUnits = -1; // "at st"
        int responses = -1; // "at r0", "at r1"
        int formatting = -1; // 1: "at caf1" and its companions (segmented); 0: "at caf0" and its (frames)
        bool operator==(const Settings &o) const
        {
            return timeoutUnits == o.timeoutUnits && responses == o.responses && formatting == o.formatting;
        }
    };

    // `headers`: frames come with their CAN identifier in front.
    static Word classify(const QByteArray &line, bool headers = false);
    bool headersShown() const { return m_written.formatting == 1; }
    bool lineOnWire() const;
    // Closed and SettingUp also end the handling of whatever input was being read.
    void setState(State next);

    void readyRead();
    void portFailed(const QString &reason);
    void sendNext();
    bool writeQueued();
    void handleClosing();
    void handleLine(const QByteArray &line);
    bool dropLine(const QByteArray &line);
    void handleCommandAnswer(const QByteArray &line);
    void handleWord(Word word, const QByteArray &line);
    void frameArrived(const QByteArray &line);
    void promptReceived();
    void handleCanError();
    void dropReplyCount();
    bool lineHasCountDigit() const;
    void enqueue(const QByteArray &line);
    static bool readSetting(const QByteArray &line, Settings &settings);
    void noteSetting(const QByteArray &line);
    void forgetQueuedLines();
    void abandonExchange(bool wholeQueue);
    void discardLine();
    void stopListening();
    void adapterRestarted(const QByteArray &word);
    void checkLineDeadline();
    void lineTimedOut();
    void writeLine(const QByteArray &line);
    void writeToPort(const QByteArray &bytes);
    void resetAdapter();
    // Answers the voltage requests that can no longer be: those queued and the one on the wire.
    void dropVoltageRequests();
    // Those of the exchange under way only.
    void dropExchangeVoltage();
    void answerUnknown(int requests);
    void voltageAnswered();
    QByteArray frameLine(const QByteArray &frame, int replies) const;

    // Segmented transfer (messagelines.cpp; its answers in adapteranswers.cpp, its set-up in adaptersetup.cpp).
    bool setUpTransfer(Wire &wire, const ELM_ConnInfo &cfg);
    qint64 segmentBudget(const QByteArray &line) const;
    qint64 segmentAllowance(int bytes) const;
    bool segmentAnswered(const QByteArray &line);
    void writeSegmentData();
    // The adapter asked for an STPX's data when none is to come: one character that is no hex
    // digit makes it give up, and its answer is dropped up to its prompt.
    void cancelSegmentData();
    // What stops an adapter that listens ("at ma"), and ends an STPX's data: any character that is
    // no hex digit does, and is thrown away; a space is also ignored should it reach the adapter
    // after it stopped by itself.
    static QByteArray stopCharacter() { return QByteArrayLiteral(" "); }
    void segmentRefused();
    void segmentTooLong();
    // The message on the wire goes again, by frames.
    void resendByFrames();
    QByteArray frameBytes(const QByteArray &line);
    qint64 lineBudget(const QByteArray &line) const;

    // Opening, the warm start and the initialisation (adaptersetup.cpp).
    static QDeadlineTimer setupDeadline(const ELM_ConnInfo &cfg);
    // On failure `reason`, when given, receives portOpenFailure()'s text.
    static bool openPort(const QString &name, const QVariantMap &portParams, AdapterPort &port,
        QString *reason = nullptr, int connectMs = 5000);
    bool openWith(const ELM_ConnInfo &cfg, Wire &wire);
    bool connectAdapter(const ELM_ConnInfo &cfg, Wire &wire);
    bool meetAdapter(Wire &wire, const ELM_ConnInfo &cfg, uint baud);
    bool identifyAdapter(Wire &wire, const ELM_ConnInfo &cfg);
    bool checkKind(int met, const ELM_ConnInfo &cfg);
    void readVoltage(Wire &wire);
    bool initialise(Wire &wire, const ELM_ConnInfo &cfg);
    bool setUpAgain();
    void reinitialise();
    // The set-up failed once the adapter was met: it is put back at its power-on rate, as a
    // normal close does, and the port closed.
    void abandonSetup();

    Client &m_client;
    AdapterPort *port;
    QTimer *guardTimer;
    QTimer *lineWatch; // looks now and then whether the line on the wire is overdue
    LinkTrace trace;

    State m_state = State::Closed;
    int m_session = 0; // moves on with every Closed and SettingUp, so that stale input handling stops

    QList<QByteArray> commandQueue; // the exchange's lines with their carriage return, before messageQueue
    QList<QVariant> messageQueue; // the client's items: raw frame hex text, or messages; voltage requests
    QByteArray lastCommand; // the line on the wire, or the last one; resent on "can error"
    int canRetries = 0; // consecutive "can error" answers to the line on the wire
    qint64 guardDelay = 0; // ms between two writes: the receiver's ISO-TP separation time
    QElapsedTimer lastSendTime; // since the last line was written
    QByteArray rxBuffer;
    QElapsedTimer lineClock; // since the line was written or the last frame of its reply came
    qint64 lineBudgetMs = 0; // how long past lineClock the line is overdue
    int framesOnLine = 0; // frames the line on the wire brought; a few of them extend its deadline
    qint64 adapterTimeoutMs = 1020; // the "at st" time-out in force
    Settings m_written; // what the lines written so far set the adapter to
    Settings m_queued; // the same once the queued lines are written
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
    QString m_lossReason;
    ELM327IOBase::SetupFailure m_failure = ELM327IOBase::SetupSucceeded;
    QString m_identification; // what the adapter calls itself: STI on an ELS27, ATI on an ELM327
    QByteArray m_adapterAnswer; // its ATI answer, which it introduces itself with after AT BRD
    double m_lastVoltage; // NaN: unknown
    bool m_voltageOnWire = false; // the line on the wire asks for the voltage
    QByteArray m_voltageAnswer; // its answer so far
    int m_owed = 0; // questions ask() wrote whose prompt has not come yet

    // Segmented transfer
    bool m_segmented = false; // messages that fit go whole, by STPX
    bool m_formattingSwitched = false; // set up to segment: each message sets the adapter's formatting as it needs
    bool m_segmentProven = false; // an STPX has gone through since the set-up
    // Frame by frame for the link's life, whatever a set-up again finds: the adapter answered "?"
    // to STPX, or the client asked (stopSegmenting); why.
    QString m_framesOnly;
    QString m_transferReason;
    int m_segmentLimit = 0; // the longest message in one STPX; lowered by "OUT OF MEMORY"
    QVariant m_exchangeItem; // the message whose lines are being written, to send again by frames
    QVariant m_resend; // that message, to be queued again once the refused STPX's prompt has come
    bool m_dataAsked = false; // the line just handled was "DATA": the ">" after it asks for an STPX's data
    QByteArray m_segmentData; // the STPX message's hex digits, written when the adapter asks
    int m_segmentBytes = 0; // its length
    int m_segmentTimeoutMs = 0; // its reply time-out
};
