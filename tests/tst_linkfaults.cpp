// The adapter link against adapters that behave as badly as real ones: slow restarts, output
// left over from before the port was opened, echoing clones, silence, status words, restarts
// by themselves and messages broken off.

#include "linkharness.h"
#include "testsupport.h"

#include <elm327io.h>

#include <QSignalSpy>
#include <QTemporaryFile>

namespace {

// Restart times and port behaviour of a real adapter.
const QStringList realistic {
    "--reset-ms", "1000", "--warm-start-ms", "30", "--keep-closed-output"}; // the defaults, named

// Lines the adapter sent back unchanged right after receiving them, from event `from` on.
QStringList echoes(const SimHarness &sim, int from = 0)
{
    QStringList echoed;
    const QList<SimEvent> events = sim.events();
    QString received;
    for (int i = from; i < events.size(); ++i) {
        const SimEvent &e = events.at(i);
        if (e.kind == QLatin1Char('<'))
            received = e.text;
        else if (e.kind == QLatin1Char('>') && !received.isEmpty()
            && e.text.compare(received, Qt::CaseInsensitive) == 0)
            echoed << received;
    }
    return echoed;
}

QList<ELM327IOBase::ELM_ERROR> codes(const QSignalSpy &errors)
{
    QList<ELM327IOBase::ELM_ERROR> result;
    for (const QList<QVariant> &e : errors)
        result << e.at(0).value<ELM327IOBase::ELM_ERROR>();
    return result;
}

const QByteArray request = QByteArray::fromHex("22f190");
const QByteArray reply = QByteArray::fromHex("62f190");

} // namespace

