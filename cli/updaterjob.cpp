#include "updaterjob.h"

#include <dfupackage.h>

#include <QFileInfo>
#include <QTimer>

namespace {

// The worker's words for a device that stopped answering, and for the end of the flash.
const QString notAnswering = QStringLiteral("Device is not reponsing!");
const QString discovered = QStringLiteral("DFU device discovered");

} // namespace

UpdaterJob::UpdaterJob(const CliOptions &options, CliReport &report, QObject *parent)
    : CliJob(options, report, parent)
    , m_worker(this)
{
    connect(&m_worker, &hiddfu_worker::finished, this, &UpdaterJob::onFinished);
    connect(&m_worker, &hiddfu_worker::error, this, &UpdaterJob::onError);
    connect(&m_worker, &hiddfu_worker::progress, this, [this](int percent) {
        heardFromDevice();
        m_report.progress(percent);
    });
}

void UpdaterJob::start()
{
    if (m_options.command == QLatin1String("flash")) {
        m_package.setFileName(m_options.arguments.value(0));
        if (!m_package.open(QIODevice::ReadOnly)) {
            fail(CliBadInput,
                QStringLiteral("cannot read firmware file %1: %2").arg(m_package.fileName(), m_package.errorString()));
            return;
        }
    }
    m_worker.execute(hiddfu_worker::Setup, QVariant::fromValue(m_options.connection));
}

void UpdaterJob::onFinished(int cmd, bool status, const QVariant &result)
{
    if (ended())
        return;
    heardFromDevice();
    if (cmd == hiddfu_worker::Setup) {
        if (!status) {
            // The driver's reason when the port itself would not open, else the general guess.
            const QString reason = m_worker.link().lastOpenError();
            fail(CliNoConnection,
                reason.isEmpty()
                    ? QStringLiteral("no adapter found on %1 (port missing, busy, or silent at every rate)")
                          .arg(m_options.connection.port)
                    : reason);
            return;
        }
        const QString &command = m_options.command;
        if (command == QLatin1String("bootloader")) {
            m_stage = Stage::Describing;
            m_worker.execute(hiddfu_worker::Info);
        } else if (command == QLatin1String("flash")) {
            m_stage = Stage::Status;
            m_worker.execute(hiddfu_worker::Status);
        } else {
            m_stage = Stage::Launching;
            m_worker.execute(command == QLatin1String("launch") ? hiddfu_worker::APP : hiddfu_worker::UDFU);
        }
        return;
    }
    if (!status) {
        fail(CliDeviceError, m_lastProblem.isEmpty() ? deviceProblem(result) : m_lastProblem);
        return;
    }
    switch (cmd) {
    case hiddfu_worker::Info:
        // The description follows as log lines from the same reply.
        QTimer::singleShot(0, this, &UpdaterJob::afterDescription);
        break;
    case hiddfu_worker::Uuid:
        if (m_stage == Stage::Identifying) {
            m_uuid = result.toString();
            m_stage = Stage::Status;
            m_worker.execute(hiddfu_worker::Status);
        }
        break;
    case hiddfu_worker::Status:
        if (m_stage != Stage::Status)
            break;
        if (m_options.command == QLatin1String("flash"))
            startFlash(result.value<DFUStatus>());
        else
            report(result.value<DFUStatus>());
        break;
    case hiddfu_worker::APP:
        succeed({}, QStringLiteral("application started"));
        break;
    case hiddfu_worker::UDFU:
        succeed({}, QStringLiteral("bootloader restarted"));
        break;
    default:
        break;
    }
}

void UpdaterJob::afterDescription()
{
    m_stage = Stage::Identifying;
    m_worker.execute(hiddfu_worker::Uuid);
}

void UpdaterJob::report(const DFUStatus &status)
{
    const QString board = QString::number(status.boardId, 16).toUpper();
    succeed({{"description", m_description}, {"uuid", m_uuid}, {"boardId", qint64(status.boardId)},
                {"flashSize", qint64(status.flashSize)}, {"flags", status.flags}, {"error", status.error},
                {"extra", qint64(status.extra)}},
        QStringLiteral("%1\nUUID %2\nboard %3, flash %4 bytes, flags %5, error %6")
            .arg(m_description, m_uuid.isEmpty() ? QStringLiteral("-") : m_uuid, board)
            .arg(status.flashSize)
            .arg(status.flags)
            .arg(status.error));
}

void UpdaterJob::startFlash(const DFUStatus &status)
{
    const QString name = QFileInfo(m_package.fileName()).fileName();
    const DfuPackage::Header header = DfuPackage::read(m_package, status.boardId);
    if (header.verdict != DfuPackage::Verdict::Valid) {
        fail(CliBadInput, DfuPackage::refusalText(header.verdict, name));
        return;
    }
    if (!DfuPackage::fits(header.imageSize, status.flashSize)) {
        fail(CliBadInput, DfuPackage::tooBigText(header.imageSize - status.flashSize));
        return;
    }
    m_report.note(QStringLiteral("Opened firmware file %1").arg(header.info.isEmpty() ? name : header.info));
    m_stage = Stage::Flashing;
    m_worker.flash(&m_package);
}

void UpdaterJob::onError(int code, const QVariant &param)
{
    if (ended())
        return;
    heardFromDevice();
    const QString text = param.toString();
    switch (code) {
    case hiddfu_worker::ERR_OK:
        if (m_options.launch) {
            m_report.note(text);
            m_stage = Stage::Launching;
            m_worker.execute(hiddfu_worker::APP);
        } else {
            succeed({{"flashed", true}}, QStringLiteral("flashed, finalise confirmed by the device"));
        }
        break;
    case hiddfu_worker::ERR_COMM:
        if (text == QLatin1String("Transport unexpectedly closed"))
            fail(CliLinkLost, QStringLiteral("the serial port closed during the work (%1)").arg(text));
        else
            fail(CliDeviceError, text);
        break;
    case hiddfu_worker::ERR_FLASH:
        fail(CliBadInput, text);
        break;
    case hiddfu_worker::ERR_UNSUP:
        fail(CliUsage, text);
        break;
    case hiddfu_worker::ERR_NOTIFY:
    case hiddfu_worker::ERR_LOG:
        if (text == notAnswering) {
            fail(CliNoAnswer, QStringLiteral("the device stopped answering"));
        } else if (text == discovered) {
            m_afterDiscovery = true;
        } else if (m_afterDiscovery) {
            m_description = text;
            m_afterDiscovery = false;
        } else if (code == hiddfu_worker::ERR_NOTIFY) {
            m_report.note(text); // "Erasing", "Flashing", "Finalizing"
        } else if (text == QLatin1String("Device does not report UUID") && m_stage == Stage::Identifying) {
            // Refused outright, no UUID reply follows: go on without it.
            m_stage = Stage::Status;
            m_worker.execute(hiddfu_worker::Status);
        }
        break;
    default:
        break;
    }
}

QString UpdaterJob::deviceProblem(const QVariant &code) const
{
    return QStringLiteral("the device refused the request (error code %1)").arg(code.toInt());
}
