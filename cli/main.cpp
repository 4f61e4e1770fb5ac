// veltrano-cli: the manager's and the updater's jobs for scripted service and production
// lines, on the same workers and adapter driver as the windows.

#include "clireport.h"
#include "recordscommand.h"
#include "station.h"
#include "stopsignals.h"

#include <canids.h>
#include <dfupackage.h>
#include <elm327iobase.h>
#include <recordstore.h>
#include <serialports.h>
#include <veltranoversion.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct CommandHelp
{
    const char *name;
    const char *synopsis;
    const char *text;
    bool bootloader; // talks to the bootloader (updater identifiers) rather than the application
    int arguments; // -1: any number
};

const CommandHelp commands[] = {
    {"ports", "ports", "List the serial ports, VELTRANO_EXTRA_PORTS included.", false, 0},
    {"adapter", "adapter",
        "Report what the adapter is and how well it serves: its kind and name, the vehicle's voltage, echo, "
        "the reply-count digit, the highest serial rate, the time per command line and a verdict. Talks to "
        "the adapter only, never to a device on the CAN bus.",
        false, 0},
    {"info", "info", "Show the device's description, its files and which of them are active.", false, 0},
    {"upload", "upload FILE.bin [--yes] [--dry-run]",
        "Check a 2 MiB firmware file, upload its firmware slice and verify it by MD5. A name that the device "
        "cannot store as it is gets shortened; --yes accepts the shorter name. Names must be printable ASCII. "
        "--dry-run checks the file, the battery, the adapter and the device's status, and uploads nothing.",
        false, 1},
    {"select", "select [NAME...]", "Make exactly these files active (writes active.cfg; no names: none).", false, -1},
    {"remove", "remove NAME", "Remove one file from the device.", false, 1},
    {"erase", "erase", "Remove every file from the device.", false, 0},
    {"reboot", "reboot", "Restart the device; succeeds once its application answers again (within 5 s).", false, 0},
    {"dfu", "dfu", "Switch the device to its bootloader; succeeds once the bootloader answers (within 5 s).", false, 0},
    {"bootloader", "bootloader", "Show the bootloader's description, unique ID and status.", true, 0},
    {"flash", "flash PACKAGE.dfu [--launch] [--dry-run]",
        "Check the package (its digest too, when it carries one) against the device, then erase, write and "
        "finalise it; --launch then starts the new firmware. Success is reported only when the device "
        "confirmed the finalise. --dry-run checks the package, the battery, the adapter and the device's "
        "status, and erases nothing.",
        true, 1},
    {"launch", "launch", "Leave the bootloader and start the application.", true, 0},
    {"restart-bootloader", "restart-bootloader", "Restart the bootloader.", true, 0},
    {"pack", "pack IMAGE --board ID --output FILE.dfu [--info TEXT]",
        "Build a firmware package from a raw image for the given board; it carries the image's SHA-256, which "
        "flash checks.",
        false, 1},
    {"records",
        "records [--board ID] [--uuid UUID] [--since DATE] [--until DATE] [--job KIND] [--failed] "
        "[--limit N] [--json|--csv]",
        "List the jobs' records, newest first: every upload, select, remove, erase, reboot, dfu, flash and "
        "launch, dry runs included, with its device, file, outcome and what the device confirmed.",
        false, 0},
};

// A CAN identifier as the help writes it, e.g. 0x74E.
QString hexId(int id)
{
    return QStringLiteral("0x") + QString::number(id, 16).toUpper();
}

