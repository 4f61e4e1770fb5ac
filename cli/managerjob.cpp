#include "managerjob.h"

#include <elm327worker.h>
#include <firmwarefile.h>

#include <QFileInfo>

#include <QJsonArray>

namespace {

// The driver's reason when set-up failed (the port would not open, nothing answered at the given
// rate); a search that found no adapter gets the general guess.
QString setupFailure(const QString &reason, const QString &port)
{
    if (!reason.isEmpty())
        return reason;
    return QStringLiteral("no adapter found on %1 (port missing, busy, or silent at every rate)").arg(port);
}

QString describe(const QJsonObject &info)
{
    return QStringLiteral("Device reports: SDK %1, FW %2, MPY %3, VER %4")
        .arg(info.value(QLatin1String("sdk")).toString(), info.value(QLatin1String("fw")).toString(),
            QString::number(info.value(QLatin1String("mpy")).toInt(-1)), info.value(QLatin1String("ver")).toString());
}

} // namespace

ManagerJob::ManagerJob(const CliOptions &options, CliReport &report, QObject *parent)
    : CliJob(options, report, parent)
    , m_upload(m_session)
    , m_removal(m_session)
    , m_restart(m_session)
{
    connect(&m_session, &ManagerSession::ended, this, &ManagerJob::onEnded);
    connect(&m_upload, &UploadJob::ended, this, &ManagerJob::uploaded);
    connect(&m_removal, &RemovalJob::ended, this, &ManagerJob::removed);
    connect(&m_restart, &RestartJob::ended, this, &ManagerJob::restarted);
    connect(&m_upload, &UploadJob::verifying, this, [this] { m_report.stage(QStringLiteral("verifying")); });
    connect(&m_restart, &RestartJob::heard, this, &ManagerJob::heardFromDevice);
    connect(&m_restart, &RestartJob::confirming, this, [this] {
        m_report.note(m_options.command == QLatin1String("dfu")
                ? QStringLiteral("Switch requested; asking the bootloader")
                : QStringLiteral("Restart requested; asking the application"));
        m_report.stage(QStringLiteral("confirming"));
    });
    // Whatever the worker logs shows the device or the adapter still at work.
    connect(&m_session.worker(), &CanWorker::error, this, [this](int code, const QVariant &text) {
        heardFromDevice();
        if (code == CanWorker::ERR_LOG || code == CanWorker::ERR_NOTIFY)
            m_report.notice(text.toString());
    });
    connect(&m_session.worker(), &CanWorker::progress, this, [this](int percent) {
        heardFromDevice();
        m_report.progress(percent);
    });
}

void ManagerJob::start()
{
    // Everything that can be checked without the device is checked first, so that bad
    // input never reaches it.
    if (!checkInput())
        return;
    connectAdapter();
}

void ManagerJob::connectAdapter()
{
    // The job's own command follows once the set-up is known not to have been stopped.
    m_report.stage(QStringLiteral("connecting"));
    m_session.open(m_options.connection, false);
}

void ManagerJob::restart()
{
    connectAdapter();
}

QString ManagerJob::interruptedWork() const
{
    if (m_upload.running())
        return QStringLiteral("interrupted while uploading: a partial file may be left on the device");
    return CliJob::interruptedWork();
}
bool ManagerJob::checkInput()
{
    const QString &command = m_options.command;
    // A name the device would store otherwise than given would be another file, or none at all.
    if (command == QLatin1String("select") || command == QLatin1String("remove")) {
        for (const QString &name : qAsConst(m_options.arguments)) {
            const QString problem = FirmwareFile::nameProblem(name);
            if (!problem.isEmpty()) {
                fail(CliBadInput, problem);
                return false;
            }
        }
    }
    if (command == QLatin1String("select")) {
        m_upload.prepareSelection(m_options.arguments);
        recordUpload();
    }
    if (command != QLatin1String("upload"))
        return true;
    const QString path = m_options.arguments.value(0);
    const UploadJob::Refusal refusal = m_upload.prepareFile(path, *this);
    recordUpload();
    if (refusal.kind == UploadJob::Refusal::Kind::BadInput)
        fail(CliBadInput, refusal.text);
    else if (refusal.kind == UploadJob::Refusal::Kind::Declined)
        fail(CliDeclined,
            QStringLiteral("%1 would be stored as %2; add --yes to accept the new name")
                .arg(path.section(QLatin1Char('/'), -1), m_upload.target()));
    return refusal.ok();
}

void ManagerJob::recordUpload()
{
    if (m_upload.size() == 0)
        return;
    record().fileSize = m_upload.size();
    record().sha256 = QString::fromLatin1(m_upload.sha256());
}

bool ManagerJob::storeUnderName(const QString &, const QString &)
{
    return m_options.yes;
}

void ManagerJob::begin()
{
    const QString &command = m_options.command;
    static const QHash<QString, QString> stages {{"info", "listing"}, {"upload", "uploading"}, {"select", "uploading"},
        {"remove", "removing"}, {"erase", "erasing"}, {"reboot", "rebooting"}, {"dfu", "switching"}};
    m_report.stage(m_options.dryRun ? QStringLiteral("checking") : stages.value(command));
    if (command == QLatin1String("info") || m_options.dryRun) {
        // A dry run asks the device what it is and holds, which changes nothing.
        m_session.list();
    } else if (command == QLatin1String("upload") || command == QLatin1String("select")) {
        m_report.setTotal(m_upload.size());
        m_upload.start(m_options.minimumVolts);
    } else if (command == QLatin1String("remove")) {
        m_removal.remove(m_options.arguments.value(0));
    } else if (command == QLatin1String("erase")) {
        m_removal.eraseAll();
    } else if (command == QLatin1String("reboot") || command == QLatin1String("dfu")) {
        m_restart.start(m_options.connection, command == QLatin1String("dfu"));
    }
}

