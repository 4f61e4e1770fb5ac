// The bootloader worker over the real driver against kestrane-sim: its Kestrane device for what
// lands in the flash and for faults, its scripted device for exact replies.

#include "linkharness.h"

#include <bootloadersession.h>
#include <hiddfu_worker.h>

namespace {

// The flash steps as the device received them.
QString steps(const SimHarness &sim)
{
    QStringList result;
    for (const Request &r : deviceRequests(sim)) {
        const QByteArray &b = r.bytes;
        if (b == QByteArray::fromHex("b100b2ff"))
            result << QStringLiteral("erase");
        else if (b.size() == 9 && b.startsWith('\x34'))
            result << QStringLiteral("addr %1").arg(qFromBigEndian<quint32>(b.constData() + 1));
        else if (b.startsWith('\x36'))
            result << QStringLiteral("write %1").arg(r.size - 1);
        else
            result << (b == "\x37" ? QStringLiteral("finalize") : QString::fromLatin1(b.toHex()));
    }
    return result.join(QStringLiteral(", "));
}

const QStringList scripted {"--rx-id", "74F", "--tx-id", "747"};

struct Updater : Bench<hiddfu_worker>
{
    explicit Updater(const QStringList &options, const QString &script = {})
        : Bench(options, script, hiddfu_worker::Flash, 0x747, 0x74F)
    {
        QObject::connect(&worker, &hiddfu_worker::applicationErased, &worker, [this] { ++erased; });
    }

    // The image follows a package header: the flash begins at the source's position. A stop is
    // asked for once `stopAt` progress reports have come (0: right after the start).
    bool flash(const QByteArray &image, int stopAt = -1)
    {
        source.setData("header" + image);
        if (!source.open(QIODevice::ReadOnly) || !source.seek(6))
            return false;
        QObject::connect(&worker, &hiddfu_worker::progress, &worker, [this, stopAt] {
            if (progress.size() == stopAt)
                worker.stopFlash();
        });
        worker.flash(&source);
        if (stopAt == 0)
            worker.stopFlash();
        return waitUntil([&] { return !outcomes.isEmpty(); }, 60000);
    }

    QBuffer source;
    int erased = 0; // flashes that ended after their erase without a new application
};

struct Flash
{
    QStringList faults {};
    int size = 5000;
    QString steps {}; // empty: not checked; a pattern when it starts with ^
    QList<int> progress {}; // empty: not checked
    QString end = QStringLiteral("finished 9 1|error 0 Flashed"); // of the trail
    TransferOutcome outcome = TransferOutcome::Succeeded;
    QString script {}; // a scripted bootloader in place of the Kestrane device
    int stopAt = -1; // see Updater::flash()
};

struct Reply
{
    int cmd = hiddfu_worker::Status;
    QVariant param {};
    QString reply {};
    QString trail {};
    QStringList adapter {}; // faults of the adapter
    int tries = 1; // requests the device receives
};

} // namespace

Q_DECLARE_METATYPE(Flash)
Q_DECLARE_METATYPE(Reply)

