// The bootloader worker over the real driver against kestrane-sim: its scripted device for exact
// wire checks, its Kestrane device for what lands in the flash and for faults. Retry counting that
// would take many adapter time-outs is driven through the worker's slots.

#include "simharness.h"
#include "testsupport.h"

#include <hiddfu_worker.h>

#include <QBuffer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

namespace {

struct Finish
{
    int cmd;
    bool status;
    QVariant result;
};

// Everything the worker reports; `trail` keeps the order across signals.
struct Recorder
{
    explicit Recorder(hiddfu_worker &worker)
    {
        QObject::connect(&worker, &hiddfu_worker::status, &context, [this](DFUStatus st) { statuses << st; });
        QObject::connect(&worker, &hiddfu_worker::progress, &context, [this](int val) { progress << val; });
        QObject::connect(&worker, &hiddfu_worker::error, &context, [this](int code, const QVariant &param) {
            errors << qMakePair(code, param.toString());
            trail << QStringLiteral("error %1 %2").arg(code).arg(param.toString());
        });
        QObject::connect(&worker, &hiddfu_worker::flashEnded, &context,
            [this](TransferOutcome outcome, int) { outcomes << outcome; });
        QObject::connect(
            &worker, &hiddfu_worker::finished, &context, [this](int cmd, bool status, const QVariant &result) {
                finished << Finish {cmd, status, result};
                trail << QStringLiteral("finished %1 %2").arg(cmd).arg(status);
            });
    }

    QStringList texts(int code) const { return testsupport::textsWithCode(errors, code); }

    bool flashEnded() const { return !outcomes.isEmpty(); }

    QObject context;
    QList<DFUStatus> statuses;
    QList<int> progress;
    QList<QPair<int, QString>> errors;
    QList<Finish> finished;
    QStringList trail;
    QList<TransferOutcome> outcomes; // flashEnded, which must come once per flash
};

using testsupport::waitUntil;

struct Request
{
    qint64 us;
    QByteArray bytes; // of a long request to the Kestrane device, only its start
    int size;
};

QList<Request> deviceRequests(const SimHarness &sim)
{
    // The scripted device notes "request HEX matches ...", the Kestrane device "request N: HEX"
    // or, for a long one, "request N: HEX... (N bytes)".
    static const QRegularExpression note(QStringLiteral(
        R"(^device: (?:kestrane \w+: request \d+:|request) ([0-9A-F]+)(?:\.\.\. \((\d+) bytes\))?(?= |$))"));
    QList<Request> requests;
    for (const SimEvent &e : sim.events()) {
        const QRegularExpressionMatch match = note.match(e.text);
        if (e.kind != QLatin1Char('#') || !match.hasMatch())
            continue;
        const QByteArray bytes = QByteArray::fromHex(match.captured(1).toLatin1());
        requests << Request {e.us, bytes, match.captured(2).isEmpty() ? bytes.size() : match.captured(2).toInt()};
    }
    return requests;
}

// The flash steps as the device received them.
QStringList steps(const SimHarness &sim)
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
        else if (b == "\x37")
            result << QStringLiteral("finalize");
        else if (b == QByteArray::fromHex("b100b0"))
            result << QStringLiteral("status");
        else
            result << QString::fromLatin1(b.toHex());
    }
    return result;
}

QByteArray writtenData(const SimHarness &sim)
{
    QByteArray data;
    for (const Request &r : deviceRequests(sim))
        if (r.bytes.startsWith('\x36'))
            data += r.bytes.mid(1);
    return data;
}

// A bootloader that asks for patience before the end of each erase and write, as a busy
// flash does; the second reply frame also spares the adapter's wait for it.
const QString bootloader = QStringLiteral("B100B2FF => raw 03 7F B1 78; raw 03 F1 00 B2\n"
                                          "34* => isotp 74 00 00\n"
                                          "36* => raw 03 7F 36 78; raw 01 76\n"
                                          "37 => isotp 77\n");

// flags, error, extra 0x12345678, flash size 0x60000, board 0x00C0FFEE
QString statusRule(const QString &flagsAndError)
{
    return QStringLiteral("B100B0 => isotp F1 00 B0 %1 78 56 34 12 00 00 06 00 EE FF C0 00\n").arg(flagsAndError);
}

