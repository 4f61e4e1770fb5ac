#include "elmmessage.h"

#include "isotptransport.h"

namespace {

constexpr int canFrameBytes = 8; // CAN data field
constexpr int consecutivePayload = 7; // bytes after the Consecutive Frame's control byte
constexpr int firstPayload = 6; // bytes after the First Frame's two control bytes

} // namespace

ELM_BasicMessage::ELM_BasicMessage() = default;

ELM_BasicMessage::ELM_BasicMessage(const QByteArray &data, int replies, int timeout)
    : m_data(data)
    , m_replies(replies)
    , m_timeout(timeout)
{ }

// Copies live beside their source so that a message handed through a queue keeps its owner.
ELM_BasicMessage::ELM_BasicMessage(const ELM_BasicMessage &other)
    : QObject(other.parent())
{
    *this = other;
}

ELM_BasicMessage &ELM_BasicMessage::operator=(const ELM_BasicMessage &other)
{
    m_data = other.m_data;
    m_replies = other.m_replies;
    m_timeout = other.m_timeout;
    m_position = other.m_position;
    m_sequence = other.m_sequence;
    return *this;
}

bool ELM_BasicMessage::equals(const ELM_BasicMessage &other) const
{
    return m_data == other.m_data && m_replies == other.m_replies && m_timeout == other.m_timeout;
}

void ELM_BasicMessage::clear()
{
    m_data.clear();
    m_replies = 0;
    m_timeout = 0;
    m_position = 0;
}

void ELM_BasicMessage::setData(const QByteArray &data, int replies)
{
    m_data = data;
    m_replies = replies;
    rewind();
}

QByteArray ELM_BasicMessage::nextFrame()
{
    const QByteArray frame = m_data.mid(m_position, canFrameBytes);
    m_position = qMin(m_position + canFrameBytes, m_data.size());
    return frame.toHex();
}

bool ELM_BasicMessage::atEnd() const
{
    return m_position >= m_data.size();
}

int ELM_BasicMessage::framesLeft() const
{
    return (m_data.size() - m_position + canFrameBytes - 1) / canFrameBytes;
}

void ELM_BasicMessage::rewind()
{
    m_position = 0;
    m_sequence = 0;
}

ELM_Message::ELM_Message(const QByteArray &data, int replies, int timeout)
    : ELM_BasicMessage(data, replies, timeout)
{ }

QByteArray ELM_Message::nextFrame()
{
    const int size = m_data.size();
    QByteArray frame;
    if (m_position == 0) {
        frame = IsoTpTransport::headFrame(m_data);
        m_sequence = 0;
        m_position = size < canFrameBytes ? size : firstPayload;
    } else {
        m_sequence = IsoTpTransport::nextSequence(m_sequence);
        frame = IsoTpTransport::consecutiveFrame(m_data, m_position, m_sequence);
        m_position = qMin(m_position + consecutivePayload, size);
    }
    return frame.toHex();
}

int ELM_Message::framesLeft() const
{
    const int size = m_data.size();
    if (size < canFrameBytes)
        return size > 0 && m_position == 0 ? 1 : 0;
    if (m_position == 0)
        return size / consecutivePayload + 1;
    return (size - m_position + consecutivePayload - 1) / consecutivePayload;
}
