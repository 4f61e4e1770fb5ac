#include "elm327worker.h"

#include "transferoutcome.h"

#include <QIODevice>
#include <QVariant>

#include <cmath>

namespace {

// What both workers take through queued calls and report through queued signals: the source
// lent for an upload or a flash, and how it ended.
void registerWorkerTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<QIODevice *>("QIODevice*");
        qRegisterMetaType<TransferOutcome>();
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

ELM327Worker::ELM327Worker(QObject *parent)
    : QObject(parent)
    , m_io(this)
{
    registerWorkerTypes();
    // No-data and stopped answers must come back as errors: a request the device never answered
    // would otherwise go unnoticed, and the bootloader's retries are driven by them.
    m_io.setStrictMode(true);
    connect(&m_io, &ELM327IOBase::connected, this, &ELM327Worker::io_connected);
    connect(&m_io, &ELM327IOBase::disconnected, this, &ELM327Worker::io_disconnected);
    connect(&m_io, &ELM327IOBase::ready, this, &ELM327Worker::io_ready);
    connect(&m_io, &ELM327IOBase::error, this, &ELM327Worker::io_error);
    connect(&m_io, &ELM327IOBase::read, this, &ELM327Worker::io_read);
    connect(&m_io, &ELM327IOBase::notice, this, &ELM327Worker::io_notice);
    connect(&m_io, &ELM327IOBase::voltageRead, this, [this](double volts) {
        io_voltage(volts);
        emit voltageRead(volts);
    });
}

// The link is a member of this base and goes after the protocol that derives from it: whatever
// it might report while it closes must not reach slots whose owner is already gone.
ELM327Worker::~ELM327Worker()
{
    m_io.disconnect(this);
}

void ELM327Worker::closeLink()
{
    m_io.close();
    io_closed();
}

void ELM327Worker::io_connected()
{ }

void ELM327Worker::io_ready()
{ }

bool ELM327Worker::setupLink(const QVariant &param)
{
    const ELM_ConnInfo cfg = param.canConvert<ELM_ConnInfo>() ? param.value<ELM_ConnInfo>() : ELM_ConnInfo();
    return m_io.setup(cfg, false);
}

void ELM327Worker::send(const QByteArray &request, int replies, int timeoutMs)
{
    m_io.send(ELM_Message(request, replies, timeoutMs));
}

void ELM327Worker::listenAgain()
{
    // An adapter that adds the PCI byte would send the flow control below as a request.
    if (m_io.segmentedTransfer()) {
        m_io.listenForReply();
        return;
    }
    // The longest time-out, responses on, and a flow control frame (continue, block size 1)
    // that releases a multi-frame reply.
    writeRaw("at st ff");
    writeRaw("at r1");
    writeRaw("300100");
}

void ELM327Worker::writeRaw(const QByteArray &line)
{
    m_io.writeRAW(line);
}

void ELM327Worker::readVoltage()
{
    m_io.requestVoltage();
}

QString ELM327Worker::voltageLine(double volts)
{
    return std::isnan(volts) ? tr("Vehicle voltage unknown") : tr("Vehicle voltage: %1 V").arg(volts, 0, 'f', 1);
}

bool ELM327Worker::belowMinimum(double volts, double minimum)
{
    return !std::isnan(minimum) && (std::isnan(volts) || volts < minimum);
}

QString ELM327Worker::lowVoltageReason(double volts, double minimum)
{
    if (std::isnan(volts))
        return tr("The vehicle's voltage cannot be read; %1 V was asked for").arg(minimum, 0, 'f', 1);
    return tr("The vehicle's battery reads %1 V, below the %2 V asked for")
        .arg(volts, 0, 'f', 1)
        .arg(minimum, 0, 'f', 1);
}

QString ELM327Worker::exchangeFailure(ELM327IOBase::ELM_ERROR code, const QString &reason)
{
    switch (code) {
    case ELM327IOBase::ERR_NODATA:
    case ELM327IOBase::ERR_STOPPED:
        return tr("No responce from the device");
    case ELM327IOBase::ERR_SILENT:
        return tr("The adapter did not answer (%1)").arg(reason);
    case ELM327IOBase::ERR_CANERR:
        return tr("The adapter could not put the request on the CAN bus (%1)").arg(reason);
    case ELM327IOBase::ERR_REFUSED:
        return reason;
    case ELM327IOBase::ERR_PROTOCOL:
        return tr("The reply broke the protocol (%1)").arg(reason);
    default:
        return tr("The adapter failed the exchange (%1)").arg(reason);
    }
}

TransferOutcome ELM327Worker::failureOutcome(ELM327IOBase::ELM_ERROR code)
{
    return code == ELM327IOBase::ERR_REFUSED ? TransferOutcome::Refused : TransferOutcome::NotResponding;
}
