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
    , m_worker(this)
{
    connect(&m_worker, &CanWorker::finished, this, &ManagerJob::onFinished);
    connect(&m_worker, &CanWorker::commandEnded, this, &ManagerJob::onCommandEnded);
    connect(&m_worker, &CanWorker::uploadEnded, this, &ManagerJob::onUploadEnded);
    connect(&m_worker, &CanWorker::error, this, &ManagerJob::onError);
    connect(
        &m_worker, &CanWorker::described, this, [this](const QJsonObject &info) { m_description = describe(info); });
    connect(&m_worker, &CanWorker::progress, this, [this](int percent) {
        heardFromDevice();
        m_report.progress(percent);
    });
}

void ManagerJob::start()
{
    // Everything that can be checked without the device is checked first, so that bad
    // input never reaches it.
    if (!prepareUpload())
        return;
    connectAdapter();
}

void ManagerJob::connectAdapter()
{
    m_lastProblem.clear();
    m_worker.execute(CanWorker::Setup, QVariant::fromValue(m_options.connection));
}

void ManagerJob::restart()
{
    m_upload.seek(0);
    connectAdapter();
}

QString ManagerJob::interruptedWork() const
{
    if (m_uploading)
        return QStringLiteral("interrupted while uploading: a partial file may be left on the device");
    return CliJob::interruptedWork();
}

QString ManagerJob::problem() const
{
    return m_lastProblem.isEmpty() ? m_lastResult : m_lastProblem;
}

bool ManagerJob::prepareUpload()
{
    const QString &command = m_options.command;
    QByteArray content;
    if (command == QLatin1String("upload")) {
        const QString path = m_options.arguments.value(0);
        m_target = FirmwareFile::targetName(path);
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
    if (command == QLatin1String("info"))
        m_worker.execute(CanWorker::Read);
    else if (command == QLatin1String("upload") || command == QLatin1String("select")) {
        m_uploading = true;
        m_worker.flash(&m_upload, m_target);
    } else if (command == QLatin1String("remove"))
        m_worker.execute(CanWorker::Remove, m_options.arguments.value(0));
    else if (command == QLatin1String("erase"))
        m_worker.execute(CanWorker::Erase);
    else if (command == QLatin1String("reboot"))
        m_worker.execute(CanWorker::Reboot);
    else if (command == QLatin1String("dfu"))
        m_worker.execute(CanWorker::Dfu);
}

void ManagerJob::onFinished(CanWorker::Commands cmd, bool status, const QVariant &result)
{
    if (ended())
        return;
    heardFromDevice();
    if (cmd == CanWorker::Setup) {
        if (endedDuringSetup())
            return;
        if (status)
            begin();
        else
            fail(CliNoConnection, setupFailure(m_worker.link().lastOpenError(), m_options.connection.port));
        return;
    }
    if (!status) {
        m_lastResult = result.toString();
        return; // commandEnded, or uploadEnded, says how it ended
    }
    switch (cmd) {
    case CanWorker::Read:
        m_files = result.toStringList();
        m_worker.execute(CanWorker::Config);
        break;
    case CanWorker::Config: {
        const QStringList active = result.toStringList();
        QStringList lines {m_description};
        for (const QString &file : qAsConst(m_files))
            lines << (active.contains(file) ? QStringLiteral("* ") : QStringLiteral("  ")) + file;
        succeed({{"description", m_description}, {"files", QJsonArray::fromStringList(m_files)},
                    {"active", QJsonArray::fromStringList(active)}},
            lines);
        break;
    }
    case CanWorker::Remove:
        succeed({{"removed", result.toString()}}, QStringLiteral("removed %1").arg(result.toString()));
        break;
    case CanWorker::Erase:
        succeed({}, QStringLiteral("all files erased"));
        break;
    case CanWorker::Reboot:
        succeed({}, QStringLiteral("device restarting"));
        break;
    case CanWorker::Dfu:
        succeed({}, QStringLiteral("device switching to its bootloader"));
        break;
    default:
        break;
    }
}

void ManagerJob::onCommandEnded(CanWorker::Commands cmd, TransferOutcome outcome)
{
    if (ended() || m_uploading || outcome == TransferOutcome::Succeeded)
        return;
    // The device restarts instead of answering; the worker confirms the request itself.
    if ((cmd == CanWorker::Reboot || cmd == CanWorker::Dfu) && outcome == TransferOutcome::NotResponding)
        return;
    fail(statusFor(outcome), problem());
}

void ManagerJob::onUploadEnded(TransferOutcome outcome)
{
    if (ended())
        return;
    m_uploading = false;
    if (outcome == TransferOutcome::Succeeded) {
        succeed({{"stored", m_target}, {"bytes", int(m_upload.size())}},
            QStringLiteral("stored %1 (%2 bytes, MD5 verified)").arg(m_target).arg(m_upload.size()));
        return;
    }
    transferFailed(outcome, problem());
}

void ManagerJob::onError(int code, const QVariant &param)
{
    if (ended())
        return;
    heardFromDevice();
    const QString text = param.toString();
    switch (code) {
    case CanWorker::ERR_IO:
        m_lastProblem = QStringLiteral("the serial port closed during the work (%1)").arg(text);
        if (!m_uploading) // an upload's end is told by uploadEnded
            fail(CliLinkLost, m_lastProblem);
        break;
    case CanWorker::ERR_FLASH:
        m_lastProblem = text;
        break;
    case CanWorker::ERR_UNSUP:
        fail(CliUsage, text);
        break;
    case CanWorker::ERR_COMM:
        m_lastProblem = text;
        break;
    default:
        break;
    }
}
