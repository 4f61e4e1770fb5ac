// veltrano-cli end to end: the real program against the simulated adapter and device.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <memory>

namespace {

using namespace testfiles;

struct CliRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
    // With several stations: one object per line, the stations' first, the summary last.
    QList<QJsonObject> jsonLines() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray &line : out.split('\n'))
            if (!line.isEmpty())
                objects << QJsonDocument::fromJson(line).object();
        return objects;
    }
};

// Starts veltrano-cli with the simulators' ports in its port lists; `arguments` name the ports.
void startCli(QProcess &cli, const QStringList &ports, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELTRANO_EXTRA_PORTS"), ports.join(QDir::listSeparator()));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(VELTRANO_CLI),
        QStringList {"--baud", "38400", "--adapter", "els27", "--timeout", "5"} + arguments);
}

CliRun finishCli(QProcess &cli, int timeoutMs = 60000)
{
    CliRun run;
    if (cli.waitForFinished(timeoutMs) && cli.exitStatus() == QProcess::NormalExit)
        run.status = cli.exitCode();
    run.out = cli.readAllStandardOutput();
    run.err = cli.readAllStandardError();
    return run;
}

CliRun runCli(const SimHarness &sim, const QStringList &arguments, int timeoutMs = 60000)
{
    QProcess cli;
    startCli(cli, {sim.port()}, QStringList {"--port", sim.port()} + arguments);
    return finishCli(cli, timeoutMs);
}

// The device's requests that begin with the given bytes (hexadecimal), in order.
QStringList deviceRequestsStarting(const SimHarness &sim, const QString &prefix)
{
    QStringList requests;
    const QRegularExpression request(QStringLiteral("^device: kestrane \\w+: request \\d+: (\\S+)"));
    for (const SimEvent &e : sim.events()) {
        const QRegularExpressionMatch match = request.match(e.text);
        if (e.kind == QLatin1Char('#') && match.hasMatch() && match.captured(1).startsWith(prefix))
            requests << match.captured(1);
    }
    return requests;
}