const CommandHelp *findCommand(const QString &name)
{
    for (const CommandHelp &c : commands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

QString generalHelp(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    text += QStringLiteral("\nCommands:\n");
    for (const CommandHelp &c : commands)
        text += QStringLiteral("  %1\n      %2\n").arg(QLatin1String(c.synopsis), QLatin1String(c.text));
    text += QStringLiteral(
        "\n'veltrano-cli COMMAND --help' shows one command.\n\n"
        "Exit status:\n"
        "  0  the device confirmed the work\n"
        "  1  the command line is wrong\n"
        "  2  the port is missing or no adapter answered on it\n"
        "  3  the device refused the request or gave an unusable answer (for example an MD5 mismatch)\n"
        "  4  the device or the adapter stopped answering (see --timeout)\n"
        "  5  the file given is no usable firmware file or package for this device\n"
        "  6  the serial port went away during the work\n"
        "  7  a needed confirmation was not given (see --yes)\n"
        "  8  the vehicle's battery reads below --min-voltage, or its voltage cannot be read; nothing was\n"
        "     sent to the device\n"
        "  9  --require-records: the job's record cannot be written (nothing was sent), or the record of\n"
        "     work the device confirmed could not be written\n"
        "  130  stopped by Ctrl-C (SIGINT): the work ends at its next step, the adapter is reset and\n"
        "       what was left undone is said; another Ctrl-C after \"stopping...\" ends it at once\n"
        "  143  stopped by SIGTERM, the same way\n"
        "With several --port, 0 only when every station's device confirmed its work, otherwise the\n"
        "largest status among the stations.\n");
    return text;
}

bool parseNumber(const QString &text, int &value)
{
    bool ok = false;
    value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toInt(&ok, 16) : text.toInt(&ok);
    return ok;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "veltrano-cli: %s\nTry 'veltrano-cli --help'.\n", qPrintable(message));
    return CliUsage;
}

int listPorts(CliReport &report)
{
    const QStringList ports = availableSerialPortNames();
    return report.succeed({{"ports", QJsonArray::fromStringList(ports)}}, ports.join(QLatin1Char('\n')));
}

// Whether `output` is the file `image` names, under whatever name: the same path written
// another way, a symbolic link, or a hard link.
bool sameFile(const QString &image, const QString &output)
{
    const QFileInfo in(image), out(output);
    if (!in.exists() || !out.exists())
        return false;
    if (in.canonicalFilePath() == out.canonicalFilePath())
        return true;
#ifdef Q_OS_UNIX
    struct stat a = {}, b = {};
    return ::stat(QFile::encodeName(image).constData(), &a) == 0
        && ::stat(QFile::encodeName(output).constData(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
#else
    return false;
#endif
}

// The whole of the image for pack, from a regular file only: a named pipe would hold the
// program for ever, and a directory or a device is no image. On failure, `problem` says why.
bool readImage(const QString &path, QByteArray &data, QString &problem)
{
    QFile file;
#ifdef Q_OS_UNIX
    // Opened without waiting, so that a pipe nobody writes to cannot hold the program; only the
    // open file tells for sure what the name leads to.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problem = QStringLiteral("not a regular file");
        return false;
    }
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
#else
    file.setFileName(path);
    if (!QFileInfo(path).isFile()) {
        problem = QStringLiteral("not a regular file");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return false;
    }
#endif
    data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        problem = file.errorString();
        return false;
    }
    return true;
}

int pack(const QCommandLineParser &parser, const QStringList &arguments, CliReport &report)
{
    int board = 0;
    if (!parser.isSet(QStringLiteral("board")) || !parseNumber(parser.value(QStringLiteral("board")), board))
        return usageError(QStringLiteral("pack needs --board with a number"));
    const QString output = parser.value(QStringLiteral("output"));
    if (output.isEmpty())
        return usageError(QStringLiteral("pack needs --output"));
    const QString imagePath = arguments.value(0);
    if (sameFile(imagePath, output))
        return report.fail(
            CliUsage, QStringLiteral("--output %1 is the image %2 itself; name another file").arg(output, imagePath));
    QByteArray image;
    QString problem;
    if (!readImage(imagePath, image, problem))
        return report.fail(CliBadInput, QStringLiteral("cannot read %1: %2").arg(imagePath, problem));
    if (image.isEmpty())
        return report.fail(CliBadInput, QStringLiteral("%1 is empty: a package needs an image").arg(imagePath));
    const QByteArray package
        = DfuPackage::build(quint32(board), parser.value(QStringLiteral("info")).toLatin1(), image, true);
    // Written aside and renamed into place: a failed write leaves no half-written package, and
    // an older file of that name stays as it was.
    QSaveFile out(output);
    if (!out.open(QIODevice::WriteOnly) || out.write(package) != package.size() || !out.commit())
        return report.fail(CliBadInput, QStringLiteral("cannot write %1: %2").arg(output, out.errorString()));
    return report.succeed({{"output", output}, {"bytes", package.size()}},
        QStringLiteral("wrote %1 (%2 bytes)").arg(output).arg(package.size()));
}

// The first port of the list that names a port named before it, under whatever name: two
// stations on one adapter would take turns at its port and spoil each other's work.
QString repeatedPort(const QStringList &ports)
{
    QStringList designated;
    for (const QString &port : ports) {
        const QString listed = resolveSerialPort(port);
        const QString key = listed.isEmpty() ? port : listed;
        if (designated.contains(key))
            return port;
        designated << key;
    }
    return QString();
}

// Each port is a station with its own adapter and device; all of them work at once. One station
// reports as the program always has; several add a summary.
int runStations(const CliOptions &options, const QStringList &ports, bool bootloader)
{
    QList<Station *> stations;
    for (const QString &port : ports) {
        CliOptions station = options;
        station.connection.port = port;
        stations << new Station(station, bootloader, ports.size() > 1 ? port : QString(), qApp);
    }
    // Ctrl-C or SIGTERM: every station stops at its next step and closes its link as on a normal
    // end; another one once that was said (a set-up may block for its whole budget) ends at once.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::caught, qApp, [&](int status) {
        std::fprintf(stderr, "veltrano-cli: stopping... (Ctrl-C again to stop at once)\n");
        std::fflush(stderr);
        for (Station *station : qAsConst(stations))
            station->stop(status);
    });
    QObject::connect(&stopSignals, &StopSignals::caughtAgain, qApp, [](int status) {
        std::fprintf(stderr, "veltrano-cli: stopped at once\n");
        std::_Exit(status);
    });
    int running = int(stations.size());
    for (Station *station : qAsConst(stations)) {
        QObject::connect(station, &QThread::finished, qApp, [&running] {
            if (--running == 0)
                QCoreApplication::quit();
        });
        station->start();
    }
    QCoreApplication::exec();

    QList<StationResult> results;
    for (const Station *station : qAsConst(stations))
        results << StationResult {station->port(), station->status()};
    return stations.size() == 1 ? results.first().status
                                : summarise(options.command, options.json, results, options.events);
}