bool connectWorker(hiddfu_worker &worker, SimHarness &sim)
{
    if (!sim.start())
        return false;
    QSignalSpy ready(&worker, &hiddfu_worker::ready);
    QSignalSpy finished(&worker, &hiddfu_worker::finished);
    const ELM_ConnInfo info {sim.port(), 38400, ELM327IOBase::ELS27, 0x747, 0x74F};
    worker.execute(hiddfu_worker::Setup, QVariant::fromValue(info));
    return finished.count() == 1 && finished.first().at(1).toBool() && ready.wait(5000);
}

// The Kestrane device in its bootloader, keeping its flash in `state`.
QStringList kestraneBoot(const QTemporaryDir &state, const QStringList &faults = {})
{
    return QStringList {"--adapter", "els27", "--device", "kestrane", "--mode", "boot", "--state", state.path()}
    + faults;
}

QByteArray stateFile(const QTemporaryDir &state, const QString &name)
{
    QFile file(state.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList bootSim()
{
    return {"--adapter", "els27", "--rx-id", "74F", "--tx-id", "747"};
}

QByteArray image(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 13 + i / 256);
    return data;
}

} // namespace

class TestHiddfuWorker : public QObject
{
    Q_OBJECT

private slots:
    void flashSequence_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<QByteArray>("written");
        const QByteArray ff7(7, '\xff');
        QByteArray img = image(5000);
        QTest::newRow("5000 bytes") << 5000
                                    << QStringList {"erase", "addr 1024", "write 1024", "write 1024", "write 1024",
                                           "write 904", "addr 0", "write 1024", "finalize"}
                                    << QList<int> {0, 20, 41, 61, 82, 82, 100} << img.mid(1024) + img.left(1024);
        img = image(2025);
        QTest::newRow("last body chunk padded")
            << 2025 << QStringList {"erase", "addr 1024", "write 1008", "addr 0", "write 1024", "finalize"}
            << QList<int> {0, 51, 51, 100} << img.mid(1024) + ff7 + img.left(1024);
        QTest::newRow("head only") << 1024 << QStringList {"erase", "addr 0", "write 1024", "finalize"}
                                   << QList<int> {0, 100} << image(1024);
        QTest::newRow("short head padded") << 500 << QStringList {"erase", "addr 0", "write 504", "finalize"}
                                           << QList<int> {0, 100} << image(500) + QByteArray(4, '\xff');
        QTest::newRow("empty image") << 0 << QStringList {"erase", "addr 0", "finalize"} << QList<int> {100}
                                     << QByteArray();
    }

    void flashSequence()
    {
        QFETCH(int, size);
        QFETCH(QStringList, steps);
        QFETCH(QList<int>, progress);
        QFETCH(QByteArray, written);
        SimHarness sim(bootSim());
        sim.useScript(bootloader);
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        // The image starts after a package header: the flash begins at the source's position.
        QByteArray package = QByteArray("header") + image(size);
        QBuffer source(&package);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QVERIFY(source.seek(6));
        worker.flash(&source);
        QVERIFY(waitUntil([&] { return rec.flashEnded(); }, 10000));
        QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList());
        QCOMPARE(::steps(sim), steps);
        QCOMPARE(rec.progress, progress);
        QVERIFY(writtenData(sim) == written);
        const QStringList notices {"Erasing", "Flashing", "Finalizing"};
        QCOMPARE(rec.texts(hiddfu_worker::ERR_NOTIFY), size > 1024 ? notices : QStringList({"Erasing", "Finalizing"}));
        // Success only once the device has confirmed the finalise.
        QCOMPARE(rec.trail.mid(rec.trail.size() - 2), (QStringList {"finished 9 1", "error 0 Flashed"}));
    }

    void runsInItsOwnThread()
    {
        // As in the updater: the worker lives in a thread of its own and is reached only by queued calls.
        SimHarness sim(bootSim());
        sim.useScript(bootloader);
        QVERIFY(sim.start());
        QThread thread;
        auto *worker = new hiddfu_worker;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        Recorder rec(*worker);
        thread.start();
        const ELM_ConnInfo info {sim.port(), 38400, ELM327IOBase::ELS27, 0x747, 0x74F};
        QVERIFY(QMetaObject::invokeMethod(worker, "execute", Qt::QueuedConnection,
            Q_ARG(hiddfu_worker::Commands, hiddfu_worker::Setup), Q_ARG(QVariant, QVariant::fromValue(info))));
        QVERIFY(waitUntil([&] { return rec.finished.size() == 1; }));
        QVERIFY(rec.finished.first().status);
        QByteArray content = image(2048);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QVERIFY(QMetaObject::invokeMethod(worker, "flash", Qt::QueuedConnection, Q_ARG(QIODevice *, &source)));
        QVERIFY(waitUntil([&] { return rec.flashEnded(); }));
        QCOMPARE(rec.texts(hiddfu_worker::ERR_OK), QStringList {"Flashed"});
        QCOMPARE(rec.progress, (QList<int> {0, 50, 50, 100}));
        thread.quit();
        QVERIFY(thread.wait(10000));
    }

    void flashIntoKestrane_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("erases");
        QTest::addColumn<QString>("failure"); // empty: flashed
        QTest::newRow("clean") << QStringList() << 1 << QString();
        // The second write is carried out but only its request for patience comes back: whether
        // it landed cannot be told, so the whole image is written again from the erase.
        QTest::newRow("write reply lost") << QStringList {"--lose-write-reply", "2"} << 2 << QString();
        // The device asks for patience and drops the write: counting it as written would leave
        // a hole in the image under a confirmed finalise.
        QTest::newRow("write dropped after a request for patience")
            << QStringList {"--busy-replies", "36:1"} << 2 << QString();
        QTest::newRow("write request lost") << QStringList {"--silent-requests", "4"} << 2 << QString();
        // The erase or the address goes unanswered: as with a write, the flash starts again.
        QTest::newRow("erase reply lost after a request for patience")
            << QStringList {"--busy-replies", "B100B2:1"} << 2 << QString();
        QTest::newRow("address request lost") << QStringList {"--silent-requests", "2"} << 2 << QString();
        // The erase outlasts the adapter's listening; the erase sent again finds the device busy with
        // the first, whose end then comes in its place.
        QTest::newRow("erase slower than the adapter listens") << QStringList {"--erase-ms", "1300"} << 2 << QString();
        // Five writes an attempt; one reply lost in each of four attempts.
        QTest::newRow("replies lost again and again") << QStringList {"--lose-write-reply", "2", "--lose-write-reply",
            "7", "--lose-write-reply", "12", "--lose-write-reply", "17"}
                                                      << 4 << "The device did not recover from lost replies";
    }

    void flashIntoKestrane()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, erases);
        QFETCH(QString, failure);
        QTemporaryDir state;
        SimHarness sim(kestraneBoot(state, faults));
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        const QByteArray content = image(5000);
        QBuffer source;
        source.setData(content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source);
        QVERIFY(waitUntil([&] { return rec.flashEnded(); }, 30000));
        const QStringList seen = steps(sim);
        QCOMPARE(seen.count("erase"), erases);
        QCOMPARE(rec.outcomes,
            QList<TransferOutcome> {failure.isEmpty() ? TransferOutcome::Succeeded : TransferOutcome::NotResponding});
        if (!failure.isEmpty()) {
            QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList {failure});
            QVERIFY(!seen.contains("finalize"));
            QVERIFY(rec.texts(hiddfu_worker::ERR_OK).isEmpty());
            return;
        }
        QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList());
        QCOMPARE(rec.texts(hiddfu_worker::ERR_OK), QStringList {"Flashed"});
        // Each chunk landed once and in its place: the device refuses to write a byte twice.
        const QByteArray flash = stateFile(state, "flash.bin");
        QCOMPARE(flash.size(), 262144);
        QVERIFY(flash.left(content.size()) == content);
        QVERIFY(flash.mid(content.size()) == QByteArray(flash.size() - content.size(), '\xff'));
        QVERIFY(stateFile(state, "device.cfg").contains("image=final"));
    }

    void refusedDuringFlash_data()
    {
        QTest::addColumn<QString>("negative");
        QTest::addColumn<int>("cmd");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("write refused") << "36:31" << int(hiddfu_worker::Write) << 49 << "Device error 49 at command 36"
                                       << QStringList {"erase", "addr 1024", "write 1024"};
        QTest::newRow("finalise refused")
            << "37:22" << int(hiddfu_worker::Finalize) << 34 << "Device error 34 at command 37"
            << QStringList {"erase", "addr 1024", "write 1024", "addr 0", "write 1024", "finalize"};
        // Only writes, finalise and addresses are named by their request byte; anything else
        // is reported against the step the flash is in.
        QTest::newRow("erase refused") << "B100B2:31" << int(hiddfu_worker::Erase) << 49
                                       << "Device error 49 at command b1" << QStringList {"erase"};
    }

    void refusedDuringFlash()
    {
        QFETCH(QString, negative);
        QFETCH(int, cmd);
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(QStringList, steps);
        QTemporaryDir state;
        SimHarness sim(kestraneBoot(state, {"--negative", negative}));
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QByteArray content = image(2048);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source);
        QVERIFY(waitUntil([&] { return rec.flashEnded(); }));
        const Finish last = rec.finished.last();
        QCOMPARE(last.cmd, cmd);
        QVERIFY(!last.status);
        QCOMPARE(last.result, QVariant(code));
        QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList {text});
        QVERIFY(rec.texts(hiddfu_worker::ERR_OK).isEmpty());
        // The source is forgotten: late acknowledgements read nothing more from it.
        const qint64 position = source.pos();
        worker.io_read(QByteArray::fromHex("76"));
        worker.io_read(QByteArray::fromHex("740000"));
        QCOMPARE(source.pos(), position);
        QTest::qWait(50);
        QCOMPARE(::steps(sim), steps);
    }

    void deviceGoneDuringWrite()
    {
        // Erase and address are answered; from the write on the device says nothing at all.
        QTemporaryDir state;
        SimHarness sim(kestraneBoot(state, {"--silent-requests", "3:20"}));
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QByteArray content = image(1024);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source);
        // The unacknowledged write starts the flash again; the erase then gets no answer either,
        // and starts it again too, until the restarts run out.
        QVERIFY(waitUntil([&] { return rec.flashEnded(); }, 20000));
        QCOMPARE(rec.outcomes, QList<TransferOutcome> {TransferOutcome::NotResponding});
        QCOMPARE(steps(sim).mid(0, 4), (QStringList {"erase", "addr 0", "write 1024", "erase"}));
        QCOMPARE(steps(sim).count("erase"), 4);
        QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList {"The device did not recover from lost replies"});
        // Replies that come too late touch nothing.
        worker.io_read(QByteArray::fromHex("f100b00000ffffffff00000600eeffc000"));
        worker.io_read(QByteArray::fromHex("76"));
        QCOMPARE(rec.progress, QList<int> {0});
        QVERIFY(rec.texts(hiddfu_worker::ERR_OK).isEmpty());
    }

    void busyReplyStartsTheTimerOnce()
    {
        SimHarness sim(bootSim());
        sim.useScript("36* => raw 03 7F 36 78; raw 03 7F 36 78\n" + statusRule("00 00") + bootloader);
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        QByteArray content = image(1024);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source);
        QVERIFY(waitUntil([&] { return rec.progress.size() == 1; }));
        // One more request for patience half-way through the wait does not prolong it.
        QTimer::singleShot(500, &worker, [&worker] { worker.io_read(QByteArray::fromHex("7f3678")); });
        QVERIFY(waitUntil([&] { return rec.flashEnded(); }, 10000));
        // The write is never acknowledged: after the one wait the flash starts again from the
        // erase, and after three fresh starts it gives up without claiming success.
        const QStringList seen = ::steps(sim);
        QCOMPARE(seen.mid(0, 4), (QStringList {"erase", "addr 0", "write 1024", "erase"}));
        QCOMPARE(seen.count("erase"), 4);
        QVERIFY(!seen.contains("finalize"));
        const QList<Request> requests = deviceRequests(sim);
        const qint64 waitedMs = (requests.at(3).us - requests.at(2).us) / 1000;
        QVERIFY2(waitedMs >= 1000 && waitedMs < 1500, qPrintable(QString::number(waitedMs)));
        QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList {"The device did not recover from lost replies"});
        QVERIFY(rec.texts(hiddfu_worker::ERR_OK).isEmpty());
    }

    void finaliseNeverConfirmed()
    {
        // No adapter: the replies and the adapter's time-outs are handed to the slots directly.
        hiddfu_worker worker;
        Recorder rec(worker);
        QBuffer source;
        QVERIFY(source.open(QIODevice::ReadOnly));
        worker.flash(&source);
        worker.io_read(QByteArray::fromHex("f100b2"));
        worker.io_read(QByteArray::fromHex("740000"));
        QCOMPARE(rec.progress, QList<int> {100});
        for (int i = 0; i < 9; ++i)
            worker.io_error(ELM327IOBase::ERR_NODATA, QStringLiteral("trasport error no data"));
        QVERIFY(rec.texts(hiddfu_worker::ERR_OK).isEmpty());
        QVERIFY(rec.texts(hiddfu_worker::ERR_COMM).isEmpty());
        worker.io_error(ELM327IOBase::ERR_STOPPED, QStringLiteral("trasport error stopped"));
        QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList {"The device did not confirm the end of the flash"});
        // A confirmation after the flash was given up is reported, but is no success.
        worker.io_read(QByteArray::fromHex("77"));
        QCOMPARE(rec.trail.last(), QStringLiteral("finished 9 1"));
        QVERIFY(rec.texts(hiddfu_worker::ERR_OK).isEmpty());
    }

    void statusReply_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("valid");
        QTest::newRow("17 bytes") << "F1 00 B0 02 07 78 56 34 12 00 00 06 00 EE FF C0 00" << true;
        QTest::newRow("longer") << "F1 00 B0 02 07 78 56 34 12 00 00 06 00 EE FF C0 00 AA BB" << true;
        QTest::newRow("16 bytes") << "F1 00 B0 02 07 78 56 34 12 00 00 06 00 EE FF C0" << false;
    }

    void statusReply()
    {
        QFETCH(QString, reply);
        QFETCH(bool, valid);
        SimHarness sim(bootSim());
        sim.useScript("B100B0 => isotp " + reply + '\n');
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        worker.execute(hiddfu_worker::Status);
        QVERIFY(waitUntil([&] { return !rec.errors.isEmpty() || !rec.finished.isEmpty(); }));
        if (!valid) {
            QCOMPARE(rec.texts(hiddfu_worker::ERR_COMM), QStringList {"Invalid 'STATUS' reply"});
            QVERIFY(rec.statuses.isEmpty());
            QVERIFY(rec.finished.isEmpty());
            return;
        }
        QCOMPARE(rec.statuses.size(), 1);
        const DFUStatus st = rec.statuses.first();
        QCOMPARE(st.flags, quint8(2));
        QCOMPARE(st.error, quint8(7));
        QCOMPARE(st.extra, quint32(0x12345678));
        QCOMPARE(st.flashSize, quint32(0x60000));
        QCOMPARE(st.boardId, quint32(0x00C0FFEE));
        QCOMPARE(rec.finished.first().cmd, int(hiddfu_worker::Status));
        QCOMPARE(rec.finished.first().result.value<DFUStatus>().boardId, quint32(0x00C0FFEE));
        // finished comes first, then the record itself.
        QCOMPARE(rec.trail, QStringList {"finished 1 1"});
    }

    void singleReplies_data()
    {
        QTest::addColumn<int>("cmd");
        QTest::addColumn<QVariant>("param");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("trail");
        const QString uuid = QStringLiteral("0102030405060708090AABFF");
        QTest::newRow("uuid, 15 bytes") << int(hiddfu_worker::Uuid) << QVariant()
                                        << "F1 00 B3 01 02 03 04 05 06 07 08 09 0A AB FF"
                                        << "b100b3" << QStringList {"error 7 UUID: " + uuid, "finished 3 1"};
        QTest::newRow("uuid, 14 bytes") << int(hiddfu_worker::Uuid) << QVariant()
                                        << "F1 00 B3 01 02 03 04 05 06 07 08 09 0A AB"
                                        << "b100b3"
                                        << QStringList {"error 7 Device does not report UUID", "finished 3 1"};
        QTest::newRow("no uuid routine") << int(hiddfu_worker::Uuid) << QVariant() << "7F B1 12"
                                         << "b100b3" << QStringList {"error 7 Device does not report UUID"};
        QTest::newRow("info text ends at NUL")
            << int(hiddfu_worker::Info) << QVariant() << "F1 00 B1 4B 42 4C 20 31 2E 30 00 58"
            << "b100b1" << QStringList {"finished 2 1", "error 7 DFU device discovered", "error 7 KBL 1.0"};
        QTest::newRow("short exec reply") << int(hiddfu_worker::Info) << QVariant() << "F1 00"
                                          << "b100b1" << QStringList {"error 2 Invalid 'EXEC' reply"};
        QTest::newRow("short error reply") << int(hiddfu_worker::Info) << QVariant() << "7F B1"
                                           << "b100b1" << QStringList {"error 2 Invalid ERROR reply"};
        QTest::newRow("address") << int(hiddfu_worker::SetAddress) << QVariant(0x08004000u) << "74 00 00"
                                 << "340800400000000000" << QStringList {"finished 4 1"};
        QTest::newRow("short address reply")
            << int(hiddfu_worker::SetAddress) << QVariant(1024u) << "74 00"
            << "340000040000000000" << QStringList {"error 2 Invalid 'SET_ADDR' reply"};
        QTest::newRow("erase page") << int(hiddfu_worker::ErasePage) << QVariant(0x1234) << "F1 00 B2"
                                    << "b100b234" << QStringList {"finished 5 1"};
        QTest::newRow("launch application") << int(hiddfu_worker::APP) << QVariant() << "51"
                                            << "11" << QStringList {"finished 12 1"};
        QTest::newRow("STM DFU loader") << int(hiddfu_worker::SDFU) << QVariant() << "52"
                                        << "12" << QStringList {"finished 10 1"};
    }

    void singleReplies()
    {
        QFETCH(int, cmd);
        QFETCH(QVariant, param);
        QFETCH(QString, reply);
        QFETCH(QString, request);
        QFETCH(QStringList, trail);
        SimHarness sim(bootSim());
        sim.useScript("* => isotp " + reply + '\n');
        hiddfu_worker worker;
        QVERIFY(connectWorker(worker, sim));
        Recorder rec(worker);
        worker.execute(hiddfu_worker::Commands(cmd), param);
        QVERIFY(waitUntil([&] { return rec.trail.size() >= trail.size(); }));
        QTest::qWait(20);
        QCOMPARE(rec.trail, trail);
        QCOMPARE(deviceRequests(sim).size(), 1);
        QCOMPARE(deviceRequests(sim).first().bytes.toHex(), request.toLatin1());
    }

    void uuidKeptWhenTheReplyIsShort()
    {
        hiddfu_worker worker;
        Recorder rec(worker);
        worker.io_read(QByteArray::fromHex("f100b3000102030405060708090a0b"));
        worker.io_read(QByteArray::fromHex("f100b3000102"));
        QCOMPARE(rec.finished.size(), 2);
        QCOMPARE(rec.finished.at(1).result.toString(), QStringLiteral("000102030405060708090A0B"));
    }

    void unknownCommands()
    {
        hiddfu_worker worker;
        Recorder rec(worker);
        worker.execute(hiddfu_worker::Invalid);
        worker.execute(hiddfu_worker::Commands(13));
        // The window's only way in: queued, by the registered type names.
        QVERIFY(QMetaType::type("DFUStatus") != QMetaType::UnknownType);
        QVERIFY(QMetaObject::invokeMethod(&worker, "execute", Qt::QueuedConnection,
            QArgument<hiddfu_worker::Commands>("hiddfu_worker::Commands", hiddfu_worker::WriteRecover)));
        QVERIFY(waitUntil([&] { return rec.errors.size() == 3; }));
        QCOMPARE(rec.texts(hiddfu_worker::ERR_UNSUP),
            (QStringList {"Unknown command -1", "Unknown command 13", "Unknown command 8"}));
    }
};

VELTRANO_TEST_MAIN(TestHiddfuWorker)
#include "tst_hiddfuworker.moc"
