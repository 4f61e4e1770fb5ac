#include "restartcheck.h"

#include <canids.h>

namespace {

// Between questions: a device that is still starting lets them pass unheard.
constexpr int askAgainMs = 250;
constexpr int askTimeoutMs = 200;

// The application's info request, and the bootloader's status routine, with how their answers
// begin.
const QByteArray infoRequest = QByteArray::fromHex("10");
const QByteArray infoReply = QByteArray::fromHex("50");
const QByteArray statusRequest = QByteArray::fromHex("b100b0");
const QByteArray statusReply = QByteArray::fromHex("f100b0");

} // namespace

RestartCheck::RestartCheck(const ELM_ConnInfo &connection, Expect expect, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_request(expect == Expect::Bootloader ? statusRequest : infoRequest)
    , m_reply(expect == Expect::Bootloader ? statusReply : infoReply)
    , m_link(this)
{
    if (expect == Expect::Bootloader) {
        m_connection.canId = CanIds::bootloaderCanId;
        m_connection.pcId = CanIds::bootloaderPcId;
    }
    m_link.setStrictMode(true);
    m_deadline.setSingleShot(true);
    m_again.setSingleShot(true);
    connect(&m_link, &ELM327IOBase::read, this, &RestartCheck::onRead);
    connect(&m_link, &ELM327IOBase::error, this, &RestartCheck::onError);
    connect(&m_link, &ELM327IOBase::disconnected, this, &RestartCheck::linkLost);
    connect(&m_again, &QTimer::timeout, this, &RestartCheck::ask);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_again.stop();
        emit gaveUp(m_seen);
    });
}

bool RestartCheck::start()
{
    if (!m_link.setup(m_connection, false))
        return false;
    m_deadline.start(answerMs);
    ask();
    return true;
}

void RestartCheck::ask()
{
    m_asking = true;
    m_link.send(ELM_Message(m_request, 1, askTimeoutMs));
}

void RestartCheck::askAgain()
{
    if (!m_asking || !m_deadline.isActive())
        return;
    m_asking = false;
    m_again.start(askAgainMs);
}

void RestartCheck::onRead(const QByteArray &data)
{
    emit heard();
    if (m_deadline.isActive() && data.startsWith(m_reply)) {
        m_deadline.stop();
        m_again.stop();
        emit answered();
        return;
    }
    m_seen = QStringLiteral("the reply %1").arg(QString::fromLatin1(data.left(8).toHex(' ')));
    askAgain();
}

void RestartCheck::onError(ELM327IOBase::ELM_ERROR, const QString &reason)
{
    emit heard();
    m_seen = reason;
    askAgain();
}
