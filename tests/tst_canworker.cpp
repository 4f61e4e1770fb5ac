// The file-manager worker over the real driver against kestrane-sim: its scripted device for exact
// replies, its Kestrane device for what is stored and for faults.

#include "simharness.h"
#include "testsupport.h"

#include <canworker.h>
#include <firmwarefile.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

struct Finish
{
    CanWorker::Commands cmd;
    bool status;
    QVariant result;
};

// Everything the worker reports, in arrival order per signal.
struct Recorder
{
    explicit Recorder(CanWorker &worker)
    {
        QObject::connect(&worker, &CanWorker::progress, &context, [this](int val) { progress << val; });
        QObject::connect(&worker, &CanWorker::error, &context,
            [this](int code, const QVariant &param) { errors << qMakePair(code, param.toString()); });
        QObject::connect(&worker, &CanWorker::finished, &context,
            [this](CanWorker::Commands cmd, bool status, const QVariant &result) {
                finished << Finish {cmd, status, result};
            });
    }

    QStringList texts(int code) const { return testsupport::textsWithCode(errors, code); }

    QObject context;
    QList<int> progress;
    QList<QPair<int, QString>> errors;
    QList<Finish> finished;
};

using testsupport::waitUntil;

QString rule(const QString &request, const QByteArray &reply)
{
    return reply.isNull() ? QStringLiteral("%1 => none\n").arg(request)
                          : QStringLiteral("%1 => isotp %2\n").arg(request, QString::fromLatin1(reply.toHex()));
}

// The requests as the device reassembled them, in upper-case hex.
QStringList deviceRequests(const SimHarness &sim)
{
    QStringList requests;
    const QString prefix = QStringLiteral("device: request ");
    for (const SimEvent &e : sim.events())
        if (e.kind == QLatin1Char('#') && e.text.startsWith(prefix))
            requests << e.text.mid(prefix.size()).section(QLatin1Char(' '), 0, 0);
    return requests;
}

bool connectWorker(CanWorker &worker, SimHarness &sim)
{
    if (!sim.start())
        return false;
    auto *driver = worker.findChild<ELM327IOBase *>();
    if (!driver)
        return false;
    QSignalSpy ready(driver, &ELM327IOBase::ready);
    QSignalSpy finished(&worker, &CanWorker::finished);
    const ELM_ConnInfo info {sim.port(), 38400, ELM327IOBase::ELS27, 0x746, 0x74E};
    worker.execute(CanWorker::Setup, QVariant::fromValue(info));
    return finished.count() == 1 && finished.first().at(1).toBool() && ready.wait(5000);
}

