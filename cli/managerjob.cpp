#include "managerjob.h"

#include <firmwarefile.h>

#include <QJsonArray>

namespace {

const QString noAnswer = QStringLiteral("No responce from the device");

// The driver's reason when the port itself would not open; a port that opened but never
// answered gets the general guess.
QString setupFailure(const QString &openError, const QString &port)
{
    if (!openError.isEmpty())
        return openError;
    return QStringLiteral("no adapter found on %1 (port missing, busy, or silent at every rate)").arg(port);
}

} // namespace

ManagerJob::ManagerJob(const CliOptions &options, CliReport &report, QObject *parent)
    : CliJob(options, report, parent)
    , m_worker(this)
{
    connect(&m_worker, &CanWorker::finished, this, &ManagerJob::onFinished);
    connect(&m_worker, &CanWorker::error, this, &ManagerJob::onError);
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
    m_worker.execute(CanWorker::Setup, QVariant::fromValue(m_options.connection));
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
    else if (command == QLatin1String("upload") || command == QLatin1String("select"))
        m_worker.flash(&m_upload, m_target);
    else if (command == QLatin1String("remove"))
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
        if (status)
            begin();
        else
            fail(CliNoConnection, setupFailure(m_worker.link().lastOpenError(), m_options.connection.port));
        return;
    }
    if (!status) {
        // The device restarts without answering; the worker confirms the request itself.
        if ((cmd == CanWorker::Reboot || cmd == CanWorker::Dfu) && result.toString() == noAnswer)
            return;
        const QString reason = m_lastProblem.isEmpty() ? result.toString() : m_lastProblem;
        fail(result.toString() == noAnswer ? CliNoAnswer : CliDeviceError, reason);
        return;
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
            lines.join(QLatin1Char('\n')));
        break;
    }
    case CanWorker::Write:
        succeed({{"stored", m_target}, {"bytes", int(m_upload.size())}},
            QStringLiteral("stored %1 (%2 bytes, MD5 verified)").arg(m_target).arg(m_upload.size()));
        break;
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

void ManagerJob::onError(int code, const QVariant &param)
{
    if (ended())
        return;
    heardFromDevice();
    const QString text = param.toString();
    switch (code) {
    case CanWorker::ERR_IO:
        fail(CliLinkLost, QStringLiteral("the serial port closed during the work (%1)").arg(text));
        break;
    case CanWorker::ERR_FLASH:
        fail(CliBadInput, text);
        break;
    case CanWorker::ERR_UNSUP:
        fail(CliUsage, text);
        break;
    case CanWorker::ERR_COMM:
        m_lastProblem = text;
        break;
    case CanWorker::ERR_LOG:
        if (text.startsWith(QLatin1String("Device reports:")))
            m_description = text;
        break;
    default:
        break;
    }
}
