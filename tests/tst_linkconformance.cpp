// The link's conformance table: for each way an adapter, a port or a device breaks the exchange,
// what the link writes (nothing after a failure, nothing of a line given up) and the one ending it
// gives, with its reason. Every row runs the real driver against kestrane-sim.

#include "linkharness.h"

#include <QSerialPort>

#include <functional>

namespace {

// A 20-byte request: a First Frame and two Consecutive Frames; the scripted device answers it.
const QByteArray longRequest = QByteArray::fromHex("2ef190") + QByteArray(17, 'x');
const QString answersLong = QStringLiteral("2EF190* => isotp 6EF190\n");
// A request that gets a 40-byte answer: a First Frame, then five Consecutive Frames after our flow
// control.
const QString answersLongly = QStringLiteral("22F190 => isotp %1\n").arg(QString::fromLatin1(pattern(40).toHex()));

struct Row
{
    QStringList sim; // kestrane-sim's options; "@TEXT" stands for the number of the line TEXT
    QString script = answersVin; // the scripted device's rules; empty: the Kestrane device
    int adapter = els;
    QByteArray request = readVin; // sent once the link is up; empty: the set-up is what is tested
    // The one ending: "read", "ready" (the exchange ended with no message, nothing to report),
    // "error CODE REASON" (REASON a prefix), "set-up REASON" (the set-up failed: its reason),
    // "disconnected REASON" (the loss's reason, a prefix).
    QString ending = QStringLiteral("read");
    QString lastLine {}; // when given: the last line the adapter received matches this
    QString onceLine {}; // when given: exactly one received line matches this
    QString neverLine {}; // when given: no line written after the request's first matches this
    bool followUp = false; // the link then takes another request and answers it
    std::function<void(Link &)> also {}; // a check of the row's own
    int baud = 38400;
    bool rateSwitch = false;
    int replies = 1; // the reply frames the adapter is told to wait for
    QPair<int, int> ids {0x746, 0x74E}; // the device's identifier, and the program's
};

// The adapter's lines for a fault-free set-up and request with these options, so that a fault can
// be placed on the line that carries TEXT without counting lines by hand.
QStringList dryRun(const Row &row)
{
    QStringList options;
    for (const QString &option : row.sim)
        if (!option.contains(QLatin1Char('@')))
            options << option;
        else if (!options.isEmpty())
            options.removeLast();
    Link link(options, row.script, row.adapter);
    if (!link.sim.start() || !link.setup(row.adapter, row.baud, false, row.rateSwitch))
        return {};
    if (!row.request.isEmpty()) {
        link.io.send(ELM_Message(row.request, 1, 200));
        waitUntil([&] { return !link.read.isEmpty() || !link.errors.isEmpty(); }, 5000);
    }
    return link.sim.received();
}

QStringList placed(const Row &row)
{
    QStringList options = row.sim;
    QStringList lines;
    for (QString &option : options) {
        const int at = option.indexOf(QLatin1Char('@'));
        if (at < 0)
            continue;
        if (lines.isEmpty())
            lines = dryRun(row);
        const QString text = option.mid(at + 1).section(QLatin1Char(':'), 0, 0);
        const QString rest = option.mid(at + 1 + text.size());
        option = option.left(at) + QString::number(lines.indexOf(text) + 1) + rest;
    }
    return options;
}

// The ending the link gave: one of the forms Row::ending names, joined by '|' if there were more.
QString endings(const Link &link, const QSignalSpy &disconnected, bool ready)
{
    QStringList seen;
    for (int i = 0; i < link.read.count(); ++i)
        seen << QStringLiteral("read");
    for (const QList<QVariant> &e : link.errors)
        seen
            << QStringLiteral("error %1 %2").arg(int(e.at(0).value<ELM327IOBase::ELM_ERROR>())).arg(e.at(1).toString());
    for (int i = 0; i < disconnected.count(); ++i)
        seen << QStringLiteral("disconnected ") + link.io.lossReason();
    if (seen.isEmpty() && ready)
        seen << QStringLiteral("ready");
    return seen.join(QLatin1Char('|'));
}

} // namespace

Q_DECLARE_METATYPE(Row)

