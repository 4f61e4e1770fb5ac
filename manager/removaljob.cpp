#include "removaljob.h"

#include "firmwarefile.h"

RemovalJob::RemovalJob(ManagerSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session)
{
    connect(&m_session, &ManagerSession::ended, this, &RemovalJob::onEnded);
}

void RemovalJob::remove(const QString &name)
{
    const QString problem = FirmwareFile::nameProblem(name);
    if (!problem.isEmpty()) {
        ManagerEnding refused;
        refused.operation = ManagerSession::Remove;
        refused.outcome = TransferOutcome::Refused;
        refused.failure = refused.reason = problem;
        emit ended(refused);
        return;
    }
    m_operation = ManagerSession::Remove;
    m_session.remove(name);
}

void RemovalJob::eraseAll()
{
    m_operation = ManagerSession::Erase;
    m_session.erase();
}

void RemovalJob::onEnded(const ManagerEnding &ending)
{
    if (ending.operation != m_operation)
        return;
    m_operation = -1;
    emit ended(ending);
}
