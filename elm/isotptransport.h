#pragma once

#include "canframe.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// ISO-TP (ISO 15765-2, normal addressing, classic CAN frames) with one peer, as a state machine
// of its own. It holds no port and no timer: it is handed each frame that arrives and the time (a
// monotonic count of milliseconds), and gives back the frames to send, the messages received
// whole, what went wrong, and when it wants to be called again if nothing arrives before.
//
// Sending: a payload of up to 4095 bytes goes out as a Single Frame, or as a First Frame and, once
// the receiver's flow control says "continue to send", its Consecutive Frames: all of them when
// the block size is 0, otherwise one block, whose last frame the receiver answers with its next
// flow control. The separation time is handed back for the caller to keep between writes. WAIT
// restarts the wait for the flow control (and asks the caller to keep listening for it), up to
// ten in a row; OVERFLOW ends the message as a refusal. A CTS that came right after a WAIT, before
// the adapter listened again, is missed: when the wait runs out after a WAIT the First Frame goes
// once more (a new First Frame restarts the reception), with the adapter told to listen until the
// device falls quiet, so that its WAITs and its CTS are all heard this time.
//
// Receiving: a First Frame is answered with a flow control for the frames still expected, at most
// fifteen at a time, with no separation time; the next one follows each completed block. Each
// Consecutive Frame must carry the next sequence number (1 after the First Frame, 15 wrapping to
// 0). A message is handed back only when every announced byte has come; the last frame's fill
// bytes are dropped.
//
// Deadlines (ISO 15765-2 names): N_Bs, the wait for the receiver's flow control after a First
// Frame or a block went out; N_Cr, the wait for the sender's next Consecutive Frame. Either one
// passing drops what it guarded.
//
//   sending:    Idle --send (8+ bytes)--> AwaitingFlowControl --CTS, BS 0 or the last block--> Idle
//               AwaitingFlowControl --CTS: one block / WAIT--> AwaitingFlowControl
//               AwaitingFlowControl --N_Bs after a WAIT, once: the First Frame again--> AwaitingFlowControl
//               AwaitingFlowControl --OVERFLOW, an eleventh WAIT, N_Bs, reset--> Idle
//   receiving:  Idle --First Frame--> Receiving --last Consecutive Frame--> Idle
//               Receiving --wrong sequence number, a short last frame, N_Cr, reset--> Idle
//
// A frame that is not valid where the exchange stands (a Single Frame that carries less than it
// announces, a malformed First Frame, a flow control nobody waits for, an unknown frame type, a
// short Consecutive Frame that is not the last) is ignored: it does not end a good exchange.
class IsoTpTransport
{
public:
    // High nibble of a frame's first byte
    enum FrameType { Single = 0, First = 1, Continued = 2, FlowControl = 3 };
    // Low nibble of a flow control frame's first byte
    enum FlowState { CTS = 0, Wait = 1, Abort = 2 };

    static constexpr int maxPayload = 4095; // the First Frame's 12-bit length
    static constexpr int maxBlockSize = 15; // the adapter counts the replies to wait for in one hex digit
    static constexpr int maxWaits = 10; // WAITs in a row a receiver may send (N_WFTmax)
    // The replies a frame is sent with when the adapter is to listen until it falls quiet, for as
    // many as come: more than its count digit can say.
    static constexpr int untilQuiet = maxBlockSize + 1;
    static constexpr int reservedSeparationMs = 127; // what a reserved STmin value stands for

    enum class Fault {
        TooLong, // a payload the First Frame cannot announce: nothing is sent
        Overflow, // the receiver has no room for the message (flow control OVERFLOW)
        KeptWaiting, // the receiver sent more WAITs in a row than allowed
        FlowAborted, // a flow control with a flow status that is none of CTS, WAIT, OVERFLOW
        NoFlowControl, // N_Bs passed: the message being sent is dropped
        WrongSequence, // a Consecutive Frame out of turn: the message being received is dropped
        ShortMessage, // the last frame carried fewer bytes than the First Frame announced
        BrokenOff, // N_Cr passed: the message being received is dropped
        Ignored, // a frame not valid where the exchange stands: dropped, nothing else happens
    };
    struct Error
    {
        Fault fault;
        QString reason;
    };

