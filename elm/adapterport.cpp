#include "adapterport.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// USB-serial adapters (FTDI and the like) hold received bytes back for up to their latency timer,
// 16 ms by default, which adds up over the many short request/reply exchanges with the adapter.
// The Linux driver drops that wait in low-latency mode. A port that cannot give it (a pty, many
// drivers) works as it is, only slower; the answer is kept for the trace and the probe.
QString requestLowLatency([[maybe_unused]] QSerialPort &port)
{
#ifdef Q_OS_LINUX
    struct serial_struct ss;
    if (ioctl(port.handle(), TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(port.handle(), TIOCSSERIAL, &ss) == 0)
            return QStringLiteral("on");
    }
    return QStringLiteral("not available (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
#else
    return QStringLiteral("not available (not asked for on this system)");
#endif
}

} // namespace

AdapterPort::AdapterPort(QObject *parent)
    : QObject(parent)
    , m_serial(new QSerialPort(this))
    , m_tcp(new QTcpSocket(this))
    , m_device(m_serial)
{
    connect(m_serial, &QIODevice::aboutToClose, this, &AdapterPort::aboutToClose);
    connect(m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // open() and clearError() report NoError through the same signal; that is no failure.
        if (error != QSerialPort::NoError && !m_network && !m_closing && m_serial->isOpen())
            emit failed(
                QStringLiteral("The serial port %1 failed: %2").arg(m_serial->portName(), m_serial->errorString()));
    });
    wireSocket();
}

AdapterPort::~AdapterPort()
{
    forgetConnection();
}

void AdapterPort::wireSocket()
{
    connect(m_tcp, &QIODevice::aboutToClose, this, &AdapterPort::aboutToClose);
    // A network adapter that drops the connection is gone as an unplugged one is.
    connect(m_tcp, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_network && !m_closing && m_tcp->isOpen())
            emit failed(connectionLoss(error));
    });
    connect(m_tcp, &QAbstractSocket::disconnected, this, [this] {
        if (m_network && !m_closing && m_tcp->isOpen())
            emit failed(connectionLoss(QAbstractSocket::RemoteHostClosedError));
    });
    for (const auto &connectReader : m_tcpReaders)
        connectReader(m_tcp);
}

bool AdapterPort::isNetworkName(const QString &name, QString *host, quint16 *port)
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^tcp://(\[([^\]]+)\]|([^:/\[\]]+)):(\d{1,5})$)"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(name);
    const uint number = match.captured(4).toUInt();
    if (!match.hasMatch() || number == 0 || number > 65535)
        return false;
    if (host)
        *host = match.captured(2).isEmpty() ? match.captured(3) : match.captured(2);
    if (port)
        *port = quint16(number);
    return true;
}

bool AdapterPort::openSerial()
{
    m_network = false;
    m_device = m_serial;
    m_lowLatency.clear();
    if (!m_serial->open(QIODevice::ReadWrite))
        return false;
    m_handle = int(m_serial->handle());
    m_lowLatency = requestLowLatency(*m_serial);
    return true;
}

bool AdapterPort::connectTo(const QString &host, quint16 port, int timeoutMs, QString *reason)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        close();
        m_network = true;
        m_device = m_tcp;
        m_lowLatency.clear();
        m_tcp->connectToHost(host, port);
        if (!m_tcp->waitForConnected(qMax(1, timeoutMs - int(waited.elapsed()))))
            break;
        // Every line is one small write answered before the next: Nagle's delay would hold each.
        m_tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!turnedAway()) {
            m_networkName = QStringLiteral("tcp://%1:%2").arg(host.contains(':') ? '[' + host + ']' : host).arg(port);
            watchConnection();
            return true;
        }
        if (waited.elapsed() + turnAwayMs >= timeoutMs) {
            if (reason)
                *reason = QStringLiteral("the adapter closes every connection (another program connected to it?)");
            close();
            return false;
        }
    }
    if (reason)
        *reason = m_tcp->error() == QAbstractSocket::SocketTimeoutError
            ? QStringLiteral("no answer within %1 ms").arg(timeoutMs)
            : m_tcp->errorString();
    close();
    return false;
}

