// Uploads the 102,112-byte firmware slice through the file manager and flashes a 256 KiB
// image through the bootloader, against kestrane-sim with its wire timing on, and prints
// for each the wall time, the time the emulated wire was busy, the time the device spent
// erasing and programming, and the ratios.
//
//   bench_transfer [--rates 1000000,38400] [--jobs upload,flash] [--latencies 0,1000]
//                  [--adapters els27,elm327] [--rate-switch off,on] [--flash-kib 256]
//
// --rate-switch on lets an ELM327 raise its serial rate after the set-up (AT BRD); the rate
// column is the one it was met at.

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

// One measured set-up: the adapter, the serial rate it is met at, its answer latency, and
// whether an ELM327 may raise its rate.
struct Setting
{
    QString adapter;
    int rate = 0;
    int latencyUs = 0;
    bool rateSwitch = false;
    int flashBytes = 256 * 1024;
};

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
    Simulator(const QString &mode, const Setting &setting)
    {
        m_process.start(QStringLiteral(KESTRANE_SIM),
            {"--link", port(), "--adapter", setting.adapter, "--baud", QString::number(setting.rate), "--device",
                "kestrane", "--mode", mode, "--state", m_dir.filePath("state"), "--wire-timing", "--latency-us",
                QString::number(setting.latencyUs)});
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

ELM_ConnInfo connection(const QString &port, const Setting &setting, int canId, int pcId)
{
    ELM_ConnInfo info;
    info.port = port;
    info.baud = setting.rate;
    info.adapter = setting.adapter == QLatin1String("elm327") ? ELM327IOBase::ELM327 : ELM327IOBase::ELS27;
    info.canId = canId;
    info.pcId = pcId;
    info.rateSwitch = setting.rateSwitch;
    return info;
}

Figures upload(const Setting &setting)
{
    Figures figures;
    Simulator sim("app", setting);
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
        [&] { worker.execute(CanWorker::Setup, QVariant::fromValue(connection(sim.port(), setting, 0x746, 0x74E))); },
        Qt::QueuedConnection);
    loop.exec();
    const WireTotals measured = sim.stop();
    figures.wireSeconds = measured.wire;
    figures.deviceSeconds = measured.device;
    return figures;
}

Figures flash(const Setting &setting)
{
    Figures figures;
    Simulator sim("boot", setting);
    if (!sim.ready())
        return {false, 0, 0, 0, "simulator did not start"};
    QByteArray image(setting.flashBytes, '\0');
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
        [&] {
            worker.execute(hiddfu_worker::Setup, QVariant::fromValue(connection(sim.port(), setting, 0x747, 0x74F)));
        },
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
    const QCommandLineOption adaptersOption("adapters", "Adapters: els27, elm327.", "list", "els27");
    const QCommandLineOption switchOption("rate-switch", "Let an ELM327 raise its rate: off, on.", "list", "off");
    const QCommandLineOption flashOption("flash-kib", "Size of the flashed image in KiB.", "kib", "256");
    parser.addOptions({ratesOption, jobsOption, latenciesOption, adaptersOption, switchOption, flashOption});
    parser.process(app);
    QTextStream out(stdout);
    bool allOk = true;
    // The last column leaves out the time the device spends erasing and programming: no program
    // can shorten that, and the wire is idle meanwhile.
    out << "job     adapter  rate bit/s switch latency us   wall s   wire s device s  wire/wall  wire/(wall-device)\n";
    Setting setting;
    setting.flashBytes = parser.value(flashOption).toInt() * 1024;
    for (const QString &adapter : parser.value(adaptersOption).split(',')) {
        setting.adapter = adapter;
        for (const QString &rateText : parser.value(ratesOption).split(',')) {
            setting.rate = rateText.toInt();
            for (const QString &switchText : parser.value(switchOption).split(',')) {
                // The ELS27 keeps the rate it was met at; only the ELM327 is asked to switch.
                setting.rateSwitch = switchText == QLatin1String("on");
                if (setting.rateSwitch && adapter != QLatin1String("elm327"))
                    continue;
                for (const QString &latencyText : parser.value(latenciesOption).split(',')) {
                    setting.latencyUs = latencyText.toInt();
                    for (const QString &job : parser.value(jobsOption).split(',')) {
                        const Figures f = job == QLatin1String("upload") ? upload(setting) : flash(setting);
                        allOk &= f.ok;
                        out << job.leftJustified(8) << adapter.leftJustified(7)
                            << QString::number(setting.rate).rightJustified(12)
                            << (setting.rateSwitch ? QStringLiteral("on") : QStringLiteral("off")).rightJustified(7)
                            << QString::number(setting.latencyUs).rightJustified(11);
                        if (f.ok)
                            out << QString::number(f.seconds, 'f', 2).rightJustified(9)
                                << QString::number(f.wireSeconds, 'f', 2).rightJustified(9)
                                << QString::number(f.deviceSeconds, 'f', 2).rightJustified(9)
                                << QString::number(f.wireSeconds / f.seconds, 'f', 3).rightJustified(11)
                                << QString::number(f.wireSeconds / (f.seconds - f.deviceSeconds), 'f', 3)
                                       .rightJustified(20)
                                << "\n";
                        else
                            out << "  FAILED (" << f.problem << ")\n";
                        out.flush();
                    }
                }
            }
        }
    }
    return allOk ? 0 : 1;
}
