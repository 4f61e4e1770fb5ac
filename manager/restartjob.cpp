#include "restartjob.h"

#include <QTimer>

RestartJob::RestartJob(ManagerSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session)
{
    connect(&m_session, &ManagerSession::ended, this, &RestartJob::onEnded);
}

void RestartJob::start(const ELM_ConnInfo &connection, bool bootloader)
{
    m_connection = connection;
    m_ending = RestartEnding();
    m_ending.bootloader = bootloader;
    m_running = true;
    // Last: a request the session cannot start ends inside this call.
    if (bootloader)
        m_session.dfu();
    else
        m_session.reboot();
}

void RestartJob::onEnded(const ManagerEnding &ending)
{
    const int operation = m_ending.bootloader ? ManagerSession::Dfu : ManagerSession::Reboot;
    if (!m_running || m_check || ending.operation != operation)
        return;
    m_ending.request = ending;
    if (!ending.ok()) {
        finish(RestartEnding::Result::Refused);
        return;
    }
    // The request's link holds the port; it lets it go once the ending that brought us here has
    // reached everyone.
    m_check = new RestartCheck(
        m_connection, m_ending.bootloader ? RestartCheck::Expect::Bootloader : RestartCheck::Expect::Application, this);
    connect(m_check, &RestartCheck::heard, this, &RestartJob::heard);
    // The bootloader's answer proves the switch. Nothing proves a restart: a device that dropped
    // the request is as silent as one that restarted, and answers afterwards just the same.
    connect(m_check, &RestartCheck::answered, this, [this] {
        finish(m_ending.bootloader ? RestartEnding::Result::Switched : RestartEnding::Result::AnswersAgain);
    });
    connect(m_check, &RestartCheck::gaveUp, this,
        [this](const QString &seen) { finish(RestartEnding::Result::NoAnswer, seen); });
    connect(m_check, &RestartCheck::linkLost, this, [this] { finish(RestartEnding::Result::LinkLost); });
    emit confirming();
    QTimer::singleShot(0, this, &RestartJob::confirm);
}

void RestartJob::confirm()
{
    if (!m_running)
        return;
    m_session.worker().closeLink();
    if (!m_check->start())
        finish(RestartEnding::Result::NoConnection, m_check->lastOpenError());
    else
        emit heard();
}

void RestartJob::finish(RestartEnding::Result result, const QString &reason)
{
    if (!m_running)
        return;
    m_running = false;
    m_ending.result = result;
    m_ending.reason = reason;
    // The confirmation's link puts the adapter back and lets the port go; it may be what called.
    if (m_check) {
        m_check->disconnect(this);
        m_check->deleteLater();
        m_check = nullptr;
    }
    emit ended(m_ending);
}
