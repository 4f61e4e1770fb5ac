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
    connect(&m_worker, &CanWorker::completed, this, &ManagerSession::onCompleted);
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
    m_step = step;
    m_running = true;
    m_thenList = false;
    m_last = Completion();
    m_last.named = step;
    m_voltage = qQNaN();
    return true;
}

void ManagerSession::execute(CanWorker::Commands cmd, const QVariant &param)
{
    m_step = cmd;
    m_awaited = m_worker.nextSerial();
    m_worker.execute(cmd, param);
}

void ManagerSession::flash(QIODevice *source, const QString &target)
{
    m_awaited = m_worker.nextSerial();
    m_worker.flash(source, target);
}

void ManagerSession::open(const ELM_ConnInfo &connection, bool thenList)
{
    if (!begin(Connect, CanWorker::Setup))
        return;
    m_thenList = thenList;
    // The set-up blocks, and its completion has come before execute() returns.
    execute(CanWorker::Setup, QVariant::fromValue(connection));
}

void ManagerSession::list()
{
    if (!begin(List, CanWorker::Read))
        return;
    m_files.clear();
    m_info.clear();
    execute(CanWorker::Read);
}

void ManagerSession::upload(QIODevice *source, const QString &target, double minimumVolts)
{
    if (!begin(Upload, CanWorker::Write))
        return;
    // A closed port has no reading to give: the worker says the port is gone.
    if (!m_worker.link().isOpen()) {
        flash(source, target);
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
    if (pending.stopAsked)
        end(TransferOutcome::Stopped, {}, tr("Upload stopped"));
    else if (ELM327Worker::belowMinimum(volts, pending.minimumVolts))
        end(TransferOutcome::LowVoltage, {}, ELM327Worker::lowVoltageReason(volts, pending.minimumVolts));
    else
        flash(pending.source, pending.target);
}

void ManagerSession::command(Operation operation, CanWorker::Commands cmd, const QVariant &param)
{
    if (!begin(operation, cmd))
        return;
    execute(cmd, param);
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

void ManagerSession::onCompleted(const Completion &completion)
{
    if (!m_running || completion.serial != m_awaited)
        return;
    m_last = completion;
    switch (m_operation) {
    case Connect: {
        const bool thenList = m_thenList;
        if (completion.ok())
            m_voltage = completion.result.toDouble();
        end(completion.outcome);
        if (completion.ok() && thenList)
            list();
        return;
    }
    case List:
        listStepEnded(completion);
        return;
    case Upload:
        end(completion.outcome);
        return;
    default:
        end(completion.outcome, completion.ok() ? completion.result : QVariant());
        return;
    }
}

void ManagerSession::listStepEnded(const Completion &completion)
{
    const bool ok = completion.ok();
    if (m_step == CanWorker::Config) {
        end(completion.outcome, listed(ok ? completion.result.toStringList() : QStringList()));
        return;
    }
    if (!ok) {
        end(completion.outcome);
        return;
    }
    m_files = completion.result.toStringList();
    // An empty list has no selection to read.
    if (m_files.isEmpty()) {
        end(completion.outcome, listed({}));
        return;
    }
    execute(CanWorker::Config);
}

QVariantMap ManagerSession::listed(const QStringList &active) const
{
    return {{QStringLiteral("info"), m_info}, {QStringLiteral("files"), m_files}, {QStringLiteral("active"), active}};
}

void ManagerSession::end(TransferOutcome outcome, const QVariant &result, const QString &failure)
{
    ManagerEnding ending;
    ending.operation = m_operation;
    // The device names the selection read in its refusals by a number the worker reports as
    // Invalid: while that read is under way, such an end is the read's.
    const auto named = CanWorker::Commands(m_last.named);
    const bool selection = m_operation == List && m_step == CanWorker::Config && named == CanWorker::Invalid;
    ending.step = selection ? CanWorker::Config : named;
    ending.outcome = outcome;
    ending.result = result;
    ending.voltage = m_voltage;
    if (outcome != TransferOutcome::Succeeded) {
        ending.failure = failure.isEmpty() ? m_last.failure : failure;
        ending.reason = failure.isEmpty() ? m_last.reason : failure;
    }
    // Before anyone hears of it: a listener may start the next operation at once.
    m_running = false;
    emit ended(ending);
}