// A network adapter serves one client at a time. A program that connects again right after it
// closed (a check after a restart, the next command of a script) can reach the adapter before it
// has seen the last connection go, and is turned away: the connection is closed at once. Nothing
// is lost by that; asked again, the adapter takes it.
bool AdapterPort::turnedAway()
{
    {
        // The link never saw this connection: its end must not reach it as the loss of its port.
        const QSignalBlocker quiet(m_tcp);
        if (!m_tcp->waitForDisconnected(turnAwayMs) && m_tcp->state() == QAbstractSocket::ConnectedState)
            return false;
    }
    // The next try gets a socket of its own: calls the old one queued for its end would otherwise
    // reach the new connection and close it.
    QTcpSocket *old = m_tcp;
    old->disconnect();
    old->abort();
    old->deleteLater();
    m_tcp = new QTcpSocket(this);
    wireSocket();
    return true;
}

bool AdapterPort::networkOpen() const
{
    return m_tcp->isOpen() && m_tcp->state() == QAbstractSocket::ConnectedState;
}

// Qt reports a connection reset by the adapter as it does an orderly end: both are "the remote
// host closed the connection". A second descriptor of the connection, kept aside, still tells
// them apart once Qt has let go of its own: a reset leaves the connection closed at once, an
// orderly end waits for this side to close too.
void AdapterPort::watchConnection()
{
    forgetConnection();
#ifdef Q_OS_LINUX
    m_watch = ::dup(int(m_tcp->socketDescriptor()));
#endif
}

void AdapterPort::forgetConnection()
{
#ifdef Q_OS_LINUX
    if (m_watch >= 0)
        ::close(m_watch);
#endif
    m_watch = -1;
}

QString AdapterPort::connectionLoss(QAbstractSocket::SocketError error) const
{
    if (error != QAbstractSocket::RemoteHostClosedError)
        return QStringLiteral("The network connection to %1 failed: %2").arg(m_networkName, m_tcp->errorString());
#ifdef Q_OS_LINUX
    tcp_info info {};
    socklen_t size = sizeof info;
    if (m_watch >= 0 && ::getsockopt(m_watch, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_CLOSE)
        return QStringLiteral("The network connection to %1 was reset").arg(m_networkName);
#endif
    return QStringLiteral("The network connection to %1 was closed").arg(m_networkName);
}

QString AdapterPort::lossReason() const
{
    if (isOpen())
        return QString();
    if (m_network)
        return connectionLoss(m_tcp->error());
    return QStringLiteral("The serial port %1 failed: %2").arg(m_serial->portName(), m_serial->errorString());
}

void AdapterPort::close()
{
    // Closing the connection ourselves is no failure of it.
    const bool closing = m_closing;
    m_closing = true;
    if (m_network) {
        if (m_tcp->isOpen())
            m_tcp->close(); // announces aboutToClose, as a serial port's close does
        m_tcp->abort();
        forgetConnection();
    } else {
        m_serial->close();
    }
    m_handle = -1;
    m_closing = closing;
}

QString AdapterPort::portName() const
{
    return m_network ? QStringLiteral("tcp://%1:%2").arg(m_tcp->peerName()).arg(m_tcp->peerPort())
                     : m_serial->portName();
}

bool AdapterPort::flush()
{
    return m_network ? m_tcp->flush() : m_serial->flush();
}

bool AdapterPort::waitForReadyRead(int msecs)
{
    return isOpen() && m_device->waitForReadyRead(msecs);
}

bool AdapterPort::waitForBytesWritten(int msecs)
{
    return m_device->waitForBytesWritten(msecs);
}

bool AdapterPort::setBaudRate(qint32 rate)
{
    return !m_network && m_serial->setBaudRate(rate);
}

bool AdapterPort::clear(QSerialPort::Directions directions)
{
    return m_network || m_serial->clear(directions);
}

void AdapterPort::clearError()
{
    if (!m_network)
        m_serial->clearError();
}

bool AdapterPort::open(QIODevice::OpenMode mode)
{
    if (m_network || !m_serial->open(mode))
        return false;
    m_handle = int(m_serial->handle());
    return true;
}
