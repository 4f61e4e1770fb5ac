// ISO-TP on its own: the state machine fed frames and the time, with no adapter and no port.
#include "testsupport.h"

#include <isotptransport.h>

#include <numeric>

namespace {

using Output = IsoTpTransport::Output;

// What one call gave back, in one line: "st=N" for a separation time, each frame to send as
// hex/replies, "=hex" for a message received whole, "!reason" for an error.
QString said(const Output &out)
{
    QStringList words;
    if (out.separationMs >= 0)
        words << QStringLiteral("st=%1").arg(out.separationMs);
    for (const CanFrame &frame : out.frames)
        words << QStringLiteral("%1/%2").arg(QString::fromLatin1(frame.bytes.toHex())).arg(frame.replies);
    for (const QByteArray &message : out.messages)
        words << '=' + QString::fromLatin1(message.toHex());
    for (const IsoTpTransport::Error &error : out.errors)
        words << '!' + error.reason;
    if (out.listenForFlowControl)
        words << QStringLiteral("listen");
    return words.join(' ');
}

QByteArray counting(int n) // 01 02 03 ..., so that a byte in the wrong place shows
{
    QByteArray bytes(n, Qt::Uninitialized);
    std::iota(bytes.begin(), bytes.end(), char(1));
    return bytes;
}

// At `at` ms: send (s) or receive (r) the bytes, or see what has expired (e), or note that the
// First Frame went out again (f); and what that gives back, as said() puts it.
struct Step
{
    qint64 at;
    char call;
    QByteArray hex;
    QString gives;
};
using Script = QList<Step>;

} // namespace

Q_DECLARE_METATYPE(Script)

