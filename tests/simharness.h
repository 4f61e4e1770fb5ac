#pragma once

// Runs kestrane-sim on a pseudo-terminal for a test and reads back what the
// simulated adapter received and sent.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

struct SimEvent
{
    qint64 us = 0;
    QChar kind; // '<' received line, '>' sent line, '!' garbled input, '=' rate change
    QString text; // line text, or the rest of the event
};

class SimHarness
{
public:
    explicit SimHarness(const QStringList &arguments = {})
    {
        m_process.setProgram(QStringLiteral(KESTRANE_SIM));
        // With --tcp the simulator serves a network adapter; its port is known once it is ready.
        const QStringList link
            = arguments.contains(QStringLiteral("--tcp")) ? QStringList() : QStringList {"--link", port()};
        m_process.setArguments(link + QStringList {"--log", logPath()} + arguments);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
    }

    ~SimHarness()
    {
        stop();
        // For a failing test: KESTRANE_SIM_DUMP=1 prints what the simulator saw.
        if (qEnvironmentVariableIsSet("KESTRANE_SIM_DUMP")) {
            QFile log(logPath());
            if (log.open(QIODevice::ReadOnly))
                qInfo().noquote() << log.readAll();
        }
    }

    // Starts the simulator and makes its port visible to the program's port lists.
    bool start()
    {
        qputenv("VELTRANO_EXTRA_PORTS", port().toLocal8Bit());
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer waited;
        waited.start();
        // The whole ready line: with --tcp it names the port.
        const auto readyLine = [this] {
            const int at = m_stdout.indexOf("ready");
            return at >= 0 && m_stdout.indexOf('\n', at) > at;
        };
        while (!readyLine() && waited.elapsed() < 5000) {
            m_process.waitForReadyRead(100);
            m_stdout += m_process.readAllStandardOutput();
        }
        const int tcp = m_stdout.indexOf("ready tcp://");
        if (tcp >= 0) {
            const QByteArray rest = m_stdout.mid(tcp + 6);
            m_network = QString::fromLatin1(rest.left(rest.indexOf('\n')).trimmed());
            qputenv("VELTRANO_EXTRA_PORTS", m_network.toLocal8Bit());
        }
        return m_stdout.contains("ready");
    }

    // Ends the simulator and returns what it printed.
    QByteArray stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(1000);
        }
        m_stdout += m_process.readAllStandardOutput();
        return m_stdout;
    }

    void signal(int sig) { ::kill(pid_t(m_process.processId()), sig); }

    // The pty's link, or the network adapter's tcp://HOST:PORT once started with --tcp.
    QString port() const { return m_network.isEmpty() ? m_dir.filePath(QStringLiteral("sim0")) : m_network; }
    QString logPath() const { return m_dir.filePath(QStringLiteral("sim.log")); }

    // Puts the scripted device on the bus, answering by the given rules; call before start().
    void useScript(const QString &rules)
    {
        const QString path = m_dir.filePath(QStringLiteral("device.script"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(rules.toUtf8());
        m_process.setArguments(m_process.arguments() + QStringList {"--device", "script", "--script", path});
    }

    QList<SimEvent> events() const
    {
        QList<SimEvent> result;
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &raw : file.readAll().split('\n')) {
            const int firstSpace = raw.indexOf(' ');
            if (firstSpace < 0 || raw.size() < firstSpace + 2)
                continue;
            SimEvent event;
            event.us = raw.left(firstSpace).toLongLong();
            event.kind = QLatin1Char(raw.at(firstSpace + 1));
            event.text = QString::fromLatin1(raw.mid(firstSpace + 3));
            result << event;
        }
        return result;
    }

    // The texts of the events of one kind, in order.
    QStringList logged(char kind) const
    {
        QStringList texts;
        for (const SimEvent &e : events())
            if (e.kind == QLatin1Char(kind))
                texts << e.text;
        return texts;
    }
    // The lines the adapter received at its own rate, in order.
    QStringList received() const { return logged('<'); }
    // The requests the device has received whole, however the adapter carried them.
    int deviceRequests() const { return int(logged('#').filter(QStringLiteral(": request ")).size()); }
    bool sawGarbled() const { return !logged('!').isEmpty(); }

    // Keeps the event loop running until the adapter has received `line`.
    bool waitForReceived(const QString &line, int timeoutMs = 5000) const
    {
        QElapsedTimer waited;
        waited.start();
        while (!received().contains(line)) {
            if (waited.elapsed() > timeoutMs)
                return false;
            QTest::qWait(5);
        }
        return true;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stdout;
    QString m_network;
};