void addOptions(QCommandLineParser &parser, const QCommandLineOption &help)
{
    parser.setApplicationDescription(QStringLiteral("Service Kestrane devices through a serial OBD adapter."));
    parser.addOption(help);
    parser.addVersionOption();
    parser.addOptions({
        {"port",
            "Serial port of the adapter: a name 'ports' lists, its path, or a link to it (/dev/serial/by-id/...). "
            "Give it once per station to do the work on several stations at once.",
            "name"},
        {"baud", "Serial rate of the adapter; 0 searches for it.", "rate", "0"},
        {"adapter", "Adapter kind: auto (whichever the adapter says it is), elm327 or els27.", "kind", "auto"},
        {"can-id",
            QStringLiteral("CAN identifier the device answers with (default %1, bootloader %2).")
                .arg(hexId(CanIds::managerCanId), hexId(CanIds::bootloaderCanId)),
            "id"},
        {"pc-id",
            QStringLiteral("CAN identifier the PC sends with (default %1, bootloader %2).")
                .arg(hexId(CanIds::managerPcId), hexId(CanIds::bootloaderPcId)),
            "id"},
        {"timeout",
            "Give up when nothing has been heard for this long (default 10); it also bounds the adapter's set-up.",
            "seconds", "10"},
        {"json", "Print one JSON result object on standard output."},
        {"events",
            "Print the work as it goes on standard output, one JSON object a line: \"stage\" for each step, "
            "\"progress\" with done, total, rate (bytes/s) and eta_s, \"voltage\", \"notice\" and \"retry\"; "
            "last the result object of --json with \"event\":\"result\". With several --port each carries "
            "\"port\"."},
        {"trace", "Write a time-stamped trace of everything exchanged with the adapter to this file.", "file"},
        {"transfer",
            "How messages cross an ELS27: auto (whole, by STPX, when its firmware has it), segmented (whole, "
            "whatever the firmware says; frame by frame if it refuses) or frames (every frame a line of its own).",
            "mode", "auto"},
        {"no-rate-switch",
            "Keep an ELM327 at the rate it was met at; without this it is asked for 500000, "
            "250000 or 115200 bit/s after the set-up."},
        {"retries",
            "Do an upload or a flash that failed from a passing fault (no answer, the port gone) again from its "
            "start, at most this often (default 0).",
            "n", "0"},
        {"min-voltage",
            "Refuse an upload or a flash, before anything is sent to the device, when the vehicle's battery "
            "reads below this many volts or cannot be read. Without it, a reading below 11.5 V is warned of.",
            "volts"},
        {"dry-run",
            "upload and flash: run every check (the file, the battery, the adapter, the device's status) and "
            "stop before the first step that would change the device."},
        {"records",
            "Write each job's record to this SQLite file, and read records from it (default: VELTRANO_RECORDS, "
            "else records.sqlite in the program's data folder).",
            "file"},
        {"no-records", "Write no records."},
        {"require-records", "Refuse a job whose record cannot be written, before anything is sent (exit 9)."},
        {"uuid", "records: only the device with this unique ID.", "uuid"},
        {"since", "records: only jobs started on or after this date (2026-12-01) or time (2026-12-01T08:30).", "date"},
        {"until", "records: only jobs started on or before this date or time.", "date"},
        {"job", "records: only this kind of job (upload, select, remove, erase, reboot, dfu, flash, launch).", "kind"},
        {"failed", "records: only the jobs that did not succeed."},
        {"limit", "records: at most this many, the newest.", "n"},
        {"csv", "records: print them as CSV (RFC 4180)."},
        {"yes", "Accept a shortened target name for upload."},
        {"launch", "After a flash, start the new firmware."},
        {"board", "Board identifier for pack; for records, the board whose jobs are listed.", "id"},
        {"info", "Information text for pack.", "text"},
        {"output", "Output file for pack.", "file"},
    });
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do; see the list below."));
    parser.addPositionalArgument(
        QStringLiteral("arguments"), QStringLiteral("The command's arguments."), QStringLiteral("[arguments...]"));
}

