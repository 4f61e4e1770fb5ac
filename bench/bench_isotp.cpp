// Pushes ISO-TP requests through the transport to kestrane-sim with its wire
// timing on, and prints how fast the link ran against what the wire allows.
//
//   bench_isotp [--requests N] [--size BYTES] [--adapter elm327|els27] [--baud RATE] [--latency-us N]

#include <elm327io.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 figure(const QByteArray &output, const QByteArray &name)
{
    for (const QByteArray &line : output.split('\n'))
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).trimmed().toLongLong();
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption requestsOption("requests", "Requests to send.", "n", "200");
    const QCommandLineOption sizeOption("size", "Bytes per request.", "bytes", "1025");
    const QCommandLineOption adapterOption("adapter", "elm327 or els27.", "kind", "els27");
    const QCommandLineOption baudOption("baud", "Serial rate of the adapter.", "rate", "1000000");
    const QCommandLineOption latencyOption("latency-us", "Adapter latency per answer.", "us", "0");
    parser.addOptions({requestsOption, sizeOption, adapterOption, baudOption, latencyOption});
    parser.process(app);
    QTextStream out(stdout);

    const int requests = parser.value(requestsOption).toInt();
    const int size = parser.value(sizeOption).toInt();
    const bool els27 = parser.value(adapterOption) == QLatin1String("els27");
    const QString baud = parser.value(baudOption);

    QTemporaryDir dir;
    const QString port = dir.filePath("sim0");
    QFile script(dir.filePath("bench.script"));
    if (!script.open(QIODevice::WriteOnly) || script.write("* => isotp 7600\n") < 0)
        return 1;
    script.close();

    QProcess sim;
    sim.start(QStringLiteral(KESTRANE_SIM),
        {"--link", port, "--adapter", els27 ? "els27" : "elm327", "--baud", baud, "--device", "script", "--script",
            script.fileName(), "--wire-timing", "--latency-us", parser.value(latencyOption)});
    QByteArray simOutput;
    while (!simOutput.contains("ready") && sim.waitForReadyRead(5000))
        simOutput += sim.readAllStandardOutput();
    if (!simOutput.contains("ready")) {
        out << "kestrane-sim did not start\n";
        return 1;
    }
    qputenv("VELTRANO_EXTRA_PORTS", port.toLocal8Bit());

    ELM327IO io;
    io.setStrictMode(true);
    ELM_ConnInfo info;
    info.port = port;
    info.baud = baud.toInt();
    info.adapter = els27 ? ELM327IOBase::ELS27 : ELM327IOBase::ELM327;
    info.canId = 0x746;
    info.pcId = 0x74E;

    int answered = 0;
    int failures = 0;
    QByteArray payload(size, '\0');
    for (int i = 0; i < size; ++i)
        payload[i] = char(i * 7);
    const ELM_Message request(payload, 1, 200);
    QElapsedTimer wall;
    double cpuAtStart = 0;

    QObject::connect(&io, &ELM327IOBase::error, [&](ELM327IOBase::ELM_ERROR, const QString &reason) {
        ++failures;
        out << "error: " << reason << "\n";
    });
    QObject::connect(&io, &ELM327IOBase::read, [&](const QByteArray &) {
        if (++answered < requests)
            io.send(request);
        else
            app.quit();
    });
    bool started = false;
    QObject::connect(&io, &ELM327IOBase::ready, [&] {
        if (started)
            return;
        started = true; // the initialisation is answered: measure from here
        wall.start();
        cpuAtStart = cpuSeconds();
        io.send(request);
    });
    if (!io.setup(info)) {
        out << "setup failed\n";
        return 1;
    }
    app.exec();
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuAtStart;
    io.close();

    sim.terminate();
    sim.waitForFinished(5000);
    simOutput += sim.readAllStandardOutput();
    const qint64 lines = figure(simOutput, "lines");
    const qint64 wireUs = figure(simOutput, "wire-busy-us");

    out << "requests          " << answered << " of " << requests << " (" << size << " bytes each, "
        << (els27 ? "ELS27" : "ELM327") << " at " << baud << " bit/s)\n";
    out << "failures          " << failures << "\n";
    out << "wall time         " << QString::number(seconds, 'f', 3) << " s\n";
    out << "adapter lines     " << lines << " (" << QString::number(lines / seconds, 'f', 0) << " lines/s)\n";
    out << "program CPU/line  " << QString::number(cpu * 1e6 / qMax<qint64>(lines, 1), 'f', 1) << " us\n";
    out << "wire-busy time    " << QString::number(wireUs / 1e6, 'f', 3) << " s\n";
    out << "wire/measured     " << QString::number(wireUs / 1e6 / seconds, 'f', 3) << "\n";
    return answered == requests && failures == 0 ? 0 : 1;
}
