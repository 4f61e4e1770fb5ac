// Uploads the 102,112-byte firmware slice through the file manager and flashes a 256 KiB
// image through the bootloader, against kestrane-sim with its wire timing on, and prints
// for each the wall time, the time the emulated wire was busy, the time the device spent
// erasing and programming, and the ratios.
//
//   bench_transfer [--rates 1000000,38400] [--jobs upload,flash] [--latencies 0,1000]

#include <canworker.h>
#include <hiddfu_worker.h>

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <csignal>
#include <sys/types.h>

namespace {

struct Figures
{
    bool ok = false;
    double seconds = 0;
    double wireSeconds = 0;
    double deviceSeconds = 0; // the device erasing or programming before it answers
    QString problem;
};

// The simulator's wire totals, in seconds.
struct WireTotals
{
    double wire = 0;
    double device = 0;
};

class Simulator
{
public:
    Simulator(const QString &mode, int rate, int latencyUs)
    {
        m_process.start(QStringLiteral(KESTRANE_SIM),
            {"--link", port(), "--adapter", "els27", "--baud", QString::number(rate), "--device", "kestrane", "--mode",
                mode, "--state", m_dir.filePath("state"), "--wire-timing", "--latency-us", QString::number(latencyUs)});
        while (!m_output.contains("ready") && m_process.waitForReadyRead(5000))
            m_output += m_process.readAllStandardOutput();
        qputenv("VELTRANO_EXTRA_PORTS", port().toLocal8Bit());
    }
    bool ready() const { return m_output.contains("ready"); }
    QString port() const { return m_dir.filePath("sim0"); }
    // Leaves what came so far, the adapter's set-up, out of the totals stop() returns.
    void startMeasuring()
    {
        m_output.clear();
        ::kill(pid_t(m_process.processId()), SIGUSR2);
        while (!m_output.contains("\nlines ") && m_process.waitForReadyRead(5000))
            m_output += m_process.readAllStandardOutput();
        m_start = totals();
    }
    // Stops the simulator and returns its totals since startMeasuring().
    WireTotals stop()
    {
        m_output.clear();
        m_process.terminate();
        m_process.waitForFinished(5000);
        m_output += m_process.readAllStandardOutput();
        const WireTotals end = totals();
        return {end.wire - m_start.wire, end.device - m_start.device};
    }

private:
    WireTotals totals() const
    {
        WireTotals t;
        for (const QByteArray &line : m_output.split('\n')) {
            if (line.startsWith("wire-busy-us "))
                t.wire = line.mid(13).trimmed().toLongLong() / 1e6;
            else if (line.startsWith("device-busy-us "))
                t.device = line.mid(15).trimmed().toLongLong() / 1e6;
        }
        return t;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
    WireTotals m_start;
};

ELM_ConnInfo connection(const QString &port, int rate, int canId, int pcId)
{
    ELM_ConnInfo info;
    info.port = port;
    info.baud = rate;
    info.adapter = ELM327IOBase::ELS27;
    info.canId = canId;
    info.pcId = pcId;
    return info;
}

Figures upload(int rate, int latencyUs)
{
    Figures figures;
    Simulator sim("app", rate, latencyUs);
    if (!sim.ready())
        return {false, 0, 0, 0, "simulator did not start"};
    QByteArray slice(0x18EE0, '\0');
    for (int i = 0; i < slice.size(); ++i)
        slice[i] = char(i * 13);
    QBuffer buffer(&slice);
    buffer.open(QIODevice::ReadOnly);
    CanWorker worker;
    QEventLoop loop;
    QElapsedTimer wall;
    QObject::connect(&worker, &CanWorker::finished, [&](CanWorker::Commands cmd, bool status, const QVariant &result) {
        if (cmd == CanWorker::Setup) {
            if (!status) {
                figures.problem = "setup failed";
                loop.quit();
                return;
            }
            sim.startMeasuring();
            wall.start();
            worker.flash(&buffer, "bench.bin");
        } else if (!status) {
            figures.problem = result.toString();
        }
    });
    QObject::connect(&worker, &CanWorker::uploadEnded, [&](TransferOutcome outcome, int) {
        figures.ok = outcome == TransferOutcome::Succeeded;
        figures.seconds = wall.nsecsElapsed() / 1e9;
        loop.quit();
    });
    QMetaObject::invokeMethod(
        &worker,
        [&] { worker.execute(CanWorker::Setup, QVariant::fromValue(connection(sim.port(), rate, 0x746, 0x74E))); },
        Qt::QueuedConnection);
    loop.exec();
    const WireTotals measured = sim.stop();
    figures.wireSeconds = measured.wire;
    figures.deviceSeconds = measured.device;
    return figures;
}

Figures flash(int rate, int latencyUs)
{
    Figures figures;
    Simulator sim("boot", rate, latencyUs);
    if (!sim.ready())
        return {false, 0, 0, 0, "simulator did not start"};
    QByteArray image(256 * 1024, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 1);
    QBuffer buffer(&image);
    buffer.open(QIODevice::ReadOnly);
    hiddfu_worker worker;
    QEventLoop loop;
    QElapsedTimer wall;
    QObject::connect(&worker, &hiddfu_worker::finished, [&](int cmd, bool status, const QVariant &) {
        if (cmd != hiddfu_worker::Setup)
            return;
        if (!status) {
            figures.problem = "setup failed";
            loop.quit();
            return;
        }
        sim.startMeasuring();
        wall.start();
        worker.flash(&buffer);
    });
    QString lastProblem;
    QObject::connect(&worker, &hiddfu_worker::error, [&](int code, const QVariant &text) {
        if (code == hiddfu_worker::ERR_COMM || code == hiddfu_worker::ERR_FLASH)
            lastProblem = text.toString();
    });
    QObject::connect(&worker, &hiddfu_worker::flashEnded, [&](TransferOutcome outcome, int) {
        figures.ok = outcome == TransferOutcome::Succeeded;
        figures.seconds = wall.nsecsElapsed() / 1e9;
        if (!figures.ok)
            figures.problem = lastProblem.isEmpty() ? QStringLiteral("the device stopped answering") : lastProblem;
        loop.quit();
    });
    QMetaObject::invokeMethod(
        &worker,
        [&] { worker.execute(hiddfu_worker::Setup, QVariant::fromValue(connection(sim.port(), rate, 0x747, 0x74F))); },
        Qt::QueuedConnection);
    loop.exec();
    const WireTotals measured = sim.stop();
    figures.wireSeconds = measured.wire;
    figures.deviceSeconds = measured.device;
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption ratesOption("rates", "Serial rates to measure at.", "list", "1000000,38400");
    const QCommandLineOption jobsOption("jobs", "Jobs to run: upload, flash.", "list", "upload,flash");
    const QCommandLineOption latenciesOption(
        "latencies", "Adapter latencies per answer, in microseconds.", "list", "0");
    parser.addOptions({ratesOption, jobsOption, latenciesOption});
    parser.process(app);
    QTextStream out(stdout);
    bool allOk = true;
    // The last column leaves out the time the device spends erasing and programming: no program
    // can shorten that, and the wire is idle meanwhile.
    out << "job      rate bit/s  latency us   wall s   wire s device s  wire/wall  wire/(wall-device)\n";
    for (const QString &rateText : parser.value(ratesOption).split(',')) {
        const int rate = rateText.toInt();
        for (const QString &latencyText : parser.value(latenciesOption).split(',')) {
            const int latency = latencyText.toInt();
            for (const QString &job : parser.value(jobsOption).split(',')) {
                const Figures f = job == QLatin1String("upload") ? upload(rate, latency) : flash(rate, latency);
                allOk &= f.ok;
                out << job.leftJustified(8) << QString::number(rate).rightJustified(11)
                    << QString::number(latency).rightJustified(12);
                if (f.ok)
                    out << QString::number(f.seconds, 'f', 2).rightJustified(9)
                        << QString::number(f.wireSeconds, 'f', 2).rightJustified(9)
                        << QString::number(f.deviceSeconds, 'f', 2).rightJustified(9)
                        << QString::number(f.wireSeconds / f.seconds, 'f', 3).rightJustified(11)
                        << QString::number(f.wireSeconds / (f.seconds - f.deviceSeconds), 'f', 3).rightJustified(20)
                        << "\n";
                else
                    out << "  FAILED (" << f.problem << ")\n";
                out.flush();
            }
        }
    }
    return allOk ? 0 : 1;
}
