#include "managersession.h"

#include <QJsonObject>

namespace {

void registerTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<ManagerEnding>("ManagerEnding");
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

ManagerSession::ManagerSession(QObject *parent)
    : QObject(parent)
    , m_worker(this)
{
    registerTypes();
    connect(&m_worker, &CanWorker::finished, this, &ManagerSession::onFinished);
    connect(&m_worker, &CanWorker::commandEnded, this, &ManagerSession::onCommandEnded);
    connect(&m_worker, &CanWorker::uploadEnded, this, &ManagerSession::onUploadEnded);
    connect(&m_worker, &CanWorker::error, this, &ManagerSession::onError);
    connect(&m_worker, &CanWorker::voltageRead, this, &ManagerSession::onVoltage);
    connect(&m_worker, &CanWorker::described, this, [this](const QJsonObject &info) { m_info = info.toVariantMap(); });
}

bool ManagerSession::begin(Operation operation, CanWorker::Commands step)
{
    if (m_running) {
        // Its request would take the worker's one pending slot from the operation under way, whose
        // reply would then be counted for this one, or for nobody. Asked again later, it runs.
        const QString busy = tr("Busy: another operation is running");
        emit ended({operation, step, TransferOutcome::Refused, {}, busy, busy});
        return false;
    }
    m_operation = operation;
    m_step = m_named = step;
    m_running = true;
    m_thenList = false;
    m_result.clear();
    m_complaint.clear();
    m_voltage = qQNaN();
    return true;
}

void ManagerSession::open(const ELM_ConnInfo &connection, bool thenList)
{
    if (!begin(Connect, CanWorker::Setup))
        return;
    m_thenList = thenList;
    // The set-up blocks, and its end reaches onFinished before execute() returns.
    m_worker.execute(CanWorker::Setup, QVariant::fromValue(connection));
}

void ManagerSession::list()
{
    if (!begin(List, CanWorker::Read))
        return;
    m_files.clear();
    m_info.clear();
    m_worker.execute(CanWorker::Read);
}

void ManagerSession::upload(QIODevice *source, const QString &target, double minimumVolts)
{
    if (!begin(Upload, CanWorker::Write))
        return;
    // A closed port has no reading to give: the worker says the port is gone.
    if (!m_worker.link().isOpen()) {
        m_worker.flash(source, target);
        return;
    }
    m_pending = {true, false, source, target, minimumVolts};
    m_worker.readVoltage();
}

// The link answers every reading asked for once, even when it closes meanwhile, so the upload
// waiting for it always goes on or ends.
void ManagerSession::onVoltage(double volts)
{
    if (!m_pending.waiting)
        return;
    const PendingUpload pending = m_pending;
    m_pending = PendingUpload();
    m_voltage = volts;
    if (pending.stopAsked) {
        m_result = tr("Upload stopped");
        end(TransferOutcome::Stopped);
    } else if (ELM327Worker::belowMinimum(volts, pending.minimumVolts)) {
        m_result = ELM327Worker::lowVoltageReason(volts, pending.minimumVolts);
        end(TransferOutcome::LowVoltage);
    } else {
        m_worker.flash(pending.source, pending.target);
    }
}

void ManagerSession::command(Operation operation, CanWorker::Commands cmd, const QVariant &param)
{
    if (!begin(operation, cmd))
        return;
    m_worker.execute(cmd, param);
}

void ManagerSession::remove(const QString &name)
{
    command(Remove, CanWorker::Remove, name);
}

void ManagerSession::erase()
{
    command(Erase, CanWorker::Erase);
}

void ManagerSession::reboot()
{
    command(Reboot, CanWorker::Reboot);
}

void ManagerSession::dfu()
{
    command(Dfu, CanWorker::Dfu);
}

void ManagerSession::stop()
{
    if (!uploading())
        return;
    if (m_pending.waiting)
        m_pending.stopAsked = true; // nothing has gone out yet: it ends once the reading is in
    else
        m_worker.stopUpload();
}

void ManagerSession::onFinished(CanWorker::Commands cmd, bool status, const QVariant &result)
{
    if (!m_running)
        return;
    m_named = cmd;
    m_result = result;
    if (cmd != CanWorker::Setup || m_operation != Connect)
        return; // the command's end is told by commandEnded, an upload's by uploadEnded
    if (!status) {
        m_complaint = m_worker.link().lastOpenError();
        end(TransferOutcome::NotResponding);
        return;
    }
    const bool thenList = m_thenList;
    m_voltage = m_worker.link().lastVoltage();
    end(TransferOutcome::Succeeded);
    if (thenList)
        list();
}

void ManagerSession::onCommandEnded(CanWorker::Commands, TransferOutcome outcome)
{
    if (!m_running || m_operation == Connect || m_operation == Upload)
        return;
    if (m_operation != List) {
        end(outcome, outcome == TransferOutcome::Succeeded ? m_result : QVariant());
        return;
    }
    if (m_step == CanWorker::Config) {
        end(outcome, listed(outcome == TransferOutcome::Succeeded ? m_result.toStringList() : QStringList()));
        return;
    }
    if (outcome != TransferOutcome::Succeeded) {
        end(outcome);
        return;
    }
    m_files = m_result.toStringList();
    // An empty list has no selection to read.
    if (m_files.isEmpty()) {
        end(outcome, listed({}));
        return;
    }
    m_step = CanWorker::Config;
    m_worker.execute(CanWorker::Config);
}

void ManagerSession::onUploadEnded(TransferOutcome outcome)
{
    if (uploading())
        end(outcome);
}

void ManagerSession::onError(int code, const QVariant &text)
{
    if (m_running && (code == CanWorker::ERR_IO || code == CanWorker::ERR_FLASH || code == CanWorker::ERR_COMM))
        m_complaint = text.toString();
}

QVariantMap ManagerSession::listed(const QStringList &active) const
{
    return {{QStringLiteral("info"), m_info}, {QStringLiteral("files"), m_files}, {QStringLiteral("active"), active}};
}

void ManagerSession::end(TransferOutcome outcome, const QVariant &result)
{
    ManagerEnding ending;
    ending.operation = m_operation;
    // The device names the selection read in its refusals by a number the worker reports as
    // Invalid: while that read is under way, such an end is the read's.
    const bool selection = m_operation == List && m_step == CanWorker::Config && m_named == CanWorker::Invalid;
    ending.step = selection ? CanWorker::Config : m_named;
    ending.outcome = outcome;
    ending.result = result;
    ending.voltage = m_voltage;
    if (outcome != TransferOutcome::Succeeded) {
        ending.failure = m_result.toString();
        ending.reason = m_complaint.isEmpty() ? ending.failure : m_complaint;
    }
    // Before anyone hears of it: a listener may start the next operation at once.
    m_running = false;
    emit ended(ending);
}