class TestIsoTp : public QObject
{
    Q_OBJECT

private slots:
    void script_data()
    {
        QTest::addColumn<Script>("steps");
        const auto row = [](const char *name, const Script &steps) { QTest::newRow(name) << steps; };
        // Twenty bytes: six in the First Frame, seven in each Consecutive Frame.
        const QByteArray p20 = counting(20).toHex();
        const QByteArray ff = "1014" + p20.left(12), cf1 = "21" + p20.mid(12, 14), cf2 = "22" + p20.mid(26);
        const QString sent = ff + "/1", stray = "!consecutive frame with no message under way ignored";
        const QString noFlow = "!flow control with no message waiting for one ignored";
        const QString p20received = "=" + p20;
        row("single frame: its fill dropped", {{0, 'r', "0362f19000000000", "=62f190"}});
        row("single frame amid a message",
            {{0, 'r', ff, "300200/2"}, {1, 'r', "0362f190", "=62f190"}, {2, 'r', cf1, ""}, {3, 'r', cf2, p20received}});
        // Frames not valid where the exchange stands are ignored, and a good reception goes on.
        row("single frames that carry less than they announce, or nothing",
            {{0, 'r', "0062f190", "!single frame announcing 0 bytes ignored"},
                {1, 'r', "0862f19000000000", "!single frame announcing 8 bytes ignored"},
                {2, 'r', "0f62f19000000000", "!single frame announcing 15 bytes ignored"},
                {3, 'r', "0562f1", "!single frame carrying 2 of the 5 bytes it announces ignored"}});
        row("invalid first frames amid a message",
            {{0, 'r', ff, "300200/2"}, {1, 'r', cf1, ""}, {2, 'r', "10140102030405", "!first frame of 7 bytes ignored"},
                {3, 'r', "1007010203040506", "!first frame announcing 7 bytes ignored"}, {4, 'r', cf2, p20received}});
        row("stray flow control and unknown frame amid a message",
            {{0, 'r', ff, "300200/2"}, {1, 'r', "300000", noFlow}, {2, 'r', "4000", "!frame of unknown type 4 ignored"},
                {3, 'r', cf1, ""}, {4, 'r', cf2, p20received}});
        row("short consecutive frame before the last",
            {{0, 'r', ff, "300200/2"},
                {1, 'r', "21" + p20.mid(12, 6), "!consecutive frame of 4 bytes before the last ignored"},
                {2, 'r', cf1, ""}, {3, 'r', cf2, p20received}});
        // The last frame may come without its fill, as long as it carries the bytes still missing.
        row("last frame unpadded",
            {{0, 'r', "100f" + p20.left(12), "300200/2"}, {1, 'r', cf1, ""},
                {2, 'r', "22" + p20.mid(26, 4), "=" + p20.left(30)}});
        row("last frame short of the announced length",
            {{0, 'r', "100d" + p20.left(12), "300100/1"},
                {1, 'r', "21" + p20.mid(12, 4), "!message shorter than announced (8 of 13 bytes)"},
                {2, 'r', cf1, stray}});
        row("consecutive frame with no message under way", {{0, 'r', cf1, stray}});
        row("wrong sequence number",
            {{0, 'r', ff, "300200/2"}, {1, 'r', cf2, "!rx sequence 2, expected 1"}, {2, 'r', cf1, stray}});
        // N_Cr: each frame gives the next its full time.
        row("consecutive frame overdue",
            {{0, 'r', ff, "300200/2"}, {900, 'r', cf1, ""}, {1899, 'e', "", ""},
                {1900, 'e', "", "!message broken off after 13 of 20 bytes: no consecutive frame within 1000 ms"},
                {1950, 'r', cf2, stray}});
        // The receiver's block size is kept: each block's last frame is answered by its next flow
        // control, and its separation time is handed back.
        row("block size 1",
            {{0, 's', p20, sent}, {5, 'r', "30010a", "st=10 " + cf1 + "/1"},
                {7, 'r', "30010a", "st=10 " + cf2 + "/1"}});
        // N_Bs: counted from the First Frame's last write.
        row("flow control overdue",
            {{0, 's', p20, sent}, {600, 'f', "", ""}, {1599, 'e', "", ""},
                {1600, 'e', "", "!no flow control within 1000 ms: the rest of the message is dropped"},
                {1700, 'r', "300000", noFlow}});
        // WAIT restarts N_Bs and asks for the next flow control to be listened for, ten times in a row.
        row("WAIT three times, then CTS",
            {{0, 's', p20, sent}, {5, 'r', "310000", "listen"}, {900, 'r', "310000", "listen"}, {1899, 'e', "", ""},
                {1800, 'r', "310000", "listen"}, {1900, 'r', "300000", "st=0 " + cf1 + "/0 " + cf2 + "/1"}});
        // A CTS that came before the adapter listened again is missed: once, the First Frame goes
        // again, the adapter told to listen until the device falls quiet.
        row("WAIT, then no flow control: the First Frame once more",
            {{0, 's', p20, sent}, {5, 'r', "310000", "listen"}, {1005, 'e', "", ff + "/16"},
                {1010, 'r', "310000", "listen"},
                {2010, 'e', "", "!no flow control within 1000 ms: the rest of the message is dropped"}});
        Script waits {{0, 's', p20, sent}};
        for (int i = 1; i <= 10; ++i)
            waits << Step {i, 'r', "310000", "listen"};
        row("WAIT eleven times",
            waits + Script {{11, 'r', "310000", "!the device kept asking to wait"}, {12, 'r', "300000", noFlow}});
        row("flow control OVERFLOW",
            {{0, 's', p20, sent}, {5, 'r', "320000", "!The device cannot take a message of 20 bytes"}});
        row("flow control with an unknown flow status",
            {{0, 's', p20, sent}, {5, 'r', "370000", "!flow control with flow status 7: the message is aborted"}});
        // STmin: 0x00-0x7F milliseconds; 100-900 us round up to 1 ms; the reserved values mean 127 ms.
        const QString sent8 = "1008010203040506/1", cf8 = " 2107080000000000/1";
        const QByteArray p8 = counting(8).toHex();
        const QList<QPair<QByteArray, int>> separations {
            {"00", 0}, {"7f", 127}, {"80", 127}, {"f0", 127}, {"f1", 1}, {"f9", 1}, {"fa", 127}, {"ff", 127}};
        for (const auto &[st, ms] : separations)
            QTest::newRow(qPrintable("separation time 0x" + st))
                << Script {{0, 's', p8, sent8}, {1, 'r', "3000" + st, QStringLiteral("st=%1").arg(ms) + cf8}};
        row("flow control too short to read",
            {{0, 's', p8, sent8}, {1, 'r', "3000", "!flow control of 2 bytes ignored"},
                {2, 'r', "300000", "st=0" + cf8}});
        row("a new message replaces the one waiting",
            {{0, 's', p20, sent}, {5, 's', "22f190", "0322f190/1"}, {6, 'r', "300000", noFlow}});
    }

    void script()
    {
        QFETCH(Script, steps);
        IsoTpTransport transport;
        for (const Step &step : steps) {
            const QByteArray bytes = QByteArray::fromHex(step.hex);
            Output out;
            if (step.call == 's')
                out = transport.send(bytes, 1, step.at);
            else if (step.call == 'r')
                out = transport.receive(bytes, step.at);
            else if (step.call == 'e')
                out = transport.expire(step.at);
            else
                transport.firstFrameSent(step.at);
            QCOMPARE(said(out), step.gives);
            QVERIFY(transport.nextDeadline() < 0 || transport.nextDeadline() > step.at);
        }
    }

