// The adapter link against adapters that behave as badly as real ones: slow restarts, output left
// over from before the port was opened, echoing clones, silence, status words, CAN errors.

#include "linkharness.h"

#include <adapterprobe.h>

#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Restart times and port behaviour of a real adapter (the defaults, named).
const QStringList realistic {"--reset-ms", "1000", "--warm-start-ms", "30", "--keep-closed-output"};

// Lines the adapter sent back unchanged right after receiving them, from event `from` on.
QStringList echoed(const SimHarness &sim, int from = 0)
{
    QStringList lines;
    const QList<SimEvent> events = sim.events();
    QString received;
    for (int i = from; i < events.size(); ++i) {
        const SimEvent &e = events.at(i);
        if (e.kind == QLatin1Char('<'))
            received = e.text;
        else if (e.kind == QLatin1Char('>') && !received.isEmpty()
            && e.text.compare(received, Qt::CaseInsensitive) == 0)
            lines << received;
    }
    return lines;
}

} // namespace

class TestLinkFaults : public QObject
{
    Q_OBJECT

private slots:
    void echoes_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("baud"); // 0: searched
        QTest::addColumn<bool>("closeBetween");
        // Each connect follows the previous one's reset at once, and the answers to both warm
        // starts of the search arrive late: none may be taken for the answer to a later line.
        QTest::newRow("ELM327 found again") << realistic + QStringList {"--baud", "38400"} << elm << 0 << false;
        QTest::newRow("ELS27 found again at 8000000")
            << realistic + QStringList {"--baud", "8000000"} << els << 0 << false;
        // Output the adapter sent while nobody had the port open (the end of the reset that
        // closing starts) is read by the next opener first.
        QTest::newRow("ELM327 closed between") << realistic << elm << 38400 << true;
        // A clone whose "at e0" is answered OK and which still echoes every line.
        QTest::newRow("echoing ELM327 clone") << QStringList {"--stuck-echo"} << elm << 38400 << false;
        QTest::newRow("echoing ELS27 clone") << QStringList {"--stuck-echo"} << els << 38400 << false;
    }

    void echoes()
    {
        QFETCH(QStringList, options);
        QFETCH(int, adapter);
        QFETCH(int, baud);
        QFETCH(bool, closeBetween);
        const bool stuck = options.contains(QStringLiteral("--stuck-echo"));
        const QByteArray answer = pattern(40);
        Link link(options, QStringLiteral("* => isotp %1\n").arg(QString::fromLatin1(answer.toHex())), adapter);
        link.io.setStrictMode(true);
        QVERIFY(link.sim.start());
        // A few here; VELTRANO_TEST_CONNECTS=50 for the long run.
        const int connects = qMax(3, qEnvironmentVariableIntValue("VELTRANO_TEST_CONNECTS"));
        for (int i = 0; i < connects; ++i) {
            const int from = link.sim.events().size();
            QVERIFY(link.setup(adapter, baud));
            // Multi-frame both ways: an echoed frame line must not be taken for the device's.
            link.io.send(ELM_Message(QByteArray(30, char(0x10 + i)), 1, 200));
            QVERIFY(waitUntil([&] { return link.read.count() == i + 1; }, 10000));
            QCOMPARE(link.read.last().at(0).toByteArray(), answer);
            const QStringList back = echoed(link.sim, from);
            const bool framesBack = !back.filter(QRegularExpression(QStringLiteral("^[0-9a-f]+$"))).isEmpty();
            QVERIFY2(framesBack == stuck && back.contains(QStringLiteral("at cfc0")) == stuck,
                qPrintable(QStringLiteral("connect %1: %2").arg(i + 1).arg(back.join('|'))));
            if (closeBetween)
                link.io.close(); // a reset that takes a second, answered while the port is closed
        }
        // An echoing clone is told "at e0" twice on every connect, and the log says why.
        QCOMPARE(link.sim.received().count(QStringLiteral("at e0")), connects * (stuck ? 2 : 1));
        QCOMPARE(link.notices.count(), stuck ? connects : 0);
        QVERIFY(
            link.notices.isEmpty() || link.notices.first().at(0).toString().contains(QLatin1String("still echoes")));
        QCOMPARE(link.errors.count(), 0);
    }

    // The adapter takes a line and never ends it: the driver gives up on it past the adapter's
    // time-out, and warm-starts the adapter before the next line, since a late prompt would
    // otherwise answer the wrong one. An adapter that stays silent closes the link.
    void silence()
    {
        Link link({"--no-reply-on", "1"});
        QVERIFY(link.open());
        QElapsedTimer clock;
        clock.start();
        link.io.writeRAW("0101");
        link.io.writeRAW("0202"); // waits behind the first line
        QVERIFY(link.errors.wait(10000));
        QVERIFY(clock.elapsed() >= 1020); // not before the adapter's own "at st ff" time-out
        QCOMPARE(link.codes(), Codes {ELM327IOBase::ERR_SILENT});
        // The line's late answer is waited for, as long again, before the adapter is set up again.
        QVERIFY(waitUntil([&] { return !link.io.isBusy(); }, 5000));
        link.io.writeRAW("0303");
        QVERIFY(link.sim.waitForReceived(QStringLiteral("0303"), 10000));
        const QStringList lines = link.sim.received();
        const QStringList after = lines.mid(lines.indexOf(QStringLiteral("0101")));
        QCOMPARE(after.mid(0, 2), (QStringList {"0101", "atws"}));
        QVERIFY(!after.contains(QStringLiteral("0202")) && after.last() == QStringLiteral("0303"));

        // The warm start, the adapter's name (STI, ATI), its voltage and the 15 initialisation lines
        Link gone({"--silent-after", "19"});
        QVERIFY(gone.open());
        QSignalSpy disconnected(&gone.io, &ELM327IOBase::disconnected);
        gone.io.send(ELM_Message(readVin, 1, 200));
        QVERIFY(gone.errors.wait(10000));
        QCOMPARE(gone.codes(), Codes {ELM327IOBase::ERR_SILENT});
        gone.io.send(ELM_Message(readVin, 1, 200));
        QVERIFY(disconnected.wait(15000) && !gone.io.isOpen());
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
        Link link(options);
        QVERIFY(link.open());
        link.io.write("at r0"); // nothing answers the frames, and the adapter does not wait for it
        QSignalSpy ready(&link.io, &ELM327IOBase::ready);
        QStringList written;
        for (int i = 0; i < lines; ++i) {
            written << QStringLiteral("01%1").arg(i, 2, 16, QLatin1Char('0'));
            link.io.writeRAW(written.last().toLatin1());
        }
        QVERIFY(ready.wait(15000));
        QStringList sent = link.sim.received().filter(QRegularExpression(QStringLiteral("^01")));
        QCOMPARE(sent.size(), givesUp ? 1 + resends : lines + resends);
        QCOMPARE(link.codes().contains(ELM327IOBase::ERR_CANERR), givesUp);
        sent.removeDuplicates();
        QCOMPARE(sent, givesUp ? written.mid(0, 1) : written);
    }

    void faultOnTheSecondRequest_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("reason"); // of the error that ends the second request; empty: none
        for (const char *word : {"BUFFER FULL", "BUS BUSY", "BUS ERROR", "DATA ERROR", "FB ERROR", "ERR94",
                 "UNABLE TO CONNECT", "ACT ALERT", "62F190 <DATA ERROR", "62F190 <RX ERROR"})
            QTest::newRow(word) << QStringList {"--word", QStringLiteral("2:%1").arg(word)}
                                << QStringLiteral("the adapter reports %1").arg(word);
        QTest::newRow("SEARCHING... before the answer") << QStringList {"--word", "2:SEARCHING..."} << QString();
        // Back with its defaults (echo on, no filters), the adapter is set up again.
        const QString restarted = QStringLiteral("the adapter restarted by itself");
        QTest::newRow("LV RESET") << QStringList {"--lv-reset", "2", "--reset-ms", "300"} << restarted;
        QTest::newRow("identification unasked") << QStringList {"--restart-on", "2", "--reset-ms", "300"} << restarted;
    }

    // Words are not frames ("BUS BUSY" is no byte 0xBB): each ends the request with a clear error,
    // or is passed over when harmless, and so does a restart; either way the link goes on.
    void faultOnTheSecondRequest()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, reason);
        Link link(options, answersVin, els);
        QVERIFY(link.open(els));
        QVERIFY(link.exchange()); // data line 1
        const auto restarts = [&] { return link.eventTexts('#').count(QStringLiteral("restarted")); };
        const int before = restarts();
        link.io.send(ELM_Message(readVin, 1, 200)); // data line 2 meets the fault
        QVERIFY(waitUntil([&] { return link.read.count() + link.errors.count() == 2; }, 10000));
        const bool restart = reason.contains(QLatin1String("restarted"));
        QVERIFY(!restart || waitUntil([&] { return restarts() > before; }, 10000));
        const int setups = link.sim.received().count(QStringLiteral("atws"));
        QVERIFY(link.exchange());
        QCOMPARE(link.read.count(), reason.isEmpty() ? 3 : 2);
        QCOMPARE(link.codes(), reason.isEmpty() ? Codes() : Codes {ELM327IOBase::ERR_OTHER});
        QCOMPARE(link.errors.isEmpty() ? QString() : link.errors.first().at(1).toString(), reason);
        QCOMPARE(link.notices.isEmpty(), !restart);
        QCOMPARE(link.sim.received().count(QStringLiteral("atws")), setups + (restart ? 1 : 0));
        QVERIFY(echoed(link.sim, link.sim.events().size() - 10).isEmpty());
    }

    // The kind chosen is not the adapter's: the set-up names the adapter's kind at once, within a
    // budget that a search through every rate would overrun, instead of failing later on its
    // refused lines or a rate never found.
    void wrongKind_data()
    {
        QTest::addColumn<int>("chosen");
        QTest::addColumn<int>("met");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("baud"); // 0: searched
        QTest::addColumn<QString>("what");
        const QString elmMet = QStringLiteral("an ELM327 (ELM327 v1.5), not an ELS27: choose ELM327");
        QTest::newRow("ELS27 chosen, rate given") << els << elm << QStringList() << 38400 << elmMet;
        QTest::newRow("ELS27 chosen, searched") << els << elm << QStringList() << 0 << elmMet;
    }

    void wrongKind()
    {
        QFETCH(int, chosen);
        QFETCH(int, met);
        QFETCH(QStringList, options);
        QFETCH(int, baud);
        QFETCH(QString, what);
        Link link(options, {}, met);
        QVERIFY(link.sim.start());
        ELM_ConnInfo info = link.info(chosen, baud);
        info.setupBudgetMs = 4000;
        QVERIFY(!link.io.setup(info));
        QCOMPARE(link.io.lastOpenError(), QStringLiteral("The adapter on %1 is %2").arg(link.sim.port(), what));
        QCOMPARE(link.io.setupFailure(), ELM327IOBase::WrongKind);
        QVERIFY(!link.io.isOpen());
    }

    // An STN chip takes the ELM327's commands: chosen as an ELM327, it is driven as one, with a
    // note that the ELS27 mode is faster.
    void stnDrivenAsElm327_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("baud");
        QTest::newRow("rate given") << QStringList() << 38400;
        QTest::newRow("met at 8000000") << QStringList {"--baud", "8000000"} << 0;
    }

    void stnDrivenAsElm327()
    {
        QFETCH(QStringList, options);
        QFETCH(int, baud);
        Link link(options, answersVin, els);
        link.io.setStrictMode(true);
        QVERIFY(link.sim.start());
        QVERIFY(link.setup(elm, baud));
        QCOMPARE(link.io.adapterKind(), elm);
        QCOMPARE(link.notices.count(), 1);
        QVERIFY(link.notices.first().at(0).toString().contains(QLatin1String("driven as an ELM327")));
        QVERIFY(link.exchange());
        QVERIFY(link.sim.received().contains(QStringLiteral("at tp6")));
    }

    // A network adapter has no serial rate: nothing searches or switches it. Its voltage is asked
    // for like any adapter line; a dropped connection is a lost link, and the next set-up works.
    void network_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("met");
        QTest::addColumn<int>("baud");
        QTest::newRow("ELM327, rate switch asked for") << elm << elm << 38400;
        QTest::newRow("ELS27, rate searched") << els << els << 0;
        QTest::newRow("Auto") << int(ELM327IOBase::Auto) << els << 0;
    }

    void network()
    {
        QFETCH(int, adapter);
        QFETCH(int, met);
        QFETCH(int, baud);
        Link link({"--tcp", "0", "--vanish-after", "24", "--voltage", "11.8"}, answersVin, met);
        QVERIFY(link.sim.start());
        QVERIFY2(link.sim.port().startsWith(QLatin1String("tcp://127.0.0.1:")), qPrintable(link.sim.port()));
        QVERIFY(link.setup(adapter, baud, false, true));
        QCOMPARE(link.io.adapterKind(), met);
        QVERIFY(link.exchange());
        QSignalSpy volts(&link.io, &ELM327IOBase::voltageRead);
        link.io.requestVoltage();
        QVERIFY(volts.wait(5000));
        QCOMPARE(volts.takeFirst().at(0).toDouble(), 11.8);
        const QStringList heard = link.sim.received();
        QCOMPARE(heard.first(), QStringLiteral("atws"));
        const QRegularExpression rateCommand(
            QStringLiteral("^(at ?br|stbr|stsbr)"), QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(heard.filter(rateCommand).isEmpty(), qPrintable(heard.join('|')));

        QSignalSpy disconnected(&link.io, &ELM327IOBase::disconnected);
        for (int i = 0; i < 5 && link.io.isOpen(); ++i)
            link.exchange();
        QVERIFY(disconnected.count() == 1 || disconnected.wait(5000));
        QVERIFY(!link.io.isOpen());
        link.io.requestVoltage(); // nothing to ask: unknown, once
        QVERIFY(volts.wait(5000));
        QVERIFY(std::isnan(volts.first().at(0).toDouble()));
        QTest::qWait(50);
        QCOMPARE(volts.count(), 1);
        QVERIFY(link.setup(adapter, baud));
        QVERIFY(link.exchange());

        // The adapter serves one client at a time and turns the next away while another (a program
        // that has not let go yet) holds it: the set-up connects again once it is free.
        link.io.close();
        std::atomic<bool> held {false};
        std::thread other([&held, port = link.sim.port().section(':', -1).toUShort()] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            held = socket.waitForConnected(5000);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        QVERIFY(waitUntil([&] { return held.load(); }));
        const bool again = link.setup(adapter, baud);
        other.join();
        QVERIFY(again);
        QVERIFY(link.exchange());
    }

    void refusedConnection()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        ELM327IO io;
        QVERIFY(!io.setup(ELM_ConnInfo {QStringLiteral("tcp://127.0.0.1:%1").arg(port), 0, elm, 0x746, 0x74E}));
        QVERIFY2(io.lastOpenError().startsWith(QStringLiteral("Cannot connect to 127.0.0.1:%1: ").arg(port)),
            qPrintable(io.lastOpenError()));
        QCOMPARE(io.setupFailure(), ELM327IOBase::NoPort);
    }

    // The probe meets the adapter as the set-up does, measures it, judges it, and resets it.
    void probe_data()
    {
        QTest::addColumn<int>("met");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("verdict"); // its start; %1: the port
        QTest::addColumn<bool>("echoOff");
        QTest::addColumn<bool>("digit");
        QTest::addColumn<int>("maxRate");
        QTest::newRow("ELM327") << elm << QStringList() << "suits flashing" << true << true << 500000;
        QTest::newRow("ELS27") << els << QStringList() << "suits flashing" << true << true << 0;
        QTest::newRow("echoing clone") << elm << QStringList {"--stuck-echo"} << "unsuitable: it keeps echoing" << false
                                       << true << 500000;
        QTest::newRow("digit refused") << elm << QStringList {"--no-reply-count", "--no-brd"}
                                       << "slow: no reply-count digit" << true << false << 0;
        QTest::newRow("USB latency") << els << QStringList {"--usb-latency-ms", "16"} << "slow: 1" << true << true << 0;
        QTest::newRow("silent port") << elm << QStringList {"--silent"}
                                     << "unsuitable: No adapter answers on %1 at 38400 bit/s" << false << false << 0;
    }

    void probe()
    {
        QFETCH(int, met);
        QFETCH(QStringList, options);
        QFETCH(QString, verdict);
        QFETCH(bool, echoOff);
        QFETCH(bool, digit);
        QFETCH(int, maxRate);
        QTemporaryDir dir;
        const QString tracePath = dir.filePath(QStringLiteral("trace"));
        qputenv("VELTRANO_TRACE", tracePath.toLocal8Bit());
        Link link(options, {}, met);
        QVERIFY(link.sim.start());
        const AdapterReport report = AdapterProbe::run(link.info(ELM327IOBase::Auto, 38400, true));
        qunsetenv("VELTRANO_TRACE");
        QVERIFY2(
            report.verdict.startsWith(verdict.contains(QLatin1String("%1")) ? verdict.arg(link.sim.port()) : verdict),
            qPrintable(report.verdict));
        QCOMPARE(report.echoOff, echoOff);
        QCOMPARE(report.replyCountDigit, digit);
        QCOMPARE(report.maxRate, maxRate);
        QVERIFY(!report.lowLatency); // a pty cannot give it, and the trace says why
        QVERIFY(readFile(tracePath).contains("low latency: not available ("));
        if (!report.ok)
            return;
        QCOMPARE(report.kind, met);
        QCOMPARE(report.identification, QStringLiteral("ELM327 v1.5"));
        QCOMPARE(report.stIdentification, met == els ? QStringLiteral("STN2255 v5.10.3") : QString());
        QCOMPARE(report.stDevice, met == els ? QStringLiteral("ELS27 r2.1") : QString());
        QCOMPARE(report.voltage, 12.6);
        QVERIFY(report.roundTripMedianMs <= report.roundTripP95Ms);
        QVERIFY(waitUntil([&] { return link.sim.received().last() == QLatin1String("ATZ"); }, 5000));
    }

    // A port that never falls quiet and never prompts: the set-up gives up within its budget.
    void streamingPort_data()
    {
        QTest::addColumn<int>("baud"); // 0: searched
        QTest::addColumn<QString>("reason"); // %1: the port
        QTest::newRow("rate searched") << 0 << QStringLiteral("No adapter answers on %1");
        QTest::newRow("rate given") << 38400 << QStringLiteral("No adapter answers on %1 at 38400 bit/s");
    }

    void streamingPort()
    {
        QFETCH(int, baud);
        QFETCH(QString, reason);
        Link link({"--stream-text"});
        QVERIFY(link.sim.start());
        ELM_ConnInfo info = link.info(elm, baud);
        info.setupBudgetMs = 3000;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!link.io.setup(info));
        QVERIFY2(clock.elapsed() < 2 * info.setupBudgetMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(link.io.lastOpenError(), reason.arg(link.sim.port()));
        QVERIFY(!link.io.isOpen());
    }

    // An adapter an earlier run raised to 500000 bit/s and then left without a reset is found
    // there, reset as a normal close would have, and used at the rate given.
    void raisedAdapterFound()
    {
        Link link({"--raised-rate", "500000"});
        QVERIFY(link.sim.start());
        QVERIFY(link.setup(elm, 38400));
        const QStringList heard = link.sim.received();
        QVERIFY2(heard.contains(QStringLiteral("ATZ")), qPrintable(heard.join('|')));
        QCOMPARE(heard.last(), QStringLiteral("at cfc0"));
    }

    // Set-ups do not nest: a timer due while one runs waits until it has ended, and a set-up asked
    // for from inside one (here from its rate switch's notice) follows it instead of cutting in.
    void oneSetupAtATime()
    {
        Link link;
        QVERIFY(link.sim.start());
        QSignalSpy connected(&link.io, &ELM327IOBase::connected);
        bool firstReturned = false;
        bool timerInside = true;
        QTimer::singleShot(20, &link.io, [&] {
            timerInside = !firstReturned;
            link.io.setup(link.info(elm, 38400));
        });
        QVERIFY(link.io.setup(link.info(elm, 0)));
        firstReturned = true;
        QVERIFY(waitUntil([&] { return connected.count() == 2; }, 10000));
        QVERIFY(!timerInside);

        int nested = -1;
        connect(&link.io, &ELM327IOBase::notice, &link.io, [&] {
            if (nested < 0)
                nested = link.io.setup(link.info(elm, 38400));
        });
        QVERIFY(link.io.setup(link.info(elm, 38400, true)));
        QCOMPARE(nested, 0);
        QCOMPARE(connected.count(), 3);
        QVERIFY(waitUntil([&] { return connected.count() == 4; }, 10000));
    }

    // A request sent from the slot of the error that refused the one before waits for the line
    // that request wrote first to be answered, as any line does.
    void requestFromErrorSlot()
    {
        Link link;
        QVERIFY(link.open());
        QStringList written;
        connect(
            &link.io, &ELM327IOBase::lineSent, &link.io, [&](const QByteArray &line) { written << line.trimmed(); });
        connect(&link.io, &ELM327IOBase::error, &link.io, [&] { link.io.send(ELM_Message(readVin, 1, 200)); });
        link.io.send(ELM_Message(pattern(4096), 1, 200));
        QCOMPARE(written, QStringList {"at st 32"});
    }

    // An ELM327 that answers "?" to the reply-count digit: the line goes again without it, and so
    // does every line after it.
    void replyCountFallback()
    {
        Link link({"--no-reply-count"}, answersVin);
        QVERIFY(link.open());
        QVERIFY(link.exchange());
        QVERIFY(link.exchange());
        QCOMPARE(link.errors.count(), 0);
        QCOMPARE(link.notices.count(), 1);
        QVERIFY(link.notices.first().at(0).toString().contains(QLatin1String("reply count")));
        const QStringList lines = link.sim.received();
        QCOMPARE(lines.mid(lines.lastIndexOf(QStringLiteral("at cfc0")) + 1),
            (QStringList {"at st 32", "at r1", "0322f1901", "0322f190", "0322f190"}));
    }
};

VELTRANO_TEST_MAIN(TestLinkFaults)
#include "tst_linkfaults.moc"