void ManagerJob::onEnded(const ManagerEnding &ending)
{
    if (ended())
        return;
    heardFromDevice();
    if (ending.operation == ManagerSession::Connect) {
        // The reading the set-up made is the run's, stopped or not: the events have told it.
        setVoltage(ending.voltage);
        if (endedDuringSetup())
            return;
        if (!ending.ok()) {
            fail(CliNoConnection, setupFailure(ending.reason, m_options.connection.port));
            return;
        }
        recordLink(m_session.worker().link());
        if (m_options.dryRun && ELM327Worker::belowMinimum(ending.voltage, m_options.minimumVolts)) {
            fail(CliLowVoltage, ELM327Worker::lowVoltageReason(ending.voltage, m_options.minimumVolts));
            return;
        }
        if (m_options.command == QLatin1String("upload"))
            warnOfLowBattery(ending.voltage);
        begin();
        return;
    }
    if (ending.operation != ManagerSession::List)
        return; // the jobs report their own
    if (!ending.ok())
        return failed(ending);
    const QVariantMap listed = ending.result.toMap();
    const QString description = describe(QJsonObject::fromVariantMap(listed.value("info").toMap()));
    record().description = description;
    if (m_options.dryRun) {
        succeed({{"dryRun", true}, {"target", m_upload.target()}, {"bytes", int(m_upload.size())},
                    {"sha256", QString::fromLatin1(m_upload.sha256())}},
            QStringLiteral("would upload %1 as %2 (%3 bytes, SHA-256 %4); nothing was sent that changes the "
                           "device. %5")
                .arg(QFileInfo(m_options.arguments.value(0)).fileName(), m_upload.target())
                .arg(m_upload.size())
                .arg(QString::fromLatin1(m_upload.sha256()), description));
        return;
    }
    const QStringList files = listed.value("files").toStringList();
    const QStringList active = listed.value("active").toStringList();
    QStringList lines {description, QStringLiteral("voltage: %1").arg(CliReport::voltageText(m_report.voltage()))};
    for (const QString &file : files)
        lines << (active.contains(file) ? QStringLiteral("* ") : QStringLiteral("  ")) + file;
    succeed({{"description", description}, {"files", QJsonArray::fromStringList(files)},
                {"active", QJsonArray::fromStringList(active)}},
        lines);
}

void ManagerJob::uploaded(const ManagerEnding &ending)
{
    if (ended())
        return;
    setVoltage(ending.voltage); // read right before it
    recordLink(m_session.worker().link()); // a fallback to frames may have come meanwhile
    if (!ending.ok()) {
        const bool lost = ending.outcome == TransferOutcome::LinkLost;
        transferFailed(ending.outcome, lost ? linkLostReason(m_session.worker().link()) : ending.reason);
        return;
    }
    // How the adapter carried it: segmented, or frame by frame (as chosen, or after a fallback).
    const bool segmented = m_session.worker().link().segmentedTransfer();
    succeed({{"stored", m_upload.target()}, {"bytes", int(m_upload.size())},
                {"sha256", QString::fromLatin1(m_upload.sha256())},
                {"transfer", segmented ? QStringLiteral("segmented") : QStringLiteral("frames")}},
        QStringLiteral("stored %1 (%2 bytes, MD5 verified)").arg(m_upload.target()).arg(m_upload.size()));
}

void ManagerJob::removed(const ManagerEnding &ending)
{
    if (ended())
        return;
    if (!ending.ok())
        failed(ending);
    else if (ending.operation == ManagerSession::Remove)
        succeed({{"removed", ending.result.toString()}}, QStringLiteral("removed %1").arg(ending.result.toString()));
    else
        succeed({}, QStringLiteral("all files erased"));
}

void ManagerJob::failed(const ManagerEnding &ending)
{
    const bool lost = ending.outcome == TransferOutcome::LinkLost;
    fail(statusFor(ending.outcome), lost ? linkLostReason(m_session.worker().link()) : ending.reason);
}

void ManagerJob::restarted(const RestartEnding &ending)
{
    if (ended())
        return;
    using Result = RestartEnding::Result;
    const ManagerEnding &request = ending.request;
    switch (ending.result) {
    case Result::Switched:
        succeed({}, QStringLiteral("device switched to its bootloader (its status request answered)"));
        break;
    case Result::AnswersAgain:
        succeed({{"restart", "unconfirmed"}},
            QStringLiteral("reboot requested; the device did not answer it (as when restarting) and answers again"));
        break;
    case Result::Refused:
        if (request.outcome == TransferOutcome::LinkLost)
            failed(request);
        else
            fail(statusFor(request.outcome),
                (ending.bootloader ? QStringLiteral("the device did not switch to its bootloader: %1")
                                   : QStringLiteral("the device did not restart: %1"))
                    .arg(request.reason));
        break;
    case Result::NoAnswer:
        fail(CliNoAnswer,
            QStringLiteral("the %1 did not answer within %2 s (%3)")
                .arg(ending.bootloader ? QStringLiteral("bootloader") : QStringLiteral("restarted application"))
                .arg(RestartCheck::answerMs / 1000)
                .arg(ending.reason.isEmpty() ? QStringLiteral("nothing heard")
                                             : QStringLiteral("last heard: ") + ending.reason));
        break;
    case Result::NoConnection:
        fail(CliNoConnection, setupFailure(ending.reason, m_options.connection.port));
        break;
    case Result::LinkLost:
        fail(CliLinkLost, QStringLiteral("the serial port closed during the work"));
        break;
    }
}