    // Each length sent by one state machine and received by another, which answers with its own
    // flow control: blocks of fifteen at most, sequence numbers from 1 to F and on from 0.
    void lengths_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("head"); // the first frame's control bytes; empty: none sent
        QTest::addColumn<QList<int>>("blocks"); // the block size of each flow control
        QTest::newRow("empty: nothing") << 0 << QByteArray() << QList<int>();
        QTest::newRow("1 byte") << 1 << QByteArray("\x01") << QList<int>();
        QTest::newRow("7 bytes: largest single frame") << 7 << QByteArray("\x07") << QList<int>();
        QTest::newRow("8 bytes: smallest first frame") << 8 << QByteArray("\x10\x08") << QList<int> {1};
        QTest::newRow("13 bytes: last frame full") << 13 << QByteArray("\x10\x0d") << QList<int> {1};
        QTest::newRow("14 bytes") << 14 << QByteArray("\x10\x0e") << QList<int> {2};
        QTest::newRow("111 bytes: one block") << 111 << QByteArray("\x10\x6f") << QList<int> {15};
        QTest::newRow("112 bytes: sequence wraps") << 112 << QByteArray("\x10\x70") << QList<int> {15, 1};
        QTest::newRow("200 bytes") << 200 << QByteArray("\x10\xc8") << QList<int> {15, 13};
        QTest::newRow("4095 bytes: longest") << 4095 << QByteArray("\x1f\xff") << QVector<int>(39, 15).toList();
        QTest::newRow("4096 bytes: refused") << 4096 << QByteArray() << QList<int>();
    }

    void lengths()
    {
        QFETCH(int, size);
        QFETCH(QByteArray, head);
        QFETCH(QList<int>, blocks);
        const QByteArray payload = counting(size);
        IsoTpTransport sender;
        IsoTpTransport receiver;
        const Output first = sender.send(payload, 2, 0);
        QCOMPARE(first.frames.size(), head.isEmpty() ? 0 : 1);
        QCOMPARE(first.errors.size(), size > IsoTpTransport::maxPayload ? 1 : 0);
        if (head.isEmpty())
            return;
        QVERIFY(first.frames.first().bytes.startsWith(head));
        QCOMPARE(first.frames.first().replies, size <= 7 ? 2 : 1); // a First Frame's answer: the flow control
        QVector<CanFrame> frames;
        QList<int> blockSizes;
        QVector<QByteArray> messages;
        Output answer = receiver.receive(first.frames.first().bytes, 0);
        for (int next = 0;; ++next) {
            for (const CanFrame &flowControl : answer.frames) {
                blockSizes << flowControl.replies;
                QCOMPARE(flowControl.bytes, QByteArray("\x30", 1) + char(flowControl.replies) + '\0');
                frames += sender.receive(flowControl.bytes, 0).frames;
            }
            messages += answer.messages;
            if (next == frames.size())
                break;
            answer = receiver.receive(frames.at(next).bytes, 0);
        }
        QCOMPARE(blockSizes, blocks);
        for (int i = 0; i < frames.size(); ++i) {
            QCOMPARE(int(quint8(frames.at(i).bytes.at(0))), 0x20 | ((i + 1) & 0x0f));
            // The last frame of each block of fifteen waits for the next flow control.
            QCOMPARE(frames.at(i).replies, i == frames.size() - 1 ? 2 : (i + 1) % 15 == 0 ? 1 : 0);
        }
        QCOMPARE(messages, QVector<QByteArray> {payload});
        QVERIFY(sender.nextDeadline() < 0 && receiver.nextDeadline() < 0);
    }

    // A strict receiver's block size: no more frames than it allows before its next flow control,
    // the block's last one listened after for it, and the whole message in the end.
    void blockSizes_data()
    {
        QTest::addColumn<int>("blockSize");
        for (int size : {1, 2, 15})
            QTest::newRow(qPrintable(QStringLiteral("block size %1").arg(size))) << size;
    }

    void blockSizes()
    {
        QFETCH(int, blockSize);
        const QByteArray payload = counting(100);
        IsoTpTransport sender;
        QByteArray received = sender.send(payload, 1, 0).frames.first().bytes.mid(2);
        const QByteArray flowControl = QByteArray::fromHex("30") + char(blockSize) + '\0';
        int blocks = 0;
        while (received.size() < payload.size()) {
            const QVector<CanFrame> frames = sender.receive(flowControl, blocks).frames;
            QVERIFY(!frames.isEmpty() && frames.size() <= blockSize);
            for (const CanFrame &frame : frames)
                received += frame.bytes.mid(1);
            received.truncate(qMin(received.size(), payload.size()));
            const bool last = received.size() == payload.size();
            QCOMPARE(frames.last().replies, 1); // the flow control, or the reply to the whole message
            QCOMPARE(sender.awaitsFlowControl(), !last);
            ++blocks;
        }
        QCOMPARE(received, payload);
        QCOMPARE(blocks, (14 + blockSize - 1) / blockSize);
    }
};

VELTRANO_TEST_MAIN(TestIsoTp)
#include "tst_isotp.moc"
