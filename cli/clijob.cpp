#include "clijob.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace {
// The commands that change the device, or would: each leaves a record.
const QStringList recordedJobs {
    "upload", "select", "remove", "erase", "reboot", "dfu", "flash", "launch", "restart-bootloader"};
} // namespace

CliJob::CliJob(const CliOptions &options, CliReport &report, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_report(report)
    , m_keeper(options.recordsPath)
{
    connect(&m_keeper, &RecordKeeper::warning, this, [this](const QString &text) {
        // With --require-records the failure is the job's own, said as it ends.
        if (!m_options.requireRecords)
            m_report.warn(QStringLiteral("warning: %1").arg(text));
    });
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(options.timeoutSeconds * 1000);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        fail(CliNoAnswer, QStringLiteral("no answer from the device for %1 s").arg(m_options.timeoutSeconds));
    });
    m_watchdog.start();
}

namespace {
// A moment for a port that went away to come back, and for the adapter to settle.
constexpr int retryDelayMs = 1000;
} // namespace

CliStatus CliJob::statusFor(TransferOutcome how)
{
    switch (how) {
    case TransferOutcome::Succeeded:
        return CliOk;
    case TransferOutcome::Refused:
        return CliDeviceError;
    case TransferOutcome::NotResponding:
        return CliNoAnswer;
    case TransferOutcome::LinkLost:
        return CliLinkLost;
    case TransferOutcome::FileUnreadable:
        return CliBadInput;
    case TransferOutcome::Stopped:
        return CliInterrupted;
    case TransferOutcome::LowVoltage:
        return CliLowVoltage;
    }
    return CliDeviceError;
}

QString CliJob::linkLostReason(const ELM327IOBase &link)
{
    const QString why = link.lossReason();
    if (link.isNetworkAdapter() && !why.isEmpty())
        return QStringLiteral("%1 during the work").arg(why);
    return why.isEmpty() ? QStringLiteral("the serial port closed during the work")
                         : QStringLiteral("the serial port closed during the work (%1)").arg(why);
}

void CliJob::transferFailed(TransferOutcome how, const QString &reason)
{
    if (m_ended)
        return;
    if (!isTransient(how) || m_attempt >= m_options.retries) {
        fail(statusFor(how), reason);
        return;
    }
    ++m_attempt;
    m_retryReason = reason;
    m_report.retrying(m_attempt, m_options.retries, reason);
    heardFromDevice();
    QTimer::singleShot(retryDelayMs, this, [this] {
        if (!m_ended)
            restart();
    });
}

void CliJob::warnOfLowBattery(double volts)
{
    if (std::isnan(m_options.minimumVolts) && volts < lowBatteryVolts)
        m_report.warn(QStringLiteral("warning: the vehicle's battery reads %1; a flash that stops halfway leaves "
                                     "the device without an application")
                          .arg(CliReport::voltageText(volts)));
}

void CliJob::run()
{
    m_recording = m_keeper.enabled() && recordedJobs.contains(m_options.command);
    if (m_recording) {
        m_record = JobRecord::begin(m_options.command, QStringLiteral("veltrano-cli"));
        m_record.port = m_options.connection.port;
        m_record.dryRun = m_options.dryRun;
        const QString file = m_options.arguments.value(0);
        if (m_options.command == QLatin1String("upload") || m_options.command == QLatin1String("flash"))
            m_record.fileName = QFileInfo(file).absoluteFilePath();
        else
            m_record.fileName = m_options.arguments.join(QLatin1String(", "));
        const bool flash = m_options.command == QLatin1String("flash") || m_options.command == QLatin1String("launch")
            || m_options.command == QLatin1String("restart-bootloader");
        m_record.role = flash ? QStringLiteral("bootloader") : QStringLiteral("application");
        if (!m_keeper.begin(m_record) && m_options.requireRecords) {
            m_recording = false;
            fail(CliNoRecord, QStringLiteral("%1; nothing was sent (--require-records)").arg(m_keeper.lastError()));
            return;
        }
        // A file another program held locked may have been waited for: that was not the device's silence.
        m_watchdog.start();
    }
    start();
}

