#pragma once

#include "elm327io.h"
#include "transferoutcome.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QVariant;

// What a protocol worker is made of besides its protocol: the adapter link it owns, wired to its
// io_* slots and strict about unanswered requests, and the way a request goes out. The file
// manager's and the bootloader's clients derive from it; each answers the link's reports in its
// own way and words them through its own signals.
class ELM327Worker : public QObject
{
    Q_OBJECT

public:
    ~ELM327Worker() override;

    // The adapter driver, for its account of why Setup failed.
    const ELM327IOBase &link() const { return m_io; }

    // The log line for a reading of the vehicle's voltage: "Vehicle voltage: 12.6 V", or unknown.
    static QString voltageLine(double volts);
    // Whether a reading refuses work that asked for at least `minimum` volts (NaN: asked for none);
    // an unknown reading refuses it too, since nothing then shows the battery is good enough.
    static bool belowMinimum(double volts, double minimum);
    // Why such work was refused, for the technician.
    static QString lowVoltageReason(double volts, double minimum);
    // Why the link failed an exchange (its code and reason), named by its cause: the device that
    // did not answer, the adapter that did not, the bus, a refusal.
    static QString exchangeFailure(ELM327IOBase::ELM_ERROR code, const QString &reason);
    // How a request ends when its exchange failed so: a refusal will not change if asked again.
    static TransferOutcome failureOutcome(ELM327IOBase::ELM_ERROR code);

public slots:
    // What the link reports. Neither protocol has anything to do when the port opens or the
    // adapter is ready; a lost port, a failed exchange and a reply are theirs to judge.
    virtual void io_connected();
    virtual void io_ready();
    virtual void io_disconnected() = 0;
    virtual void io_error(ELM327IOBase::ELM_ERROR code, QString reason) = 0;
    virtual void io_read(QByteArray data) = 0;
    // Asks the adapter for the vehicle's voltage: an adapter line, nothing on the CAN bus.
    // voltageRead answers every call once, NaN when unknown or the link is down.
    void readVoltage();
    // Puts the adapter back and lets the port go, for a link of its own to take over; nothing is
    // reported. Only while no request is out.
    void closeLink();

signals:
    void voltageRead(double volts);

protected:
    explicit ELM327Worker(QObject *parent = nullptr);

    // Opens and sets up the adapter `param` describes (an ELM_ConnInfo; anything else stands
    // for an empty record). Blocks until the adapter answered or the search gave up.
    bool setupLink(const QVariant &param);
    // One request as one ISO-TP message, with the reply frames the adapter waits for and how
    // long.
    void send(const QByteArray &request, int replies, int timeoutMs);
    // One line to the adapter exactly as given, outside the message framing.
    void writeRaw(const QByteArray &line);
    // Every message from now on frame by frame, for `reason`.
    void stopSegmenting(const QString &reason) { m_io.stopSegmenting(reason); }
    // Listens once more for a reply still under way after the adapter stopped listening for it.
    void listenAgain();
    // The link was closed on purpose (closeLink): nothing sent on it would ever end.
    virtual void io_closed() = 0;
    // Something the link decided on its own that the user's log should show.
    virtual void io_notice(const QString &text) = 0;
    // A reading came, before voltageRead tells it: for the worker's log.
    virtual void io_voltage(double volts) = 0;

private:
    ELM327IO m_io;
};
