#include "managerjob.h"

#include <firmwarefile.h>

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
    , m_session(std::make_unique<ManagerSession>())
{
    connect(m_session.get(), &ManagerSession::ended, this, &ManagerJob::onEnded);
    // Whatever the worker logs shows the device or the adapter still at work.
    connect(&m_session->worker(), &CanWorker::error, this, [this](int code, const QVariant &text) {
        heardFromDevice();
        if (code == CanWorker::ERR_LOG || code == CanWorker::ERR_NOTIFY)
            m_report.notice(text.toString());
    });
    connect(&m_session->worker(), &CanWorker::progress, this, [this](int percent) {
        heardFromDevice();
        m_report.progress(percent);
        // The device checks the whole file by its MD5 once the last byte is in.
        if (percent >= 100 && m_session->uploading())
            m_report.stage(QStringLiteral("verifying"));
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
    m_session->open(m_options.connection, false);
}

void ManagerJob::restart()
{
    m_upload.seek(0);
    connectAdapter();
}

QString ManagerJob::interruptedWork() const
{
    if (m_session && m_session->uploading())
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
    QByteArray content;
    if (command == QLatin1String("upload")) {
        const QString path = m_options.arguments.value(0);
        m_target = FirmwareFile::targetName(path);
        const QString problem = FirmwareFile::nameProblem(m_target);
        if (!problem.isEmpty()) {
            fail(CliBadInput, problem);
            return false;
        }
        const FirmwareFile::Slice slice = FirmwareFile::read(path);
        if (!slice.ok) {
            fail(CliBadInput, slice.text);
            return false;
        }
        const QString fileName = path.section(QLatin1Char('/'), -1);
        if (m_target != fileName && !m_options.yes) {
            fail(CliDeclined,
                QStringLiteral("%1 would be stored as %2; add --yes to accept the new name").arg(fileName, m_target));
            return false;
        }
        content = slice.data;
    } else if (command == QLatin1String("select")) {
        m_target = FirmwareFile::activeConfigName;
        content = FirmwareFile::activeSelection(m_options.arguments);
    } else {
        return true;
    }
    m_upload.setData(content);
    m_upload.open(QIODevice::ReadOnly);
    return true;
}

void ManagerJob::begin()
{
    const QString &command = m_options.command;
    static const QHash<QString, QString> stages {{"info", "listing"}, {"upload", "uploading"}, {"select", "uploading"},
        {"remove", "removing"}, {"erase", "erasing"}, {"reboot", "rebooting"}, {"dfu", "switching"}};
    m_report.stage(stages.value(command));
    if (m_upload.isOpen())
        m_report.setTotal(m_upload.size());
    if (command == QLatin1String("info"))
        m_session->list();
    else if (command == QLatin1String("upload") || command == QLatin1String("select"))
        m_session->upload(&m_upload, m_target, m_options.minimumVolts);
    else if (command == QLatin1String("remove"))
        m_session->remove(m_options.arguments.value(0));
    else if (command == QLatin1String("erase"))
        m_session->erase();
    else if (command == QLatin1String("reboot"))
        m_session->reboot();
    else if (command == QLatin1String("dfu"))
        m_session->dfu();
}

void ManagerJob::onEnded(const ManagerEnding &ending)
{
    if (ended())
        return;
    heardFromDevice();
    if (ending.operation == ManagerSession::Connect) {
        // The reading the set-up made is the run's, stopped or not: the events have told it.
        m_report.setVoltage(ending.voltage);
        if (endedDuringSetup())
            return;
        if (ending.ok() && m_options.command == QLatin1String("upload"))
            warnOfLowBattery(ending.voltage);
        if (ending.ok())
            begin();
        else
            fail(CliNoConnection, setupFailure(ending.reason, m_options.connection.port));
        return;
    }
    if (ending.operation == ManagerSession::Upload)
        m_report.setVoltage(ending.voltage); // read right before it
    if (!ending.ok())
        return failed(ending);
    switch (ending.operation) {
    case ManagerSession::List: {
        const QVariantMap listed = ending.result.toMap();
        const QString description = describe(QJsonObject::fromVariantMap(listed.value("info").toMap()));
        const QStringList files = listed.value("files").toStringList();
        const QStringList active = listed.value("active").toStringList();
        QStringList lines {description, QStringLiteral("voltage: %1").arg(CliReport::voltageText(m_report.voltage()))};
        for (const QString &file : files)
            lines << (active.contains(file) ? QStringLiteral("* ") : QStringLiteral("  ")) + file;
        succeed({{"description", description}, {"files", QJsonArray::fromStringList(files)},
                    {"active", QJsonArray::fromStringList(active)}},
            lines);
        break;
    }
    case ManagerSession::Upload:
        succeed({{"stored", m_target}, {"bytes", int(m_upload.size())}},
            QStringLiteral("stored %1 (%2 bytes, MD5 verified)").arg(m_target).arg(m_upload.size()));
        break;
    case ManagerSession::Remove:
        succeed({{"removed", ending.result.toString()}}, QStringLiteral("removed %1").arg(ending.result.toString()));
        break;
    case ManagerSession::Erase:
        succeed({}, QStringLiteral("all files erased"));
        break;
    case ManagerSession::Reboot:
    case ManagerSession::Dfu:
        confirmRestart(ending.operation == ManagerSession::Dfu);
        break;
    default:
        break;
    }
}

void ManagerJob::failed(const ManagerEnding &ending)
{
    const bool lost = ending.outcome == TransferOutcome::LinkLost;
    const QString reason = lost ? linkLostReason(m_session->worker().link()) : ending.reason;
    if (ending.operation == ManagerSession::Upload)
        transferFailed(ending.outcome, reason);
    else if (ending.operation == ManagerSession::Reboot && !lost)
        fail(statusFor(ending.outcome), QStringLiteral("the device did not restart: %1").arg(reason));
    else if (ending.operation == ManagerSession::Dfu && !lost)
        fail(statusFor(ending.outcome), QStringLiteral("the device did not switch to its bootloader: %1").arg(reason));
    else
        fail(statusFor(ending.outcome), reason);
}

void ManagerJob::confirmRestart(bool bootloader)
{
    m_report.note(bootloader ? QStringLiteral("Switch requested; asking the bootloader")
                             : QStringLiteral("Restart requested; asking the application"));
    m_report.stage(QStringLiteral("confirming"));
    m_check = std::make_unique<RestartCheck>(
        m_options.connection, bootloader ? RestartCheck::Expect::Bootloader : RestartCheck::Expect::Application);
    connect(m_check.get(), &RestartCheck::heard, this, &ManagerJob::heardFromDevice);
    // The bootloader's answer proves the switch. Nothing proves a restart: a device that dropped the
    // request is as silent as one that restarted, and answers afterwards just the same.
    connect(m_check.get(), &RestartCheck::answered, this, [this, bootloader] {
        if (bootloader)
            succeed({}, QStringLiteral("device switched to its bootloader (its status request answered)"));
        else
            succeed({{"restart", "unconfirmed"}},
                QStringLiteral(
                    "reboot requested; the device did not answer it (as when restarting) and answers again"));
    });
    connect(m_check.get(), &RestartCheck::gaveUp, this, [this, bootloader](const QString &seen) {
        fail(CliNoAnswer,
            QStringLiteral("the %1 did not answer within %2 s (%3)")
                .arg(bootloader ? QStringLiteral("bootloader") : QStringLiteral("restarted application"))
                .arg(RestartCheck::answerMs / 1000)
                .arg(seen.isEmpty() ? QStringLiteral("nothing heard") : QStringLiteral("last heard: ") + seen));
    });
    connect(m_check.get(), &RestartCheck::linkLost, this,
        [this] { fail(CliLinkLost, QStringLiteral("the serial port closed during the work")); });
    // The worker's link holds the port; it lets it go with the worker, once the report that brought
    // us here has been delivered.
    QTimer::singleShot(0, this, [this] {
        if (ended())
            return;
        m_session.reset();
        if (!m_check->start())
            fail(CliNoConnection, setupFailure(m_check->lastOpenError(), m_options.connection.port));
        else
            heardFromDevice();
    });
}
