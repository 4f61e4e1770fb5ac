#include "updaterrecords.h"

#include <dfupackage.h>
#include <recordstore.h>

#include <QBuffer>
#include <QFileInfo>

namespace {

QString statusOf(TransferOutcome outcome)
{
    if (outcome == TransferOutcome::Succeeded)
        return QLatin1String(JobRecord::succeeded);
    return QLatin1String(outcome == TransferOutcome::Stopped ? JobRecord::stopped : JobRecord::failed);
}

} // namespace

UpdaterRecords::UpdaterRecords(BootloaderSession &session, PackageFlash &flash, QObject *parent)
    : QObject(parent)
    , m_keeper(RecordStore::configuredPath(), RecordKeeper::windowBusyMs)
{
    connect(&m_keeper, &RecordKeeper::warning, this, &UpdaterRecords::warning);
    connect(&session, &BootloaderSession::ended, this, &UpdaterRecords::sessionEnded);
    connect(&session, &BootloaderSession::flashRecorded, this, &UpdaterRecords::flashRecorded);
    connect(&flash, &PackageFlash::checked, this, &UpdaterRecords::flashChecked);
    connect(&flash, &PackageFlash::ended, this, &UpdaterRecords::flashEnded);
}

void UpdaterRecords::setConnection(const ELM_ConnInfo &connection)
{
    m_connection = connection;
}

void UpdaterRecords::packageTaken(const QString &path, const QByteArray &bytes)
{
    m_packagePath = QFileInfo(path).absoluteFilePath();
    m_package = bytes;
}

QByteArray UpdaterRecords::packageImageSha256(const QString &path)
{
    QByteArray bytes;
    if (!DfuPackage::load(path, bytes).isEmpty())
        return {};
    QBuffer package(&bytes);
    package.open(QIODevice::ReadOnly);
    const DfuPackage::Header header = DfuPackage::inspect(package);
    return header.verdict == DfuPackage::Verdict::Valid ? DfuPackage::imageSha256(bytes, header) : QByteArray();
}

JobRecord UpdaterRecords::started(const QString &job) const
{
    JobRecord record = JobRecord::begin(job, QStringLiteral("updater"));
    record.port = m_connection.port;
    record.adapterKind = ELM327IOBase::adapterName(m_connection.adapter);
    record.role = QStringLiteral("bootloader");
    if (m_device) {
        record.boardId = QString::number(m_device->status.boardId, 16).toUpper();
        record.uuid = m_device->uuid;
        record.description = m_device->description;
    }
    return record;
}

void UpdaterRecords::sessionEnded(const BootloaderEnding &ending)
{
    switch (ending.operation) {
    case BootloaderSession::Connect:
        m_device.reset(); // another adapter, or another device behind it
        return;
    case BootloaderSession::Describe:
        if (ending.ok())
            described(ending.result.value<BootloaderInfo>());
        return;
    case BootloaderSession::Status:
        m_statusVolts = ending.voltage;
        return;
    case BootloaderSession::Launch:
        if (m_command) {
            m_keeper.finish(*m_command, statusOf(ending.outcome), ending.reason);
            m_command.reset();
        }
        return;
    default:
        return;
    }
}

// A flash that erased the device and never had its finalise confirmed left it without an
// application, whatever program ran it; its package is offered again only when it still holds
// the image that was being written.
void UpdaterRecords::described(const BootloaderInfo &info)
{
    m_device = info;
    if (info.uuid.isEmpty())
        return;
    const std::optional<JobRecord> last = m_keeper.latestFlash(info.uuid);
    if (!last || !last->leftNoApplication())
        return;
    const bool same = !last->sha256.isEmpty() && QFileInfo(last->fileName).isFile()
        && packageImageSha256(last->fileName) == last->sha256.toLatin1();
    emit unfinishedFlash(last->unfinishedFlashText(), same ? last->fileName : QString(), last->sha256.toLatin1());
}

// The device is about to be written to: from here on the record is worth keeping.
void UpdaterRecords::flashChecked(const DfuPackage::Header &header)
{
    m_flashed.reset();
    m_flash = started(QStringLiteral("flash"));
    m_flash->fileName = m_packagePath;
    m_flash->fileSize = m_package.size();
    m_flash->sha256 = QString::fromLatin1(DfuPackage::imageSha256(m_package, header));
    m_flash->voltageBefore = m_statusVolts;
    m_keeper.begin(*m_flash);
}

void UpdaterRecords::flashRecorded(const FlashRecord &confirmed)
{
    if (m_flash) {
        if (confirmed.addTo(*m_flash))
            m_keeper.update(*m_flash);
    } else if (m_flashed && confirmed.launchAnswered && !m_flashed->launchAnswered) {
        m_flashed->launchAnswered = true;
        m_keeper.update(*m_flashed);
    }
}

void UpdaterRecords::flashEnded(const PackageFlashEnding &ended)
{
    if (!m_flash)
        return; // turned down before anything went to the device
    const BootloaderEnding &e = ended.ending;
    e.record.addTo(*m_flash);
    if (!ended.imageSha256.isEmpty())
        m_flash->sha256 = QString::fromLatin1(ended.imageSha256);
    m_flash->voltageAfter = e.voltage;
    QString reason = e.reason;
    if (e.ok())
        reason = e.result.toString();
    else if (reason.isEmpty() && e.outcome == TransferOutcome::NotResponding)
        reason = tr("The device stopped answering");
    m_keeper.finish(*m_flash, statusOf(e.outcome), reason);
    m_flashed = m_flash;
    m_flash.reset();
}

void UpdaterRecords::commandBegins(hiddfu_worker::Commands command)
{
    if (command != hiddfu_worker::APP && command != hiddfu_worker::UDFU)
        return;
    m_command
        = started(command == hiddfu_worker::APP ? QStringLiteral("launch") : QStringLiteral("restart-bootloader"));
    m_keeper.begin(*m_command);
}

void UpdaterRecords::commandWaitOver()
{
    if (!m_command)
        return;
    m_keeper.finish(*m_command, QLatin1String(JobRecord::failed), tr("The device did not answer the command"));
    m_command.reset();
}
