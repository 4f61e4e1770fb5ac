// The adapter driver and ISO-TP transport against kestrane-sim over a real pty.

#include "linkharness.h"
#include "testsupport.h"

#include <elm327io.h>
#include <serialports.h>

#include <QSignalSpy>

namespace {

const QStringList commonHead {"atws", "at e0", "at s0", "at h0", "at l0", "at d0", "at at 0", "at st ff"};
const QStringList commonTail {"at ar", "at al", "at caf0", "at cfc0"};

QStringList initLines(int adapter, bool adaptive)
{
    QStringList lines = commonHead;
    if (adapter == ELM327IOBase::ELS27)
        lines << "st p33"
              << "st pbr500000";
    else
        lines << "at tp6";
    lines << "at sh 74e"
          << "at cra 746";
    if (adaptive)
        lines << "at at1";
    return lines + commonTail;
}

// The lines the adapter received after the initialisation.
QStringList afterInit(const SimHarness &sim)
{
    QStringList lines = sim.received();
    const int end = lines.lastIndexOf(QStringLiteral("at cfc0"));
    return end < 0 ? lines : lines.mid(end + 1);
}

QByteArray counting(int size)
{
    QByteArray data;
    for (int i = 0; i < size; ++i)
        data.append(char(i + 1));
    return data;
}

} // namespace