QStringList deviceArguments(const QTemporaryDir &state, const QString &mode, const QStringList &extra = {})
{
    return QStringList {"--adapter", "els27", "--device", "kestrane", "--mode", mode, "--state", state.path()} + extra;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void uploadStoresTheSliceAndSelects()
    {
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app"));
        QVERIFY(sim.start());
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files, "FW.BIN", firmwareFile(&slice));

        CliRun run = runCli(sim, {"upload", path, "--json"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.json().value("ok").toBool(), true);
        QCOMPARE(readFile(state.filePath("files/FW.BIN")), slice);

        run = runCli(sim, {"select", "FW.BIN", "other.bin"});
        QCOMPARE(run.status, 0);
        QCOMPARE(readFile(state.filePath("files/active.cfg")), QByteArray("[\"FW.BIN\",\"other.bin\"]"));

        run = runCli(sim, {"info", "--json"});
        QCOMPARE(run.status, 0);
        const QJsonObject result = run.json().value("result").toObject();
        QVERIFY(result.value("files").toVariant().toStringList().contains("FW.BIN"));
        QCOMPARE(result.value("active").toVariant().toStringList(), (QStringList {"FW.BIN", "other.bin"}));
    }

    void renamedUploadNeedsConsent()
    {
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app"));
        QVERIFY(sim.start());
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files, "my_firmware_2020.bin", firmwareFile(&slice));
        QCOMPARE(runCli(sim, {"upload", path}).status, 7);
        QVERIFY(sim.received().isEmpty()); // refused before the adapter was touched
        QCOMPARE(runCli(sim, {"upload", path, "--yes"}).status, 0);
        QCOMPARE(readFile(state.filePath("files/my_firmware_.bin")), slice);
    }

    // Checks that need no device come first: the adapter never hears a byte.
    void badFilesNeverReachTheAdapter_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("firmware of the wrong size") << "upload" << QByteArray(1000, 'x') << "is not a firmware file";
        QTest::newRow("firmware without markers")
            << "upload" << QByteArray(0x200000, '\0') << "Firmware file is corrupted";
        QTest::newRow("package too short")
            << "flash" << QByteArray::fromHex("f01042420700000000000000001122") << "Firmware package is invalid";
        // The header claims 64 bytes of text, the file ends after 4: a cut-off download.
        QTest::newRow("package cut off") << "flash" << QByteArray::fromHex("f0104242070000004000000000112233")
                                         << "Firmware package is invalid";
        QTest::newRow("package with the wrong magic")
            << "flash" << QByteArray::fromHex("f0104243070000000000000000112233") << "is not a firmware package";
    }

    void badFilesNeverReachTheAdapter()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, command == "upload" ? "app" : "boot"));
        QVERIFY(sim.start());
        QTemporaryDir files;
        const CliRun run = runCli(sim, {command, writeFile(files, "fw.bin", content)});
        QCOMPARE(run.status, 5);
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
        QVERIFY(sim.received().isEmpty() && !sim.sawGarbled());
    }

    void deviceRefusals_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("MD5 mismatch") << QStringList {"--malformed", "32"} << QStringList {"select", "a"} << 3
                                      << "Hash mismatch";
        QTest::newRow("negative reply") << QStringList {"--negative", "22:1"} << QStringList {"remove", "a.bin"} << 3
                                        << "Device reply processing error at remove";
        QTest::newRow("malformed info") << QStringList {"--malformed", "10"} << QStringList {"info"} << 3
                                        << "Invalid reply for the info command";
        QTest::newRow("silent device") << QStringList {"--silent-requests", "1:5"} << QStringList {"erase"} << 4 << "";
        // The list request after the description belongs to the same command.
        QTest::newRow("list never comes")
            << QStringList {"--silent-requests", "2"} << QStringList {"info"} << 4 << "No responce from the device";
    }

    void deviceRefusals()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(QStringList, command);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app", simOptions));
        QVERIFY(sim.start());
        const CliRun run = runCli(sim, command);
        QCOMPARE(run.status, status);
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    }

    void removeAndErase()
    {
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app"));
        QVERIFY(sim.start());
        QCOMPARE(runCli(sim, {"select", "a.bin"}).status, 0);
        QVERIFY(QFile::exists(state.filePath("files/active.cfg")));
        const CliRun removed = runCli(sim, {"remove", "active.cfg", "--json"});
        QCOMPARE(removed.status, 0);
        QCOMPARE(removed.json().value("result").toObject().value("removed").toString(), QStringLiteral("active.cfg"));
        QVERIFY(!QFile::exists(state.filePath("files/active.cfg")));
        QCOMPARE(runCli(sim, {"select"}).status, 0);
        QCOMPARE(readFile(state.filePath("files/active.cfg")), QByteArray("[]"));
        QCOMPARE(runCli(sim, {"erase"}).status, 0);
        QVERIFY(QDir(state.filePath("files")).entryList(QDir::Files).isEmpty());
    }

    void dfuThenFlashThenLaunch()
    {
        QTemporaryDir state;
        QTemporaryDir files;
        const QByteArray firmware = image(5000);
        const QString package = files.filePath("fw.dfu");
        {
            SimHarness sim(deviceArguments(state, "app", {"--board-id", "0x1234"}));
            QVERIFY(sim.start());
            QCOMPARE(runCli(sim,
                         {"pack", writeFile(files, "fw.img", firmware), "--board", "0x1234", "--info",
                             "Test firmware 2.0", "--output", package})
                         .status,
                0);
            QCOMPARE(runCli(sim, {"dfu"}).status, 0);
            const CliRun boot = runCli(sim, {"bootloader", "--json"});
            QCOMPARE(boot.status, 0);
            const QJsonObject result = boot.json().value("result").toObject();
            QCOMPARE(result.value("boardId").toInt(), 0x1234);
            QCOMPARE(result.value("uuid").toString().size(), 24);
            QVERIFY(!result.value("description").toString().isEmpty());
        }
        // The device stays in its bootloader across a power cycle of the simulator.
        SimHarness sim(deviceArguments(state, "app", {"--board-id", "0x1234"}));
        QVERIFY(sim.start());
        const CliRun flash = runCli(sim, {"flash", package, "--launch"});
        QCOMPARE(flash.status, 0);
        QVERIFY(flash.err.contains("Erasing"));
        QVERIFY(flash.err.contains("Finalizing"));
        QCOMPARE(readFile(state.filePath("flash.bin")).left(firmware.size()), firmware);
        // Launched: once it has started, the application answers again.
        QTest::qWait(500);
        QCOMPARE(runCli(sim, {"info"}).status, 0);
    }

    void flashRecoversAndWaits_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::newRow("a lost reply, then busy") << QStringList {"--lose-write-reply", "2", "--busy-status", "2"};
    }

    void flashRecoversAndWaits()
    {
        QFETCH(QStringList, simOptions);
        QTemporaryDir state;
        QTemporaryDir files;
        const QByteArray firmware = image(3000);
        SimHarness sim(deviceArguments(state, "boot", QStringList {"--board-id", "7"} + simOptions));
        QVERIFY(sim.start());
        const QString package = files.filePath("fw.dfu");
        QCOMPARE(
            runCli(sim, {"pack", writeFile(files, "fw.img", firmware), "--board", "7", "--output", package}).status, 0);
        QCOMPARE(runCli(sim, {"flash", package}).status, 0);
        QCOMPARE(readFile(state.filePath("flash.bin")).left(firmware.size()), firmware);
    }

    void flashFailures_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const QByteArray good = QByteArray::fromHex("f0104242070000000000000000112233");
        QTest::newRow("finalise refused") << QStringList {"--negative", "37:72"} << good << 3 << "";
        QTest::newRow("device goes silent") << QStringList {"--silent-requests", "1:100"} << good << 4 << "";
        QTest::newRow("CAN errors") << QStringList {"--can-error", "1:5"} << good << 3 << "Retries exhausted";
        QTest::newRow("other board") << QStringList {} << QByteArray::fromHex("f0104242080000000000000000112233") << 5
                                     << "designed for a different board";
        const QByteArray header = QByteArray::fromHex("f01042420700000000000000");
        QTest::newRow("too big") << QStringList {"--flash-size", "1024"} << header + QByteArray(1025, 'x') << 5
                                 << "it is 1 bytes bigger";
    }

    void flashFailures()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(QByteArray, package);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir state;
        QTemporaryDir files;
        SimHarness sim(deviceArguments(state, "boot", QStringList {"--board-id", "7"} + simOptions));
        QVERIFY(sim.start());
        const CliRun run = runCli(sim, {"flash", writeFile(files, "fw.dfu", package)});
        QCOMPARE(run.status, status);
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    }

    void uploadThroughAnUnkindAdapter_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::newRow("echoing clone") << QStringList {"--stuck-echo"};
        QTest::newRow("a CAN error every 20 frame lines") << QStringList {"--can-error-every", "20"};
    }

    void uploadThroughAnUnkindAdapter()
    {
        QFETCH(QStringList, faults);
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app", faults));
        QVERIFY(sim.start());
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files, "FW.BIN", firmwareFile(&slice));
        const CliRun run = runCli(sim, {"upload", path});
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.contains("MD5 verified"));
        QCOMPARE(readFile(state.filePath("files/FW.BIN")), slice);
    }

    void retries_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("retries");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("attempts");
        // The first write goes unanswered: a passing fault, done again from the start.
        const QStringList silentWrite {"--silent-requests", "2"};
        QTest::newRow("no answer, no retries") << silentWrite << QStringList() << 4 << 1;
        QTest::newRow("no answer, retried") << silentWrite << QStringList {"--retries", "2"} << 0 << 2;
        // A refusal is the device's answer; asking again changes nothing.
        QTest::newRow("refused") << QStringList {"--negative", "21:10"} << QStringList {"--retries", "2"} << 3 << 1;
    }

    void retries()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, retries);
        QFETCH(int, status);
        QFETCH(int, attempts);
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app", faults));
        QVERIFY(sim.start());
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files, "FW.BIN", firmwareFile(&slice));
        const CliRun run = runCli(sim, QStringList {"upload", path, "--json"} + retries);
        QCOMPARE(run.status, status);
        QCOMPARE(run.err.count("trying again"), attempts - 1);
        QCOMPARE(run.json().value("retries").toArray().size(), attempts - 1);
        QCOMPARE(deviceRequestsStarting(sim, "20").size(), attempts); // one select per attempt
        if (status == 0)
            QCOMPARE(readFile(state.filePath("files/FW.BIN")), slice);
    }

    // Set-up fails on its own, long before the watchdog would end the run.
    void noAdapter_data()
    {
        QTest::addColumn<QString>("port"); // empty: the silent adapter's
        QTest::addColumn<QString>("message");
        QTest::newRow("silent adapter") << ""
                                        << "No adapter answers";
        QTest::newRow("absent port") << "/nonexistent/port"
                                     << "/nonexistent/port is not available";
    }

    void noAdapter()
    {
        QFETCH(QString, port);
        QFETCH(QString, message);
        SimHarness sim({"--silent"});
        QVERIFY(sim.start());
        QProcess cli;
        startCli(cli, {sim.port()}, {"info", "--timeout", "600", "--port", port.isEmpty() ? sim.port() : port});
        const CliRun run = finishCli(cli, 30000);
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    }

    // A port named as people type it: its system path, or a stable link such as
    // /dev/serial/by-id/..., leads to the adapter that the port lists show by another name.
    void portByAnyName_data()
    {
        QTest::addColumn<bool>("link");
        QTest::newRow("a link to the port") << true;
        QTest::newRow("the port's device node") << false;
    }

    void portByAnyName()
    {
        QFETCH(bool, link);
        QTemporaryDir state;
        SimHarness sim(deviceArguments(state, "app"));
        QVERIFY(sim.start());
        QTemporaryDir links;
        QString port = QFileInfo(sim.port()).canonicalFilePath();
        if (link) {
            port = links.filePath("usb-Kestrane_ELS27_A5069RR4-if00-port0");
            QVERIFY(QFile::link(sim.port(), port));
        }
        QProcess cli;
        startCli(cli, {sim.port()}, {"info", "--port", port});
        const CliRun run = finishCli(cli);
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("Device reports"), run.err.constData());
    }

    // Each --port is a station with its own adapter and device, all at work at once.
    void stationsFlashAtOnce_data()
    {
        QTest::addColumn<bool>("killOne");
        QTest::newRow("both confirm") << false;
        QTest::newRow("one simulator killed halfway") << true;
    }

    void stationsFlashAtOnce()
    {
        QFETCH(bool, killOne);
        QTemporaryDir files;
        const QByteArray firmware = image(20000);
        const QString package = files.filePath("fw.dfu");
        QTemporaryDir states[2];
        std::unique_ptr<SimHarness> sims[2];
        QStringList ports;
        for (int i = 0; i < 2; ++i) {
            sims[i] = std::make_unique<SimHarness>(deviceArguments(states[i], "boot", {"--board-id", "7"}));
            QVERIFY(sims[i]->start());
            ports << sims[i]->port();
        }
        QCOMPARE(runCli(*sims[0], {"pack", writeFile(files, "fw.img", firmware), "--board", "7", "--output", package})
                     .status,
            0);
        QProcess cli;
        startCli(cli, ports, {"flash", package, "--port", ports[0], "--port", ports[1], "--json"});
        if (killOne) {
            QTRY_VERIFY_WITH_TIMEOUT(sims[1]->received().size() > 300, 20000);
            sims[1]->signal(SIGKILL);
        }
        const CliRun run = finishCli(cli);
        const QList<QJsonObject> results = run.jsonLines();
        QCOMPARE(results.size(), 3);
        const QJsonObject summary = results.last();
        QCOMPARE(summary.value("summary").toBool(), true);
        QMap<QString, int> statuses;
        for (const QJsonObject &station : results.mid(0, 2))
            statuses.insert(station.value("port").toString(), station.value("status").toInt(-1));
        QStringList named = ports;
        named.sort();
        QCOMPARE(statuses.keys(), named); // each result says which station it was
        QCOMPARE(statuses.value(ports[0]), 0);
        QCOMPARE(readFile(states[0].filePath("flash.bin")).left(firmware.size()), firmware);
        if (killOne) {
            QVERIFY(statuses.value(ports[1]) == 4 || statuses.value(ports[1]) == 6);
            QCOMPARE(run.status, statuses.value(ports[1]));
        } else {
            QCOMPARE(statuses.value(ports[1]), 0);
            QCOMPARE(readFile(states[1].filePath("flash.bin")).left(firmware.size()), firmware);
            QCOMPARE(run.status, 0);
        }
        QCOMPARE(summary.value("status").toInt(), run.status);
    }

    void portsListTheSimulator()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        const CliRun run = runCli(sim, {"ports"});
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.contains(sim.port().toUtf8()));
    }
};

VELTRANO_TEST_MAIN(TestCli)
#include "tst_cli.moc"
