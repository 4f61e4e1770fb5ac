#pragma once

#include "elm327iobase.h"

class QTimer;

// ISO-TP (ISO 15765-2, normal addressing) over the adapter's raw CAN frames: sends a payload
// as a Single Frame or as a First Frame and, after the receiver's flow control, Consecutive
// Frames; reassembles received messages, sending the flow control frames itself, and emits
// `read` once per complete payload.
class ELM327IO : public ELM327IOBase
{
    Q_OBJECT

public:
    // High nibble of a frame's first byte
    enum FrameType { Single = 0, First = 1, Continued = 2, FlowControl = 3 };
    Q_ENUM(FrameType)
    // Low nibble of a flow control frame's first byte
    enum FlowState { CTS = 0, Wait = 1, Abort = 2 };
    Q_ENUM(FlowState)

    explicit ELM327IO(QObject *parent = nullptr);

public slots:
    void send(const ELM_Message &msg);
    // Adapter commands ("at", "st") go out as they are; any other text as a raw frame.
    void write(const QByteArray &data) override;
    // The text as one line, untouched.
    void writeRAW(const QByteArray &data);

protected:
    void handleFrame(const QByteArray &frame) override;
    void dispatch(const QVariant &item) override;
    void abortExchange() override;

private:
    void receiveFirst(const QByteArray &frame);
    void receiveConsecutive(const QByteArray &frame);
    void receiveFlowControl(const QByteArray &frame);
    void sendFlowControl();
    void clearReception();
    void receptionTimedOut();

    QByteArray rxData;
    int rxLength = 0; // announced by the First Frame
    int rxFramesTotal = 0; // Consecutive Frames that length needs
    int rxFramesReceived = 0;
    int rxBlockLeft = 0; // Consecutive Frames before the next flow control is due
    ELM_Message txMessage; // the message being sent, waiting for the receiver's flow control
    QTimer *rxTimer; // the sender's next Consecutive Frame is overdue when it fires
};
