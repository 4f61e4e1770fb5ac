// The file-manager worker over the real driver against kestrane-sim: its scripted device for exact
// replies, its Kestrane device for what is stored and for faults.

#include "linkharness.h"

#include <canworker.h>
#include <managersession.h>

namespace {

// The device answers `request` with the reply code and the body; with no code it stays silent.
QString rule(int code = -1, const QByteArray &body = {}, const char *request = "*")
{
    const QByteArray reply = code < 0 ? QByteArray("none") : "isotp " + (char(code) + body).toHex();
    return QStringLiteral("%1 => %2\n").arg(QLatin1String(request), QString::fromLatin1(reply));
}

struct Manager : Bench<CanWorker>
{
    explicit Manager(const QStringList &options, const QString &script = {})
        : Bench(options, script, CanWorker::Write, 0x746, 0x74E)
    { }

    bool upload(QBuffer &source, const QString &name = QStringLiteral("fw.bin"))
    {
        const int before = outcomes.size();
        if (!source.open(QIODevice::ReadOnly))
            return false;
        worker.flash(&source, name);
        return waitUntil([&] { return outcomes.size() > before; }, 30000);
    }

    // Once an upload has ended the worker has let go of the source: acknowledgements and digests
    // that come late read nothing more from it and report nothing.
    bool ignoresLateReplies(const QIODevice &source)
    {
        const qint64 position = source.pos();
        const QStringList reported = trail;
        const QList<int> progressed = progress;
        worker.io_read(QByteArray("\x60OK"));
        worker.io_read(QByteArray("\x61"));
        worker.io_read(QByteArray("\x72") + QByteArray(16, '\0'));
        return source.pos() == position && trail == reported && progress == progressed;
    }

    // The requests as the device received them, in hex but for the upload's own.
    QString requests() const
    {
        QStringList seen;
        for (const Request &r : deviceRequests(sim)) {
            if (r.bytes.startsWith('\x21'))
                seen << QStringLiteral("write %1").arg(r.size - 1);
            else if (r.bytes.startsWith('\x20'))
                seen << QStringLiteral("select ") + QString::fromLatin1(r.bytes.mid(1));
            else
                seen << QString::fromLatin1(r.bytes.toHex());
        }
        return seen.join(QStringLiteral(", "));
    }
};

struct Command
{
    int cmd = CanWorker::Read;
    QVariant param {};
    QString script {};
    QString requests {};
    QString trail {};
    QStringList faults {};
    bool thenErase = false; // the same link then erases, and the device answers 63
    bool deaf = false; // the worker does not hear the link end the exchange: its own deadline must
};

struct Upload
{
    QStringList faults {};
    int size = 2050;
    QList<int> progress {}; // empty: not checked
    QString requests {}; // empty: not checked
    QString end = QStringLiteral("finished 3 1"); // of the first upload's trail
    bool lasting = false; // the fault is still there for a second upload
};

} // namespace

Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(Upload)