class TestLinkConformance : public QObject
{
    Q_OBJECT

private slots:
    void table_data();
    void table();
    void portInUse();
    void voltageWhileWaiting();
    void closeWhileListening();
};

void TestLinkConformance::table_data()
{
    QTest::addColumn<Row>("row");
    const auto row = [](const char *name, const Row &r) { QTest::newRow(name) << r; };
    const QString silent = QStringLiteral("error %1 no answer to ").arg(ELM327IOBase::ERR_SILENT);
    const QString noData = QStringLiteral("error %1 ").arg(ELM327IOBase::ERR_NODATA);
    const QString other = QStringLiteral("error %1 ").arg(ELM327IOBase::ERR_OTHER);
    const QString protocol = QStringLiteral("error %1 ").arg(ELM327IOBase::ERR_PROTOCOL);

    // 1. A failure word for a Consecutive Frame: the rest of the message is not written.
    for (const int adapter : {elm, els})
        row(adapter == elm ? "1 failure word amid a message, ELM327" : "1 failure word amid a message, ELS27",
            {{"--word", "2:BUS BUSY"}, answersLong + answersVin, adapter, longRequest,
                other + "the adapter reports BUS BUSY", "^21", {}, {}, true});
    // 2. Answers to a line given up: dropped, not acted on; the link waits for them before the next.
    row("2 CAN ERROR after the line was given up",
        {{"--can-error", "1", "--late-answer", "1:1500"}, answersVin, els, readVin, silent, {}, "^0322f190", {}, true});
    row("2 NO DATA after the line was given up",
        {{"--late-answer", "1:1500"}, "* => none\n", els, readVin, silent, {}, "^0322f190", {}, false});
    row("2 the adapter restarting while its line is given up",
        {{"--restart-on", "1", "--reset-ms", "1000"}, answersVin, elm, readVin, silent, {}, {}, {}, true});
    row("2 an answer later than the wait for it",
        {{"--late-answer", "1:3000"}, answersVin, elm, readVin, silent, {}, {}, {}, true});
    row("2 First Frame after the line was given up",
        {{"--late-answer", "1:1500"}, answersLongly, els, readVin, silent, {}, {}, "^30", false});
    // 3. Every answer of the initialisation is checked.
    row("3 header refused",
        {{"--answer", "@at sh 74e:?"}, answersVin, elm, {}, "set-up The adapter refused 'at sh 74e'", "^ATZ$"});
    row("3 optional line refused", {{"--answer", "@at at 0:?"}, answersVin, elm});
    row("3 identifiers below 0x100 written with three digits",
        {{"--rx-id", "7E", "--tx-id", "76"}, answersVin, elm, readVin, "read", {}, "^at sh 07e$", {}, false,
            [](Link &link) { QVERIFY(link.sim.received().contains(QStringLiteral("at cra 076"))); }, 38400, false, 1,
            {0x76, 0x7E}});
    // 4. Stray bytes before the prompt hide nothing.
    row("4 NUL before every prompt", {{"--before-prompt", "00"}, answersVin, elm, readVin, "read", {}, {}, {}, true});
    // 5. A failed set-up puts the adapter back at its power-on rate.
    row("5 failed set-up after a switch down",
        {{"--baud", "8000000", "--answer", "@at cfc0:?"}, answersVin, els, {}, "set-up The adapter refused 'at cfc0'",
            "^ATZ$", {}, {}, false,
            [](Link &link) {
                QVERIFY(waitUntil([&] { return link.eventTexts('=').last() == QStringLiteral("rate 8000000"); }, 3000));
            },
            0});
    // 7. Flow control: OVERFLOW refuses, WAIT is waited through (ten times at most).
    row("7 OVERFLOW",
        {{"--flow-control", "overflow"}, answersLong, els, longRequest,
            QStringLiteral("error %1 The device cannot take a message of 20 bytes").arg(ELM327IOBase::ERR_REFUSED),
            "^1014"});
    row("7 WAIT with no CTS",
        {{"--flow-control", "wait"}, answersLong, els, longRequest, noData + "no flow control within", {}, {}, "^21"});
    row("7 WAIT three times, then CTS", {{"--fc-waits", "3:20"}, answersLong, elm, longRequest});
    row("7 CTS right after WAIT", {{"--fc-waits", "1:5"}, answersLong, els, longRequest});
    row("7 CTS right after WAIT, behind a USB latency timer",
        {{"--fc-waits", "1:20", "--usb-latency-ms", "16"}, answersLong, elm, longRequest});
    row("7 WAIT eleven times",
        {{"--fc-waits", "11:10"}, answersLong, els, longRequest, protocol + "the device kept asking to wait", {}, {},
            "^21"});
    row("7 block size 2 kept by a strict receiver",
        {{"--fc-bs", "2", "--block-pause", "30"}, answersLong, elm, longRequest + QByteArray(20, 'y')});
    // 8. A reserved separation time stands for 127 ms.
    row("8 separation time 0x80",
        {{"--fc-stmin", "0x80"}, answersLong, els, longRequest, "read", {}, {}, {}, false, [](Link &link) {
             qint64 last = -1;
             for (const SimEvent &e : link.sim.events()) {
                 if (e.kind != QLatin1Char('<') || !e.text.startsWith(QLatin1String("22")))
                     continue;
                 QVERIFY2(last < 0 || e.us - last >= 120000, qPrintable(QString::number(e.us - last)));
                 last = e.us;
             }
         }});
    // 9. A message is whole only with every byte it announced; frames not valid are ignored.
    row("9 last frame shorter than announced",
        {{"--device", "kestrane", "--short-reply", "10"}, {}, els, QByteArray(1, 0x10),
            protocol + "message shorter than announced"});
    row("9 single frame carrying less than announced", {{}, "* => raw 056211\n", els, readVin, "ready"});
    row("9 invalid frames before a good one",
        {{}, "* => raw 00; raw 4000; raw 0362F190\n", els, readVin, "read", {}, {}, {}, false,
            [](Link &link) { QCOMPARE(link.read.first().at(0).toByteArray(), vinReply); }, 38400, false, 3});
    // 10. A lost port ends the exchange once, and nothing of it a second later.
    row("10 port lost amid a reply", {{"--vanish-after", "@3005005"}, answersLongly, els, readVin, "disconnected "});
    // 11. A reset connection is named as such; the flow control goes without a digit the adapter
    // refuses.
    row("11 connection reset",
        {{"--tcp", "0", "--reset-after", "@0322f1901"}, answersVin, els, readVin,
            "disconnected The network connection to tcp://127.0.0.1:"});
    row("11 flow control without the refused digit",
        {{"--no-reply-count"}, answersLongly, elm, readVin, "read", {}, {}, "^30[0-9a-f]{5}$"});
    // 12. The ELM327's rate is raised with the datasheet's handshake, behind a USB bridge's latency too.
    for (const char *latency : {"0", "16"})
        row(qPrintable(QStringLiteral("12 AT BRD handshake, %1 ms USB latency").arg(latency)),
            {{"--usb-latency-ms", latency}, answersVin, elm, readVin, "read", {}, {}, {}, false,
                [](Link &link) {
                    QCOMPARE(link.eventTexts('=').last(), QStringLiteral("rate 500000"));
                    QCOMPARE(link.notices.first().at(0).toString(),
                        QStringLiteral("Serial rate raised from 38400 to 500000 bit/s"));
                },
                38400, true});
    // 13. An adapter that answers each command after 600 ms is met and named all the same.
    row("13 600 ms per command",
        {{"--latency-us", "600000"}, answersVin, els, readVin, "read", {}, {}, {}, false, [](Link &link) {
             QCOMPARE(link.io.adapterIdentification(), QStringLiteral("STN2255 v5.10.3"));
             QCOMPARE(link.io.adapterKind(), els);
             QCOMPARE(link.io.lastVoltage(), 12.6);
         }});
}