class TestHiddfuWorker : public QObject
{
    Q_OBJECT

private slots:
    void flash_data()
    {
        QTest::addColumn<Flash>("row");
        const auto row = [](const char *name, const Flash &f) { QTest::newRow(name) << f; };
        const auto refused = TransferOutcome::Refused;
        const QString body = QStringLiteral("write 1024, write 904, addr 0, write 1024, finalize");
        // The head goes last: until it is written the bootloader finds no image to start.
        row("5000 bytes",
            {{}, 5000, "erase, addr 1024, b100b0, write 1024, write 1024, " + body, {0, 20, 41, 61, 82, 82, 100}});
        row("last body chunk padded",
            {{}, 2025, "erase, addr 1024, b100b0, write 1008, addr 0, write 1024, finalize", {0, 51, 51, 100}});
        row("head only", {{}, 1024, "erase, addr 0, write 1024, finalize", {0, 100}});
        row("short head padded", {{}, 500, "erase, addr 0, write 504, finalize", {0, 100}});
        // The device holds no image to finalise and says so.
        row("empty image",
            {{}, 0, "erase, addr 0, finalize", {100}, "finished 9 0 34|error 2 Device error 34 at command 37",
                refused});
        // Once a flash, right after the body's address: does the status show the write address?
        // A step without its reply is then settled by the device's status, never by sending it
        // again while the device may still be at it: done, busy (asked again), or, by that
        // address, never had at all, which alone sends it again.
        const QString probed = QStringLiteral("erase, addr 1024, b100b0, write 1024, ");
        row("write reply lost", {{"--lose-write-reply", "2"}, 5000, probed + "write 1024, b100b0, " + body});
        row("busy after a lost write reply",
            {{"--lose-write-reply", "2", "--busy-status", "2"}, 5000,
                probed + "write 1024, b100b0, b100b0, b100b0, " + body});
        row("erase outlasts the adapter's listening", {{"--erase-ms", "3000"}});
        row("write not carried out after patience",
            {{"--busy-replies", "36:1"}, 5000, probed + "b100b0, write 1024, write 1024, " + body});
        row("address request lost",
            {{"--silent-requests", "2"}, 2048,
                "erase, addr 1024, b100b0, addr 1024, b100b0, write 1024, addr 0, write 1024, finalize"});
        row("status and write requests lost",
            {{"--silent-requests", "3", "--silent-requests", "5"}, 2048,
                "erase, addr 1024, b100b0, b100b0, write 1024, b100b0, write 1024, addr 0, write 1024, finalize"});
        row("write request lost",
            {{"--silent-requests", "4"}, 2048, probed + "b100b0, write 1024, addr 0, write 1024, finalize"});
        // A device whose status word is no address: an idle status means done.
        row("status without the write address, write reply lost",
            {scripted, 2048, "erase, addr 1024, b100b0, write 1024, b100b0, addr 0, write 1024, b100b0, finalize", {},
                "finished 9 1|error 0 Flashed", TransferOutcome::Succeeded,
                "B100B2FF => isotp F1 00 B2\n34* => isotp 74 00 00\n36* => none\n37 => isotp 77\n"
                "B100B0 => isotp F1 00 B0 00 00 00 00 00 00 00 00 04 00 07 00 00 00\n"});
        // From the first write on the device says nothing: the step's time runs out.
        row("device gone during a write",
            {{"--silent-requests", "3:40"}, 5000, {}, {},
                "error 2 The device did not finish a step of the flash within 5 s", TransferOutcome::NotResponding});
        row("write refused",
            {{"--negative", "36:31"}, 2048, "erase, addr 1024, b100b0, write 1024", {},
                "finished 7 0 49|error 2 Device error 49 at command 36", refused});
        row("write refused with the no-uuid code",
            {{"--negative", "36:12"}, 2048, "erase, addr 1024, b100b0, write 1024", {},
                "finished 7 0 18|error 2 Device error 18 at command 36", refused});
        // Only writes, finalise and addresses are named by their request byte; anything else
        // is reported against the step the flash is in.
        // A stop lets the step on the link end first, with its reply or its settling by status,
        // waits for an erase however long it takes, and sends nothing after it.
        const auto stopped = TransferOutcome::Stopped;
        row("stopped between two writes",
            {{}, 5000, probed + "write 1024", {0, 20}, "finished 7 1|finished 7 1", stopped, {}, 2});
        row("stopped during a long erase",
            {{"--erase-ms", "3000"}, 5000, "^erase(, b100b0)*$", {}, {}, stopped, {}, 0});
        row("stopped while a lost reply is settled",
            {{"--lose-write-reply", "2"}, 5000, probed + "write 1024, b100b0", {0, 20}, "finished 1 1", stopped, {},
                2});
        row("erase refused",
            {{"--negative", "B100B2:31"}, 2048, "erase", {}, "finished 5 0 49|error 2 Device error 49 at command b1",
                refused});
        // The write's refusal was lost with its reply; the status carries the code.
        row("status reports an error after a lost reply",
            {scripted, 2048, "erase, addr 1024, b100b0, write 1024, b100b0", {},
                "finished 7 0 49|error 2 Device error 49 at command 36", refused,
                "B100B2FF => isotp F1 00 B2\n34* => isotp 74 00 00\n36* => none\n"
                "B100B0 => isotp F1 00 B0 02 31 00 04 00 00 00 00 04 00 07 00 00 00\n"});
    }