    // What one call gives back.
    struct Output
    {
        QVector<CanFrame> frames; // to send, in this order
        QVector<QByteArray> messages; // received whole
        QVector<Error> errors;
        int separationMs = -1; // the least time between writes a flow control asked for; -1: none came
        // The receiver asked to wait: its next flow control comes unasked, and must be listened for.
        bool listenForFlowControl = false;
    };

    struct Timing
    {
        int flowControlMs = 1000; // N_Bs
        int consecutiveMs = 1000; // N_Cr
    };

    IsoTpTransport() = default;
    explicit IsoTpTransport(Timing timing)
        : m_timing(timing)
    { }

    // Starts sending `payload`, whose last frame `replies` frames answer; a message still waiting
    // for its flow control is dropped.
    Output send(const QByteArray &payload, int replies, qint64 nowMs);
    // A frame the flow control answers (the First Frame, a block's last frame) has (again) gone
    // out: the wait for that flow control starts now.
    void firstFrameSent(qint64 nowMs);
    // One frame from the peer, its bytes as they came.
    Output receive(const QByteArray &frame, qint64 nowMs);
    // Whatever deadline has passed by `nowMs`.
    Output expire(qint64 nowMs);
    // When expire() is due, or -1 when nothing waits.
    qint64 nextDeadline() const;

    bool awaitsFlowControl() const { return m_tx == Tx::AwaitingFlowControl; }
    // The frame the awaited flow control answers: the First Frame, or the last frame of a block.
    QByteArray flowControlAnswers() const { return m_txAnswered; }
    bool receiving() const { return m_rx == Rx::Receiving; }
    // Whether the adapter answers the peer's First Frames itself (an STN chip with automatic flow
    // control): then no flow control is sent from here, and the peer's frames come as it sends them.
    void setAdapterFlowControl(bool on) { m_adapterFlowControl = on; }
    // The message waiting for its flow control will not get one.
    void cancelSend();
    // Drops whatever is under way, both ways.
    void reset();

    // The frames of a payload: the Single Frame or the First Frame, and the Consecutive Frame
    // whose data starts at byte `position`, filled to eight bytes.
    static QByteArray headFrame(const QByteArray &payload);
    static QByteArray consecutiveFrame(const QByteArray &payload, int position, int sequence);
    // The sequence number of the Consecutive Frame after the one numbered `sequence`.
    static int nextSequence(int sequence) { return (sequence + 1) % 16; }
    // The separation time a flow control frame asks for, in whole milliseconds (rounded up).
    static int separationTime(const QByteArray &flowControl);

private:
    enum class Tx { Idle, AwaitingFlowControl };
    enum class Rx { Idle, Receiving };

    void receiveSingle(const QByteArray &frame, Output &out);
    void receiveFirst(const QByteArray &frame, qint64 nowMs, Output &out);
    void receiveConsecutive(const QByteArray &frame, qint64 nowMs, Output &out);
    void receiveFlowControl(const QByteArray &frame, qint64 nowMs, Output &out);
    void sendBlock(int blockSize, Output &out);
    void sendFlowControl(Output &out);
    // The message being sent, or the one being received, ends with `fault`.
    void failSend(Fault fault, const QString &reason, Output &out);
    void failReception(Fault fault, const QString &reason, Output &out);
    static void ignore(const QString &what, Output &out);
    void clearReception();

    Timing m_timing;

    Tx m_tx = Tx::Idle;
    QByteArray m_txPayload;
    int m_txReplies = 0;
    int m_txPosition = 0; // the first payload byte not yet framed
    int m_txSequence = 0; // the sequence number of the last Consecutive Frame framed
    int m_txWaits = 0; // WAITs in a row
    bool m_txResent = false; // the First Frame went again after a WAIT whose CTS never came
    QByteArray m_txAnswered; // see flowControlAnswers()
    qint64 m_txDeadline = -1;

    bool m_adapterFlowControl = false;
    Rx m_rx = Rx::Idle;
    QByteArray m_rxData;
    int m_rxLength = 0; // announced by the First Frame
    int m_rxFramesLeft = 0; // Consecutive Frames still to come
    int m_rxBlockLeft = 0; // Consecutive Frames before the next flow control is due
    int m_rxSequence = 0; // the sequence number the next Consecutive Frame must carry
    qint64 m_rxDeadline = -1;
};
