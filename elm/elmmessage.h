#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>

// A payload sent as raw CAN frames of up to 8 bytes, with the number of reply frames the adapter
// waits for after the last one and how long. It travels by value (queued calls, the driver's
// queue), and every copy keeps its own framing cursor.
class ELM_BasicMessage : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int replies READ replies WRITE setReplies)
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout)

public:
    ELM_BasicMessage();
    ELM_BasicMessage(const QByteArray &data, int replies, int timeout);
    ELM_BasicMessage(const ELM_BasicMessage &other);
    ELM_BasicMessage &operator=(const ELM_BasicMessage &other);

    const QByteArray &data() const { return m_data; }
    int replies() const { return m_replies; }
    void setReplies(int replies) { m_replies = replies; }
    int timeout() const { return m_timeout; }
    void setTimeout(int timeout) { m_timeout = timeout; }

    virtual bool equals(const ELM_BasicMessage &other) const;
    virtual void clear();
    virtual void setData(const QByteArray &data, int replies);
    // The next frame as lower-case hex text; advances the cursor.
    virtual QByteArray nextFrame();
    virtual bool atEnd() const;
    virtual int framesLeft() const;
    virtual void rewind();

protected:
    QByteArray m_data;
    int m_replies = 0;
    int m_timeout = 10; // ms
    int m_position = 0; // index of the next payload byte to frame
    int m_sequence = 0; // sequence number of the last Consecutive Frame produced
};

// The same payload as one ISO-TP message: a Single Frame, or a First Frame followed by
// Consecutive Frames. The 12-bit length field limits the payload to 4095 bytes.
class ELM_Message : public ELM_BasicMessage
{
    Q_OBJECT

public:
    ELM_Message() = default;
    ELM_Message(const QByteArray &data, int replies, int timeout);
    ELM_Message(const ELM_Message &other) = default;
    ELM_Message &operator=(const ELM_Message &other) = default;

    QByteArray nextFrame() override;
    int framesLeft() const override;
};

Q_DECLARE_METATYPE(ELM_BasicMessage)
Q_DECLARE_METATYPE(ELM_Message)
