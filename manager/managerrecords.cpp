#include "managerrecords.h"

#include "removaljob.h"
#include "restartjob.h"
#include "uploadjob.h"

#include <recordstore.h>

#include <QFileInfo>

namespace {

// As veltrano-cli words it, so that the records of both read alike.
QString describe(const QVariantMap &info)
{
    if (info.isEmpty())
        return QString();
    return QStringLiteral("Device reports: SDK %1, FW %2, MPY %3, VER %4")
        .arg(info.value(QStringLiteral("sdk")).toString(), info.value(QStringLiteral("fw")).toString(),
            QString::number(info.value(QStringLiteral("mpy"), -1).toInt()),
            info.value(QStringLiteral("ver")).toString());
}

QString statusOf(TransferOutcome outcome)
{
    if (outcome == TransferOutcome::Succeeded)
        return QLatin1String(JobRecord::succeeded);
    return QLatin1String(outcome == TransferOutcome::Stopped ? JobRecord::stopped : JobRecord::failed);
}

} // namespace

ManagerRecords::ManagerRecords(ManagerSession &session, UploadJob &upload, RemovalJob &removal, RestartJob &restart,
    const ELM_ConnInfo &connection, QObject *parent)
    : QObject(parent)
    , m_keeper(RecordStore::configuredPath(), RecordKeeper::windowBusyMs)
    , m_session(session)
    , m_upload(upload)
    , m_connection(connection)
{
    connect(&m_keeper, &RecordKeeper::warning, this, &ManagerRecords::warning);
    connect(&session, &ManagerSession::ended, this, &ManagerRecords::sessionEnded);
    connect(&upload, &UploadJob::ended, this, &ManagerRecords::jobEnded);
    connect(&removal, &RemovalJob::ended, this, &ManagerRecords::jobEnded);
    connect(&restart, &RestartJob::ended, this, &ManagerRecords::restartEnded);
}

void ManagerRecords::upload(const QString &path, const UploadJob &job)
{
    begin(QStringLiteral("upload"), ManagerSession::Upload);
    m_record->fileName = QFileInfo(path).absoluteFilePath();
    m_record->fileSize = job.size();
    m_record->sha256 = QString::fromLatin1(job.sha256());
    m_keeper.begin(*m_record);
}

void ManagerRecords::select(const QStringList &names, const UploadJob &job)
{
    begin(QStringLiteral("select"), ManagerSession::Upload);
    m_record->fileName = names.join(QLatin1String(", "));
    m_record->fileSize = job.size();
    m_record->sha256 = QString::fromLatin1(job.sha256());
    m_keeper.begin(*m_record);
}

void ManagerRecords::remove(const QString &name)
{
    begin(QStringLiteral("remove"), ManagerSession::Remove);
    m_record->fileName = name;
    m_keeper.begin(*m_record);
}

void ManagerRecords::erase()
{
    begin(QStringLiteral("erase"), ManagerSession::Erase);
    m_keeper.begin(*m_record);
}

void ManagerRecords::restart(bool bootloader)
{
    begin(bootloader ? QStringLiteral("dfu") : QStringLiteral("reboot"),
        bootloader ? ManagerSession::Dfu : ManagerSession::Reboot);
    m_keeper.begin(*m_record);
}

// Made ready for the store with what the link and the last list said; the caller adds what only
// it knows and writes it.
void ManagerRecords::begin(const QString &job, int operation)
{
    // Every job ends once; one still open here never will, and is not left looking unfinished.
    if (m_record)
        finish(QLatin1String(JobRecord::failed), tr("No ending was heard"));
    const ELM327IOBase &link = m_session.worker().link();
    JobRecord record = JobRecord::begin(job, QStringLiteral("manager"));
    record.port = m_connection.port;
    record.adapterKind = ELM327IOBase::adapterName(link.adapterKind());
    record.adapterId = link.adapterIdentification();
    record.transfer = link.segmentedTransfer() ? QStringLiteral("segmented") : QStringLiteral("frames");
    record.role = QStringLiteral("application");
    record.description = describe(m_info);
    record.voltageBefore = link.lastVoltage();
    m_record = record;
    m_operation = operation;
}

void ManagerRecords::sessionEnded(const ManagerEnding &ending)
{
    // A new connection may reach another device; a list read says which.
    if (ending.operation == ManagerSession::Connect)
        m_info.clear();
    else if (ending.operation == ManagerSession::List)
        m_info = ending.result.toMap().value(QStringLiteral("info")).toMap();
}

void ManagerRecords::jobEnded(const ManagerEnding &ending)
{
    if (!m_record || ending.operation != m_operation)
        return;
    if (ending.operation == ManagerSession::Upload && !qIsNaN(ending.voltage))
        m_record->voltageBefore = ending.voltage; // read for the upload, right before it
    QString reason = ending.reason.isEmpty() ? ending.failure : ending.reason;
    if (ending.ok() && ending.operation == ManagerSession::Upload)
        reason = tr("Stored on the device as %1").arg(m_upload.target());
    finish(statusOf(ending.outcome), reason);
}

void ManagerRecords::restartEnded(const RestartEnding &ending)
{
    if (!m_record || (m_operation != ManagerSession::Dfu && m_operation != ManagerSession::Reboot))
        return;
    using Result = RestartEnding::Result;
    QString reason = ending.reason;
    if (ending.result == Result::Switched)
        reason = tr("The bootloader answered");
    else if (ending.result == Result::AnswersAgain)
        reason = tr("The device answers again");
    else if (ending.result == Result::NoAnswer && reason.isEmpty())
        reason = tr("The device did not answer after the request within %1 s").arg(RestartCheck::answerMs / 1000);
    else if (reason.isEmpty())
        reason = ending.request.reason.isEmpty() ? ending.request.failure : ending.request.reason;
    finish(ending.ok() ? QLatin1String(JobRecord::succeeded) : QLatin1String(JobRecord::failed), reason);
}

void ManagerRecords::finish(const QString &status, const QString &reason)
{
    JobRecord record = *m_record;
    m_record.reset();
    m_operation = -1;
    m_keeper.finish(record, status, reason);
}
