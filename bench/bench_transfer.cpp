// Uploads the 102,112-byte firmware slice through the file manager and flashes a 256 KiB
// image through the bootloader, against kestrane-sim with its wire timing on, and prints
// for each the wall time, the time the emulated wire was busy, the time the device spent
// erasing and programming, and the ratios.
//
//   bench_transfer [--rates 1000000,38400] [--jobs upload,flash,stations] [--latencies 0,1000]
//                  [--adapters els27,elm327] [--rate-switch off,on] [--flash-kib 256]
//                  [--stations 4] [--usb-latencies 0,1,16] [--transfers frames,segmented]
//
// --rate-switch on lets an ELM327 raise its serial rate after the set-up (AT BRD); the rate
// column is the one it was met at.
//
// --usb-latencies sets the latency timer of a USB serial bridge between the adapter and the
// program, in ms (kestrane-sim --usb-latency-ms): an FTDI chip's is 16 ms unless lowered, and it
// holds every short answer, the prompt above all, that long.
//
// --transfers: frame by frame (one adapter line per CAN frame), or segmented by the ELS27 itself
// (one STPX per message; its rows name the adapter "els27+stpx"). "bus s" is the time the CAN
// frames alone took on the emulated bus, the floor of any transfer.
//
// The stations job flashes the same package through one veltrano-cli run on one station, then
// on --stations stations at once, each its own simulator, and prints both wall times (the whole
// command, set-up included), their ratio, and the processor time the program and the
// simulators took, which tells whether the machine's cores were the limit.

#include <canworker.h>
#include <dfupackage.h>
#include <hiddfu_worker.h>

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

// One measured set-up: the adapter, the serial rate it is met at, its answer latency, and
// whether an ELM327 may raise its rate.
struct Setting
{
    QString adapter;
    int rate = 0;
    int latencyUs = 0;
    int usbLatencyMs = 0;
    bool rateSwitch = false;
    int flashBytes = 256 * 1024;
    QString transfer = QStringLiteral("frames");
};

struct Figures
{
    bool ok = false;
    double seconds = 0;
    double wireSeconds = 0;
    double deviceSeconds = 0; // the device erasing or programming before it answers
    QString problem;
    double busSeconds = 0; // the CAN frames alone
};

// The simulator's wire totals, in seconds.
struct WireTotals
{
    double wire = 0;
    double device = 0;
    double bus = 0;
};

class Simulator
{
public:
    Simulator(const QString &mode, const Setting &setting)
    {
        m_process.start(QStringLiteral(KESTRANE_SIM),
            {"--link", port(), "--adapter", setting.adapter, "--baud", QString::number(setting.rate), "--device",
                "kestrane", "--mode", mode, "--state", m_dir.filePath("state"), "--wire-timing", "--latency-us",
                QString::number(setting.latencyUs), "--usb-latency-ms", QString::number(setting.usbLatencyMs)});
        while (!m_output.contains("ready") && m_process.waitForReadyRead(5000))
            m_output += m_process.readAllStandardOutput();
        qputenv("VELTRANO_EXTRA_PORTS", port().toLocal8Bit());
    }
    bool ready() const { return m_output.contains("ready"); }
    QString port() const { return m_dir.filePath("sim0"); }
    QString flashPath() const { return m_dir.filePath("state/flash.bin"); }
    // Processor time the simulator has taken so far, user and system, in seconds.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray text = stat.readAll();
        // After the command name in parentheses: state is field 3, utime 14, stime 15.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            return 0;
        return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
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
        return {end.wire - m_start.wire, end.device - m_start.device, end.bus - m_start.bus};
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
            else if (line.startsWith("can-busy-us "))
                t.bus = line.mid(12).trimmed().toLongLong() / 1e6;
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
    info.transfer = transferModeNamed(setting.transfer);
    return info;
}

// Sets the worker up on the simulator, then times `transfer` from its start to its completion.
template<typename Worker, typename Transfer>
Figures measure(Simulator &sim, const Setting &setting, int canId, int pcId, Transfer transfer)
{
    Figures figures;
    Worker worker;
    QEventLoop loop;
    QElapsedTimer wall;
    QObject::connect(&worker, &Worker::completed, [&](const Completion &completion) {
        if (completion.command == Worker::Setup) {
            if (!completion.ok()) {
                figures.problem = "setup failed";
                loop.quit();
                return;
            }
            sim.startMeasuring();
            wall.start();
            transfer(worker);
            return;
        }
        figures.ok = completion.ok();
        figures.seconds = wall.nsecsElapsed() / 1e9;
        if (!figures.ok)
            figures.problem
                = completion.reason.isEmpty() ? QStringLiteral("the device stopped answering") : completion.reason;
        loop.quit();
    });
    QMetaObject::invokeMethod(
        &worker,
        [&] { worker.execute(Worker::Setup, QVariant::fromValue(connection(sim.port(), setting, canId, pcId))); },
        Qt::QueuedConnection);
    loop.exec();
    const WireTotals measured = sim.stop();
    figures.wireSeconds = measured.wire;
    figures.deviceSeconds = measured.device;
    figures.busSeconds = measured.bus;
    return figures;
}

