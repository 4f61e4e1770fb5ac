#include "updaterjob.h"

#include <dfupackage.h>

#include <hiddfu_protocol.h>

#include <QBuffer>
#include <QFileInfo>
#include <QTimer>

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
    , m_session(&m_worker)
    , m_flash(m_session, *this)
{
    connect(&m_session, &BootloaderSession::ended, this, &UpdaterJob::onEnded);
    connect(&m_flash, &PackageFlash::note, this, [this](const QString &text) {
        heardFromDevice();
        m_report.note(text);
    });
    connect(&m_flash, &PackageFlash::voltageRead, this, [this](double volts) { setVoltage(volts); });
    connect(&m_flash, &PackageFlash::checked, this, [this](const DfuPackage::Header &header) {
        m_stage = Stage::Flashing;
        m_report.setTotal(header.imageSize);
    });
    connect(&m_flash, &PackageFlash::launchBegun, this, [this](const QByteArray &imageSha256) {
        m_flashedSha256 = imageSha256;
        m_report.note(QStringLiteral("Flashed"));
        m_stage = Stage::Launching;
        m_report.stage(QStringLiteral("launching"));
    });
    connect(&m_flash, &PackageFlash::ended, this, &UpdaterJob::flashEnded);
    connect(&m_flash, &PackageFlash::described, this, [this](const BootloaderInfo &info) {
        m_device = info;
        recognise(info);
    });
    connect(this, &CliJob::done, &m_flash, &PackageFlash::abandon);
    connect(&m_session, &BootloaderSession::progress, this, [this](int percent) {
        heardFromDevice();
        m_report.progress(percent);
    });
    connect(&m_session, &BootloaderSession::message, this, [this](int code, const QString &text) {
        if (code == hiddfu_worker::ERR_NOTIFY && m_stage == Stage::Flashing)
            m_report.note(text);
        else
            m_report.notice(text);
    });
    connect(&m_session, &BootloaderSession::flashRecorded, this, [this](const FlashRecord &confirmed) {
        m_report.setRecord(QJsonObject::fromVariantMap(confirmed.toVariantMap()));
        if (confirmed.addTo(record()))
            recordStep();
    });
    connect(&m_session, &BootloaderSession::flashStageBegun, this, [this](FlashStage stage) {
        static const QPair<QString, QString> names[] = {{QStringLiteral("erasing"), QStringLiteral("Erasing")},
            {QStringLiteral("writing"), QStringLiteral("Flashing")},
            {QStringLiteral("finalising"), QStringLiteral("Finalizing")}};
        m_report.stage(names[int(stage)].first, names[int(stage)].second);
    });
    // Every word from the device, the answers inside a flash too, keeps the watchdog off.
    connect(&m_worker, &hiddfu_worker::finished, this, &UpdaterJob::heardFromDevice);
    connect(&m_worker, &hiddfu_worker::error, this, &UpdaterJob::heardFromDevice);
    connect(&m_worker, &hiddfu_worker::deviceWorking, this, &UpdaterJob::deviceWorking);
}

void UpdaterJob::start()
{
    if (m_options.command == QLatin1String("flash")) {
        m_packageName = m_options.arguments.value(0);
        const QString problem = DfuPackage::load(m_packageName, m_package);
        if (!problem.isEmpty()) {
            fail(CliBadInput, QStringLiteral("cannot read firmware file %1: %2").arg(m_packageName, problem));
            return;
        }
        // What the package says about itself is checked before the adapter is touched; the
        // board and the flash size come from the device.
        QBuffer package(&m_package);
        package.open(QIODevice::ReadOnly);
        const DfuPackage::Header header = DfuPackage::inspect(package);
        record().fileSize = m_package.size();
        if (header.verdict != DfuPackage::Verdict::Valid) {
            fail(CliBadInput, DfuPackage::refusalText(header.verdict, QFileInfo(m_packageName).fileName()));
            return;
        }
        m_imageSha256 = DfuPackage::imageSha256(m_package, header);
        record().sha256 = QString::fromLatin1(m_imageSha256);
    }
    connectAdapter();
}

void UpdaterJob::connectAdapter()
{
    m_stage = Stage::Connecting;
    m_report.stage(QStringLiteral("connecting"));
    m_session.connectLink(m_options.connection);
}

void UpdaterJob::restart()
{
    // A try that reached the device decides what the next one can say of the application.
    if (m_session.flashRecord().eraseSent)
        m_earlier = m_session.flashRecord();
    connectAdapter();
}