void TestLinkConformance::table()
{
    QFETCH(Row, row);
    Link link(placed(row), row.script, row.adapter);
    link.canId = row.ids.first;
    link.pcId = row.ids.second;
    link.io.setStrictMode(true);
    QSignalSpy disconnected(&link.io, &ELM327IOBase::disconnected);
    QVERIFY(link.sim.start());
    const bool up = link.setup(row.adapter, row.baud, false, row.rateSwitch);
    if (row.ending.startsWith(QLatin1String("set-up "))) {
        QVERIFY(!up);
        QCOMPARE(link.io.lastOpenError(), row.ending.mid(7));
    } else {
        QVERIFY2(up, qPrintable(link.io.lastOpenError()));
    }
    const int before = link.sim.received().size();
    bool ready = false;
    if (up && !row.request.isEmpty()) {
        QSignalSpy idle(&link.io, &ELM327IOBase::ready);
        link.io.send(ELM_Message(row.request, row.replies, 200));
        QVERIFY(waitUntil(
            [&] { return link.read.count() + link.errors.count() + disconnected.count() > 0 || !idle.isEmpty(); },
            15000));
        // A second ending, should there be one, comes within the line's deadline and its drain.
        QTest::qWait(3000);
        ready = !idle.isEmpty();
        const QString ended = endings(link, disconnected, ready);
        QVERIFY2(!ended.contains(QLatin1Char('|')) && ended.startsWith(row.ending), qPrintable(ended));
    }
    const QStringList received = link.sim.received();
    if (!row.lastLine.isEmpty())
        QVERIFY2(received.last().contains(QRegularExpression(row.lastLine)), qPrintable(received.join('|')));
    if (!row.onceLine.isEmpty())
        QCOMPARE(received.filter(QRegularExpression(row.onceLine)).size(), 1);
    if (!row.neverLine.isEmpty())
        QVERIFY2(received.mid(before + 1).filter(QRegularExpression(row.neverLine)).isEmpty(),
            qPrintable(received.mid(before).join('|')));
    if (row.also)
        row.also(link);
    if (row.followUp)
        QVERIFY(link.exchange());
}

