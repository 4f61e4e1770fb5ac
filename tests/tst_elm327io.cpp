// The adapter driver and ISO-TP transport against kestrane-sim over a real pty.

#include "linkharness.h"

#include <cmath>

namespace {

struct Init
{
    int adapter = elm;
    QStringList options {};
    int baud = 38400; // 0: searched
    QStringList search {}; // the lines before the initialisation
    int finalRate = 38400;
    QStringList switching {}; // the rate switch's lines
    QString notice {}; // the rate switch's; empty: none asked for
    bool adaptive = false;
    int met = -1; // the simulator's kind, when the driver is set up as another
};

struct Exchange
{
    int adapter = elm;
    QString script {};
    QStringList lines {}; // after the initialisation; empty: not checked
    QByteArray reply {}; // null: none
    int code = 0; // of the one error
    QString reason {};
    QByteArray sent = readVin;
    QStringList options {};
    qint64 leastGapUs = 0; // between the writes after the flow control
    bool strict = true;
};

QStringList initLines(int adapter, bool adaptive)
{
    QStringList lines {"atws", "at e0", "at s0", "at h0", "at l0", "at d0", "at at 0", "at st ff", "at csm0"};
    lines << (adapter == els ? QStringList {"st p33", "st pbr500000"} : QStringList {"at tp6"});
    lines << QStringList {"at sh 74e", "at cra 746"} << (adaptive ? QStringList {"at at1"} : QStringList());
    return lines + QStringList {"at ar", "at al", "at caf0", "at cfc0"};
}

QString isotp(const QByteArray &reply)
{
    return QStringLiteral("* => isotp %1\n").arg(QString::fromLatin1(reply.toHex()));
}

} // namespace

Q_DECLARE_METATYPE(Init)
Q_DECLARE_METATYPE(Exchange)

class TestElm327Io : public QObject
{
    Q_OBJECT

private slots:
    void initialisation_data()
    {
        QTest::addColumn<Init>("row");
        const auto row = [](const char *name, const Init &init) { QTest::newRow(name) << init; };
        // A given rate opens the port at once: no probing, nothing sent at another rate.
        row("ELM327", {});
        row("ELS27", {els});
        row("ELM327, adaptive timing", {elm, {}, 38400, {}, 38400, {}, {}, true});
        row("Custom is driven like an ELM327", {ELM327IOBase::Custom});
        row("ELM327 found at 38400", {elm, {"--baud", "38400"}, 0, {"ati", "atws"}});
        // Met above 1000000, the adapter is switched down and the new rate confirmed by a bare CR.
        row("ELS27 at 8000000 switched down", {els, {"--baud", "8000000"}, 0, {"STBR 1000000", "", "atws"}, 1000000});
        // The kind is what the adapter says it is; its voltage is read last.
        const int automatic = ELM327IOBase::Auto;
        row("Auto meets an ELM327", {automatic, {"--voltage", "11.2"}, 38400, {}, 38400, {}, {}, false, elm});
        row("Auto meets an ELS27", {automatic, {"--voltage", "none"}, 38400, {}, 38400, {}, {}, false, els});
        row("Auto finds an ELS27 at 8000000",
            {automatic, {"--baud", "8000000"}, 0, {"STBR 1000000", "", "atws"}, 1000000, {}, {}, false, els});
        // This adapter knows no ATI and has its echo off: "?" is all it says.
        row("? counts as found", {elm, {"--baud", "38400", "--ati", "?", "--echo", "off"}, 0, {"ati", "atws"}});
        // An ELM327 is asked for a faster serial rate, its switch time set first; the carriage return
        // that confirms it goes after its identification. Whatever it answers, only the log says so.
        row("rate switch accepted",
            {elm, {}, 38400, {}, 500000, {"at brt 14", "at brd 08", ""},
                "Serial rate raised from 38400 to 500000 bit/s"});
        row("rate switch refused with ?",
            {elm, {"--no-brd"}, 38400, {}, 38400, {"at brt 14", "at brd 08"},
                "The adapter keeps its serial rate of 38400 bit/s: it does not know AT BRD"});
        // The confirming carriage return never reaches the adapter: each rate is tried, none kept.
        row("rate switch unconfirmed",
            {elm, {"--lose-brd-confirm"}, 38400, {}, 38400,
                {"at brt 14", "at brd 08", "", "at brd 10", "", "at brd 23", ""},
                "The adapter did not confirm 115200 bit/s; it stays at 38400 bit/s"});
    }