class TestElm327Io : public QObject
{
    Q_OBJECT

private slots:
    void initialisationLines_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<bool>("adaptive");
        QTest::newRow("ELM327") << int(ELM327IOBase::ELM327) << false;
        QTest::newRow("ELS27") << int(ELM327IOBase::ELS27) << false;
        QTest::newRow("ELM327, adaptive timing") << int(ELM327IOBase::ELM327) << true;
        QTest::newRow("Custom is driven like an ELM327") << int(ELM327IOBase::Custom) << false;
    }

    void initialisationLines()
    {
        QFETCH(int, adapter);
        QFETCH(bool, adaptive);
        SimHarness sim({"--adapter", adapter == ELM327IOBase::ELS27 ? "els27" : "elm327"});
        QVERIFY(sim.start());
        ELM327IO io;
        QSignalSpy connected(&io, &ELM327IOBase::connected);
        QSignalSpy ready(&io, &ELM327IOBase::ready);
        QVERIFY(io.setup(connInfo(sim, adapter, 38400), adaptive));
        QCOMPARE(connected.count(), 1);
        QVERIFY(ready.wait(5000));
        // A given rate opens the port at once: no probing, nothing sent at another rate.
        QCOMPARE(sim.received(), initLines(adapter, adaptive));
        QVERIFY(!sim.sawGarbled());
    }

    void rateSearch_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("adapterRate");
        QTest::addColumn<QStringList>("searchLines");
        QTest::addColumn<QString>("finalRate");
        QTest::newRow("ELM327 at 38400") << int(ELM327IOBase::ELM327) << 38400 << QStringList {"ati", "atws"}
                                         << "38400";
        // Met above 1000000, the adapter is switched down and the new rate confirmed by a bare CR.
        QTest::newRow("ELS27 at 8000000 switched down")
            << int(ELM327IOBase::ELS27) << 8000000 << QStringList {"STBR 1000000", "", "atws"} << "1000000";
    }

    void rateSearch()
    {
        QFETCH(int, adapter);
        QFETCH(int, adapterRate);
        QFETCH(QStringList, searchLines);
        QFETCH(QString, finalRate);
        SimHarness sim({"--adapter", adapterOption(adapter), "--baud", QString::number(adapterRate)});
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, adapter, 0));
        QCOMPARE(sim.received().join('|'), (searchLines + initLines(adapter, false)).join('|'));
        QStringList rates;
        for (const SimEvent &e : sim.events())
            if (e.kind == QLatin1Char('='))
                rates << e.text;
        QCOMPARE(rates.isEmpty() ? QString::number(adapterRate) : rates.last().section(' ', -1), finalRate);

        // The link works at the rate found.
        QSignalSpy read(&io, &ELM327IOBase::read);
        QSignalSpy errors(&io, &ELM327IOBase::error);
        io.setStrictMode(true);
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 20));
        QVERIFY(errors.wait(2000)); // no device behind the adapter: "no data"
        QCOMPARE(errors.first().at(1).toString(), QStringLiteral("trasport error no data"));
    }

    void questionMarkCountsAsFound()
    {
        // This adapter knows no ATI and has its echo off: "?" is all it says.
        SimHarness sim({"--baud", "38400", "--ati", "?", "--echo", "off"});
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327, 0));
        QCOMPARE(sim.received().mid(0, 2), (QStringList {"ati", "atws"}));
    }

    void absentPortWritesNothing()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        ELM327IO io;
        QSignalSpy connected(&io, &ELM327IOBase::connected);
        ELM_ConnInfo info = connInfo(sim, ELM327IOBase::ELM327, 38400);
        info.port = sim.port() + QStringLiteral("-absent");
        QVERIFY(!io.setup(info));
        info.baud = 0;
        QVERIFY(!io.setup(info));
        QVERIFY(!io.isOpen());
        QCOMPARE(connected.count(), 0);
        QVERIFY(sim.received().isEmpty());
        QVERIFY(!sim.sawGarbled());
        QCOMPARE(io.lastOpenError(), info.port + QStringLiteral(" is not available"));
    }

    void extraPortsAreListed()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        QVERIFY(availableSerialPortNames().contains(sim.port()));
    }

    void strictMode_data()
    {
        QTest::addColumn<bool>("strict");
        QTest::newRow("off") << false;
        QTest::newRow("on") << true;
    }

    void strictMode()
    {
        QFETCH(bool, strict);
        SimHarness sim; // nothing on the bus answers
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        io.setStrictMode(strict);
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy ready(&io, &ELM327IOBase::ready);
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 10));
        QVERIFY(ready.wait(2000));
        QTest::qWait(50);
        if (strict) {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.first().at(0).value<ELM327IOBase::ELM_ERROR>(), ELM327IOBase::ERR_NODATA);
            QCOMPARE(errors.first().at(1).toString(), QStringLiteral("trasport error no data"));
        } else {
            QCOMPARE(errors.count(), 0);
        }
    }

    void rawLinesAndCommands()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy ready(&io, &ELM327IOBase::ready);
        io.writeHEX(QByteArray::fromHex("01ab"));
        io.writeRAW("300100");
        io.write("at e0");
        io.write("0100");
        QVERIFY(QTest::qWaitFor([&] { return afterInit(sim).size() >= 6; }, 5000));
        QVERIFY(ready.wait(3000) || ready.count() > 0);
        // Text lines go out as they are; frames get the longest time-out in front.
        QCOMPARE(afterInit(sim), (QStringList {"at st ff", "01AB", "300100", "at e0", "at st ff", "0100"}));
    }

    void nonHexReply()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        io.writeHEX(counting(9)); // nine bytes are no CAN frame: the adapter answers "?"
        QVERIFY(errors.wait(2000));
        QCOMPARE(errors.first().at(0).value<ELM327IOBase::ELM_ERROR>(), ELM327IOBase::ERR_PROTOCOL);
        QCOMPARE(errors.first().at(1).toString(), QStringLiteral("non-hex reply"));
    }

    void isoTpSendWithFlowControl_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<QStringList>("lines");
        const QByteArray ff = "1014" + counting(6).toHex();
        const QByteArray cf1 = "21" + counting(13).mid(6).toHex();
        const QByteArray cf2 = "22" + counting(20).mid(13).toHex();
        // The ELM327 is told how many replies to wait for, as the ELS27 is; "at r0" keeps it from
        // listening after the frames that have none.
        QTest::newRow("ELM327") << int(ELM327IOBase::ELM327)
                                << QStringList {"at st 32", "at r1", ff + "1", "at r0", cf1, "at r1", cf2 + "1"};
        QTest::newRow("ELS27") << int(ELM327IOBase::ELS27) << QStringList {"at st 32", ff + "1", cf1 + "0", cf2 + "1"};
    }

    void isoTpSendWithFlowControl()
    {
        QFETCH(int, adapter);
        QFETCH(QStringList, lines);
        SimHarness sim({"--adapter", adapterOption(adapter)});
        sim.useScript("* => isotp 6211\n");
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, adapter));
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(counting(20), 1, 200));
        QVERIFY(read.wait(3000));
        QCOMPARE(read.first().at(0).toByteArray(), QByteArray::fromHex("6211"));
        QCOMPARE(afterInit(sim), lines);
    }

    void singleFrameRequest_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("ELM327") << int(ELM327IOBase::ELM327) << QStringList {"at st 32", "at r1", "0322f1901"};
        QTest::newRow("ELS27") << int(ELM327IOBase::ELS27) << QStringList {"at st 32", "0322f1901"};
    }

    void singleFrameRequest()
    {
        QFETCH(int, adapter);
        QFETCH(QStringList, lines);
        SimHarness sim({"--adapter", adapterOption(adapter)});
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, adapter));
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 200));
        QVERIFY(read.wait(3000));
        QCOMPARE(read.first().at(0).toByteArray(), QByteArray::fromHex("62f190"));
        QCOMPARE(afterInit(sim), lines);
    }

    void multiFrameReceive_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("flowControl");
        QTest::newRow("20 bytes, ELM327") << int(ELM327IOBase::ELM327) << 20 << QStringList {"3002002"};
        QTest::newRow("20 bytes, ELS27") << int(ELM327IOBase::ELS27) << 20 << QStringList {"3002002"};
        QTest::newRow("100 bytes") << int(ELM327IOBase::ELS27) << 100 << QStringList {"300e00e"};
        // More than fifteen frames: a new flow control after each block.
        QTest::newRow("200 bytes") << int(ELM327IOBase::ELS27) << 200 << QStringList {"300f00f", "300d00d"};
    }

    void multiFrameReceive()
    {
        QFETCH(int, adapter);
        QFETCH(int, size);
        QFETCH(QStringList, flowControl);
        SimHarness sim({"--adapter", adapterOption(adapter)});
        const QByteArray reply = counting(size);
        sim.useScript(QStringLiteral("* => isotp %1\n").arg(QString::fromLatin1(reply.toHex())));
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, adapter));
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 100));
        QVERIFY(read.wait(5000));
        QCOMPARE(read.count(), 1);
        QCOMPARE(read.first().at(0).toByteArray(), reply);
        QStringList sentFlowControl;
        for (const QString &line : afterInit(sim))
            if (line.startsWith(QLatin1String("30")))
                sentFlowControl << line;
        QCOMPARE(sentFlowControl, flowControl);
    }

    void isoTpErrors_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("reason");
        QTest::newRow("short first frame") << "10070102030405"
                                           << "rx 7 of 8";
        QTest::newRow("flow control: wait") << "310000"
                                            << "out-of-order message";
        QTest::newRow("unknown frame type") << "4000"
                                            << "msg inv header";
    }

    void isoTpErrors()
    {
        QFETCH(QString, reply);
        QFETCH(QString, reason);
        SimHarness sim;
        sim.useScript(QStringLiteral("* => raw %1\n").arg(reply));
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 50));
        QVERIFY(errors.wait(3000));
        QCOMPARE(errors.first().at(0).value<ELM327IOBase::ELM_ERROR>(), ELM327IOBase::ERR_PROTOCOL);
        QCOMPARE(errors.first().at(1).toString(), reason);
        QCOMPARE(read.count(), 0);
    }

    void strayConsecutiveFrameCompletesAnEmptyMessage()
    {
        SimHarness sim;
        sim.useScript("* => raw 21aabbccddeeff00\n");
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 50));
        QVERIFY(read.wait(3000));
        QVERIFY(read.first().at(0).toByteArray().isEmpty());
    }

    void separationTimeSpacesTheWrites_data()
    {
        QTest::addColumn<int>("stmin");
        QTest::addColumn<qint64>("leastGapUs");
        QTest::newRow("10 ms") << 0x0a << qint64(10000);
        QTest::newRow("0xF3 means 1 ms") << 0xf3 << qint64(1000);
    }

    void separationTimeSpacesTheWrites()
    {
        QFETCH(int, stmin);
        QFETCH(qint64, leastGapUs);
        SimHarness sim({"--fc-stmin", QString::number(stmin)});
        sim.useScript("* => isotp 6e\n");
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        // The program's own write times: the simulator's reading times jitter with its scheduling.
        QElapsedTimer clock;
        clock.start();
        QList<qint64> writesUs;
        connect(&io, &ELM327IOBase::lineSent, this, [&] { writesUs << clock.nsecsElapsed() / 1000; });
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(counting(40), 1, 200));
        QVERIFY(read.wait(5000));
        // "at st 32", "at r1" and the first frame go out at once; every write after the flow
        // control, command or frame, keeps the distance from the one before.
        QCOMPARE(writesUs.size(), 3 + 7);
        for (int i = 3; i < writesUs.size(); ++i)
            QVERIFY2(writesUs.at(i) - writesUs.at(i - 1) >= leastGapUs,
                qPrintable(QStringLiteral("write %1 after %2 us").arg(i).arg(writesUs.at(i) - writesUs.at(i - 1))));
    }

    void nestedEventLoopInAReceiverDoesNotStallTheLink()
    {
        // The ELM327 keeps listening for the whole time-out after the reply, so its prompt
        // arrives while the receiver of the reply is still inside its own event loop (as a
        // modal box would be).
        SimHarness sim({"--adapter", "elm327"});
        sim.useScript("* => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        int replies = 0;
        connect(&io, &ELM327IOBase::read, this, [&] {
            if (++replies == 1) {
                QEventLoop modal;
                QTimer::singleShot(300, &modal, &QEventLoop::quit);
                modal.exec();
            }
        });
        io.send(ELM_Message(QByteArray::fromHex("22f190"), 1, 100));
        io.send(ELM_Message(QByteArray::fromHex("22f191"), 1, 100));
        QVERIFY(testsupport::waitUntil([&] { return replies == 2; }, 5000));
    }

    void monitorStartsAndStopsOnce()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        io.monitor(true);
        io.monitor(true);
        QVERIFY(sim.waitForReceived(QStringLiteral("ATMA")));
        io.monitor(false);
        io.monitor(false);
        QTest::qWait(100);
        // "ATMA" once, then one bare CR that stops the monitor.
        QCOMPARE(afterInit(sim).join('|'), QStringLiteral("ATMA|"));
        int stopped = 0;
        for (const SimEvent &e : sim.events())
            stopped += e.kind == QLatin1Char('>') && e.text.contains(QLatin1String("STOPPED"));
        QCOMPARE(stopped, 1);
    }

    void closeResetsTheAdapterQuietly()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy disconnected(&io, &ELM327IOBase::disconnected);
        io.close();
        QVERIFY(!io.isOpen());
        QVERIFY(sim.waitForReceived(QStringLiteral("ATZ")));
        QTest::qWait(50);
        QCOMPARE(disconnected.count(), 0);
    }

    void vanishedPortDisconnects()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy disconnected(&io, &ELM327IOBase::disconnected);
        sim.signal(SIGUSR1);
        QVERIFY(disconnected.wait(5000));
        QVERIFY(!io.isOpen());
    }

    void baudSwitchStoresTheNewRate()
    {
        SimHarness sim({"--adapter", "els27", "--baud", "38400"});
        QVERIFY(sim.start());
        QVERIFY(ELM327IOBase::baudSwitch(sim.port(), 0, 1000000, true));
        QVERIFY(sim.waitForReceived(QStringLiteral("STWBR")));
        const QStringList lines = sim.received();
        QVERIFY2(lines.contains(QStringLiteral("STSBR 1000000")), qPrintable(lines.join('|')));
        QCOMPARE(lines.last(), QStringLiteral("STWBR"));
        QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("STI"));
    }
};

VELTRANO_TEST_MAIN(TestElm327Io)
#include "tst_elm327io.moc"