// 6. A port another program holds is named so; the advice about permissions is for permissions.
void TestLinkConformance::portInUse()
{
    Link link({}, answersVin, els);
    QVERIFY(link.sim.start());
    QSerialPort other;
    other.setPortName(link.sim.port());
    QVERIFY(other.open(QIODevice::ReadWrite));
    QVERIFY(!link.io.setup(link.info(els)));
    QVERIFY2(link.io.lastOpenError().startsWith(QStringLiteral("%1 is in use by another program").arg(link.sim.port())),
        qPrintable(link.io.lastOpenError()));
    QCOMPARE(link.io.setupFailure(), ELM327IOBase::NoPort);
}

// 7. A reading of the voltage asked for while the device makes a message wait goes after that
// message; the listening for its flow control is not given up for it.
void TestLinkConformance::voltageWhileWaiting()
{
    Link link({"--fc-waits", "3:300"}, answersLong, els);
    QVERIFY(link.open(els));
    QSignalSpy volts(&link.io, &ELM327IOBase::voltageRead);
    link.io.send(ELM_Message(longRequest, 1, 200));
    QTimer::singleShot(60, &link.io, [&] { link.io.requestVoltage(); });
    QVERIFY(waitUntil([&] { return link.read.count() + link.errors.count() > 0 && volts.count() > 0; }, 10000));
    QCOMPARE(link.read.count(), 1);
    QCOMPARE(link.errors.count(), 0);
    const QStringList lines = link.sim.received();
    QVERIFY2(lines.indexOf(QStringLiteral("at rv")) > lines.lastIndexOf(QRegularExpression(QStringLiteral("^2"))),
        qPrintable(lines.join('|')));
}

// 5. Closed while it listens, the adapter is stopped before its reset, and goes back to its
// power-on rate as after any close.
void TestLinkConformance::closeWhileListening()
{
    Link link({"--flow-control", "wait"}, answersLong, elm);
    link.io.setStrictMode(true);
    QVERIFY(link.sim.start());
    QVERIFY(link.setup(elm, 38400, false, true));
    QCOMPARE(link.eventTexts('=').last(), QStringLiteral("rate 500000"));
    link.io.send(ELM_Message(longRequest, 1, 200));
    QVERIFY(link.sim.waitForReceived(QStringLiteral("at ma"), 5000));
    link.io.close();
    QVERIFY(waitUntil([&] { return link.eventTexts('=').last() == QStringLiteral("rate 38400"); }, 5000));
}

VELTRANO_TEST_MAIN(TestLinkConformance)
#include "tst_linkconformance.moc"