    void flash()
    {
        QFETCH(Flash, row);
        QTemporaryDir state;
        const QStringList kestrane {"--device", "kestrane", "--mode", "boot", "--state", state.path()};
        Updater updater(row.script.isEmpty() ? kestrane + row.faults : row.faults, row.script);
        QVERIFY(updater.connect());
        const QByteArray image = pattern(row.size);
        QVERIFY(updater.flash(image, row.stopAt));
        const QString seen = steps(updater.sim);
        QCOMPARE(seen.count(QStringLiteral("erase")), 1);
        if (row.steps.startsWith('^'))
            QVERIFY2(QRegularExpression(row.steps).match(seen).hasMatch(), qPrintable(seen));
        else if (!row.steps.isEmpty())
            QCOMPARE(seen, row.steps);
        if (!row.progress.isEmpty())
            QCOMPARE(updater.progress, row.progress);
        QCOMPARE(updater.outcomes, QList<TransferOutcome> {row.outcome});
        const QString trail = updater.joined();
        QVERIFY2(trail.endsWith(row.end) && trail.count("Flashed") == row.end.count("Flashed"), qPrintable(trail));
        // Whatever failed after the erase, the device is said to have no application left.
        QCOMPARE(updater.erased, row.outcome == TransferOutcome::Succeeded ? 0 : 1);
        if (row.outcome == TransferOutcome::Succeeded) {
            if (!row.script.isEmpty())
                return;
            // Each chunk landed once and in its place: the device refuses to write a byte twice.
            QVERIFY(readFile(state.filePath("flash.bin")) == image + QByteArray(262144 - image.size(), '\xff'));
            QVERIFY(readFile(state.filePath("device.cfg")).contains("image=final"));
            return;
        }
        // The source is forgotten: late acknowledgements read nothing more from it.
        const qint64 position = updater.source.pos();
        const QList<int> progress = updater.progress;
        updater.worker.io_read(QByteArray::fromHex("76"));
        updater.worker.io_read(QByteArray::fromHex("740000"));
        QCOMPARE(updater.source.pos(), position);
        QCOMPARE(updater.progress, progress);
    }

    // A link that went away takes no flash: it ends at once, and nothing was erased.
    void flashOnALostLink()
    {
        Updater updater({});
        QVERIFY(updater.connect());
        QSignalSpy lost(&updater.worker, &hiddfu_worker::linkLost);
        updater.sim.signal(SIGUSR1);
        QVERIFY(lost.wait(5000));
        updater.trail.clear();
        QVERIFY(updater.flash({}));
        QCOMPARE(updater.joined(), QStringLiteral("error 2 Transport unexpectedly closed"));
        QCOMPARE(updater.outcomes, QList<TransferOutcome> {TransferOutcome::LinkLost});
        QCOMPARE(updater.erased, 0);
    }

    // A call's own request on the link when a flash ends is not the flash's: it still gets its reply
    // and its completion, and the flash's ending waits for it.
    void callBesideAStoppedFlash()
    {
        Updater updater({});
        QBuffer source;
        QVERIFY(source.open(QIODevice::ReadOnly));
        updater.worker.execute(hiddfu_worker::Status);
        updater.worker.flash(&source); // its erase waits behind the status request
        updater.worker.stopFlash();
        QVERIFY(updater.completions.isEmpty());
        updater.worker.io_read(QByteArray::fromHex("f100b0000000000000000000040007000000"));
        QCOMPARE(updater.completions.size(), 2);
        QCOMPARE(updater.completions.at(0).command, int(hiddfu_worker::Status));
        QVERIFY(updater.completions.at(0).ok());
        QCOMPARE(updater.completions.at(1).command, int(hiddfu_worker::Flash));
        QCOMPARE(updater.completions.at(1).outcome, TransferOutcome::Stopped);
        QCOMPARE(updater.erased, 0);
    }

    void finaliseNeverConfirmed()
    {
        // The replies and the adapter's time-outs, handed to the slots directly.
        Updater updater({});
        QBuffer source;
        QVERIFY(source.open(QIODevice::ReadOnly));
        updater.worker.flash(&source);
        // A second flash is refused on its own; the first keeps its source and its ending.
        updater.worker.flash(&source);
        QCOMPARE(updater.completions.size(), 1);
        QCOMPARE(updater.completions.first().serial, quint64(2));
        QCOMPARE(updater.completions.first().outcome, TransferOutcome::Refused);
        updater.outcomes.clear();
        updater.worker.io_read(QByteArray::fromHex("f100b2"));
        updater.worker.io_read(QByteArray::fromHex("740000"));
        QCOMPARE(updater.progress, QList<int> {100});
        for (int i = 0; i < 9; ++i)
            updater.worker.io_error(ELM327IOBase::ERR_NODATA, QStringLiteral("trasport error no data"));
        QVERIFY(updater.outcomes.isEmpty());
        updater.worker.io_error(ELM327IOBase::ERR_STOPPED, QStringLiteral("trasport error stopped"));
        QVERIFY(updater.joined().endsWith("error 2 The device did not confirm the end of the flash"));
        // A confirmation after the flash was given up is no success.
        updater.worker.io_read(QByteArray::fromHex("77"));
        QCOMPARE(updater.outcomes, QList<TransferOutcome> {TransferOutcome::NotResponding});
        // The next command has retries of its own.
        updater.worker.execute(hiddfu_worker::Status);
        updater.worker.io_error(ELM327IOBase::ERR_NODATA, QStringLiteral("trasport error no data"));
        QVERIFY(!updater.joined().endsWith("Device is not reponsing!"));
    }

