#pragma once

#include <QObject>
#include <QSerialPort>
#include <QTcpSocket>

#include <functional>
#include <vector>

// The adapter's end of the wire: a serial port, or the TCP connection of a network adapter (a
// Wi-Fi adapter, or a serial adapter behind a bridge), named tcp://HOST:PORT. Both read and
// write alike. What only a serial line has (its rate, buffers to clear, the driver's low-latency
// mode, a descriptor to write to directly) does nothing on a network adapter and says so in its
// result, so that the link's code stays one for both.
class AdapterPort : public QObject
{
    Q_OBJECT

public:
    explicit AdapterPort(QObject *parent = nullptr);
    ~AdapterPort() override;

    // Keeps the port quiet while it lives, as QSignalBlocker does one object: the set-up reads
    // the port itself with blocking waits.
    class Quiet
    {
    public:
        explicit Quiet(AdapterPort &port)
            : m_self(&port)
            , m_serial(port.m_serial)
            , m_tcp(port.m_tcp)
        { }

    private:
        QSignalBlocker m_self;
        QSignalBlocker m_serial;
        QSignalBlocker m_tcp;
    };

    // Calls `slot` of `receiver` when input arrives. Connected straight to the device, not
    // forwarded through a signal of ours: it runs for every answer of the adapter.
    template<typename Receiver> void onReadyRead(Receiver *receiver, void (Receiver::*slot)())
    {
        connect(m_serial, &QIODevice::readyRead, receiver, slot);
        m_tcpReaders.push_back(
            [receiver, slot](QTcpSocket *tcp) { QObject::connect(tcp, &QIODevice::readyRead, receiver, slot); });
        m_tcpReaders.back()(m_tcp);
    }

    // Whether `name` names a network adapter; with `host` and `port` given, also where it is
    // (an IPv6 address is written in brackets: tcp://[::1]:35000).
    static bool isNetworkName(const QString &name, QString *host = nullptr, quint16 *port = nullptr);

    // The serial port, to be named and configured before openSerial().
    QSerialPort &serial() { return *m_serial; }
    // Opens the serial port and asks its driver for low latency (see lowLatency()).
    bool openSerial();
    // Connects to a network adapter within `timeoutMs`, again when the adapter turns the connection
    // away at once; on failure `reason` says why.
    bool connectTo(const QString &host, quint16 port, int timeoutMs, QString *reason);
    bool isNetwork() const { return m_network; }
    // "on", or "not available (REASON)": what the serial driver said to low latency at the last
    // opening. Empty on a network adapter.
    QString lowLatency() const { return m_lowLatency; }
    bool lowLatencyGranted() const { return m_lowLatency == QLatin1String("on"); }

    // Both kinds; those on the path of every line inline.
    bool isOpen() const { return m_network ? networkOpen() : m_serial->isOpen(); }
    void close();
    QString portName() const;
    qint64 write(const QByteArray &bytes) { return m_device->write(bytes); }
    qint64 write(const char *data, qint64 size) { return m_device->write(data, size); }
    bool flush();
    QByteArray readAll() { return m_device->readAll(); }
    qint64 bytesAvailable() const { return m_device->bytesAvailable(); }
    qint64 bytesToWrite() const { return m_device->bytesToWrite(); }
    bool waitForReadyRead(int msecs);
    bool waitForBytesWritten(int msecs);

    // A serial line's own; on a network adapter false, or nothing done.
    bool setBaudRate(qint32 rate);
    bool clear(QSerialPort::Directions directions = QSerialPort::AllDirections);
    void clearError();
    // Reopens the serial port after the rate search closed it.
    bool open(QIODevice::OpenMode mode);
    int handle() const { return m_handle; } // -1 on a network adapter, or closed
    // Why the port is no longer open, in words a technician can act on; empty while it is.
    QString lossReason() const;

signals:
    void aboutToClose();
    // The port failed (unplugged, a serial error) or the connection dropped; the link closes it.
    void failed(const QString &reason);

private:
    // How long a fresh connection is watched for the adapter closing it at once.
    static constexpr int turnAwayMs = 100;

    bool networkOpen() const;
    // Whether the adapter closed the connection just made (see connectTo).
    bool turnedAway();
    // Connects the socket's signals to this port and the readers.
    void wireSocket();
    // Keeps a second descriptor of the connection, to tell a reset from an orderly end.
    void watchConnection();
    void forgetConnection();
    // What became of the connection, in words a technician can act on.
    QString connectionLoss(QAbstractSocket::SocketError error) const;

    QSerialPort *m_serial;
    QTcpSocket *m_tcp;
    QIODevice *m_device; // the one of the two in use
    int m_handle = -1; // the serial port's descriptor while open
    int m_watch = -1; // a second descriptor of the network connection (see watchConnection)
    QString m_networkName; // tcp://HOST:PORT as connected to
    bool m_network = false;
    bool m_closing = false;
    QString m_lowLatency;
    std::vector<std::function<void(QTcpSocket *)>> m_tcpReaders; // onReadyRead's, for a new socket
};
