// An STN adapter that segments messages itself (STPX): which firmware does, what goes on the
// wire, the adapter's own flow control for the device's replies, the way back to frames when the
// adapter turns out not to take a message whole, and a flash that cannot trust a segmented write.

#include "linkharness.h"

#include <adapterlink.h>
#include <hiddfu_worker.h>

#include <QBuffer>

namespace {

struct Message
{
    QStringList options {}; // the simulator's
    QByteArray sent {};
    QByteArray reply {};
    QString line {}; // the request's first line, as a pattern
    bool framed = false; // sent by frames in the end
    int code = 0; // the link's error, if any
    QString reason {};
};

QString answers(const QByteArray &reply)
{
    return QStringLiteral("* => isotp %1\n").arg(QString::fromLatin1(reply.toHex()));
}

// The flash through a worker on a segmenting ELS27.
struct Updater : Bench<hiddfu_worker>
{
    explicit Updater(const QStringList &options)
        : Bench(options, {}, hiddfu_worker::Flash, 0x747, 0x74F)
    {
        transfer = TransferMode::Auto;
    }

    bool flash(const QByteArray &image)
    {
        source.setData(image);
        if (!source.open(QIODevice::ReadOnly))
            return false;
        worker.flash(&source);
        return waitUntil([&] { return !outcomes.isEmpty(); }, 60000);
    }

    QBuffer source;
};

} // namespace

Q_DECLARE_METATYPE(Message)