// Worded from what the device confirmed, not from the step the job was at: an erase still on its
// way may or may not have arrived, and a confirmed finalise left the new firmware in place.
QString UpdaterJob::interruptedWork() const
{
    const bool flashing = m_stage == Stage::Flashing || (m_stage == Stage::Launching && !m_flashedSha256.isEmpty());
    const QString state = m_session.flashRecord().applicationState(m_earlier);
    if (flashing && state.isEmpty())
        return QStringLiteral("interrupted before the erase: the device's application is untouched");
    if (flashing)
        return QStringLiteral("interrupted while flashing: %1").arg(state);
    if (!state.isEmpty())
        return QStringLiteral("interrupted before the flash was tried again: %1").arg(state);
    return CliJob::interruptedWork();
}

void UpdaterJob::onEnded(const BootloaderEnding &ending)
{
    if (ended())
        return;
    heardFromDevice();
    // A flash's status, flash and launch are the flash job's: it hears them too, first, and ends
    // as they say.
    const bool flashJobs = ending.operation == BootloaderSession::Status || ending.operation == BootloaderSession::Flash
        || ending.operation == BootloaderSession::Launch || m_flash.running();
    if (m_options.command == QLatin1String("flash") && flashJobs)
        return;
    switch (ending.operation) {
    case BootloaderSession::Connect:
        connected(ending);
        return;
    case BootloaderSession::Describe:
        ending.ok() ? report(ending.result.value<BootloaderInfo>()) : failed(ending);
        return;
    case BootloaderSession::Launch:
        if (!ending.ok())
            failed(ending);
        else if (m_options.command == QLatin1String("restart-bootloader"))
            succeed({}, QStringLiteral("bootloader restarted"));
        else
            succeed({}, QStringLiteral("application started"));
        return;
    default:
        failed(ending);
        return;
    }
}

void UpdaterJob::connected(const BootloaderEnding &ending)
{
    // The reading the set-up made is the run's, stopped or not: the events have told it.
    setVoltage(ending.voltage);
    if (endedDuringSetup())
        return;
    recordLink(m_worker.link());
    if (!ending.ok()) {
        // The driver's reason when set-up failed, else the general guess.
        fail(CliNoConnection,
            ending.reason.isEmpty()
                ? QStringLiteral("no adapter found on %1 (port missing, busy, or silent at every rate)")
                      .arg(m_options.connection.port)
                : ending.reason);
        return;
    }
    const QString &command = m_options.command;
    if (command == QLatin1String("bootloader")) {
        m_stage = Stage::Describing;
        m_report.stage(QStringLiteral("describing"));
        m_session.describe();
    } else if (command == QLatin1String("flash")) {
        startFlash();
    } else {
        m_stage = Stage::Launching;
        m_report.stage(QStringLiteral("launching"));
        m_session.launch(command == QLatin1String("launch") ? hiddfu_worker::APP : hiddfu_worker::UDFU);
    }
}

void UpdaterJob::startFlash()
{
    m_stage = Stage::Status;
    m_report.stage(QStringLiteral("checking"));
    PackageFlash::Settings settings;
    settings.minimumVolts = m_options.minimumVolts;
    settings.launch = m_options.launch;
    settings.dryRun = m_options.dryRun;
    // Its record names the device, and the device's earlier flashes are looked up.
    settings.describe = true;
    m_flash.start(m_package, QFileInfo(m_packageName).fileName(), settings);
}

QString UpdaterJob::recognise(const BootloaderInfo &info)
{
    JobRecord &kept = record();
    kept.boardId = QString::number(info.status.boardId, 16).toUpper();
    kept.description = info.description;
    if (m_recognised || info.uuid.isEmpty())
        return QString();
    m_recognised = true;
    // Looked up before this job's own record names the device, so that it never finds itself.
    const std::optional<JobRecord> last = latestFlash(info.uuid);
    kept.uuid = info.uuid;
    recordStep();
    if (!last || !last->leftNoApplication())
        return QString();
    const QString text = last->unfinishedFlashText();
    m_report.warn(text);
    return text;
}

void UpdaterJob::failed(const BootloaderEnding &ending)
{
    switch (ending.outcome) {
    case TransferOutcome::LinkLost:
        fail(CliLinkLost, linkLostReason(m_worker.link()));
        return;
    case TransferOutcome::NotResponding:
        fail(CliNoAnswer, QStringLiteral("the device stopped answering"));
        return;
    default:
        break;
    }
    // The device refused the command: its own code, whatever the worker words after it.
    if (ending.command != hiddfu_worker::Invalid)
        fail(CliDeviceError, refusal(ending.command, ending.deviceCode));
    else if (ending.errorCode == hiddfu_worker::ERR_UNSUP)
        fail(CliUsage, ending.reason);
    else
        fail(ending.errorCode == hiddfu_worker::ERR_FLASH ? CliBadInput : CliDeviceError, ending.reason);
}

