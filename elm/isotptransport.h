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
// Sending: a payload of up to 4095 bytes goes out as a Single Frame, or as a First Frame and,
// once the receiver's flow control says "continue to send", all its Consecutive Frames at once.
// The receiver's block size is not waited for (the adapter would have to listen for a flow
// control after every block); its separation time is handed back for the caller to keep between
// writes. A flow control that refuses (WAIT, OVERFLOW) ends the message.
//
// Receiving: a First Frame is answered with a flow control for the frames still expected, at most
// fifteen at a time, with no separation time; the next one follows each completed block. Each
// Consecutive Frame must carry the next sequence number (1 after the First Frame, 15 wrapping to
// 0). The last one's fill bytes are dropped and the message is handed back whole.
//
// Deadlines (ISO 15765-2 names): N_Bs, the wait for the receiver's flow control after a First
// Frame went out; N_Cr, the wait for the sender's next Consecutive Frame. Either one passing drops
// what it guarded.
//
//   sending:    Idle --send (8+ bytes)--> AwaitingFlowControl --CTS: the rest--> Idle
//               AwaitingFlowControl --WAIT/OVERFLOW, N_Bs, reset--> Idle
//   receiving:  Idle --First Frame--> Receiving --last Consecutive Frame--> Idle
//               Receiving --wrong sequence number, N_Cr, reset--> Idle
//
// A frame that breaks the protocol (a malformed First Frame, an unknown frame type, a refusing flow
// control) ends the exchange both ways. A frame out of turn only drops the message it belongs to:
// a frame of it went missing on the way.
class IsoTpTransport
{
public:
    // High nibble of a frame's first byte
    enum FrameType { Single = 0, First = 1, Continued = 2, FlowControl = 3 };
    // Low nibble of a flow control frame's first byte
    enum FlowState { CTS = 0, Wait = 1, Abort = 2 };

    static constexpr int maxPayload = 4095; // the First Frame's 12-bit length
    static constexpr int maxBlockSize = 15; // the adapter counts the replies to wait for in one hex digit

    enum class Fault {
        TooLong, // a payload the First Frame cannot announce: nothing is sent
        BadFirstFrame, // a First Frame that is not eight bytes long, or announces what a Single Frame carries
        FlowRefused, // a flow control that does not say "continue to send"
        UnknownFrame, // a frame type above FlowControl
        WrongSequence, // a Consecutive Frame out of turn: the message being received is dropped
        StrayFrame, // a Consecutive Frame with no message under way: dropped, nothing else happens
        BrokenOff, // N_Cr passed: the message being received is dropped
        NoFlowControl, // N_Bs passed: the message being sent is dropped
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
    // The First Frame has (again) gone out: the wait for its flow control starts now.
    void firstFrameSent(qint64 nowMs);
    // One frame from the peer, its bytes as they came.
    Output receive(const QByteArray &frame, qint64 nowMs);
    // Whatever deadline has passed by `nowMs`.
    Output expire(qint64 nowMs);
    // When expire() is due, or -1 when nothing waits.
    qint64 nextDeadline() const;

    bool awaitsFlowControl() const { return m_tx == Tx::AwaitingFlowControl; }
    bool receiving() const { return m_rx == Rx::Receiving; }
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
    // The separation time a flow control frame asks for, in whole milliseconds.
    static int separationTime(const QByteArray &flowControl);

private:
    enum class Tx { Idle, AwaitingFlowControl };
    enum class Rx { Idle, Receiving };

    void receiveFirst(const QByteArray &frame, qint64 nowMs, Output &out);
    void receiveConsecutive(const QByteArray &frame, qint64 nowMs, Output &out);
    void receiveFlowControl(const QByteArray &frame, Output &out);
    void sendFlowControl(Output &out);
    void protocolError(Fault fault, const QString &reason, Output &out);
    void clearReception();

    Timing m_timing;

    Tx m_tx = Tx::Idle;
    QByteArray m_txPayload;
    int m_txReplies = 0;
    qint64 m_txDeadline = -1;

    Rx m_rx = Rx::Idle;
    QByteArray m_rxData;
    int m_rxLength = 0; // announced by the First Frame
    int m_rxFramesLeft = 0; // Consecutive Frames still to come
    int m_rxBlockLeft = 0; // Consecutive Frames before the next flow control is due
    int m_rxSequence = 0; // the sequence number the next Consecutive Frame must carry
    qint64 m_rxDeadline = -1;
};
