// veltrano-cli end to end: the real program against the simulated adapter and device.

#include "cliharness.h"

#include <progressmeter.h>

#include <QCryptographicHash>

#include <sys/stat.h>

using namespace clitest;

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    // A name the device cannot hold needs consent; then upload, select, list, remove and erase.
    void fileCommands()
    {
        Station s("app");
        QVERIFY(s.sim.start());
        // Names the device would store as others, and a file that is no regular file, are refused.
        const QString pipe = s.files.filePath("pipe.bin");
        QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        const QList<QPair<QStringList, QString>> refused {
            {{"upload", s.file(QString::fromUtf8("мотор.bin"), firmwareFile())},
                QString::fromUtf8("it holds \"м\" (U+043C), \"о\" (U+043E), \"т\" (U+0442), \"р\" (U+0440). Rename")},
            {{"select", "a.bin", QString::fromUtf8("насос.bin")}, QString::fromUtf8("name насос.bin exactly")},
            {{"remove", QString::fromUtf8("ä.bin")}, QString::fromUtf8("it holds \"ä\" (U+00E4)")},
            {{"upload", pipe}, pipe + " is not a regular file"}};
        for (const auto &command : refused) {
            const CliRun run = s.run(command.first);
            QCOMPARE(run.status, 5);
            QVERIFY2(run.err.contains(command.second.toUtf8()), run.err.constData());
        }
        QByteArray slice;
        const QString path = s.file("my_firmware_2020.bin", firmwareFile(&slice));
        const CliRun declined = s.run({"upload", path});
        QCOMPARE(declined.status, 7);
        QVERIFY2(declined.err.contains("would be stored as my_firmware_.bin;"), declined.err.constData());
        QVERIFY(s.sim.received().isEmpty()); // refused before the adapter was touched
        const CliRun uploaded = s.run({"upload", path, "--yes", "--json"});
        QCOMPARE(uploaded.status, 0);
        QCOMPARE(s.stored("files/my_firmware_.bin"), slice);
        QCOMPARE(uploaded.json().value("result").toObject().value("sha256").toString(),
            QString::fromLatin1(QCryptographicHash::hash(slice, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(s.run({"select", "my_firmware_.bin", "other.bin"}).status, 0);
        QCOMPARE(s.stored("files/active.cfg"), QByteArray("[\"my_firmware_.bin\",\"other.bin\"]"));
        CliRun run = s.run({"info", "--json"});
        QCOMPARE(run.status, 0);
        const QJsonObject result = run.json().value("result").toObject();
        QVERIFY(result.value("files").toVariant().toStringList().contains("my_firmware_.bin"));
        QCOMPARE(result.value("active").toVariant().toStringList(), (QStringList {"my_firmware_.bin", "other.bin"}));
        run = s.run({"remove", "active.cfg", "--json"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.json().value("result").toObject().value("removed").toString(), QStringLiteral("active.cfg"));
        QVERIFY(!QFile::exists(s.state.filePath("files/active.cfg")));
        QCOMPARE(s.run({"select"}).status, 0);
        QCOMPARE(s.stored("files/active.cfg"), QByteArray("[]"));
        QCOMPARE(s.run({"erase"}).status, 0);
        QVERIFY(QDir(s.state.filePath("files")).entryList(QDir::Files).isEmpty());
    }

    // `file`, when not empty, is written and its path added to the command; a flash talks to the
    // bootloader. `quiet`: judged without the device, so the adapter must not hear a byte.
    // A package: magic, board, length of the text, the text, the image.
    void outcomes_data()
    {
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("retries"); // times the program said it tries again
        const auto row = [](const char *name, bool quiet, const QStringList &sim, const QStringList &command,
                             const QByteArray &file, int status, const char *message, int retries = 0) {
            QTest::newRow(name) << quiet << sim << command << file << status << message << retries;
        };
        row("firmware of the wrong size", true, {}, {"upload"}, QByteArray(1000, 'x'), 5, "is not a firmware file");
        row("firmware without markers", true, {}, {"upload"}, QByteArray(0x200000, '\0'), 5,
            "Firmware file is corrupted");
        const QByteArray magic = QByteArray::fromHex("f0104242");
        const QByteArray header = magic + QByteArray::fromHex("0700000000000000"); // board 7, no text
        row("package too short", true, {}, {"flash"}, header + QByteArray::fromHex("001122"), 5,
            "Firmware package is invalid");
        // The header claims 64 bytes of text, the file ends after 4: a cut-off download.
        row("package cut off", true, {}, {"flash"}, magic + QByteArray::fromHex("070000004000000000112233"), 5,
            "Firmware package is invalid");
        row("package with the wrong magic", true, {}, {"flash"},
            QByteArray::fromHex("f0104243070000000000000000112233"), 5, "is not a firmware package");
        // Flashed, a package without an image would leave the device erased.
        row("package without an image", true, {}, {"flash"}, magic + QByteArray::fromHex("0700000004000000") + "YWJj",
            5, "holds no firmware image");
        row("package is a named pipe", true, {}, {"flash"}, "fifo", 5, "not a regular file");
        // Uploads through an unkind adapter, and a write unanswered once: a passing fault, done again
        // from the start when retries are allowed. A refusal is an answer: asked again, it changes nothing.
        const QByteArray firmware = firmwareFile();
        const QStringList silentWrite {"--silent-requests", "2"};
        row("echoing clone", false, {"--stuck-echo"}, {"upload"}, firmware, 0, "");
        row("a CAN error every 20 frame lines", false, {"--can-error-every", "20"}, {"upload"}, firmware, 0, "");
        row("no answer, no retries", false, silentWrite, {"upload"}, firmware, 4, "");
        row("no answer, retried", false, silentWrite, {"upload", "--retries", "2"}, firmware, 0, "trying again", 1);
        row("refused, not retried", false, {"--negative", "21:10"}, {"upload", "--retries", "2"}, firmware, 3, "");
        // A device with no room for a message refuses it: asked again, it still has none.
        // Frame by frame, the program sees the device's OVERFLOW itself (an adapter that segments says only
        // CAN ERROR).
        row("flow control OVERFLOW, not retried", false, {"--flow-control", "overflow"},
            {"upload", "--retries", "2", "--transfer", "frames"}, firmware, 3,
            "The device cannot take a message of 1025 bytes");
        // The device's refusals and silences.
        row("MD5 mismatch", false, {"--malformed", "32"}, {"select", "a"}, {}, 3, "Hash mismatch");
        row("negative reply", false, {"--negative", "22:1"}, {"remove", "a.bin"}, {}, 3,
            "Device reply processing error at remove");
        row("malformed info", false, {"--malformed", "10"}, {"info"}, {}, 3, "Invalid reply for the info command");
        row("silent device", false, {"--silent-requests", "1:5"}, {"erase"}, {}, 4, "");
        // The list request after the description belongs to the same command.
        row("list never comes", false, {"--silent-requests", "2"}, {"info"}, {}, 4, "No responce from the device");
        const QByteArray good = header + QByteArray::fromHex("00112233");
        row("finalise refused", false, {"--negative", "37:72"}, {"flash"}, good, 3,
            "the device refused the end of the flash: code 0x72; the device has no application now");
        // Refusals after the set-up are the device's, with their codes, not a missing adapter.
        row("launch refused", false, {"--negative", "11:22"}, {"launch"}, {}, 3,
            "the device refused to launch: code 0x22");
        row("status refused", false, {"--negative", "B100B0:31"}, {"flash"}, good, 3,
            "the device refused the status request: code 0x31");
        // The device erases for 20 s and says so at once: waited for, the erase sent once.
        row("20 s erase", false, {"--erase-ms", "20000"}, {"flash"}, header + image(5000), 0, "");
        // Said to be under way, an erase is waited for however short --timeout is.
        // Status polls answered meanwhile do not shorten it.
        row("erase outlasting --timeout", false, {"--erase-ms", "4000", "--silent-requests", "7:7"},
            {"flash", "--timeout", "1"}, header + image(3000), 0, "");
        row("device goes silent in a flash", false, {"--silent-requests", "1:100"}, {"flash"}, good, 4, "");
        row("finalise unanswered, retried", false, {"--silent-requests", "12"},
            {"flash", "--retries", "1", "--transfer", "frames"}, header + image(3000), 0, "trying again", 1);
        // A lost reply, then busy: recovered, and waited for.
        row("flash recovers and waits", false, {"--lose-write-reply", "2", "--busy-status", "2"}, {"flash"},
            header + image(3000), 0, "");
        row("CAN errors", false, {"--can-error", "1:5"}, {"flash"}, good, 3, "Retries exhausted");
        // A battery below the minimum asked for, or one that cannot be read, refuses the work before the
        // device hears of it; without a minimum, a low battery is warned of, and an unknown one passes.
        row("flash, battery low", false, {"--voltage", "11.2"}, {"flash", "--min-voltage", "11.8"}, good, 8,
            "The vehicle's battery reads 11.2 V, below the 11.8 V asked for");
        row("upload, voltage unknown", false, {"--voltage", "none"}, {"upload", "--min-voltage", "11.8"}, firmware, 8,
            "The vehicle's voltage cannot be read; 11.8 V was asked for");
        row("upload, battery low, no minimum", false, {"--voltage", "11.2"}, {"upload"}, firmware, 0,
            "warning: the vehicle's battery reads 11.2 V; a flash that stops halfway leaves the device without an "
            "application");
        row("flash, voltage unknown, no minimum", false, {"--voltage", "none"}, {"flash"}, good, 0, "");
        row("other board", false, {}, {"flash"}, magic + QByteArray::fromHex("080000000000000000112233"), 5,
            "designed for a different board");
        row("too big", false, {"--flash-size", "1024"}, {"flash"}, header + QByteArray(1025, 'x'), 5,
            "it is 1 bytes bigger");
        // A restart counts once the device answers as its new self. A request the adapter could not
        // put on the bus, a refusal, or a device that does not come back is a failure.
        // Nothing tells a restart from a request the device dropped: both are said as seen.
        row("reboot", false, {}, {"reboot"}, {}, 0, "");
        row("reboot dropped by the device", false, {"--silent-requests", "1"}, {"reboot"}, {}, 0, "");
        row("reboot through a bus error", false, {"--word", "1:BUS ERROR"}, {"reboot"}, {}, 4,
            "did not restart: The request did not reach the device (the adapter reports BUS ERROR)");
        row("application not back", false, {"--silent-requests", "2:100"}, {"reboot"}, {}, 4,
            "the restarted application did not answer within 5 s (last heard: trasport error no data)");
        row("dfu through CAN errors", false, {"--can-error-every", "1"}, {"dfu"}, {}, 4,
            "did not switch to its bootloader: The request did not reach the device (CAN error");
        row("dfu refused", false, {"--negative", "31:10"}, {"dfu"}, {}, 3, "Device reply processing error at dfu");
        row("bootloader not there", false, {"--silent-requests", "1"}, {"dfu"}, {}, 4,
            "the bootloader did not answer within 5 s");
    }

    void outcomes()
    {
        QFETCH(bool, quiet);
        QFETCH(QStringList, simOptions);
        QFETCH(QStringList, command);
        QFETCH(QByteArray, file);
        QFETCH(int, status);
        QFETCH(QString, message);
        const bool boot = command.first() == "flash" || command.first() == "launch";
        Station s(boot ? "boot" : "app", QStringList {"--board-id", "7"} + simOptions);
        QVERIFY(s.sim.start());
        if (file == "fifo") {
            command << s.files.filePath("fw.bin");
            QVERIFY(mkfifo(QFile::encodeName(command.last()).constData(), 0600) == 0);
        } else if (!file.isEmpty()) {
            command << s.file("fw.bin", file);
        }
        const CliRun run = s.run(command);
        QVERIFY2(run.status == status,
            qPrintable(QStringLiteral("status %1: %2").arg(run.status).arg(QString::fromUtf8(run.err))));
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
        if (quiet)
            QVERIFY(s.sim.received().isEmpty() && !s.sim.sawGarbled());
        QTEST(int(run.err.count("trying again")), "retries");
        // An erase is never sent again within a try; a try again starts with its own.
        QVERIFY(s.sim.received().filter("04b100b2ff").size() <= 1 + run.err.count("trying again"));
        if (status == 8) // neither an erase nor a select went out
            QVERIFY(s.sim.logged('#').filter(QRegularExpression("request \\d+: (20|B100B2)")).isEmpty());
        if (status == 0 && command.first() == "reboot")
            QVERIFY2(run.out.contains("reboot requested; the device did not answer it (as when restarting) and answers "
                                      "again"),
                run.out.constData());
        if (status == 0 && command.first() == "flash")
            QCOMPARE(s.flashed(file.size() - 12), file.mid(12)); // after the package's header
        else if (status == 0)
            QCOMPARE(s.stored("files/fw.bin"), file.mid(0x1C2000, 0x18EE0)); // the slice the device keeps
    }

    void dfuThenFlashThenLaunch()
    {
        const QByteArray firmware = image(5000);
        Station s("app", {"--board-id", "0x1234"});
        QVERIFY(s.sim.start());
        const QString package = s.pack(firmware, "0x1234");
        const CliRun dfu = s.run({"dfu"});
        QCOMPARE(dfu.status, 0);
        QVERIFY(dfu.out.contains("status request answered")); // by the bootloader itself
        const CliRun boot = s.run({"bootloader", "--json"});
        QCOMPARE(boot.status, 0);
        const QJsonObject result = boot.json().value("result").toObject();
        QCOMPARE(result.value("boardId").toInt(), 0x1234);
        QCOMPARE(result.value("uuid").toString().size(), 24);
        // The device stays in its bootloader across a power cycle of the simulator.
        s.sim.stop();
        SimHarness again(s.device + QStringList {"--link", s.sim.port()});
        QVERIFY(again.start());
        const CliRun flash = s.run({"flash", package, "--launch"});
        QCOMPARE(flash.status, 0);
        QVERIFY(flash.err.contains("Erasing") && flash.err.contains("Finalizing"));
        QCOMPARE(s.flashed(firmware.size()), firmware);
        // Launched: once it has started, the application answers again.
        QTest::qWait(500);
        QCOMPARE(s.run({"info"}).status, 0);
    }

    // The stream a wrapper reads: whole JSON lines, the steps, bytes that only rise towards a fixed
    // total with the time left reaching 0, and last the result with the process's exit status.
    void eventStream_data()
    {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QStringList>("stages");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("progress"); // progress lines at least
        // Frame by frame: an upload segmented by the adapter is over before ten progress lines.
        QTest::newRow("upload") << QStringList() << QStringList {"upload", "fw.bin", "--transfer", "frames"}
                                << QStringList {"connecting", "uploading", "verifying"} << 0 << 10;
        QTest::newRow("finalise refused") << QStringList {"--negative", "37:72"} << QStringList {"flash", "fw.dfu"}
                                          << QStringList {"connecting", "erasing", "writing", "finalising"} << 3 << 1;
        QTest::newRow("erase refused") << QStringList {"--negative", "B100B2:72"} << QStringList {"flash", "fw.dfu"}
                                       << QStringList {"connecting", "checking", "erasing"} << 3 << 0;
    }

    void eventStream()
    {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, command);
        Station s(command.first() == "flash" ? "boot" : "app", QStringList {"--board-id", "7"} + sim);
        QVERIFY(s.sim.start());
        const QByteArray package = QByteArray::fromHex("f01042420700000000000000") + image(3000); // board 7
        command[1] = s.file(command[1], command[1] == "fw.bin" ? firmwareFile() : package);
        const CliRun run = s.run(command + QStringList {"--events"});
        const QList<QJsonObject> events = run.lines();
        QVERIFY(!events.isEmpty() && !events.contains(QJsonObject()));
        QCOMPARE(events.last().value("event").toString(), QString("result"));
        QCOMPARE(events.last().value("status").toInt(-1), run.status);
        QTEST(run.status, "status");
        QStringList steps;
        QList<QJsonObject> bytes;
        for (const QJsonObject &e : events.mid(0, events.size() - 1)) {
            if (e.value("event") == "stage")
                steps << e.value("stage").toString();
            else if (e.value("event") == "progress")
                bytes << e;
        }
        QFETCH(QStringList, stages);
        for (const QString &stage : qAsConst(stages))
            QVERIFY2(steps.contains(stage), qPrintable(steps.join(' ')));
        QFETCH(int, progress);
        QVERIFY(bytes.size() >= progress);
        for (int i = 1; i < bytes.size(); ++i) {
            QVERIFY(bytes[i].value("done").toDouble() > bytes[i - 1].value("done").toDouble());
            QCOMPARE(bytes[i].value("total"), bytes[0].value("total"));
        }
        if (run.status == 0) {
            QCOMPARE(bytes.last().value("done"), bytes.last().value("total"));
            QCOMPARE(bytes.last().value("eta_s").toInt(-1), 0);
        }
    }

    // The figures the bar and the stream show: kB of 1000 bytes, time left in m:ss.
    void meterText_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("text");
        QTest::newRow("under way") << qint64(8100) << qint64(64800) << qint64(1000) << "8.1 kB/s  0:07 left";
        QTest::newRow("over a minute left") << qint64(1000) << qint64(100000) << qint64(1000) << "1.0 kB/s  1:39 left";
        QTest::newRow("done") << qint64(5000) << qint64(5000) << qint64(2000) << "2.5 kB/s  0:00 left";
        QTest::newRow("no time yet") << qint64(0) << qint64(5000) << qint64(0) << "0.0 kB/s";
    }

    void meterText()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(qint64, elapsedMs);
        ProgressMeter meter;
        meter.update(done, total, elapsedMs);
        QTEST(meter.text(), "text");
    }

    // The port lists show the simulator's port; named as people type it, by its device node or a
    // stable link such as /dev/serial/by-id/..., it leads to that adapter. A port that is not there
    // or a silent adapter fails the set-up on its own, long before the watchdog would end the run.
    void portsByName()
    {
        Station s("app"), silent("app", {"--silent"});
        QVERIFY(s.sim.start() && silent.sim.start());
        const CliRun ports = s.run({"ports"});
        QCOMPARE(ports.status, 0);
        QVERIFY(ports.out.contains(s.sim.port().toUtf8()));
        const QString link = s.files.filePath("usb-Kestrane_ELS27_A5069RR4-if00-port0");
        QVERIFY(QFile::link(s.sim.port(), link));
        const QString absent = QStringLiteral("/nonexistent/port");
        for (const auto &[port, status, message] : QList<std::tuple<QString, int, QString>> {
                 {link, 0, "Device reports"}, {QFileInfo(s.sim.port()).canonicalFilePath(), 0, "Device reports"},
                 {silent.sim.port(), 2, "No adapter answers"}, {absent, 2, absent + " is not available"}}) {
            const CliRun run = runCli({s.sim.port(), silent.sim.port()}, {"info", "--timeout", "600", "--port", port});
            QCOMPARE(run.status, status);
            QVERIFY2((status ? run.err : run.out).contains(message.toUtf8()), qPrintable(port + run.err));
        }
    }

    // The adapter's kind is found when not given, and one given wrongly is said before any work; the
    // vehicle's voltage is shown and in every JSON result; the adapter report asks the adapter only.
    void adapterAndVoltage_data()
    {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // in what it printed
        QTest::addColumn<QString>("voltage"); // the JSON result's, with --json
        const auto row = [](const char *name, const QStringList &sim, const QStringList &command, int status,
                             const QString &message, const char *voltage = "") {
            QTest::newRow(name) << sim << command << status << message << QString(voltage);
        };
        const QStringList elm327 {"--adapter", "elm327"}, els27 {"--adapter", "els27"};
        row("ELM327, kind not given", elm327 + QStringList {"--voltage", "11.2"}, {"info"}, 0, "voltage: 11.2 V");
        row("ELS27, kind not given", els27, {"info", "--json"}, 0, "Device reports", "12.6");
        row("ELM327 taken for an ELS27", elm327, {"info", "--adapter", "els27"}, 2,
            "The adapter on %1 is an ELM327 (ELM327 v1.5), not an ELS27: choose ELM327");
        // An STN chip takes the ELM327's commands: driven as chosen, with a note.
        row("ELS27 taken for an ELM327", els27, {"info", "--adapter", "elm327", "--events"}, 0,
            "The adapter on %1 is an ELS27 (STN2255 v5.10.3); it is driven as an ELM327");
        row("bootloader, voltage unknown", els27 + QStringList {"--mode", "boot", "--voltage", "none"}, {"bootloader"},
            0, "voltage: unknown");
        row("bootloader, JSON", els27 + QStringList {"--mode", "boot", "--voltage", "13.8"}, {"bootloader", "--json"},
            0, "Kestrane bootloader", "13.8");
        row("ELM327 reported", elm327, {"adapter"}, 0, "kind: ELM327\nidentification: ELM327 v1.5\nvoltage: 12.6 V");
        row("ELS27 reported", els27 + QStringList {"--voltage", "12.1"}, {"adapter", "--json"}, 0, "suits flashing",
            "12.1");
        row("echoing clone", elm327 + QStringList {"--stuck-echo"}, {"adapter"}, 0,
            "echo off: no\nreply-count digit: yes");
        row("digit refused", els27 + QStringList {"--no-reply-count"}, {"adapter"}, 0,
            "reply-count digit: no\nhighest rate");
        row("silent port", {"--silent"}, {"adapter", "--json"}, 2, "No adapter answers on %1", "null");
        // Silence to its test frame is no verdict on the digit; a connection lost midway is no report.
        row("test frame unanswered", els27 + QStringList {"--no-reply-on", "1"}, {"adapter"}, 0,
            "verdict: unsuitable: no answer to the test frame");
        row("connection reset during the report", els27 + QStringList {"--tcp", "0", "--reset-after", "30"},
            {"adapter"}, 6, "was reset");
    }

    void adapterAndVoltage()
    {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, command);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, voltage);
        SimHarness adapter(QStringList {"--device", "kestrane"} + sim);
        QVERIFY(adapter.start());
        const CliRun run = runCli({adapter.port()}, command + QStringList {"--port", adapter.port()});
        QCOMPARE(run.status, status);
        QVERIFY2((run.out + run.err).contains(message.replace("%1", adapter.port()).toUtf8()),
            (run.out + run.err).constData());
        if (!voltage.isEmpty())
            QCOMPARE(QJsonDocument(QJsonObject {{"v", run.json().value("voltage")}}).toJson(QJsonDocument::Compact),
                QByteArray("{\"v\":" + voltage.toUtf8() + "}"));
        if (command.first() != "adapter")
            return;
        QVERIFY(adapter.logged('#').filter("request").isEmpty()); // the device heard nothing
        if (status == 0 && command.contains("--json")) {
            const QJsonObject result = run.json().value("result").toObject();
            for (const char *key : {"kind", "identification", "voltage", "echo_off", "reply_count_digit", "max_rate",
                     "round_trip_ms", "low_latency", "verdict"})
                QVERIFY2(result.contains(key), key);
            QVERIFY(result.value("round_trip_ms").toObject().value("median").toDouble() > 0);
            QVERIFY(sim.contains(result.value("kind").toString())); // as --adapter and the simulator name it
        }
    }

    // A network adapter: a refused connection is said, a connection dropped during an upload fails it
    // clearly and the next upload on a new connection is verified; its serial rate is never switched.
    void networkAdapter()
    {
        Station gone("app", {"--tcp", "0"});
        QVERIFY(gone.sim.start());
        const QString closed = gone.sim.port();
        gone.sim.stop();
        CliRun run = runCli({closed}, {"info", "--port", closed});
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains("Cannot connect to " + closed.mid(6).toUtf8() + ": "), run.err.constData());

        Station s("app", {"--tcp", "0", "--vanish-after", "80"});
        QVERIFY(s.sim.start());
        QByteArray slice;
        const QString path = s.file("fw.bin", firmwareFile(&slice));
        run = s.run({"upload", path});
        QCOMPARE(run.status, 6);
        QVERIFY2(run.err.contains("closed during the work"), run.err.constData());
        QCOMPARE(s.run({"upload", path}).status, 0);
        QCOMPARE(s.stored("files/fw.bin"), slice);
        QVERIFY(s.sim.received()
                    .filter(QRegularExpression("^(AT ?BRD|STBR)", QRegularExpression::CaseInsensitiveOption))
                    .isEmpty());
    }

    // An adapter that answers each of its own commands only after 600 ms (a slow clone, a bridge) is
    // reported right and carries a verified upload, on a serial port and over the network.
    void slowAdapter_data()
    {
        QTest::addColumn<QStringList>("sim");
        QTest::newRow("serial") << QStringList();
        QTest::newRow("network") << QStringList {"--tcp", "0"};
    }

    void slowAdapter()
    {
        QFETCH(QStringList, sim);
        Station s("app", sim + QStringList {"--command-latency-ms", "600"});
        QVERIFY(s.sim.start());
        CliRun run = s.run({"adapter", "--json", "--timeout", "30"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.json().value("result").toObject().value("kind").toString(), QStringLiteral("els27"));
        QVERIFY2(run.json().value("result").toObject().value("identification").toString().contains("STN2255 v5.10.3"),
            run.out.constData());
        QCOMPARE(run.json().value("voltage").toDouble(), 12.6);
        QByteArray slice;
        run = s.run({"upload", s.file("fw.bin", firmwareFile(&slice)), "--timeout", "30"});
        QVERIFY2(run.status == 0, run.err.constData());
        QCOMPARE(s.stored("files/fw.bin"), slice);
    }

    // pack writes nothing over its own image, under whatever name the output gives it, and takes
    // an image only from a non-empty regular file: a named pipe must not hold it.
    void packRefuses_data()
    {
        QTest::addColumn<QString>("image"); // in the test's folder, which is the working directory
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("status");
        const auto row = [](const char *name, const char *image, const char *output, int status) {
            QTest::newRow(name) << QString(image) << QString(output) << status;
        };
        row("output is the image", "fw.img", "fw.img", 1);
        row("output links to the image", "fw.img", "link.dfu", 1);
        row("output by another path", "fw.img", "sub/../fw.img", 1);
        row("empty image", "empty.img", "out.dfu", 5);
        row("named pipe", "fifo", "out.dfu", 5);
    }

    void packRefuses()
    {
        QFETCH(QString, image);
        QFETCH(QString, output);
        QFETCH(int, status);
        QTemporaryDir dir;
        const QByteArray firmware = testfiles::image(3000);
        writeFile(dir, "fw.img", firmware);
        writeFile(dir, "empty.img", {});
        QVERIFY(QDir(dir.path()).mkdir("sub") && QFile::link(dir.filePath("fw.img"), dir.filePath("link.dfu")));
        QCOMPARE(mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
        const CliRun run = runCli({}, {"pack", image, "--board", "7", "--output", output}, 10000, {}, dir.path());
        QCOMPARE(run.status, status);
        QVERIFY(!run.err.isEmpty());
        QCOMPARE(readFile(dir.filePath("fw.img")), firmware);
        QVERIFY(!QFile::exists(dir.filePath("out.dfu")));
    }

    // What the device says reaches the terminal as text: a description meant to retitle and clear
    // it is shown with its control characters escaped; JSON keeps them exact.
    void deviceTextShownAsText()
    {
        SimHarness sim({"--adapter", "els27"});
        const QJsonObject info {{"sdk", "\x1b]0;x\x07"}, {"fw", "\x1b[2J"}, {"mpy", 6}};
        sim.useScript("10 => isotp 50" + QJsonDocument(info).toJson(QJsonDocument::Compact).toHex()
            + "\n11 => isotp 51 5B 5D\n33 => isotp 73\n");
        QVERIFY(sim.start());
        const CliRun text = runCli({sim.port()}, {"info", "--port", sim.port()});
        QCOMPARE(text.status, 0);
        QVERIFY2(text.out.contains("SDK \\x1b]0;x\\x07, FW \\x1b[2J"), text.out.constData());
        QVERIFY(!text.out.contains('\x1b') && !text.err.contains('\x1b'));
        const CliRun json = runCli({sim.port()}, {"info", "--port", sim.port(), "--json"});
        QCOMPARE(json.status, 0);
        const QString description = json.json().value("result").toObject().value("description").toString();
        QVERIFY(description.contains("SDK \x1b]0;x\x07, FW \x1b[2J"));
    }

    // Ctrl-C or SIGTERM halfway through an upload: the work stops, the adapter is reset as after
    // any run, and the user is told what was left undone.
    void interrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("json");
        QTest::addColumn<bool>("twice"); // as a wrapper that forwards it to the process group does
        QTest::newRow("Ctrl-C") << int(SIGINT) << false << false;
        QTest::newRow("SIGTERM, JSON") << int(SIGTERM) << true << false;
        QTest::newRow("one Ctrl-C delivered twice") << int(SIGINT) << false << true;
        QTest::newRow("one SIGTERM delivered twice, JSON") << int(SIGTERM) << true << true;
    }

    void interrupted()
    {
        QFETCH(int, signal);
        QFETCH(bool, json);
        QFETCH(bool, twice);
        // Caught halfway through the upload; given twice, inside a slow set-up, which is finished
        // first: the second comes while the program still runs.
        Station s("app", twice ? QStringList {"--command-latency-ms", "100"} : QStringList {"--latency-us", "2000"});
        QVERIFY(s.sim.start());
        int heard = 0;
        const CliRun run = runCli({s.sim.port()},
            QStringList {"upload", s.file("fw.bin", firmwareFile()), "--port", s.sim.port(), "--transfer", "frames"}
                + (json ? QStringList {"--json"} : QStringList()),
            30000, [&](QProcess &cli) {
                QVERIFY(QTest::qWaitFor(
                    [&] { return twice ? s.sim.received().contains("at e0") : s.sim.received().size() > 200; }, 20000));
                heard = int(s.sim.received().size());
                const auto pid = pid_t(cli.processId());
                ::kill(pid, signal);
                if (twice) { // once the first has been delivered: the kernel merges a signal still pending
                    QTest::qWait(100);
                    QVERIFY(cli.state() == QProcess::Running);
                    ::kill(pid, signal);
                }
            });
        QCOMPARE(run.status, 128 + signal);
        QVERIFY2(run.err.contains("stopping...") && !run.err.contains("stopped at once"), run.err.constData());
        // The reset may follow the space that stopped the adapter on the same line, as a chip reads it.
        QVERIFY(!s.sim.received().mid(heard).filter(QRegularExpression("^ ?ATZ$")).isEmpty());
        if (json) {
            QCOMPARE(run.json().value("interrupted").toBool(), true);
            QCOMPARE(run.json().value("status").toInt(), 128 + signal);
        } else {
            QVERIFY2(run.err.contains(twice ? "interrupted while connecting" : "interrupted while uploading"),
                run.err.constData());
        }
    }

    // A device still erasing for a run that was killed is waited for before the next flash
    // begins: nothing of it goes out while the status says busy.
    void flashWaitsForABusyDevice()
    {
        const QByteArray firmware = image(3000);
        Station s("boot", {"--board-id", "7", "--erase-ms", "4000"});
        QVERIFY(s.sim.start());
        const QString package = s.pack(firmware, "7");
        s.run({"flash", package, "--transfer", "frames"}, [&](QProcess &cli) {
            QVERIFY(QTest::qWaitFor([&] { return !s.sim.received().filter("04b100b2ff").isEmpty(); }, 20000));
            cli.kill();
        });
        const int heard = int(s.sim.received().size());
        const QString trace = s.files.filePath("trace.txt");
        const CliRun run = s.run({"flash", package, "--trace", trace});
        QVERIFY2(run.status == 0, (run.err + readFile(trace).right(6000)).constData());
        QVERIFY2(run.err.contains("still busy with an earlier step"), run.err.constData());
        QCOMPARE(s.flashed(firmware.size()), firmware);
        QCOMPARE(s.sim.received().mid(heard).filter("b100b2ff").size(), 1);
    }

    // A stop during the set-up still reports the voltage the set-up read, as its events told it.
    void stoppedDuringSetup()
    {
        Station s("app", {"--command-latency-ms", "100"});
        QVERIFY(s.sim.start());
        const CliRun run = s.run({"info", "--json", "--events"}, [&](QProcess &cli) {
            QVERIFY(QTest::qWaitFor( // the voltage read, the set-up going on
                [&] {
                    const QStringList lines = s.sim.received();
                    return lines.contains("at rv") && lines.last() != "at rv";
                },
                20000));
            ::kill(pid_t(cli.processId()), SIGTERM);
        });
        QCOMPARE(run.status, 143);
        QVERIFY2(run.out.contains(R"("event":"voltage","volts":12.6)"), run.out.constData());
        QCOMPARE(run.lines().last().value("voltage").toDouble(), 12.6);
    }

    // A flash stopped is worded from what the device confirmed, not from the step the run was at;
    // the JSON result carries that record.
    void interruptedFlash_data()
    {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QString>("stopAt"); // the request heard last when Ctrl-C comes
        QTest::addColumn<QString>("words");
        QTest::addColumn<bool>("finalised");
        // The line as frame by frame or as the adapter that segments takes it (it adds the length).
        QTest::newRow("erase on its way") << QStringList {"--erase-ms", "3000"} << "^(04)?b100b2ff"
                                          << "the device may have no application" << false;
        QTest::newRow("launch unanswered") << QStringList {"--busy-replies", "11:1000"} << "^(01)?111$"
                                           << "the new firmware is on the device; the launch was not confirmed" << true;
    }

    void interruptedFlash()
    {
        QFETCH(QStringList, sim);
        QFETCH(QString, stopAt);
        QFETCH(bool, finalised);
        const QByteArray firmware = image(3000);
        Station s("boot", QStringList {"--board-id", "7"} + sim);
        QVERIFY(s.sim.start());
        const QString package = s.pack(firmware, "7");
        const CliRun run = s.run({"flash", package, "--launch", "--json"}, [&](QProcess &cli) {
            QVERIFY(
                QTest::qWaitFor([&] { return !s.sim.received().filter(QRegularExpression(stopAt)).isEmpty(); }, 20000));
            ::kill(pid_t(cli.processId()), SIGINT);
        });
        QCOMPARE(run.status, 130);
        QFETCH(QString, words);
        const QString error = run.json().value("error").toString();
        QVERIFY2(error.startsWith("interrupted while flashing: " + words), qPrintable(error));
        const QJsonObject record = run.json().value("record").toObject();
        QCOMPARE(record.value("eraseSent").toBool(), true);
        QCOMPARE(record.value("finaliseConfirmed").toBool(), finalised);
        QCOMPARE(record.value("launchAnswered").toBool(), false);
        if (finalised)
            QCOMPARE(s.flashed(firmware.size()), firmware);
    }

    // The package is read once: replaced, cut short or removed while the flash runs, the device
    // still gets the image checked, byte for byte, and the result names the SHA-256 of it.
    void packageChangedMidFlash()
    {
        for (const QString change : {"replaced", "cut short", "removed"}) {
            const QByteArray firmware = image(20000);
            Station s("boot", {"--board-id", "7"});
            QVERIFY(s.sim.start());
            const QString package = s.pack(firmware, "7");
            const QByteArray other = QByteArray::fromHex("f01042420700000000000000") + image(20001).mid(1);
            const CliRun run = s.run({"flash", package, "--json"}, [&](QProcess &) {
                QVERIFY(QTest::qWaitFor([&] { return s.sim.deviceRequests() > 6; }, 20000));
                if (change == "removed")
                    QVERIFY(QFile::remove(package));
                else
                    writeFile(package, change == "replaced" ? other : other.left(2000));
            });
            QVERIFY2(run.status == 0, run.err.constData());
            QCOMPARE(s.flashed(firmware.size()), firmware);
            const QString sha = QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();
            QCOMPARE(run.json().value("result").toObject().value("sha256").toString(), sha);
        }
    }

    // Each --port is a station with its own adapter and device, all at work at once.
    void stationsFlashAtOnce()
    {
        for (const bool killOne : {false, true}) { // both confirm; one simulator killed halfway
            const QByteArray firmware = image(20000);
            Station s[2] {{"boot", {"--board-id", "7"}}, {"boot", {"--board-id", "7"}}};
            const QStringList ports {s[0].sim.port(), s[1].sim.port()};
            QVERIFY(s[0].sim.start() && s[1].sim.start());
            const QString package = s[0].pack(firmware, "7");
            const CliRun run = runCli(
                ports, {"flash", package, "--port", ports[0], "--port", ports[1], "--events"}, 60000, [&](QProcess &) {
                    if (killOne) {
                        QVERIFY(QTest::qWaitFor([&] { return s[1].sim.deviceRequests() > 8; }, 20000));
                        s[1].sim.signal(SIGKILL);
                    }
                });
            QList<QJsonObject> results; // the stations' first, the summary last
            for (const QJsonObject &line : run.lines()) {
                if (line.value("event") == "result")
                    results << line;
                else // every step and every byte counted says whose it is
                    QVERIFY(ports.contains(line.value("port").toString()));
            }
            QCOMPARE(results.size(), 3);
            QCOMPARE(results[2].value("summary").toBool(), true);
            QCOMPARE(results[2].value("status").toInt(), run.status);
            QMap<QString, int> statuses;
            for (const QJsonObject &station : results.mid(0, 2))
                statuses.insert(station.value("port").toString(), station.value("status").toInt(-1));
            QVERIFY(statuses.contains(ports[0]) && statuses.contains(ports[1])); // each result names its station
            QCOMPARE(statuses.value(ports[0]), 0);
            QCOMPARE(s[0].flashed(firmware.size()), firmware);
            const int second = statuses.value(ports[1]);
            QVERIFY(killOne ? second == 4 || second == 6 : second == 0);
            QCOMPARE(run.status, second); // the worst station's
            if (!killOne)
                QCOMPARE(s[1].flashed(firmware.size()), firmware);
        }
    }
};

VELTRANO_TEST_MAIN(TestCli)
#include "tst_cli.moc"