void UpdaterJob::report(const BootloaderInfo &info)
{
    const DFUStatus &status = info.status;
    const QString board = QString::number(status.boardId, 16).toUpper();
    const QString unfinished = recognise(info);
    QJsonObject result {{"description", info.description}, {"uuid", info.uuid}, {"boardId", qint64(status.boardId)},
        {"flashSize", qint64(status.flashSize)}, {"flags", status.flags}, {"error", status.error},
        {"extra", qint64(status.extra)}};
    if (!unfinished.isEmpty())
        result.insert(QStringLiteral("unfinishedFlash"), unfinished);
    succeed(result,
        QStringList {info.description,
            QStringLiteral("UUID %1").arg(info.uuid.isEmpty() ? QStringLiteral("-") : info.uuid),
            QStringLiteral("board %1, flash %2 bytes, flags %3, error %4")
                .arg(board)
                .arg(status.flashSize)
                .arg(status.flags)
                .arg(status.error),
            QStringLiteral("voltage: %1").arg(CliReport::voltageText(m_report.voltage()))});
}

bool UpdaterJob::flashOnLowBattery(double volts)
{
    warnOfLowBattery(volts);
    return true;
}

QJsonObject UpdaterJob::flashedResult() const
{
    // How the adapter carried it: segmented, or frame by frame (as chosen, or after a fallback).
    const bool segmented = m_worker.link().segmentedTransfer();
    return {{"flashed", true}, {"sha256", QString::fromLatin1(m_flashedSha256)},
        {"transfer", segmented ? QStringLiteral("segmented") : QStringLiteral("frames")}};
}

void UpdaterJob::flashEnded(const PackageFlashEnding &ended)
{
    if (this->ended())
        return;
    heardFromDevice();
    recordLink(m_worker.link()); // a fallback to frames may have come meanwhile
    const BootloaderEnding &ending = ended.ending;
    switch (ended.step) {
    case PackageFlashEnding::Step::Status:
        failed(ending);
        return;
    case PackageFlashEnding::Step::Busy:
        fail(CliNoAnswer,
            QStringLiteral("the device stayed busy with an earlier step for %1 s; nothing was sent")
                .arg(PackageFlash::busyWaitMs / 1000));
        return;
    case PackageFlashEnding::Step::Package:
        fail(CliBadInput, ended.refusal);
        return;
    case PackageFlashEnding::Step::Declined:
        fail(CliDeclined, QStringLiteral("the flash was declined"));
        return;
    case PackageFlashEnding::Step::DryRun:
        dryRunEnded(ending);
        return;
    case PackageFlashEnding::Step::Flash:
        if (!ending.ok()) {
            flashFailed(ending);
            return;
        }
        m_flashedSha256 = ended.imageSha256;
        succeed(flashedResult(),
            QStringLiteral("flashed, finalise confirmed by the device; image SHA-256 %1")
                .arg(QString::fromLatin1(m_flashedSha256)));
        return;
    case PackageFlashEnding::Step::Launch:
        if (!ending.ok()) {
            failed(ending);
            return;
        }
        succeed(flashedResult(),
            QStringLiteral("flashed (image SHA-256 %1), application started")
                .arg(QString::fromLatin1(m_flashedSha256)));
        return;
    }
}

void UpdaterJob::flashFailed(const BootloaderEnding &ending)
{
    const bool refused = ending.outcome == TransferOutcome::Refused;
    QString reason = refused && ending.command != hiddfu_worker::Invalid ? refusal(ending.command, ending.deviceCode)
        : !ending.reason.isEmpty()                                       ? ending.reason
        : refused ? refusal(hiddfu_worker::Invalid, ending.deviceCode)
                  : QStringLiteral("the device stopped answering");
    if (ending.outcome == TransferOutcome::LinkLost)
        reason = linkLostReason(m_worker.link());
    const QString state = ending.record.applicationState(m_earlier);
    if (!state.isEmpty())
        reason += QStringLiteral("; %1 and must be flashed again").arg(state);
    transferFailed(ending.outcome, reason);
}

void UpdaterJob::dryRunEnded(const BootloaderEnding &ending)
{
    if (!ending.ok()) {
        fail(CliLowVoltage, ending.reason);
        return;
    }
    warnOfLowBattery(ending.voltage);
    const QString board = QString::number(m_device.status.boardId, 16).toUpper();
    const QString uuid = m_device.uuid.isEmpty() ? QStringLiteral("-") : m_device.uuid;
    succeed({{"dryRun", true}, {"package", m_packageName}, {"boardId", qint64(m_device.status.boardId)},
                {"uuid", m_device.uuid}, {"sha256", QString::fromLatin1(m_imageSha256)}},
        QStringLiteral("would flash %1 onto board %2, UUID %3 (image SHA-256 %4); nothing was sent that changes "
                       "the device")
            .arg(QFileInfo(m_packageName).fileName(), board, uuid, QString::fromLatin1(m_imageSha256)));
}
