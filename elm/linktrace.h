#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A time-stamped record of everything that passes between the program and the adapter, and of
// each decision the link takes about it (an echo dropped, a time-out, a resend, stale input
// thrown away). When a real adapter misbehaves, this file is what support needs to see.
// Off unless VELTRANO_TRACE names a file; each link appends to it, one record per write, so
// the links of one process may share the file.
class LinkTrace
{
public:
    LinkTrace();

    bool isOn() const { return m_file.isOpen(); }
    // Names the port in the records that follow.
    void setPort(const QString &port) { m_port = port.toUtf8(); }

    void sent(const QByteArray &bytes)
    {
        if (isOn())
            record('>', escaped(bytes));
    }
    void received(const QByteArray &bytes)
    {
        if (isOn())
            record('<', escaped(bytes));
    }
    void note(const QString &text)
    {
        if (isOn())
            record('#', text.toUtf8());
    }

    // The bytes as readable text: printable ASCII as it is, line ends and the rest escaped.
    static QByteArray escaped(const QByteArray &bytes);

private:
    void record(char kind, const QByteArray &text);

    QFile m_file;
    QByteArray m_port;
};