    // The session ends every operation once, whatever ended it, with the words and codes the
    // fronts show.
    void sessionEndings_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<TransferOutcome>("outcome");
        QTest::addColumn<QList<int>>("refusal"); // the command that failed and the device's code
        QTest::addColumn<QString>("volts"); // the ending's voltage, as the fronts show it
        const auto row = [](const char *name, const QStringList &faults, const char *operation, TransferOutcome outcome,
                             const char *volts, const QList<int> &refusal = {hiddfu_worker::Invalid, 0}) {
            QTest::newRow(name) << faults << QString(operation) << outcome << refusal << QString(volts);
        };
        const auto low = TransferOutcome::LowVoltage;
        row("described", {}, "describe", TransferOutcome::Succeeded, "nan");
        row("status read", {"--voltage", "13.1"}, "status", TransferOutcome::Succeeded, "13.1");
        row("status never answered", {"--silent-requests", "1:40"}, "status", TransferOutcome::NotResponding, "nan",
            {hiddfu_worker::Status, 0});
        row("launch refused", {"--negative", "11:22"}, "launch", TransferOutcome::Refused, "nan",
            {hiddfu_worker::APP, 0x22});
        row("flashed", {}, "flash", TransferOutcome::Succeeded, "12.6");
        row("write refused", {"--negative", "36:31"}, "flash", TransferOutcome::Refused, "12.6",
            {hiddfu_worker::Write, 0x31});
        // A 3000-byte flash takes some forty lines when the adapter segments the writes: line 36 is in its middle.
        row("port gone in a flash", {"--vanish-after", "36"}, "flash", TransferOutcome::LinkLost, "nan");
        row("flash stopped", {}, "stop", TransferOutcome::Stopped, "12.6");
        // Refused before the device hears of it: below the 11.8 V asked for, or not to be read.
        row("battery low", {"--voltage", "11.2"}, "flash at 11.8 V", low, "11.2");
        row("voltage unknown", {"--voltage", "none"}, "flash at 11.8 V", low, "nan");
    }

    void sessionEndings()
    {
        QFETCH(QStringList, faults);
        QFETCH(QString, operation);
        QFETCH(TransferOutcome, outcome);
        QTemporaryDir state;
        Updater updater(QStringList {"--device", "kestrane", "--mode", "boot", "--state", state.path()} + faults);
        BootloaderSession session(&updater.worker);
        QSignalSpy ended(&session, &BootloaderSession::ended);
        QVERIFY(updater.sim.start());
        session.connectLink({updater.sim.port(), 38400, ELM327IOBase::ELS27, 0x747, 0x74F});
        QCOMPARE(ended.count(), 1); // the set-up blocks this thread
        const auto connected = ended.takeFirst().at(0).value<BootloaderEnding>();
        QVERIFY(connected.ok());
        const auto shown = [](double volts) { return QString::number(volts, 'f', 1); };
        const int given = int(faults.indexOf("--voltage"));
        const QString setUp = given < 0 ? "12.6" : faults.value(given + 1) == "none" ? "nan" : faults.value(given + 1);
        QCOMPARE(shown(connected.voltage), setUp); // the set-up's reading
        QObject::connect(&session, &BootloaderSession::progress, [&](int percent) {
            if (percent == 0 && operation == "stop")
                session.stopFlash();
        });
        if (operation == "describe")
            session.describe();
        else if (operation == "status")
            session.readStatus();
        else if (operation == "launch")
            session.launch(hiddfu_worker::APP);
        else
            session.flash(pattern(3000), operation.endsWith("11.8 V") ? 11.8 : qQNaN());
        QVERIFY(waitUntil([&] { return !ended.isEmpty() && !updater.driver->isBusy(); }, 60000));
        QCOMPARE(ended.count(), 1);
        const auto end = ended.first().at(0).value<BootloaderEnding>();
        QCOMPARE(end.outcome, outcome);
        QTEST((QList<int> {end.command, end.deviceCode}), "refusal");
        QCOMPARE(!end.ok() && end.record.eraseSent, operation != "flash" ? operation == "stop" : !end.ok());
        QTEST(shown(end.voltage), "volts");
        if (outcome == TransferOutcome::LowVoltage)
            QVERIFY(deviceRequests(updater.sim).isEmpty());
        if (operation == "describe") {
            const auto info = end.result.value<BootloaderInfo>();
            QVERIFY(info.description.startsWith("Kestrane bootloader 2.1"));
            QCOMPARE(info.uuid, QStringLiteral("4B53494D0102030405060708"));
        }
    }

    void singleReplies_data()
    {
        QTest::addColumn<Reply>("row");
        const auto row = [](const char *name, const Reply &r) { QTest::newRow(name) << r; };
        const int uuid = hiddfu_worker::Uuid;
        const int info = hiddfu_worker::Info;
        const QString ids = QStringLiteral("F1 00 B3 01 02 03 04 05 06 07 08 09 0A AB");
        row("status one byte short",
            {hiddfu_worker::Status, {}, "F1 00 B0 02 07 78 56 34 12 00 00 06 00 EE FF C0",
                "error 2 Invalid 'STATUS' reply"});
        row("uuid, 15 bytes",
            {uuid, {}, ids + " FF", "error 7 UUID: 0102030405060708090AABFF|finished 3 1 0102030405060708090AABFF"});
        row("uuid, 14 bytes", {uuid, {}, ids, "error 7 Device does not report UUID|finished 3 1"});
        row("no uuid routine", {uuid, {}, "7F B1 12", "error 7 Device does not report UUID"});
        // The same code to anything but a UUID request is a refusal like any other.
        row("status refused with the no-uuid code",
            {hiddfu_worker::Status, {}, "7F B1 12", "finished 1 0 18|error 2 Device error 18 at command b1"});
        row("launch refused with the no-uuid code",
            {hiddfu_worker::APP, {}, "7F 11 12", "finished 12 0 18|error 2 Device error 18 at command 11"});
        row("info text ends at NUL",
            {info, {}, "F1 00 B1 4B 42 4C 20 31 2E 30 00 58",
                "finished 2 1|error 7 DFU device discovered|error 7 KBL 1.0"});
        row("short exec reply", {info, {}, "F1 00", "error 2 Invalid 'EXEC' reply"});
        row("short error reply", {info, {}, "7F B1", "error 2 Invalid ERROR reply"});
        row("short address reply", {hiddfu_worker::SetAddress, 1024u, "74 00", "error 2 Invalid 'SET_ADDR' reply"});
        // A refusal after the set-up is the refused command's, with its code.
        row("launch refused",
            {hiddfu_worker::APP, {}, "7F 11 22", "finished 12 0 34|error 2 Device error 34 at command 11"});
        // The answer to another request may be a late one: dropped, and the request asked again;
        // a device that never answers it otherwise has answered wrongly. Noise from the adapter
        // ends the command at once.
        Reply other {hiddfu_worker::Status, {}, "74 00 00", "error 2 Invalid response"};
        other.tries = 10;
        row("reply to another request", other);
        row("noise instead of the reply",
            {hiddfu_worker::Status, {}, "F1 00 B0", "error 2 Invalid response", {"--word", "1:GARBLED"}});
    }

    void singleReplies()
    {
        QFETCH(Reply, row);
        Updater updater(scripted + row.adapter, "* => isotp " + row.reply + '\n');
        QVERIFY(updater.connect());
        // The trail without the replies dropped as answering no request on the link.
        const auto kept = [&] {
            QStringList trail;
            for (const QString &entry : updater.trail)
                if (!entry.startsWith("error 7 A reply that answers no request"))
                    trail << entry;
            return trail;
        };
        const auto settle = [&](int entries) {
            return waitUntil([&] { return kept().size() >= entries && !updater.driver->isBusy(); }, 30000);
        };
        updater.worker.execute(hiddfu_worker::Commands(row.cmd), row.param);
        const int entries = row.trail.count('|') + 1;
        QVERIFY(settle(entries));
        QCOMPARE(kept().mid(0, entries).join(QLatin1Char('|')), row.trail);
        const int requests = deviceRequests(updater.sim).size();
        QCOMPARE(requests, row.adapter.isEmpty() ? row.tries : 0);
        QCOMPARE(updater.completions.size(), 1); // once, for the command given
        QCOMPARE(updater.completions.first().command, row.cmd);
        // A failure is worded for a box, a bootloader without a UUID is none.
        QCOMPARE(updater.completions.first().ok(), !row.trail.contains("error 2 "));
        // Every command ends on the link too: the next one goes out.
        updater.trail.clear();
        updater.worker.execute(hiddfu_worker::Info);
        QVERIFY(settle(1));
        QVERIFY(deviceRequests(updater.sim).size() > requests);
        QTRY_COMPARE(updater.completions.size(), 2);
    }
};

VELTRANO_TEST_MAIN(TestHiddfuWorker)
#include "tst_hiddfuworker.moc"