void CliJob::setVoltage(double volts)
{
    m_report.setVoltage(volts);
    if (std::isnan(volts))
        return;
    if (!m_voltageRead)
        m_record.voltageBefore = volts;
    else
        m_record.voltageAfter = volts;
    m_voltageRead = true;
}

void CliJob::recordStep()
{
    if (!m_recording || m_ended)
        return;
    m_keeper.update(m_record);
    heardFromDevice(); // any wait for the file was not the device's silence
}

void CliJob::recordLink(const ELM327IOBase &link)
{
    m_record.adapterKind = ELM327IOBase::adapterName(link.adapterKind());
    m_record.adapterId = link.adapterIdentification();
    m_record.transfer = link.segmentedTransfer() ? QStringLiteral("segmented") : QStringLiteral("frames");
}

bool CliJob::recordEnd(int status, const QString &reason)
{
    if (!m_recording)
        return true;
    m_recording = false;
    const bool stopped = status == CliInterrupted || status == CliTerminated;
    const QString outcome = status == CliOk ? QLatin1String(JobRecord::succeeded)
        : stopped                           ? QLatin1String(JobRecord::stopped)
                                            : QLatin1String(JobRecord::failed);
    if (m_keeper.finish(m_record, outcome, reason, status) || !m_options.requireRecords)
        return true;
    const QString problem = QStringLiteral("the job's record could not be written: %1").arg(m_keeper.lastError());
    if (status != CliOk) {
        m_report.warn(QStringLiteral("warning: %1").arg(problem));
        return true;
    }
    finish(m_report.fail(CliNoRecord, QStringLiteral("the device confirmed the work, but %1").arg(problem)));
    return false;
}

void CliJob::heardFromDevice()
{
    // Nothing heard shortens the time a step the device works on may take.
    if (!m_ended)
        m_watchdog.start(std::max(m_options.timeoutSeconds * 1000, int(m_deviceWorking.remainingTime())));
}

void CliJob::deviceWorking(int budgetMs)
{
    // The worker bounds the step by its budget; the watchdog stays a backstop behind it.
    constexpr int backstopMs = 2000;
    if (budgetMs > 0 && budgetMs + backstopMs > m_deviceWorking.remainingTime())
        m_deviceWorking.setRemainingTime(budgetMs + backstopMs);
    heardFromDevice();
}

void CliJob::succeed(const QJsonObject &result, const QString &text)
{
    if (!m_ended && recordEnd(CliOk, text))
        finish(m_report.succeed(result, text));
}

void CliJob::succeed(const QJsonObject &result, const QStringList &lines)
{
    if (!m_ended && recordEnd(CliOk, lines.join(QLatin1String("; "))))
        finish(m_report.succeed(result, lines));
}

QString CliJob::interruptedWork() const
{
    if (!m_retryReason.isEmpty())
        return QStringLiteral("interrupted before trying again; the last try failed: %1").arg(m_retryReason);
    if (!m_linkUp)
        return QStringLiteral("interrupted while connecting: nothing was sent to the device");
    return QStringLiteral("interrupted before the device confirmed the work");
}

void CliJob::interrupt(int status)
{
    if (m_ended)
        return;
    const QString work = interruptedWork();
    recordEnd(status, work);
    finish(m_report.interrupted(status, work));
}

bool CliJob::endedDuringSetup()
{
    const int status = m_stopStatus ? m_stopStatus->load() : 0;
    if (status != 0)
        interrupt(status); // before the set-up counts as done: nothing has gone to the device yet
    m_linkUp = true;
    m_retryReason.clear();
    return m_ended;
}

void CliJob::fail(CliStatus status, const QString &message)
{
    if (m_ended)
        return;
    recordEnd(status, message);
    finish(m_report.fail(status, message));
}

void CliJob::finish(int status)
{
    m_ended = true;
    m_watchdog.stop();
    emit done(status);
}