Figures upload(const Setting &setting)
{
    Simulator sim("app", setting);
    if (!sim.ready())
        return {false, 0, 0, 0, "simulator did not start"};
    QByteArray slice(0x18EE0, '\0');
    for (int i = 0; i < slice.size(); ++i)
        slice[i] = char(i * 13);
    QBuffer buffer(&slice);
    buffer.open(QIODevice::ReadOnly);
    return measure<CanWorker>(
        sim, setting, 0x746, 0x74E, [&](CanWorker &worker) { worker.flash(&buffer, "bench.bin"); });
}

Figures flash(const Setting &setting)
{
    Simulator sim("boot", setting);
    if (!sim.ready())
        return {false, 0, 0, 0, "simulator did not start"};
    QByteArray image(setting.flashBytes, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 1);
    QBuffer buffer(&image);
    buffer.open(QIODevice::ReadOnly);
    return measure<hiddfu_worker>(sim, setting, 0x747, 0x74F, [&](hiddfu_worker &worker) { worker.flash(&buffer); });
}

struct StationsFigures
{
    bool ok = false;
    double seconds = 0;
    double flashSeconds = 0; // from the first station's erase on: the command less its start and set-up
    double cliCpuSeconds = 0;
    double simCpuSeconds = 0; // all simulators together
    QString problem;
};

double childrenCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One veltrano-cli flash of the same package on `count` stations at once, each its own simulator;
// every station's flash is compared with the image afterwards.
StationsFigures stations(const Setting &setting, int count)
{
    QTemporaryDir dir;
    QByteArray image(setting.flashBytes, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 1);
    const QString package = dir.filePath("bench.dfu");
    QFile file(package);
    if (!file.open(QIODevice::WriteOnly) || file.write(DfuPackage::build(0x4B455331, "bench", image)) < 0)
        return {false, 0, 0, 0, 0, "cannot write the package"};
    file.close();

    std::vector<std::unique_ptr<Simulator>> sims;
    QStringList ports;
    // Measured runs leave no records among the user's own.
    QStringList arguments {"flash", package, "--baud", QString::number(setting.rate), "--adapter", setting.adapter,
        "--timeout", "60", "--transfer", setting.transfer, "--no-records"};
    for (int i = 0; i < count; ++i) {
        sims.push_back(std::make_unique<Simulator>("boot", setting));
        if (!sims.back()->ready())
            return {false, 0, 0, 0, 0, "simulator did not start"};
        ports << sims.back()->port();
        arguments << "--port" << sims.back()->port();
    }
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VELTRANO_EXTRA_PORTS", ports.join(QDir::listSeparator()));
    cli.setProcessEnvironment(env);

    StationsFigures figures;
    // The simulators are still running, so the children's time taken around the run is the
    // program's alone.
    const double cpuBefore = childrenCpuSeconds();
    QElapsedTimer wall;
    qint64 erasingAt = -1;
    QByteArray said;
    // A station says "Erasing" when its flash begins, after the set-up.
    QObject::connect(&cli, &QProcess::readyReadStandardError, [&] {
        said += cli.readAllStandardError();
        if (erasingAt < 0 && said.contains("Erasing"))
            erasingAt = wall.nsecsElapsed();
    });
    QEventLoop loop;
    QObject::connect(&cli, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    wall.start();
    cli.start(QStringLiteral(VELTRANO_CLI), arguments);
    const bool ended = cli.waitForStarted() && loop.exec() == 0;
    figures.seconds = wall.nsecsElapsed() / 1e9;
    figures.flashSeconds = erasingAt < 0 ? 0 : figures.seconds - erasingAt / 1e9;
    figures.cliCpuSeconds = childrenCpuSeconds() - cpuBefore;
    for (const auto &sim : sims)
        figures.simCpuSeconds += sim->cpuSeconds();
    figures.ok = ended && cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0;
    if (!figures.ok)
        figures.problem = QStringLiteral("veltrano-cli ended with %1: %2")
                              .arg(cli.exitCode())
                              .arg(QString::fromLocal8Bit(said).trimmed());
    for (const auto &sim : sims) {
        sim->stop();
        QFile flashed(sim->flashPath());
        if (figures.ok && (!flashed.open(QIODevice::ReadOnly) || flashed.read(image.size()) != image)) {
            figures.ok = false;
            figures.problem = "a station's flash differs from the image";
        }
    }
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption ratesOption("rates", "Serial rates to measure at.", "list", "1000000,38400");
    const QCommandLineOption jobsOption("jobs", "Jobs to run: upload, flash, stations.", "list", "upload,flash");
    const QCommandLineOption latenciesOption(
        "latencies", "Adapter latencies per answer, in microseconds.", "list", "0");
    const QCommandLineOption adaptersOption("adapters", "Adapters: els27, elm327.", "list", "els27");
    const QCommandLineOption switchOption("rate-switch", "Let an ELM327 raise its rate: off, on.", "list", "off");
    const QCommandLineOption flashOption("flash-kib", "Size of the flashed image in KiB.", "kib", "256");
    const QCommandLineOption stationsOption(
        "stations", "Stations flashing at once in the stations job, compared with one.", "n", "4");
    const QCommandLineOption usbOption(
        "usb-latencies", "Latency timers of a USB serial bridge, in milliseconds.", "list", "0");
    const QCommandLineOption transfersOption(
        "transfers", "Transfers on an ELS27: frames, segmented.", "list", "frames");
    parser.addOptions({ratesOption, jobsOption, latenciesOption, adaptersOption, switchOption, flashOption,
        stationsOption, usbOption, transfersOption});
    parser.process(app);
    QTextStream out(stdout);
    bool allOk = true;
    // The last column leaves out the time the device spends erasing and programming: no program
    // can shorten that, and the wire is idle meanwhile.
    const QStringList jobs = parser.value(jobsOption).split(',');
    if (jobs.contains("upload") || jobs.contains("flash"))
        out << "job     adapter  rate bit/s switch latency us usb ms   wall s   wire s device s  wire/wall  "
               "wire/(wall-device)    bus s\n";
    Setting setting;
    setting.flashBytes = parser.value(flashOption).toInt() * 1024;
    QList<Setting> stationRows; // measured after the table, which they do not fit
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
                    for (const QString &usbText : parser.value(usbOption).split(',')) {
                        setting.usbLatencyMs = usbText.toInt();
                        for (const QString &transfer : parser.value(transfersOption).split(','))
                            for (const QString &job : jobs) {
                                setting.transfer = transfer;
                                // An ELM327 never segments: its rows are measured once.
                                const bool segmented = transfer == QLatin1String("segmented");
                                if (segmented && adapter != QLatin1String("els27"))
                                    continue;
                                const QString name = segmented ? adapter + QStringLiteral("+stpx") : adapter;
                                if (job == QLatin1String("stations")) {
                                    stationRows << setting;
                                    continue;
                                }
                                const Figures f = job == QLatin1String("upload") ? upload(setting) : flash(setting);
                                allOk &= f.ok;
                                out << job.leftJustified(8) << name.leftJustified(7)
                                    << QString::number(setting.rate).rightJustified(12)
                                    << (setting.rateSwitch ? QStringLiteral("on") : QStringLiteral("off"))
                                           .rightJustified(7)
                                    << QString::number(setting.latencyUs).rightJustified(11)
                                    << QString::number(setting.usbLatencyMs).rightJustified(7);
                                if (f.ok)
                                    out << QString::number(f.seconds, 'f', 2).rightJustified(9)
                                        << QString::number(f.wireSeconds, 'f', 2).rightJustified(9)
                                        << QString::number(f.deviceSeconds, 'f', 2).rightJustified(9)
                                        << QString::number(f.wireSeconds / f.seconds, 'f', 3).rightJustified(11)
                                        << QString::number(f.wireSeconds / (f.seconds - f.deviceSeconds), 'f', 3)
                                               .rightJustified(20)
                                        << QString::number(f.busSeconds, 'f', 2).rightJustified(9) << "\n";
                                else
                                    out << "  FAILED (" << f.problem << ")\n";
                                out.flush();
                            }
                    }
                }
            }
        }
    }
    if (!stationRows.isEmpty())
        out << "\nveltrano-cli flash  adapter  rate bit/s latency us  stations   wall s   ratio  flash s   ratio"
               "  program cpu s  simulators cpu s\n";
    for (const Setting &row : qAsConst(stationRows)) {
        StationsFigures one;
        for (int count : {1, parser.value(stationsOption).toInt()}) {
            const StationsFigures f = stations(row, count);
            allOk &= f.ok;
            if (count == 1)
                one = f;
            out << QStringLiteral("%1 KiB").arg(row.flashBytes / 1024).leftJustified(19) << row.adapter.leftJustified(7)
                << QString::number(row.rate).rightJustified(12) << QString::number(row.latencyUs).rightJustified(11)
                << QString::number(count).rightJustified(10);
            if (f.ok && one.ok)
                out << QString::number(f.seconds, 'f', 2).rightJustified(9)
                    << QString::number(f.seconds / one.seconds, 'f', 3).rightJustified(8)
                    << QString::number(f.flashSeconds, 'f', 2).rightJustified(9)
                    << QString::number(f.flashSeconds / one.flashSeconds, 'f', 3).rightJustified(8)
                    << QString::number(f.cliCpuSeconds, 'f', 2).rightJustified(15)
                    << QString::number(f.simCpuSeconds, 'f', 2).rightJustified(18) << "\n";
            else
                out << "  FAILED (" << (f.ok ? one.problem : f.problem) << ")\n";
            out.flush();
        }
    }
    return allOk ? 0 : 1;
}