    void initialisation()
    {
        QFETCH(Init, row);
        const int met = row.met < 0 ? row.adapter : row.met;
        Link link(row.options, {}, met);
        QSignalSpy connected(&link.io, &ELM327IOBase::connected);
        link.io.setStrictMode(true);
        QVERIFY(link.sim.start());
        QVERIFY(link.setup(row.adapter, row.baud, row.adaptive, !row.notice.isEmpty()));
        QCOMPARE(connected.count(), 1);
        // The rate switch comes right after the warm start.
        const QStringList init = initLines(met, row.adaptive);
        const QStringList named {"sti", "ati"};
        // A probe whose answer came after its short wait is asked again: harmless, and slow
        // builds see it.
        QStringList received = link.sim.received();
        for (int i = received.size() - 1; i > 0; --i)
            if (received.at(i) == QLatin1String("ati") && received.at(i - 1) == QLatin1String("ati"))
                received.removeAt(i);
        QCOMPARE(received, row.search + init.mid(0, 1) + named + row.switching + QStringList {"at rv"} + init.mid(1));
        QCOMPARE(link.io.adapterKind(), met);
        const int ati = row.options.indexOf(QStringLiteral("--ati"));
        // "?" names nothing.
        QCOMPARE(link.io.adapterIdentification(),
            met == els    ? QStringLiteral("STN2255 v5.10.3")
                : ati < 0 ? QStringLiteral("ELM327 v1.5")
                          : QString(row.options.at(ati + 1)).remove(QLatin1Char('?')));
        const int volts = row.options.indexOf(QStringLiteral("--voltage"));
        const double expected = ELM327IOBase::parseVoltage(volts < 0 ? "12.6V" : row.options.at(volts + 1).toLatin1());
        QVERIFY(qFuzzyCompare(link.io.lastVoltage(), expected)
            || (std::isnan(expected) && std::isnan(link.io.lastVoltage())));
        QCOMPARE(link.notices.count(), row.notice.isEmpty() ? 0 : 1);
        QVERIFY(row.notice.isEmpty() || link.notices.first().at(0).toString() == row.notice);
        QCOMPARE(link.eventTexts('=').last(), QStringLiteral("rate %1").arg(row.finalRate));
        QVERIFY(row.baud == 0 || !row.notice.isEmpty() || !link.sim.sawGarbled());
        // The link works at the rate it ended with; nothing is behind the adapter: "no data".
        link.io.send(ELM_Message(readVin, 1, 20));
        QVERIFY(link.errors.wait(10000));
        QCOMPARE(link.errors.last().at(1).toString(), QStringLiteral("trasport error no data"));
    }