class TestCanWorker : public QObject
{
    Q_OBJECT

private slots:
    void commands_data()
    {
        QTest::addColumn<Command>("row");
        const auto row = [](const char *name, const Command &c) { QTest::newRow(name) << c; };
        const int config = CanWorker::Config;
        const QString info = rule(0x50, R"({"sdk":"1.2","fw":"3.4","mpy":5,"ver":"v6"})", "10");
        const QString reports = QStringLiteral("error 2 Device reports: SDK 1.2, FW 3.4, MPY 5, VER v6|");
        const QString negative = QStringLiteral("Device reply processing error");
        row("info and list",
            {CanWorker::Read, {}, info + rule(0x51, R"(["a.bin","b.bin"])", "11"), "10, 11",
                reports + "finished 1 1 a.bin,b.bin"});
        // A malformed description ends the command: the list is not asked for.
        row("malformed info",
            {CanWorker::Read, {}, rule(0x50, R"({"sdk":)", "10"), "10",
                "error -2 Invalid reply for the info command: *|finished 1 0 Invalid reply"});
        row("list not an array",
            {CanWorker::Read, {}, info + rule(0x51, R"({"a":1})", "11"), "10, 11",
                reports + "error -2 Invalid reply for the read command: *|finished 1 0 Invalid reply"});
        row("remove: name up to the NUL",
            {CanWorker::Remove, QString::fromUtf8("\xc3\xa4.bin"), rule(0x62, QByteArray("a\0b", 3)), "22c3a42e62696e",
                "finished 4 1 a"});
        row("remove: no name", {CanWorker::Remove, "a", rule(0x62), "2261", "finished 4 0 Empty reply"});
        row("config: code alone", {config, {}, rule(0x73), "33", "finished 9 1"});
        row("config: list", {config, {}, rule(0x73, R"(["x.bin"])"), "33", "finished 9 1 x.bin"});
        row("config: not an array",
            {config, {}, rule(0x73, "{}"), "33",
                "error -2 Invalid reply for the config command: *|finished 9 0 Invalid reply"});
        row("erase", {CanWorker::Erase, {}, rule(0x63), "23", "finished 5 1"});
        // The device numbers commands up to cfg, but only those up to dfu are reported as such.
        row("negative: cfg",
            {config, {}, rule(0x7f, R"({"cmd":9,"error":"y"})"), "33",
                "error -2 " + negative + " at cfg: y|finished -1 0 " + negative});
        row("negative: select",
            {CanWorker::Select, QString::fromUtf8("\xc3\xa4"), rule(0x7f, R"({"cmd":2,"error":"z"})"),
                "select \xc3\xa4", "error -2 " + negative + " at select: z|finished 2 0 " + negative});
        row("negative: unparsable",
            {CanWorker::Erase, {}, rule(0x7f, "nope"), "23",
                "error -2 " + negative + ". Invalid reply (*).|finished -1 0 " + negative + '.'});
        // Only "OK" acknowledges a select; a C string's NUL after it does not.
        row("select reply with a NUL",
            {CanWorker::Select, "a", rule(0x60, QByteArray("OK\0", 3)), "select a",
                "error -2 Invalid reply to the 'Select' command|finished 3 0 Invalid reply"});
        row("no reply",
            {CanWorker::Md5, {}, rule(), "32",
                "error 2 Transport error: trasport error no data|finished 8 0 No responce from the device"});
        row("exchange never ended",
            {CanWorker::Md5, {}, rule(), "32",
                "error 2 No reply within 1200 ms of the request|finished 8 0 No responce from the device", {}, false,
                true});
        // Another request's reply, or a line that is no frame, ends the command as a failure.
        row("reply to another request",
            {CanWorker::Read, {}, rule(0x63), "10",
                "error 2 Reply 63 does not answer the request|finished 1 0 Invalid reply", {}, true});
        row("noise for the request",
            {CanWorker::Erase, {}, rule(0x63), "",
                "error 2 Transport error: non-hex reply|finished 5 0 The reply broke the protocol (non-hex reply)",
                {"--word", "1:HELLO"}, true});
        // A command the worker does not know still ends, and nothing goes out for it.
        row("unknown command", {42, {}, rule(0x63), "", "error -1 Unknown command 42"});
        // The adapter itself falls silent: named as the adapter's failure, not the device's.
        row("the adapter falls silent",
            {CanWorker::Erase, {}, rule(0x63), "", "error 2 Transport error: no answer to '01231' within * ms)",
                {"--silent-after", "21"}});
        // A restarting device does not answer; a request the adapter could not send, or a refusal, fails.
        const QString unsent = QStringLiteral("|finished 6 0 The request did not reach the device (%1)");
        row("dfu: the device restarts",
            {CanWorker::Dfu, {}, rule(), "31", "error 2 Transport error: trasport error no data|finished 7 1"});
        row("dfu refused",
            {CanWorker::Dfu, {}, rule(0x7f, R"({"cmd":7,"error":"no"})"), "31",
                "error -2 " + negative + " at dfu: no|finished 7 0 " + negative});
        row("reboot: CAN errors",
            {CanWorker::Reboot, {}, rule(), "",
                "error 2 Transport error: CAN error. Retries exhausted" + unsent.arg("CAN error. Retries exhausted"),
                {"--can-error-every", "1"}});
        row("reboot: bus error",
            {CanWorker::Reboot, {}, rule(), "",
                "error 2 Transport error: the adapter reports BUS ERROR" + unsent.arg("the adapter reports BUS ERROR"),
                {"--word", "1:BUS ERROR"}});
    }

    void commands()
    {
        QFETCH(Command, row);
        Manager manager(row.faults, row.script);
        QVERIFY(manager.connect());

        if (row.deaf)
            QObject::disconnect(manager.driver, &ELM327IOBase::error, &manager.worker, &ELM327Worker::io_error);
        manager.worker.execute(CanWorker::Commands(row.cmd), row.param);
        QVERIFY(manager.settle(row.trail.count('|') + 1));
        const QString trail = manager.joined();
        const QStringList ends = row.trail.split('*'); // a "*" stands for the JSON parser's own words
        QVERIFY2(trail.startsWith(ends.first()) && trail.endsWith(ends.last()) && trail.size() >= row.trail.size() - 1,
            qPrintable(trail));
        QCOMPARE(manager.requests(), row.requests);
        QCOMPARE(manager.completions.size(), 1); // exactly one, for the command asked
        QCOMPARE(manager.completions.first().command, row.cmd);
        if (row.thenErase) {
            manager.trail.clear();
            manager.worker.execute(CanWorker::Erase);
            QVERIFY(manager.settle(1));
            QCOMPARE(manager.joined(), QStringLiteral("finished 5 1"));
        }
    }

