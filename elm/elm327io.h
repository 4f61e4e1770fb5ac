#pragma once

#include "adapterlink.h"
#include "elm327iobase.h"
#include "isotptransport.h"

#include <QElapsedTimer>

class QTimer;

// The link to the device through a serial OBD adapter: ISO-TP (ISO 15765-2, normal addressing)
// over the adapter's raw CAN frames. It puts together the adapter's line-by-line exchange
// (AdapterLink), which writes the lines and sorts the answers, and the ISO-TP state machine
// (IsoTpTransport), which frames and reassembles the messages; it turns the one's frames into the
// other's lines, keeps the transport's deadlines on a timer, and emits `read` once per complete
// payload.
class ELM327IO : public ELM327IOBase, private AdapterLink::Client
{
    Q_OBJECT

public:
    // High nibble of a frame's first byte
    enum FrameType {
        Single = IsoTpTransport::Single,
        First = IsoTpTransport::First,
        Continued = IsoTpTransport::Continued,
        FlowControl = IsoTpTransport::FlowControl
    };
    Q_ENUM(FrameType)
    // Low nibble of a flow control frame's first byte
    enum FlowState { CTS = IsoTpTransport::CTS, Wait = IsoTpTransport::Wait, Abort = IsoTpTransport::Abort };
    Q_ENUM(FlowState)

    explicit ELM327IO(QObject *parent = nullptr);

    bool isOpen() const override { return m_link.isOpen(); }
    bool setup(const ELM_ConnInfo &cfg, bool adaptive_timing = false) override;
    QString lastOpenError() const override { return m_link.lastOpenError(); }
    QString lossReason() const override { return m_link.lossReason(); }
    bool isNetworkAdapter() const override { return m_link.isNetwork(); }
    SetupFailure setupFailure() const override { return m_link.setupFailure(); }
    int adapterKind() const override { return m_link.adapterKind(); }
    QString adapterIdentification() const override { return m_link.identification(); }
    double lastVoltage() const override { return m_link.lastVoltage(); }
    void close() override { m_link.close(); }
    bool isBusy() const override { return m_link.isBusy(); }
    bool strictMode() const override { return m_link.strictMode(); }
    void setStrictMode(bool on) override { m_link.setStrictMode(on); }
    qint64 guardDelayMs() const override { return m_link.guardDelayMs(); }
    bool segmentedTransfer() const override { return m_link.segmented(); }
    QString transferReason() const override { return m_link.transferReason(); }
    void stopSegmenting(const QString &reason) override { m_link.stopSegmenting(reason); }
    void listenForReply() override;
    qint64 transmitAllowanceMs(int bytes) const override { return m_link.transmitAllowanceMs(bytes); }

public slots:
    void send(const ELM_Message &msg);
    // Adapter commands ("at", "st") go out as they are; any other text as a raw frame.
    void write(const QByteArray &data) override;
    // The text as one line, untouched.
    void writeRAW(const QByteArray &data);
    void writeHEX(const QByteArray &data) override;
    // An ELM_Message goes as ISO-TP; a message of any other kind sends nothing.
    void transmit(const ELM_BasicMessage &msg) override;
    void monitor(bool on) override { m_link.monitor(on); }
    void requestVoltage() override { m_link.requestVoltage(); }

private:
    // AdapterLink::Client
    void dispatch(const QVariant &item) override;
    void frameReceived(const QByteArray &frame) override;
    void lineWritten(const QByteArray &line) override;
    void exchangeAbandoned() override;
    bool exchangeUnderWay() const override { return m_transport.awaitsFlowControl() || m_transport.receiving(); }
    bool wantsToListen() const override { return (m_listening && m_transport.awaitsFlowControl()) || m_awaitingReply; }

    void apply(const IsoTpTransport::Output &out);
    void report(const IsoTpTransport::Error &fault);
    void armDeadline();
    qint64 now() const { return m_clock.elapsed(); }

    QElapsedTimer m_clock; // the transport's time
    IsoTpTransport m_transport;
    QTimer *m_deadline; // fires when the transport's next deadline is due
    QTimer *m_replyWait; // ends the listening for a reply asked for again
    bool m_listening = false; // the device asked to wait: its next flow control is listened for
    bool m_awaitingReply = false; // listenForReply() until the reply comes
    QByteArray m_unwritten; // the payload of the message dispatched last, until its first line is written
    AdapterLink m_link; // last, so that it goes first: it may still reset the adapter as it goes
};
