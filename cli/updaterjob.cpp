#include "updaterjob.h"

#include <dfupackage.h>

#include <QFileInfo>

namespace {

// What the device refused, in words: "the device refused to launch: code 0x22".
QString refusal(int cmd, int code)
{
    QString what;
    switch (cmd) {
    case hiddfu_worker::Status:
        what = QStringLiteral("the status request");
        break;
    case hiddfu_worker::Info:
        what = QStringLiteral("the description request");
        break;
    case hiddfu_worker::Uuid:
        what = QStringLiteral("the unique ID request");
        break;
    case hiddfu_worker::Erase:
        what = QStringLiteral("the erase");
        break;
    case hiddfu_worker::SetAddress:
        what = QStringLiteral("the write address");
        break;
    case hiddfu_worker::Write:
        what = QStringLiteral("a write");
        break;
    case hiddfu_worker::Finalize:
        what = QStringLiteral("the end of the flash");
        break;
    case hiddfu_worker::APP:
        what = QStringLiteral("to launch");
        break;
    case hiddfu_worker::UDFU:
        what = QStringLiteral("to restart the bootloader");
        break;
    default:
        what = QStringLiteral("the request");
        break;
    }
    return QStringLiteral("the device refused %1: code 0x%2")
        .arg(what, QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0')));
}

} // namespace

UpdaterJob::UpdaterJob(const CliOptions &options, CliReport &report, QObject *parent)
    : CliJob(options, report, parent)
    , m_worker(this)
{
    connect(&m_worker, &hiddfu_worker::finished, this, &UpdaterJob::onFinished);
    connect(&m_worker, &hiddfu_worker::flashEnded, this, &UpdaterJob::onFlashEnded);
    connect(&m_worker, &hiddfu_worker::applicationErased, this, [this] { m_applicationErased = true; });
    connect(&m_worker, &hiddfu_worker::error, this, &UpdaterJob::onError);
    connect(&m_worker, &hiddfu_worker::progress, this, [this](int percent) {
        heardFromDevice();
        m_report.progress(percent);
    });
    connect(&m_worker, &hiddfu_worker::described, this, [this](const QString &text) { m_description = text; });
    connect(&m_worker, &hiddfu_worker::notResponding, this, [this] {
        if (!ended() && m_stage != Stage::Flashing)
            fail(CliNoAnswer, QStringLiteral("the device stopped answering"));
    });
    connect(&m_worker, &hiddfu_worker::linkLost, this, [this] {
        // A flash's end says so itself, and may be tried again.
        if (!ended() && m_stage != Stage::Flashing)
            fail(CliLinkLost, QStringLiteral("the serial port closed during the work"));
    });
}

void UpdaterJob::start()
{
    if (m_options.command == QLatin1String("flash")) {
        m_package.setFileName(m_options.arguments.value(0));
        // A named pipe or a device would hold the open until something writes to it, maybe for ever.
        const QFileInfo info(m_package.fileName());
        if (info.exists() && !info.isFile()) {
            fail(CliBadInput,
                QStringLiteral("cannot read firmware file %1: not a regular file").arg(m_package.fileName()));
            return;
        }
        if (!m_package.open(QIODevice::ReadOnly)) {
            fail(CliBadInput,
                QStringLiteral("cannot read firmware file %1: %2").arg(m_package.fileName(), m_package.errorString()));
            return;
        }
        // What the package says about itself is checked before the adapter is touched; the
        // board and the flash size come from the device.
        const DfuPackage::Verdict verdict = DfuPackage::inspect(m_package).verdict;
        if (verdict != DfuPackage::Verdict::Valid) {
            fail(CliBadInput, DfuPackage::refusalText(verdict, QFileInfo(m_package.fileName()).fileName()));
            return;
        }
    }
    connectAdapter();
}

void UpdaterJob::connectAdapter()
{
    m_stage = Stage::Connecting;
    m_lastProblem.clear();
    m_refusal.clear();
    m_applicationErased = false;
    m_worker.execute(hiddfu_worker::Setup, QVariant::fromValue(m_options.connection));
}

void UpdaterJob::restart()
{
    m_package.seek(0);
    connectAdapter();
}

QString UpdaterJob::interruptedWork() const
{
    if (m_stage == Stage::Flashing)
        return QStringLiteral("interrupted while flashing: the device has no application");
    return CliJob::interruptedWork();
}

void UpdaterJob::onFinished(int cmd, bool status, const QVariant &result)
{
    if (ended())
        return;
    heardFromDevice();
    if (cmd == hiddfu_worker::Setup) {
        if (endedDuringSetup())
            return;
        if (!status) {
            // The driver's reason when set-up failed, else the general guess.
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
            // Asked together; the status, which comes last, ends the description.
            m_stage = Stage::Describing;
            m_worker.execute(hiddfu_worker::Info);
            m_worker.execute(hiddfu_worker::Uuid);
            m_worker.execute(hiddfu_worker::Status);
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
        // The device refused the command: its own code, whatever the worker words after it.
        m_refusal = refusal(cmd, result.toInt());
        if (m_stage != Stage::Flashing) // a flash's end is told by flashEnded
            fail(CliDeviceError, m_refusal);
        return;
    }
    switch (cmd) {
    case hiddfu_worker::Uuid:
        m_uuid = result.toString();
        break;
    case hiddfu_worker::Status:
        if (m_stage == Stage::Status)
            startFlash(result.value<DFUStatus>());
        else if (m_stage == Stage::Describing)
            report(result.value<DFUStatus>());
        break;
    case hiddfu_worker::APP:
        if (m_stage == Stage::Launching)
            succeed({}, QStringLiteral("application started"));
        break;
    case hiddfu_worker::UDFU:
        if (m_stage == Stage::Launching)
            succeed({}, QStringLiteral("bootloader restarted"));
        break;
    default:
        break;
    }
}

void UpdaterJob::report(const DFUStatus &status)
{
    const QString board = QString::number(status.boardId, 16).toUpper();
    succeed({{"description", m_description}, {"uuid", m_uuid}, {"boardId", qint64(status.boardId)},
                {"flashSize", qint64(status.flashSize)}, {"flags", status.flags}, {"error", status.error},
                {"extra", qint64(status.extra)}},
        QStringList {m_description, QStringLiteral("UUID %1").arg(m_uuid.isEmpty() ? QStringLiteral("-") : m_uuid),
            QStringLiteral("board %1, flash %2 bytes, flags %3, error %4")
                .arg(board)
                .arg(status.flashSize)
                .arg(status.flags)
                .arg(status.error)});
}

void UpdaterJob::startFlash(const DFUStatus &status)
{
    const QString name = QFileInfo(m_package.fileName()).fileName();
    m_package.seek(0);
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

void UpdaterJob::onFlashEnded(TransferOutcome outcome, int deviceCode)
{
    if (ended() || m_stage != Stage::Flashing)
        return;
    if (outcome != TransferOutcome::Succeeded) {
        QString reason = outcome == TransferOutcome::Refused && !m_refusal.isEmpty() ? m_refusal
            : !m_lastProblem.isEmpty()                                               ? m_lastProblem
            : outcome == TransferOutcome::Refused ? refusal(hiddfu_worker::Invalid, deviceCode)
                                                  : QStringLiteral("the device stopped answering");
        if (m_applicationErased)
            reason += QStringLiteral("; the device has no application now and must be flashed again");
        transferFailed(outcome, reason);
        return;
    }
    if (m_options.launch) {
        m_report.note(QStringLiteral("Flashed"));
        m_stage = Stage::Launching;
        m_worker.execute(hiddfu_worker::APP);
    } else {
        succeed({{"flashed", true}}, QStringLiteral("flashed, finalise confirmed by the device"));
    }
}

void UpdaterJob::onError(int code, const QVariant &param)
{
    if (ended())
        return;
    heardFromDevice();
    const QString text = param.toString();
    switch (code) {
    case hiddfu_worker::ERR_COMM:
    case hiddfu_worker::ERR_FLASH:
        // During a flash its end follows and decides; otherwise this is the end.
        m_lastProblem = text;
        if (m_stage != Stage::Flashing)
            fail(code == hiddfu_worker::ERR_FLASH ? CliBadInput : CliDeviceError, text);
        break;
    case hiddfu_worker::ERR_UNSUP:
        fail(CliUsage, text);
        break;
    case hiddfu_worker::ERR_NOTIFY:
        if (m_stage == Stage::Flashing)
            m_report.note(text); // "Erasing", "Flashing", "Finalizing"
        break;
    default:
        break;
    }
}