QByteArray counting(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

const QStringList els27 {"--adapter", "els27"};

// The Kestrane device in its application firmware, keeping its files in `state`.
QStringList kestraneApp(const QTemporaryDir &state, const QStringList &faults = {})
{
    return QStringList {"--adapter", "els27", "--device", "kestrane", "--state", state.path()} + faults;
}

QByteArray stateFile(const QTemporaryDir &state, const QString &name)
{
    QFile file(state.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestCanWorker : public QObject
{
    Q_OBJECT

private slots:
    void readList_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<bool>("status");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QString>("text"); // the log line, or the start of the ERR_COMM text
        const QByteArray info = R"({"sdk":"1.2","fw":"3.4","mpy":5,"ver":"v6"})";
        QTest::newRow("info and list") << info << QByteArray(R"(["a.bin","b.bin"])") << true
                                       << QVariant(QStringList {"a.bin", "b.bin"})
                                       << "Device reports: SDK 1.2, FW 3.4, MPY 5, VER v6";
        QTest::newRow("no mpy, numeric fw, empty list")
            << QByteArray(R"({"sdk":"s","fw":7,"ver":"v"})") << QByteArray("[]") << true << QVariant(QStringList())
            << "Device reports: SDK s, FW , MPY -1, VER v";
        QTest::newRow("malformed info") << QByteArray(R"({"sdk":)") << QByteArray() << false
                                        << QVariant("Invalid reply") << "Invalid reply for the info command: ";
        QTest::newRow("list not an array") << info << QByteArray(R"({"a":1})") << false << QVariant("Invalid reply")
                                           << "Invalid reply for the read command: ";
    }

    void readList()
    {
        QFETCH(QByteArray, info);
        QFETCH(QByteArray, list);
        QFETCH(bool, status);
        QFETCH(QVariant, result);
        QFETCH(QString, text);
        SimHarness sim(els27);
        sim.useScript(rule("10", "\x50" + info) + rule("11", "\x51" + list));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        worker.execute(CanWorker::Read);
        QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }));
        QCOMPARE(rec.finished.first().cmd, CanWorker::Read);
        QCOMPARE(rec.finished.first().status, status);
        QCOMPARE(rec.finished.first().result, result);
        if (status) {
            QCOMPARE(rec.texts(CanWorker::ERR_LOG), QStringList {text});
        } else {
            QCOMPARE(rec.texts(CanWorker::ERR_COMM).size(), 1);
            QVERIFY2(rec.texts(CanWorker::ERR_COMM).first().startsWith(text), qPrintable(rec.errors.first().second));
        }
        // A malformed description ends the command: the list is not asked for.
        QCOMPARE(deviceRequests(sim), list.isNull() ? QStringList {"10"} : QStringList({"10", "11"}));
    }

    void singleReplies_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QVariant>("param");
        QTest::addColumn<QByteArray>("reply"); // null: the device stays silent
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("finishedAs");
        QTest::addColumn<bool>("status");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QString>("commError"); // start of the ERR_COMM text, if any
        const QString negative = QStringLiteral("Device reply processing error");
        QTest::newRow("remove: name up to the NUL")
            << int(CanWorker::Remove) << QVariant(QString::fromUtf8("\xc3\xa4.bin"))
            << QByteArray("\x62\x61\x00\x62", 4) << "22C3A42E62696E" << int(CanWorker::Remove) << true << QVariant("a")
            << QString();
        QTest::newRow("remove: no name") << int(CanWorker::Remove) << QVariant("a") << QByteArray("\x62") << "2261"
                                         << int(CanWorker::Remove) << false << QVariant("Empty reply") << QString();
        QTest::newRow("config: code alone") << int(CanWorker::Config) << QVariant() << QByteArray("\x73") << "33"
                                            << int(CanWorker::Config) << true << QVariant(QStringList()) << QString();
        QTest::newRow("config: list") << int(CanWorker::Config) << QVariant() << QByteArray("\x73[\"x.bin\"]") << "33"
                                      << int(CanWorker::Config) << true << QVariant(QStringList {"x.bin"}) << QString();
        QTest::newRow("config: not an array")
            << int(CanWorker::Config) << QVariant() << QByteArray("\x73{}") << "33" << int(CanWorker::Config) << false
            << QVariant("Invalid reply") << "Invalid reply for the config command: ";
        QTest::newRow("erase") << int(CanWorker::Erase) << QVariant() << QByteArray("\x63") << "23"
                               << int(CanWorker::Erase) << true << QVariant() << QString();
        // The device numbers commands up to cfg, but only those up to dfu are reported as such.
        QTest::newRow("negative: md5") << int(CanWorker::Md5) << QVariant()
                                       << QByteArray("\x7f{\"cmd\":8,\"error\":\"x\"}") << "32"
                                       << int(CanWorker::Invalid) << false << QVariant(negative)
                                       << "Device reply processing error at md5: x";
        QTest::newRow("negative: cfg") << int(CanWorker::Config) << QVariant()
                                       << QByteArray("\x7f{\"cmd\":9,\"error\":\"y\"}") << "33"
                                       << int(CanWorker::Invalid) << false << QVariant(negative)
                                       << "Device reply processing error at cfg: y";
        QTest::newRow("negative: select")
            << int(CanWorker::Select) << QVariant(QString::fromUtf8("\xc3\xa4"))
            << QByteArray("\x7f{\"cmd\":2,\"error\":\"z\"}") << "20E4" << int(CanWorker::Select) << false
            << QVariant(negative) << "Device reply processing error at select: z";
        QTest::newRow("negative: unparsable")
            << int(CanWorker::Erase) << QVariant() << QByteArray("\x7fnope") << "23" << int(CanWorker::Invalid) << false
            << QVariant(negative + '.') << "Device reply processing error. Invalid reply (";
        QTest::newRow("no reply") << int(CanWorker::Md5) << QVariant() << QByteArray() << "32" << int(CanWorker::Md5)
                                  << false << QVariant("No responce from the device") << QString();
    }

    void singleReplies()
    {
        QFETCH(int, cmd);
        QFETCH(QVariant, param);
        QFETCH(QByteArray, reply);
        QFETCH(QString, request);
        QFETCH(int, finishedAs);
        QFETCH(bool, status);
        QFETCH(QVariant, result);
        QFETCH(QString, commError);
        SimHarness sim(els27);
        sim.useScript(rule("*", reply));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        worker.execute(CanWorker::Commands(cmd), param);
        QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }));
        QCOMPARE(int(rec.finished.first().cmd), finishedAs);
        QCOMPARE(rec.finished.first().status, status);
        QCOMPARE(rec.finished.first().result, result);
        const QStringList comm = rec.texts(CanWorker::ERR_COMM);
        QCOMPARE(comm.size(), commError.isEmpty() ? 0 : 1);
        if (!commError.isEmpty())
            QVERIFY2(comm.first().startsWith(commError), qPrintable(comm.first()));
        if (reply.isNull())
            QCOMPARE(rec.texts(CanWorker::ERR_LOG), QStringList {"Transport error: trasport error no data"});
        QCOMPARE(deviceRequests(sim), QStringList {request});
    }

    void upload_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("goodDigest");
        QTest::addColumn<bool>("acked");
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QVariant>("result"); // invalid on success
        const QString select = QStringLiteral("select");
        QTest::newRow("2050 bytes") << 2050 << true << true << QList<int> {0, 50, 100, 100}
                                    << QStringList {select, "write 1024", "write 1024", "write 2", "md5"} << QVariant();
        QTest::newRow("2 x 1024 bytes") << 2048 << true << true << QList<int> {0, 50, 100}
                                        << QStringList {select, "write 1024", "write 1024", "md5"} << QVariant();
        QTest::newRow("empty source") << 0 << true << true << QList<int> {100} << QStringList {select, "md5"}
                                      << QVariant();
        QTest::newRow("wrong digest") << 2050 << false << true << QList<int> {0, 50, 100, 100}
                                      << QStringList {select, "write 1024", "write 1024", "write 2", "md5"}
                                      << QVariant("Hash mismatch");
    }

    void upload()
    {
        QFETCH(int, size);
        QFETCH(bool, goodDigest);
        QFETCH(bool, acked);
        QFETCH(QList<int>, progress);
        QFETCH(QStringList, requests);
        QFETCH(QVariant, result);
        QByteArray content = counting(size);
        QByteArray digest = QCryptographicHash::hash(content, QCryptographicHash::Md5);
        if (!goodDigest)
            digest[0] = char(digest.at(0) ^ 1);
        SimHarness sim(els27);
        sim.useScript(rule("20*", "\x60OK") + rule("21*", acked ? QByteArray("\x61") : QByteArray())
            + rule("32", "\x72" + digest));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source, QStringLiteral("fw.bin"));
        QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }, 10000));
        QCOMPARE(rec.finished.size(), 1);
        QCOMPARE(rec.finished.first().cmd, CanWorker::Write);
        QCOMPARE(rec.finished.first().status, !result.isValid());
        QCOMPARE(rec.finished.first().result, result);
        QCOMPARE(rec.progress, progress);
        QCOMPARE(rec.texts(CanWorker::ERR_LOG).mid(0, 1), QStringList {"Selecting fw.bin"});
        QCOMPARE(rec.texts(CanWorker::ERR_LOG).contains("Uploading data"), size > 0);
        QStringList seen;
        for (const QString &request : deviceRequests(sim)) {
            const QByteArray bytes = QByteArray::fromHex(request.toLatin1());
            if (bytes.startsWith('\x20'))
                seen << (bytes.mid(1) == "fw.bin" ? QStringLiteral("select") : QString::fromLatin1(bytes));
            else if (bytes.startsWith('\x21'))
                seen << QStringLiteral("write %1").arg(bytes.size() - 1);
            else
                seen << (bytes == "\x32" ? QStringLiteral("md5") : request);
        }
        QCOMPARE(seen, requests);

        // The source was forgotten: late acknowledgements and digests touch nothing.
        const qint64 position = source.pos();
        worker.io_read(QByteArray("\x61"));
        worker.io_read("\x72" + digest);
        QCOMPARE(source.pos(), position);
        QCOMPARE(rec.progress.size(), progress.size());
        QCOMPARE(rec.finished.size(), 1);
    }

    void selectReplyWithTrailingNul()
    {
        SimHarness sim(els27);
        sim.useScript(rule("20*", QByteArray("\x60OK\0", 4)) + rule("21*", "\x61"));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QByteArray content = counting(100);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source, QStringLiteral("a.bin"));
        QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }));
        QCOMPARE(rec.finished.first().cmd, CanWorker::Write);
        QVERIFY(!rec.finished.first().status);
        QCOMPARE(rec.finished.first().result, QVariant("Invalid reply"));
        QCOMPARE(rec.texts(CanWorker::ERR_COMM), QStringList {"Invalid reply to the 'Select' command"});
        // A proper acknowledgement arriving now finds no upload to continue.
        worker.io_read(QByteArray("\x60OK"));
        QCOMPARE(source.pos(), qint64(0));
        QVERIFY(rec.progress.isEmpty());
    }

    void transportClosedDuringUpload()
    {
        SimHarness sim(els27);
        sim.useScript(rule("20*", "\x60OK") + rule("21*", QByteArray()));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QByteArray content = counting(3000);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source, QStringLiteral("a.bin"));
        QVERIFY(waitUntil([&] { return !rec.progress.isEmpty(); }));
        sim.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return !rec.texts(CanWorker::ERR_IO).isEmpty(); }));
        QCOMPARE(rec.texts(CanWorker::ERR_IO), QStringList {"Transport unexpectedly closed"});
        worker.io_read(QByteArray("\x61"));
        QCOMPARE(source.pos(), qint64(1024));
        QCOMPARE(rec.progress, QList<int> {0});
    }

    void kestraneSession()
    {
        QTemporaryDir state;
        SimHarness sim(kestraneApp(state));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        auto await = [&rec](int count) { return waitUntil([&] { return rec.finished.size() >= count; }); };

        QByteArray content = counting(2050);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source, QStringLiteral("fw.bin"));
        QVERIFY(await(1));
        QCOMPARE(rec.finished.last().cmd, CanWorker::Write);
        QVERIFY(rec.finished.last().status);
        QVERIFY(stateFile(state, "files/fw.bin") == content);

        worker.execute(CanWorker::Read);
        QVERIFY(await(2));
        QCOMPARE(rec.finished.last().result, QVariant(QStringList {"fw.bin"}));
        QVERIFY(
            rec.texts(CanWorker::ERR_LOG).contains("Device reports: SDK 1.22.2, FW 2.4.0, MPY 6, VER kestrane-2.4.0"));

        QByteArray selection = FirmwareFile::activeSelection({"fw.bin"});
        QBuffer config(&selection);
        QVERIFY(config.open(QIODevice::ReadOnly));
        worker.flash(&config, FirmwareFile::activeConfigName);
        QVERIFY(await(3));
        QVERIFY(rec.finished.last().status);
        worker.execute(CanWorker::Config);
        QVERIFY(await(4));
        QCOMPARE(rec.finished.last().result, QVariant(QStringList {"fw.bin"}));

        worker.execute(CanWorker::Remove, QStringLiteral("fw.bin"));
        QVERIFY(await(5));
        QCOMPARE(rec.finished.last().cmd, CanWorker::Remove);
        QCOMPARE(rec.finished.last().result, QVariant("fw.bin"));
        worker.execute(CanWorker::Read);
        QVERIFY(await(6));
        QCOMPARE(rec.finished.last().result, QVariant(QStringList {"active.cfg"}));
        QCOMPARE(rec.texts(CanWorker::ERR_COMM), QStringList());
    }

    void kestraneUploadFaults_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QString>("commError");
        const QVariant negative("Device reply processing error");
        QTest::newRow("digest spoilt") << QStringList {"--malformed", "32"} << int(CanWorker::Write)
                                       << QVariant("Hash mismatch") << QString();
        QTest::newRow("write reply lost") << QStringList {"--lose-write-reply", "2"} << int(CanWorker::Write)
                                          << QVariant("No responce from the device") << QString();
        QTest::newRow("write refused") << QStringList {"--negative", "21:10"} << int(CanWorker::Write) << negative
                                       << "Device reply processing error at write: forced";
        QTest::newRow("select refused") << QStringList {"--negative", "20:10"} << int(CanWorker::Select) << negative
                                        << "Device reply processing error at select: forced";
    }

    void kestraneUploadFaults()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, cmd);
        QFETCH(QVariant, result);
        QFETCH(QString, commError);
        QTemporaryDir state;
        SimHarness sim(kestraneApp(state, faults));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QByteArray content = counting(2050);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source, QStringLiteral("fw.bin"));
        QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }));
        QCOMPARE(int(rec.finished.first().cmd), cmd);
        QVERIFY(!rec.finished.first().status);
        QCOMPARE(rec.finished.first().result, result);
        QCOMPARE(rec.texts(CanWorker::ERR_COMM), commError.isEmpty() ? QStringList() : QStringList {commError});
        // Whatever ended it, the worker has let go of the source.
        const qint64 position = source.pos();
        const int reports = rec.progress.size();
        worker.io_read(QByteArray("\x61"));
        worker.io_read(QByteArray("\x60OK"));
        QCOMPARE(source.pos(), position);
        QCOMPARE(rec.progress.size(), reports);
        QCOMPARE(rec.finished.size(), 1);
    }

    void unkindAdapterDuringUpload_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("firstSucceeds");
        QTest::newRow("echoing clone") << QStringList {"--stuck-echo"} << true;
        QTest::newRow("a CAN error every 20 lines") << QStringList {"--can-error-every", "20"} << true;
        QTest::newRow("LV RESET midway") << QStringList {"--lv-reset", "200", "--reset-ms", "300"} << false;
        QTest::newRow("restart without a word") << QStringList {"--restart-on", "200", "--reset-ms", "300"} << false;
    }

    // Whatever the adapter does, an upload is only good when the device's digest says so, and
    // the next upload in the same session works.
    void unkindAdapterDuringUpload()
    {
        QFETCH(QStringList, faults);
        QFETCH(bool, firstSucceeds);
        QTemporaryDir state;
        SimHarness sim(kestraneApp(state, faults));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        for (int round = 0; round < 2; ++round) {
            QByteArray content = counting(3000 + round);
            QBuffer source(&content);
            QVERIFY(source.open(QIODevice::ReadOnly));
            rec.finished.clear();
            worker.flash(&source, QStringLiteral("fw.bin"));
            QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }, 15000));
            const bool good = round == 1 || firstSucceeds;
            QCOMPARE(rec.finished.first().status, good);
            if (good) {
                QCOMPARE(rec.finished.first().cmd, CanWorker::Write);
                QCOMPARE(stateFile(state, "files/fw.bin"), content);
            }
        }
    }

    // The device stops in the middle of its multi-frame reply; the command waiting for it fails
    // within the ISO-TP time-out instead of waiting for ever.
    void brokenOffReplyFailsTheCommand()
    {
        SimHarness sim(els27);
        sim.useScript("10 => raw 101450010203040a; raw 2105060708090a0b\n");
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QElapsedTimer clock;
        clock.start();
        worker.execute(CanWorker::Read);
        QVERIFY(waitUntil([&] { return !rec.finished.isEmpty(); }, 3000));
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(rec.finished.first().cmd, CanWorker::Read);
        QCOMPARE(rec.finished.first().status, false);
        QCOMPARE(rec.finished.first().result, QVariant("No responce from the device"));
    }

    void rebootReportsTheTimeOutThenSuccess()
    {
        SimHarness sim(els27);
        sim.useScript(rule("30", QByteArray()));
        CanWorker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QElapsedTimer clock;
        clock.start();
        worker.execute(CanWorker::Reboot);
        QVERIFY(waitUntil([&] { return rec.finished.size() == 2; }));
        QVERIFY(clock.elapsed() >= 400);
        QCOMPARE(rec.finished.at(0).cmd, CanWorker::Reboot);
        QCOMPARE(rec.finished.at(0).status, false);
        QCOMPARE(rec.finished.at(0).result, QVariant("No responce from the device"));
        QCOMPARE(rec.finished.at(1).cmd, CanWorker::Reboot);
        QCOMPARE(rec.finished.at(1).status, true);
    }

    void unknownCommands()
    {
        CanWorker worker;
        Recorder rec(worker);
        worker.execute(CanWorker::Invalid);
        worker.execute(CanWorker::Commands(10), QVariant(1));
        // Queued by type name, as the window does after an upload.
        QVERIFY(QMetaObject::invokeMethod(&worker, "execute", Qt::QueuedConnection,
            QArgument<CanWorker::Commands>("CanWorker::Commands", CanWorker::Commands(-7))));
        QVERIFY(waitUntil([&] { return rec.errors.size() == 3; }));
        QCOMPARE(rec.texts(CanWorker::ERR_UNSUP),
            (QStringList {"Unknown command -1", "Unknown command 10", "Unknown command -7"}));
        QVERIFY(rec.finished.isEmpty());
    }
};

VELTRANO_TEST_MAIN(TestCanWorker)
#include "tst_canworker.moc"