// The command and its arguments, or the help or the version asked for. Returns the exit status when the
// program ends here.
std::optional<int> readCommand(const QCommandLineParser &parser, const QCommandLineOption &help,
    const CommandHelp *&command, QStringList &arguments)
{
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("veltrano-cli %s\n", VELTRANO_VERSION);
        return CliOk;
    }
    arguments = parser.positionalArguments();
    const QString name = arguments.value(0);
    command = findCommand(name);
    if (parser.isSet(help) || name.isEmpty()) {
        if (command)
            std::printf("Usage: veltrano-cli %s [options]\n%s\n", command->synopsis, command->text);
        else
            std::printf("%s", qPrintable(generalHelp(parser)));
        return name.isEmpty() && !parser.isSet(help) ? CliUsage : CliOk;
    }
    if (!command)
        return usageError(QStringLiteral("unknown command '%1'").arg(name));
    arguments.removeFirst();
    if (command->arguments >= 0 && arguments.size() != command->arguments)
        return usageError(QStringLiteral("usage: veltrano-cli %1").arg(QLatin1String(command->synopsis)));
    return std::nullopt;
}

// The ports, the adapter and the identifiers the stations talk through, and how long they may take.
// Returns the exit status when the command line does not say them right.
std::optional<int> readConnection(
    const QCommandLineParser &parser, const CommandHelp &command, CliOptions &options, QStringList &ports)
{
    ports = parser.values(QStringLiteral("port"));
    if (ports.isEmpty() || ports.contains(QString()))
        return usageError(QStringLiteral("%1 needs --port").arg(options.command));
    const QString repeated = repeatedPort(ports);
    if (!repeated.isEmpty())
        return usageError(QStringLiteral("--port %1 names a port given before").arg(repeated));
    ELM_ConnInfo &connection = options.connection;
    const QString adapter = parser.value(QStringLiteral("adapter")).toLower();
    const QList<std::pair<QString, int>> kinds {
        {"auto", ELM327IOBase::Auto}, {"elm327", ELM327IOBase::ELM327}, {"els27", ELM327IOBase::ELS27}};
    const auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const auto &k) { return k.first == adapter; });
    if (kind == kinds.end())
        return usageError(QStringLiteral("--adapter must be auto, elm327 or els27"));
    connection.adapter = kind->second;
    int baud = 0;
    if (!parseNumber(parser.value(QStringLiteral("baud")), baud) || baud < 0)
        return usageError(QStringLiteral("--baud must be a rate in bit/s, or 0"));
    connection.baud = baud;
    connection.rateSwitch = !parser.isSet(QStringLiteral("no-rate-switch"));
    const QString transfer = parser.value(QStringLiteral("transfer")).toLower();
    connection.transfer = transferModeNamed(transfer);
    if (transferModeName(connection.transfer) != transfer)
        return usageError(QStringLiteral("--transfer must be auto, segmented or frames"));
    connection.canId = command.bootloader ? CanIds::bootloaderCanId : CanIds::managerCanId;
    connection.pcId = command.bootloader ? CanIds::bootloaderPcId : CanIds::managerPcId;
    for (auto [option, field] : {std::pair {"can-id", &connection.canId}, std::pair {"pc-id", &connection.pcId}}) {
        if (parser.isSet(QLatin1String(option))
            && (!parseNumber(parser.value(QLatin1String(option)), *field) || *field < 0 || *field > CanIds::maxId))
            return usageError(QStringLiteral("--%1 must be an 11-bit CAN identifier").arg(QLatin1String(option)));
    }
    // A day at most: the watchdog counts in milliseconds.
    if (!parseNumber(parser.value(QStringLiteral("timeout")), options.timeoutSeconds) || options.timeoutSeconds <= 0
        || options.timeoutSeconds > 86400)
        return usageError(QStringLiteral("--timeout must be a positive number of seconds, at most 86400"));
    if (!parseNumber(parser.value(QStringLiteral("retries")), options.retries) || options.retries < 0)
        return usageError(QStringLiteral("--retries must be a number of times, 0 or more"));
    if (parser.isSet(QStringLiteral("min-voltage"))) {
        bool ok = false;
        options.minimumVolts = parser.value(QStringLiteral("min-voltage")).toDouble(&ok);
        if (!ok || !(options.minimumVolts > 0) || options.minimumVolts > 100)
            return usageError(QStringLiteral("--min-voltage must be a number of volts, such as 11.8"));
    }
    // The watchdog cannot fire while the set-up blocks the station's thread: the set-up's own
    // budget keeps it within --timeout too.
    connection.setupBudgetMs = int(std::min<qint64>(connection.setupBudgetMs, qint64(options.timeoutSeconds) * 1000));
    return std::nullopt;
}

