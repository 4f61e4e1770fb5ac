#include "linktrace.h"

#include <QDateTime>
#include <QElapsedTimer>

namespace {

// One clock for every link of the process, so records of two links can be ordered.
qint64 microsSinceStart()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock.nsecsElapsed() / 1000;
}

} // namespace

LinkTrace::LinkTrace()
{
    const QString path = qEnvironmentVariable("VELTRANO_TRACE");
    if (path.isEmpty())
        return;
    m_file.setFileName(path);
    // Unbuffered: a record is on disk even when the program is killed right after it.
    m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

QByteArray LinkTrace::escaped(const QByteArray &bytes)
{
    QByteArray text;
    text.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\\')
            text += "\\\\";
        else if (c >= 0x20 && c < 0x7f)
            text += c;
        else
            text += "\\x" + QByteArray::number(quint8(c), 16).rightJustified(2, '0');
    }
    return text;
}

void LinkTrace::record(char kind, const QByteArray &text)
{
    const qint64 us = microsSinceStart();
    QByteArray line = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
    line += ' ' + QByteArray::number(us / 1000000) + '.' + QByteArray::number(us % 1000000).rightJustified(6, '0');
    if (!m_port.isEmpty())
        line += " [" + m_port + ']';
    line += ' ';
    line += kind;
    line += ' ';
    line += text;
    line += '\n';
    m_file.write(line);
}