class TestLinkFaults : public QObject
{
    Q_OBJECT

private slots:
    void repeatedConnectsLeaveEchoOff_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("rate");
        QTest::newRow("ELM327 at 38400") << int(ELM327IOBase::ELM327) << 38400;
        QTest::newRow("ELS27 at 8000000") << int(ELM327IOBase::ELS27) << 8000000;
    }

    // Each connect follows the previous one's reset at once, and the adapter's answers to both
    // warm starts of the search arrive late; none of it may be taken for the answer to a later line.
    void repeatedConnectsLeaveEchoOff()
    {
        QFETCH(int, adapter);
        QFETCH(int, rate);
        SimHarness sim(realistic + QStringList {"--adapter", adapterOption(adapter), "--baud", QString::number(rate)});
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        // A few here; VELTRANO_TEST_CONNECTS=50 for the long run.
        const int connects = qEnvironmentVariableIntValue("VELTRANO_TEST_CONNECTS") > 0
            ? qEnvironmentVariableIntValue("VELTRANO_TEST_CONNECTS")
            : 3;
        ELM327IO io;
        io.setStrictMode(true);
        QSignalSpy notices(&io, &ELM327IOBase::notice);
        for (int i = 0; i < connects; ++i) {
            const int from = sim.events().size();
            QSignalSpy ready(&io, &ELM327IOBase::ready);
            QVERIFY2(io.setup(connInfo(sim, adapter, 0)), qPrintable(QStringLiteral("connect %1").arg(i + 1)));
            QVERIFY(ready.wait(5000));
            QSignalSpy read(&io, &ELM327IOBase::read);
            io.send(ELM_Message(request, 1, 200));
            QVERIFY2(read.wait(3000), qPrintable(QStringLiteral("request after connect %1").arg(i + 1)));
            QCOMPARE(read.first().at(0).toByteArray(), reply);
            const QStringList echoed = echoes(sim, from);
            QVERIFY2(!echoed.contains(QStringLiteral("at cfc0")) && echoed.filter(QStringLiteral("22f190")).isEmpty(),
                qPrintable(QStringLiteral("echo on after connect %1: %2").arg(i + 1).arg(echoed.join('|'))));
        }
        QCOMPARE(notices.count(), 0);
    }

    void echoingCloneIsTolerated_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::newRow("ELM327") << int(ELM327IOBase::ELM327);
        QTest::newRow("ELS27") << int(ELM327IOBase::ELS27);
    }

    // "at e0" is answered OK and every line still comes back. Multi-frame both ways, so that
    // echoed frame lines would be mistaken for the device's frames if they were not recognised.
    void echoingCloneIsTolerated()
    {
        QFETCH(int, adapter);
        SimHarness sim({"--stuck-echo", "--adapter", adapterOption(adapter)});
        QByteArray answer;
        for (int i = 0; i < 40; ++i)
            answer.append(char(0x40 + i));
        sim.useScript(QStringLiteral("* => isotp %1\n").arg(QString::fromLatin1(answer.toHex())));
        QVERIFY(sim.start());
        ELM327IO io;
        io.setStrictMode(true);
        QSignalSpy notices(&io, &ELM327IOBase::notice);
        QVERIFY(connectAndSettle(io, sim, adapter));
        QCOMPARE(notices.count(), 1);
        QVERIFY(notices.first().at(0).toString().contains(QLatin1String("still echoes")));
        // "at e0" went out a second time, and everything after it came back all the same.
        QCOMPARE(sim.received().count(QStringLiteral("at e0")), 2);
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy read(&io, &ELM327IOBase::read);
        for (int round = 0; round < 2; ++round) {
            io.send(ELM_Message(QByteArray(30, char(0x10 + round)), 1, 200));
            QVERIFY(testsupport::waitUntil([&] { return read.count() == round + 1; }, 3000));
            QCOMPARE(read.last().at(0).toByteArray(), answer);
        }
        QCOMPARE(errors.count(), 0);
        QVERIFY(echoes(sim).size() > 10);
    }

    void silentAdapterFailsTheSetup()
    {
        SimHarness sim({"--silent"});
        QVERIFY(sim.start());
        ELM327IO io;
        QSignalSpy connected(&io, &ELM327IOBase::connected);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!io.setup(connInfo(sim, ELM327IOBase::ELM327, 38400)));
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(!io.isOpen());
        QCOMPARE(connected.count(), 0);
        QCOMPARE(io.lastOpenError(), QStringLiteral("No adapter answers on %1 at 38400 bit/s").arg(sim.port()));
    }

    // The adapter takes the line and never ends it. The driver gives up on it past the adapter's
    // time-out, and warm-starts the adapter before the next line, since a late prompt would
    // otherwise answer the wrong one.
    void unansweredLineEndsWithAnError()
    {
        SimHarness sim({"--no-reply-on", "1"});
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QElapsedTimer clock;
        clock.start();
        io.writeRAW("0101");
        io.writeRAW("0202"); // waits behind the first line
        QVERIFY(errors.wait(3000));
        QVERIFY(clock.elapsed() >= 1020); // not before the adapter's own "at st ff" time-out
        QCOMPARE(codes(errors).first(), ELM327IOBase::ERR_NODATA);
        QVERIFY(!io.isBusy());
        // The second line was the first exchange's; what is sent next starts the adapter again.
        io.writeRAW("0303");
        QVERIFY(sim.waitForReceived(QStringLiteral("0303")));
        const QStringList lines = sim.received();
        const QStringList after = lines.mid(lines.indexOf(QStringLiteral("0101")));
        QCOMPARE(after.first(), QStringLiteral("0101"));
        QCOMPARE(after.at(1), QStringLiteral("atws"));
        QVERIFY(!after.contains(QStringLiteral("0202")));
        QCOMPARE(after.last(), QStringLiteral("0303"));
    }

    void adapterGoneSilentClosesTheLink()
    {
        SimHarness sim({"--silent-after", "15"}); // the warm start and the 14 initialisation lines
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy disconnected(&io, &ELM327IOBase::disconnected);
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(errors.wait(3000));
        QCOMPARE(codes(errors).first(), ELM327IOBase::ERR_NODATA);
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(disconnected.wait(10000));
        QVERIFY(!io.isOpen());
    }

    void canErrors_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("resends");
        QTest::addColumn<bool>("givesUp");
        // Data lines 3, 6, 9 ... fail: each error falls on a fresh line, or on a resent one.
        QTest::newRow("one in three, far apart") << QStringList {"--can-error-every", "3"} << 12 << 5 << false;
        QTest::newRow("four in a row") << QStringList {"--can-error", "1:4"} << 2 << 4 << false;
        QTest::newRow("five in a row") << QStringList {"--can-error", "1:5"} << 2 << 4 << true;
    }

    void canErrors()
    {
        QFETCH(QStringList, options);
        QFETCH(int, lines);
        QFETCH(int, resends);
        QFETCH(bool, givesUp);
        SimHarness sim(options);
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        io.write("at st 5"); // nothing answers the frames: a short wait for nothing
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy ready(&io, &ELM327IOBase::ready);
        QStringList written;
        for (int i = 0; i < lines; ++i) {
            written << QStringLiteral("01%1").arg(i, 2, 16, QLatin1Char('0'));
            io.writeRAW(written.last().toLatin1());
        }
        QVERIFY(ready.wait(10000));
        const QStringList sent = sim.received().filter(QRegularExpression(QStringLiteral("^01")));
        QCOMPARE(sent.size(), givesUp ? 1 + resends : lines + resends);
        QCOMPARE(codes(errors).contains(ELM327IOBase::ERR_CANERR), givesUp);
        if (!givesUp) {
            QStringList distinct = sent;
            distinct.removeDuplicates();
            QCOMPARE(distinct, written);
        }
    }

    void adapterWords_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<bool>("fails");
        for (const char *word : {"BUFFER FULL", "BUS BUSY", "BUS ERROR", "DATA ERROR", "FB ERROR", "ERR94",
                 "UNABLE TO CONNECT", "ACT ALERT", "62F190 <DATA ERROR", "62F190 <RX ERROR"})
            QTest::newRow(word) << QString::fromLatin1(word) << true;
        QTest::newRow("SEARCHING... before the answer") << QStringLiteral("SEARCHING...") << false;
    }

    // Words are not frames ("BUS BUSY" is no byte 0xBB): each ends the request with a clear
    // error, or is passed over when harmless; either way the link goes on.
    void adapterWords()
    {
        QFETCH(QString, word);
        QFETCH(bool, fails);
        SimHarness sim({"--word", QStringLiteral("2:%1").arg(word)});
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        io.setStrictMode(true);
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELS27));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(request, 1, 200)); // data line 1
        QVERIFY(read.wait(3000));
        io.send(ELM_Message(request, 1, 200)); // data line 2 gets the word
        if (fails) {
            QVERIFY(errors.wait(3000));
            QCOMPARE(codes(errors), QList<ELM327IOBase::ELM_ERROR> {ELM327IOBase::ERR_OTHER});
            QCOMPARE(errors.first().at(1).toString(), QStringLiteral("the adapter reports %1").arg(word));
        } else {
            QVERIFY(read.wait(3000));
        }
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(testsupport::waitUntil([&] { return read.count() == (fails ? 2 : 3); }, 3000));
        for (const QList<QVariant> &r : read)
            QCOMPARE(r.at(0).toByteArray(), reply);
        QCOMPARE(errors.count(), fails ? 1 : 0);
    }

    void restartByItself_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("LV RESET") << "--lv-reset";
        QTest::newRow("identification unasked") << "--restart-on";
    }

    // The work under way fails; the adapter, back with its defaults (echo on, no filters), is
    // set up again before the next request, which then works.
    void restartByItself()
    {
        QFETCH(QString, option);
        SimHarness sim({option, "2", "--reset-ms", "300"});
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        io.setStrictMode(true);
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELS27));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy notices(&io, &ELM327IOBase::notice);
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(read.wait(3000));
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(errors.wait(5000));
        QCOMPARE(codes(errors).first(), ELM327IOBase::ERR_OTHER);
        QVERIFY(notices.count() >= 1);
        QVERIFY(notices.first().at(0).toString().contains(QLatin1String("restarted by itself")));
        QTest::qWait(400); // the restart is over
        const int atwsBefore = sim.received().count(QStringLiteral("atws"));
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(read.wait(6000));
        QCOMPARE(read.count(), 2);
        QCOMPARE(sim.received().count(QStringLiteral("atws")), atwsBefore + 1);
        QVERIFY(echoes(sim, sim.events().size() - 10).isEmpty());
    }

    // The device sends its First Frame and one Consecutive Frame at once, before the flow
    // control: the adapter, told to wait for one frame, stops listening after the first, so the
    // rest never arrives. The message is given up after the ISO-TP time-out.
    void brokenOffMessageIsDropped()
    {
        SimHarness sim;
        sim.useScript("* => raw 1014010203040506; raw 210708090a0b0c0d\n");
        QVERIFY(sim.start());
        ELM327IO io;
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELS27));
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy read(&io, &ELM327IOBase::read);
        QElapsedTimer clock;
        clock.start();
        io.send(ELM_Message(request, 1, 100));
        QVERIFY(errors.wait(2500));
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(codes(errors).first(), ELM327IOBase::ERR_NODATA);
        QVERIFY(errors.first().at(1).toString().startsWith(QLatin1String("message broken off after 6 of 20 bytes")));
        QCOMPARE(read.count(), 0);
    }

    // Output the adapter sent while nobody had the port open (the end of the previous reset) is
    // read by the next opener first.
    void reconnectAfterAResetInProgress()
    {
        SimHarness sim(realistic);
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        io.setStrictMode(true);
        for (int i = 0; i < 2; ++i) {
            QSignalSpy ready(&io, &ELM327IOBase::ready);
            QVERIFY(io.setup(connInfo(sim, ELM327IOBase::ELM327, 38400)));
            QVERIFY(ready.wait(5000));
            QSignalSpy read(&io, &ELM327IOBase::read);
            io.send(ELM_Message(request, 1, 200));
            QVERIFY(read.wait(3000));
            QCOMPARE(read.first().at(0).toByteArray(), reply);
            io.close(); // a reset that takes a second, answered while the port is closed
        }
        QVERIFY(echoes(sim).filter(QStringLiteral("22f190")).isEmpty());
    }

    // An ELM327 that answers "?" to the reply-count digit: the line goes again without it, and so
    // does every line after it.
    void replyCountFallback()
    {
        SimHarness sim({"--no-reply-count"});
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        io.setStrictMode(true);
        QVERIFY(connectAndSettle(io, sim, ELM327IOBase::ELM327));
        QSignalSpy notices(&io, &ELM327IOBase::notice);
        QSignalSpy errors(&io, &ELM327IOBase::error);
        QSignalSpy read(&io, &ELM327IOBase::read);
        for (int i = 0; i < 2; ++i) {
            io.send(ELM_Message(request, 1, 200));
            QVERIFY(read.wait(3000));
        }
        QCOMPARE(read.last().at(0).toByteArray(), reply);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(notices.count(), 1);
        QVERIFY(notices.first().at(0).toString().contains(QLatin1String("reply count")));
        const QStringList lines = sim.received();
        QCOMPARE(lines.mid(lines.lastIndexOf(QStringLiteral("at cfc0")) + 1),
            (QStringList {"at st 32", "at r1", "0322f1901", "0322f190", "at st 32", "at r1", "0322f190"}));
    }

    void rateSwitch_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<int>("finalRate");
        QTest::addColumn<QString>("notice");
        QTest::newRow("accepted") << QStringList() << QStringList {"at brd 08"} << 500000
                                  << "Serial rate raised from 38400 to 500000 bit/s";
        QTest::newRow("refused with ?") << QStringList {"--no-brd"} << QStringList {"at brd 08"} << 38400
                                        << "The adapter keeps its serial rate of 38400 bit/s: it does not know AT BRD";
        // The confirming carriage return never reaches the adapter: each rate is tried, none kept.
        QTest::newRow("carriage return lost")
            << QStringList {"--lose-brd-confirm"} << QStringList {"at brd 08", "at brd 10", "at brd 23"} << 38400
            << "The adapter did not confirm 115200 bit/s; it stays at 38400 bit/s";
    }

    // After the set-up an ELM327 is asked for a faster serial rate. Whatever it answers, the
    // link works at the rate it ends up with, and no box is shown: only the log says so.
    void rateSwitch()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, asked);
        QFETCH(int, finalRate);
        QFETCH(QString, notice);
        SimHarness sim(options);
        sim.useScript("22f190 => isotp 62f190\n");
        QVERIFY(sim.start());
        ELM327IO io;
        io.setStrictMode(true);
        QSignalSpy notices(&io, &ELM327IOBase::notice);
        QSignalSpy ready(&io, &ELM327IOBase::ready);
        ELM_ConnInfo info = connInfo(sim, ELM327IOBase::ELM327, 38400);
        info.rateSwitch = true;
        QVERIFY(io.setup(info));
        QVERIFY(ready.wait(5000));
        QCOMPARE(sim.received().filter(QStringLiteral("at brd")), asked);
        QStringList rates;
        for (const SimEvent &e : sim.events())
            if (e.kind == QLatin1Char('='))
                rates << e.text;
        QCOMPARE(rates.last(), QStringLiteral("rate %1").arg(finalRate));
        QCOMPARE(notices.count(), 1);
        QCOMPARE(notices.first().at(0).toString(), notice);
        // The initialisation and a request both went through at the rate kept.
        QVERIFY(sim.received().contains(QStringLiteral("at cfc0")));
        QSignalSpy read(&io, &ELM327IOBase::read);
        io.send(ELM_Message(request, 1, 200));
        QVERIFY(read.wait(3000));
        QCOMPARE(read.first().at(0).toByteArray(), reply);
    }

    void traceRecordsBytesAndDecisions()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        qputenv("VELTRANO_TRACE", file.fileName().toLocal8Bit());
        {
            SimHarness sim({"--stuck-echo"});
            QVERIFY(sim.start());
            ELM327IO io;
            QSignalSpy ready(&io, &ELM327IOBase::ready);
            QVERIFY(io.setup(connInfo(sim, ELM327IOBase::ELM327, 38400)));
            QVERIFY(ready.wait(5000));
        }
        qunsetenv("VELTRANO_TRACE");
        const QByteArray trace = file.readAll();
        QVERIFY(trace.contains("> at e0\\r\n"));
        // The echo and the answer, in one read or in several.
        QVERIFY(QRegularExpression(QStringLiteral("< at e0\\\\r(OK|\\n.*< OK)"))
                    .match(QString::fromLatin1(trace))
                    .hasMatch());
        QVERIFY(trace.contains("# echo dropped"));
        QVERIFY(trace.contains("# echo still on after at e0"));
        QVERIFY(trace.contains("> ATZ\\r"));
    }
};

VELTRANO_TEST_MAIN(TestLinkFaults)
#include "tst_linkfaults.moc"