// Where the records go, and whether they must; a dry run only of what has something to check.
std::optional<int> readRecordOptions(const QCommandLineParser &parser, CliOptions &options)
{
    const bool none = parser.isSet(QStringLiteral("no-records"));
    options.requireRecords = parser.isSet(QStringLiteral("require-records"));
    if (none && (options.requireRecords || parser.isSet(QStringLiteral("records"))))
        return usageError(QStringLiteral("--no-records goes with neither --records nor --require-records"));
    if (none && options.command == QLatin1String("records"))
        return usageError(QStringLiteral("records reads the records: leave out --no-records"));
    if (options.dryRun && options.command != QLatin1String("upload") && options.command != QLatin1String("flash"))
        return usageError(QStringLiteral("--dry-run goes with upload and flash only"));
    if (parser.isSet(QStringLiteral("records")) && parser.value(QStringLiteral("records")).isEmpty())
        return usageError(QStringLiteral("--records needs a file"));
    options.recordsPath = none                    ? QString()
        : parser.isSet(QStringLiteral("records")) ? parser.value(QStringLiteral("records"))
                                                  : RecordStore::configuredPath();
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Show this help, or one command's help."));
    addOptions(parser, help);
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    const CommandHelp *command = nullptr;
    QStringList arguments;
    if (const std::optional<int> status = readCommand(parser, help, command, arguments))
        return *status;

    CliOptions options;
    options.command = QLatin1String(command->name);
    options.arguments = arguments;
    options.events = parser.isSet(QStringLiteral("events"));
    options.json = options.events || parser.isSet(QStringLiteral("json"));
    options.yes = parser.isSet(QStringLiteral("yes"));
    options.launch = parser.isSet(QStringLiteral("launch"));
    options.dryRun = parser.isSet(QStringLiteral("dry-run"));
    CliReport report(options.command, options.json);
    report.setEvents(options.events);
    if (const std::optional<int> status = readRecordOptions(parser, options))
        return *status;

    if (options.command == QLatin1String("ports"))
        return listPorts(report);
    if (options.command == QLatin1String("pack"))
        return pack(parser, arguments, report);
    if (options.command == QLatin1String("records"))
        return listRecords(parser, options.recordsPath, report);

    QStringList ports;
    if (const std::optional<int> status = readConnection(parser, *command, options, ports))
        return *status;
    // The link opens its trace when it is created, from the same variable the windows read.
    if (parser.isSet(QStringLiteral("trace")))
        qputenv("VELTRANO_TRACE", QFile::encodeName(parser.value(QStringLiteral("trace"))));

    return runStations(options, ports, command->bootloader);
}