class TestSegmented : public QObject
{
    Q_OBJECT

private slots:
    void choice_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<QString>("identification");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("limit"); // 0: frame by frame
        const int automatic = int(TransferMode::Auto);
        QTest::newRow("STN2255") << els << "STN2255 v5.10.3" << automatic << 4095;
        QTest::newRow("STN1110 from v4.2.0") << els << "STN1110 v4.2.0" << automatic << 2048;
        QTest::newRow("STN1110 before") << els << "STN1110 v4.1.9" << automatic << 0;
        QTest::newRow("STN1170 v5") << els << "STN1170 v5.0.1" << automatic << 2048;
        QTest::newRow("unknown firmware") << els << "OBDLink" << automatic << 0;
        QTest::newRow("chosen, whatever the firmware")
            << els << "STN1110 v4.0.0" << int(TransferMode::Segmented) << 2048;
        QTest::newRow("frames chosen") << els << "STN2255 v5.10.3" << int(TransferMode::Frames) << 0;
        QTest::newRow("an ELM327") << elm << "ELM327 v1.5" << int(TransferMode::Segmented) << 0;
    }

    void choice()
    {
        QFETCH(int, adapter);
        QFETCH(QString, identification);
        QFETCH(int, mode);
        QFETCH(int, limit);
        ELM_ConnInfo info;
        info.canId = 0x746;
        info.pcId = 0x74E;
        info.transfer = TransferMode(mode);
        const AdapterLink::TransferChoice choice = AdapterLink::chooseTransfer(adapter, info, identification);
        QCOMPARE(choice.segmented ? choice.limit : 0, limit);
        QVERIFY(!choice.reason.isEmpty());
    }

    void messages_data()
    {
        QTest::addColumn<Message>("row");
        const auto row = [](const char *name, const Message &m) { QTest::newRow(name) << m; };
        const QByteArray ok = QByteArray::fromHex("6e");
        row("a short request, as a data line", {{}, readVin, vinReply, "^22f1901$"});
        row("a request within the command line", {{}, pattern(20), ok, "^stpx h:74e, d:[0-9a-f]{40}, t:200, r:1$"});
        row("a request after DATA>", {{}, pattern(300), ok, "^stpx h:74e, l:300, t:200, r:1$"});
        // The adapter answers the device's First Frames: the program sends no flow control.
        row("a long reply", {{}, readVin, pattern(200), "^22f1901$"});
        row("block size 2, STmin 5 ms", {{"--fc-bs", "2", "--fc-stmin", "5"}, pattern(300), ok, "^stpx"});
        // "?": the message goes again by frames, and so does every one after it.
        row("an adapter without STPX", {{"--no-stpx"}, pattern(300), ok, "^stpx", true});
        // A buffer smaller than the firmware's name says: that message goes by frames.
        row("out of memory", {{"--stn-buffer", "2048"}, pattern(3000), ok, "^stpx h:74e, l:3000", true});
        // No flow control: nothing more of the message is written, and the link says why.
        row("no flow control",
            {{"--no-flow-control", "1"}, pattern(300), {}, "^stpx", false, ELM327IOBase::ERR_OTHER,
                "the adapter reports FC RX TIMEOUT"});
    }

    void messages()
    {
        QFETCH(Message, row);
        Link link(row.options, answers(row.reply.isEmpty() ? QByteArray::fromHex("6e") : row.reply), els);
        link.transfer = TransferMode::Auto;
        QVERIFY(link.open(els));
        QVERIFY(link.io.segmentedTransfer());
        const int before = int(link.sim.received().size());
        link.io.send(ELM_Message(row.sent, 1, 200));
        QVERIFY(waitUntil([&] { return (link.read.count() + link.errors.count()) > 0 && !link.io.isBusy(); }, 20000));
        const QStringList lines = link.sim.received().mid(before);
        QVERIFY2(!lines.filter(QRegularExpression(row.line)).isEmpty(), qPrintable(lines.join('|')));
        // The device hears the request once, whole, however it crossed the adapter.
        const QList<Request> heard = deviceRequests(link.sim);
        if (row.code) {
            QCOMPARE(link.codes(), Codes {ELM327IOBase::ELM_ERROR(row.code)});
            QCOMPARE(link.errors.first().at(1).toString(), row.reason);
            QVERIFY(heard.isEmpty());
            // The STPX was the exchange's last line.
            QVERIFY2(AdapterLink::isSegmentLine(lines.last().toLatin1()), qPrintable(lines.join('|')));
            return;
        }
        QCOMPARE(link.read.count(), 1);
        QCOMPARE(link.read.first().at(0).toByteArray(), row.reply);
        QCOMPARE(heard.size(), 1);
        QCOMPARE(heard.first().size, row.sent.size());
        // No flow control of the program's own: the adapter sent it.
        QVERIFY(lines.filter(QRegularExpression("^30")).isEmpty());
        QCOMPARE(!lines.filter(QStringLiteral("at caf0")).isEmpty(), row.framed);
        // The next message goes whole again unless the adapter does not know STPX at all.
        const bool stpx = !row.options.contains("--no-stpx");
        QCOMPARE(link.io.segmentedTransfer(), stpx);
        const int next = int(link.sim.received().size());
        link.io.send(ELM_Message(pattern(300), 1, 200));
        QVERIFY(waitUntil([&] { return link.read.count() == 2 && !link.io.isBusy(); }, 20000));
        QCOMPARE(link.sim.received().mid(next).filter(QRegularExpression("^stpx")).size(), stpx ? 1 : 0);
    }

    // Frame by frame once asked for, even after the adapter restarted and was set up again.
    void framesSurviveASetUpAgain()
    {
        Link link({"--restart-on", "2"}, answers(QByteArray::fromHex("6e")), els);
        link.transfer = TransferMode::Auto;
        QVERIFY(link.open(els, 38400, false));
        link.io.stopSegmenting(QStringLiteral("asked"));
        QSignalSpy notices(&link.io, &ELM327IOBase::notice);
        for (int i = 0; i < 3; ++i) // the second frame line restarts the adapter; the link sets it up again
            link.io.send(ELM_Message(pattern(20), 1, 200));
        QVERIFY(waitUntil([&] { return link.read.count() >= 2 && !link.io.isBusy(); }, 20000));
        QVERIFY(!notices.isEmpty());
        QVERIFY(!link.io.segmentedTransfer());
        QVERIFY(link.sim.received().filter(QRegularExpression("^stpx")).isEmpty());
    }

    // A segmented write whose reply is lost is not taken as written on the device's idle status:
    // the flash starts again from the erase, frame by frame, and ends verified.
    void lostWriteStartsOver()
    {
        QTemporaryDir state;
        Updater updater({"--device", "kestrane", "--mode", "boot", "--state", state.path(), "--lose-write-reply", "2"});
        QVERIFY(updater.connect());
        const QByteArray image = pattern(5000);
        QVERIFY(updater.flash(image));
        QCOMPARE(updater.outcomes, QList<TransferOutcome> {TransferOutcome::Succeeded});
        QVERIFY(readFile(state.filePath("flash.bin")).startsWith(image));
        QVERIFY(readFile(state.filePath("device.cfg")).contains("image=final"));
        const QStringList lines = updater.sim.received();
        const QRegularExpression erase(".*b100b2ff.*"); // the list's indexOf matches whole lines
        const int secondErase = int(lines.lastIndexOf(erase));
        QVERIFY2(lines.indexOf(erase) < secondErase, qPrintable(lines.join('|')));
        QVERIFY(lines.mid(secondErase).filter(QRegularExpression("^stpx")).isEmpty());
        QVERIFY(!updater.driver->segmentedTransfer());
    }

    // The device's flow control for a write never comes: the flash fails and says so; it never
    // reports an image it did not finish.
    void flowControlLostMidFlash()
    {
        QTemporaryDir state;
        Updater updater({"--device", "kestrane", "--mode", "boot", "--state", state.path(), "--no-flow-control", "3"});
        QVERIFY(updater.connect());
        QVERIFY(updater.flash(pattern(5000)));
        QVERIFY(updater.outcomes != QList<TransferOutcome> {TransferOutcome::Succeeded});
        QVERIFY2(updater.joined().contains("FC RX TIMEOUT"), qPrintable(updater.joined()));
        QVERIFY(!readFile(state.filePath("device.cfg")).contains("image=final"));
    }
};

VELTRANO_TEST_MAIN(TestSegmented)
#include "tst_segmented.moc"