    void upload_data()
    {
        QTest::addColumn<Upload>("row");
        const auto row = [](const char *name, const Upload &u) { QTest::newRow(name) << u; };
        const QString refused = QStringLiteral("|finished %1 0 Device reply processing error");
        const QString lost = QStringLiteral("finished 3 0 No responce from the device");
        row("2050 bytes", {{}, 2050, {0, 50, 100, 100}, "select fw.bin, write 1024, write 1024, write 2, 32"});
        row("2 x 1024 bytes", {{}, 2048, {0, 50, 100}, "select fw.bin, write 1024, write 1024, 32"});
        row("empty source", {{}, 0, {100}, "select fw.bin, 32"});
        // An upload is only good when the device's digest says so.
        row("digest spoilt", {{"--malformed", "32"}, 2050, {0, 50, 100, 100}, {}, "finished 3 0 Hash mismatch", true});
        row("write reply lost", {{"--lose-write-reply", "2"}, 3000, {}, {}, lost});
        row("write refused",
            {{"--negative", "21:10"}, 3000, {}, {},
                "error -2 Device reply processing error at write: forced" + refused.arg(3), true});
        row("select refused",
            {{"--negative", "20:10"}, 3000, {}, "select fw.bin",
                "error -2 Device reply processing error at select: forced" + refused.arg(2), true});
        row("LV RESET midway",
            {{"--lv-reset", "200", "--reset-ms", "300"}, 3000, {}, {},
                "finished 3 0 The adapter failed the exchange (the adapter restarted by itself)"});
        // A line of noise for the select, or for a write's first frame, ends the upload there.
        const QString noise = QStringLiteral("The reply broke the protocol (non-hex reply)");
        row("noise for the select", {{"--word", "1:HELLO"}, 3000, {}, {}, "finished 2 0 " + noise});
        row("noise for a write", {{"--word", "2:HELLO"}, 3000, {}, {}, "finished 3 0 " + noise});
    }

    // An upload into the device; after a passing fault the next upload in the same session works.
    void upload()
    {
        QFETCH(Upload, row);
        QTemporaryDir state;
        Manager manager(QStringList {"--device", "kestrane", "--state", state.path()} + row.faults);
        QVERIFY(manager.connect());
        for (int round = 0; round < (row.lasting ? 1 : 2); ++round) {
            QByteArray content = pattern(row.size + round);
            QBuffer source(&content);
            QVERIFY(manager.upload(source));
            QVERIFY2(manager.joined().endsWith(round ? "finished 3 1" : row.end), qPrintable(manager.joined()));
            QCOMPARE(manager.outcomes.size(), round + 1);
            QVERIFY(round || row.progress.isEmpty() || manager.progress == row.progress);
            QVERIFY(round || row.requests.isEmpty() || manager.requests() == row.requests);
            if (manager.outcomes.last() == TransferOutcome::Succeeded)
                QCOMPARE(readFile(state.filePath("files/fw.bin")), content);
            else
                QVERIFY(manager.ignoresLateReplies(source));
        }
    }