    // What the adapter answers to AT RV; anything but a voltage is unknown.
    void voltageAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<double>("volts"); // NaN: unknown
        const double unknown = std::nan("");
        QTest::newRow("with its unit") << QByteArray("12.6V") << 12.6;
        QTest::newRow("without") << QByteArray("12.6") << 12.6;
        QTest::newRow("spaced") << QByteArray(" 11.25 V ") << 11.25;
        QTest::newRow("not measured") << QByteArray("?") << unknown;
        QTest::newRow("a word") << QByteArray("OK") << unknown;
        QTest::newRow("more than a voltage") << QByteArray("12.6V 13.1V") << unknown;
        QTest::newRow("nothing") << QByteArray() << unknown;
    }

    void voltageAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(double, volts);
        const double parsed = ELM327IOBase::parseVoltage(answer);
        QVERIFY2(
            std::isnan(volts) ? std::isnan(parsed) : qFuzzyCompare(parsed, volts), qPrintable(QString::number(parsed)));
    }

    void exchanges_data()
    {
        QTest::addColumn<Exchange>("row");
        const auto row = [](const char *name, const Exchange &e) { QTest::newRow(name) << e; };
        const QByteArray p20 = pattern(20);
        const QString ff = "1014" + p20.left(6).toHex();
        const QString cf1 = "21" + p20.mid(6, 7).toHex();
        const QString cf2 = "22" + p20.mid(13).toHex();
        const QByteArray r6e = QByteArray::fromHex("6e");
        const int protocol = ELM327IOBase::ERR_PROTOCOL;
        row("single frame, ELM327", {elm, answersVin, {"at st 32", "at r1", "0322f1901"}, vinReply});
        // The first frame waits for one flow control frame. The ELM327 is told how many replies to
        // wait for, as the ELS27 is; "at r0" keeps it from listening after the frames that have none.
        row("sent in three frames, ELM327",
            {elm, isotp(r6e), {"at st 32", "at r1", ff + "1", "at r0", cf1, "at r1", cf2 + "1"}, r6e, 0, {}, p20});
        row("sent in three frames, ELS27",
            {els, isotp(r6e), {"at st 32", ff + "1", cf1 + "0", cf2 + "1"}, r6e, 0, {}, p20});
        // The receiver's separation time spaces every write after its flow control, command or frame.
        row("separation time 10 ms", {elm, isotp(r6e), {}, r6e, 0, {}, pattern(40), {"--fc-stmin", "10"}, 10000});
        // More than fifteen frames: a new flow control after each block.
        row("200 bytes back",
            {els, isotp(pattern(200)), {"at st 32", "0322f1901", "300f00f", "300d00d"}, pattern(200)});
        // ISO-TP's own faults are tst_isotp's; here, a frame of no known type is passed over.
        row("unknown frame type", {elm, "* => raw 4000\n"});
        row("longer than ISO-TP carries",
            {elm, {}, {}, {}, protocol, "a message of 4096 bytes is longer than ISO-TP carries (4095)", pattern(4096)});
        // First and Consecutive Frame at once, before the flow control: the adapter, told to wait
        // for one frame, stops listening after the first, and the message times out.
        row("message broken off",
            {els, "* => raw 1014010203040506; raw 210708090a0b0c0d\n", {}, {}, ELM327IOBase::ERR_NODATA,
                "message broken off after 6 of 20 bytes: no consecutive frame within 1000 ms", readVin, {}, 0, false});
        // A late frame of a message nobody receives any more is no message.
        row("stray consecutive frame", {elm, "* => raw 21aabbccddeeff00\n"});
        row("no answer, strict", {elm, {}, {}, {}, ELM327IOBase::ERR_NODATA, "trasport error no data"});
        row("no answer, not strict", {elm, {}, {}, {}, 0, {}, readVin, {}, 0, false});
    }

    void exchanges()
    {
        QFETCH(Exchange, row);
        Link link(row.options, row.script, row.adapter);
        QVERIFY(link.open(row.adapter, 38400, row.strict));
        // The program's own write times: the simulator's reading times jitter with its scheduling.
        QElapsedTimer clock;
        clock.start();
        QList<qint64> writesUs;
        connect(&link.io, &ELM327IOBase::lineSent, this, [&] { writesUs << clock.nsecsElapsed() / 1000; });
        link.io.send(ELM_Message(row.sent, 1, 200));
        const int replies = row.reply.isNull() ? 0 : 1;
        const int errors = row.code ? 1 : 0;
        QVERIFY(waitUntil(
            [&] { return link.read.count() >= replies && link.errors.count() >= errors && !link.io.isBusy(); }, 10000));
        QCOMPARE(link.read.count(), replies);
        if (replies)
            QCOMPARE(link.read.first().at(0).toByteArray(), row.reply);
        QCOMPARE(link.codes(), row.code ? Codes {ELM327IOBase::ELM_ERROR(row.code)} : Codes());
        if (row.code)
            QCOMPARE(link.errors.first().at(1).toString(), row.reason);
        const QStringList lines = link.sim.received();
        if (!row.lines.isEmpty())
            QCOMPARE(lines.mid(lines.lastIndexOf(QStringLiteral("at cfc0")) + 1), row.lines);
        // "at st 32", "at r1" and the first frame go out at once, then the flow control paces the rest.
        for (int i = 3; row.leastGapUs && i < writesUs.size(); ++i)
            QVERIFY2(writesUs.at(i) - writesUs.at(i - 1) >= row.leastGapUs, qPrintable(QString::number(i)));
        QVERIFY(!row.leastGapUs || writesUs.size() == 3 + 7);
    }
};

VELTRANO_TEST_MAIN(TestElm327Io)
#include "tst_elm327io.moc"