    // An upload keeps the link to itself: another command is refused without touching its request,
    // a stop ends it once the block on the link is answered, and on a closed link nothing waits.
    void uploadHoldsTheLink()
    {
        Manager manager({"--device", "kestrane"});
        QVERIFY(manager.connect());
        QByteArray content = pattern(3000);
        QBuffer source(&content);
        QObject::connect(&manager.worker, &CanWorker::progress, [&](int percent) {
            if (percent == 0)
                return manager.worker.execute(CanWorker::Erase);
            for (int i = 0; i < 2; ++i)
                QMetaObject::invokeMethod(&manager.worker, "stopUpload");
        });
        QVERIFY(manager.upload(source));
        QCOMPARE(manager.joined(),
            "error 2 Selecting fw.bin|error 2 Busy: an upload is running|finished 5 0 Busy: an upload is running|"
            "error 2 Uploading data|error 2 Stopping the upload after the current block|"
            "error 2 Upload stopped; fw.bin on the device is incomplete|finished 3 0 Upload stopped");
        QCOMPARE(manager.outcomes, QList<TransferOutcome> {TransferOutcome::Stopped});
        QCOMPARE(manager.requests(), QStringLiteral("select fw.bin, write 1024"));

        manager.sim.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return !manager.driver->isOpen(); }));
        manager.trail.clear();
        manager.worker.execute(CanWorker::Erase);
        QVERIFY(manager.upload(source));
        QCOMPARE(manager.trail.filter("finished").join('|'),
            "finished 5 0 The adapter's port is not open|finished 3 0 The adapter's port is not open");
        QCOMPARE(manager.outcomes.last(), TransferOutcome::LinkLost);
    }

    void sessionEndsEachOperationOnce_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QString>("work"); // what is asked once the list has been read
        QTest::addColumn<QString>("endings"); // "operation outcome step" of each ending, in order
        QTest::newRow("connect and list") << QStringList() << ""
                                          << "0 0 0 12.6|1 0 9";
        // Asked while the list is read, an erase is refused at once; the list is not disturbed.
        QTest::newRow("busy") << QStringList() << "erase during list"
                              << "0 0 0 12.6|4 1 5|1 0 9";
        QTest::newRow("selection refused") << QStringList {"--negative", "33:1"} << ""
                                           << "0 0 0 12.6|1 1 9";
        QTest::newRow("upload stopped") << QStringList() << "upload, stop"
                                        << "0 0 0 12.6|1 0 9|2 5 3 12.6";
        QTest::newRow("port lost") << QStringList() << "upload, port lost, erase"
                                   << "0 0 0 12.6|1 0 9|2 3 3 12.6|4 3 5";
        // Refused before anything goes to the device: below the 11.8 V asked for, or not to be read.
        QTest::newRow("battery low") << QStringList {"--voltage", "11.2"} << "upload at 11.8 V"
                                     << "0 0 0 11.2|1 0 9|2 6 3 11.2";
        QTest::newRow("voltage unknown") << QStringList {"--voltage", "none"} << "upload at 11.8 V"
                                         << "0 0 0 nan|1 0 9|2 6 3 nan";
        QTest::newRow("dfu refused") << QStringList {"--negative", "31:1"} << "dfu"
                                     << "0 0 0 12.6|1 0 9|6 1 7";
    }

    // The session ends every operation exactly once, whatever the device or the port does.
    void sessionEndsEachOperationOnce()
    {
        QFETCH(QStringList, faults);
        QFETCH(QString, work);
        QTemporaryDir state;
        QVERIFY(QDir(state.path()).mkdir("files"));
        testfiles::writeFile(state.filePath("files/a.bin"), "a");
        SimHarness sim(QStringList {"--adapter", "els27", "--device", "kestrane", "--state", state.path()} + faults);
        QVERIFY(sim.start());
        ManagerSession session;
        QStringList endings;
        QObject::connect(&session, &ManagerSession::ended, [&](const ManagerEnding &e) {
            // With the voltage read for the operations that read it: the set-up, an upload.
            const bool reads = e.operation == ManagerSession::Connect || e.operation == ManagerSession::Upload;
            endings << QStringLiteral("%1 %2 %3 %4")
                           .arg(e.operation)
                           .arg(int(e.outcome))
                           .arg(e.step)
                           .arg(reads ? QString::number(e.voltage, 'f', 1) : QString())
                           .trimmed();
        });
        QObject::connect(&session.worker(), &CanWorker::described, [&] {
            if (work == "erase during list")
                session.erase();
        });
        QByteArray content = pattern(3000);
        QBuffer source(&content);
        QObject::connect(&session.worker(), &CanWorker::progress, [&](int percent) {
            if (percent == 0 && work == "upload, stop")
                session.stop();
            if (percent == 0 && work.contains("port lost"))
                sim.signal(SIGUSR1);
        });
        session.open(ELM_ConnInfo {sim.port(), 38400, ELM327IOBase::ELS27, 0x746, 0x74E});
        QVERIFY(waitUntil([&] { return !session.running(); }, 30000));
        if (work.startsWith("upload")) {
            QVERIFY(source.open(QIODevice::ReadOnly));
            session.upload(&source, "fw.bin", work.endsWith("11.8 V") ? 11.8 : qQNaN());
        } else if (work == "dfu") {
            session.dfu();
        }
        QVERIFY(waitUntil([&] { return !session.running(); }, 30000));
        if (work.endsWith(", erase"))
            session.erase();
        QTest::qWait(300); // nothing more may come
        QTEST(endings.join('|'), "endings");
        if (work.endsWith("11.8 V"))
            for (const Request &r : deviceRequests(sim))
                QVERIFY(!r.bytes.startsWith('\x20')); // no upload was started
    }
};

VELTRANO_TEST_MAIN(TestCanWorker)
#include "tst_canworker.moc"
