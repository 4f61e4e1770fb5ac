// Framing of adapter messages (raw CAN and ISO-TP) and the shared serial-port list.
#include "testsupport.h"

#include <elm327iobase.h>
#include <elmmessage.h>
#include <serialports.h>

#include <QSerialPort>
#include <QSerialPortInfo>

namespace {

QByteArray counting(int n) // 01 02 03 ... n
{
    QByteArray bytes;
    for (int i = 1; i <= n; ++i)
        bytes.append(char(i));
    return bytes;
}

} // namespace

class TestElmMessage : public QObject
{
    Q_OBJECT

private slots:
    // A message's cursor through its frames: ISO-TP's (framed as tst_isotp checks) around the
    // single frame's limit; raw CAN's, eight bytes a frame, no control byte.
    void framing_data()
    {
        QTest::addColumn<bool>("isoTp");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QList<QByteArray>>("frames");
        using Frames = QList<QByteArray>;
        QTest::newRow("ISO-TP, empty: nothing") << true << QByteArray() << Frames();
        QTest::newRow("ISO-TP, 7 bytes: largest single") << true << counting(7) << Frames {"0701020304050607"};
        QTest::newRow("ISO-TP, 8 bytes: smallest first, five fill bytes")
            << true << counting(8) << Frames {"1008010203040506", "2107080000000000"};
        QTest::newRow("raw, 9 bytes: full frame, then one byte")
            << false << counting(9) << Frames {"0102030405060708", "09"};
        QTest::newRow("raw, 8 bytes: one frame") << false << counting(8) << Frames {"0102030405060708"};
        QTest::newRow("raw, 3 bytes: no control byte") << false << QByteArray::fromHex("22F190") << Frames {"22f190"};
        QTest::newRow("raw, empty: nothing") << false << QByteArray() << Frames();
    }

    void framing()
    {
        QFETCH(bool, isoTp);
        QFETCH(QByteArray, payload);
        QFETCH(QList<QByteArray>, frames);
        ELM_Message iso(payload, 1, 200);
        ELM_BasicMessage raw(payload, 0, 10);
        ELM_BasicMessage &msg = isoTp ? iso : raw;
        QList<QByteArray> taken;
        for (int left = msg.framesLeft(); left > 0; --left) {
            QVERIFY(!msg.atEnd() && msg.framesLeft() == left); // the cursor keeps in step
            taken << msg.nextFrame();
        }
        QVERIFY(msg.atEnd() && msg.framesLeft() == 0);
        QCOMPARE(taken, frames);
    }

    void copyContinuesWhereSourceStood()
    {
        QObject owner;
        ELM_Message iso(counting(10), 1, 200);
        iso.setParent(&owner);
        iso.nextFrame();
        ELM_Message isoCopy(iso);
        QCOMPARE(isoCopy.parent(), &owner);
        QCOMPARE(isoCopy.nextFrame(), QByteArray("210708090a000000"));
        QCOMPARE(iso.framesLeft(), 1); // each copy has its own cursor
        ELM_BasicMessage raw(counting(9), 0, 10);
        raw.nextFrame();
        ELM_BasicMessage rawCopy;
        rawCopy = raw;
        QCOMPARE(rawCopy.nextFrame(), QByteArray("09"));
    }

    void extraPortsFollowSystemPorts()
    {
        QTemporaryDir dir;
        const QString present = dir.filePath(QStringLiteral("sim0"));
        QVERIFY(QFile(present).open(QIODevice::WriteOnly));
        // A missing one is left out, a repeated one listed once; a network adapter is listed as
        // written, though on Unix its name holds the list's separator.
        const QString network = QStringLiteral("tcp://127.0.0.1:35000");
        const QStringList extra {present, dir.filePath(QStringLiteral("gone0")), network, present};
        qputenv("VELTRANO_EXTRA_PORTS", extra.join(QDir::listSeparator()).toLocal8Bit());
        QStringList expected;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            expected << info.portName();
        expected << present << network;
        QCOMPARE(availableSerialPortNames(), expected);
        qunsetenv("VELTRANO_EXTRA_PORTS");
        QVERIFY(!availableSerialPortNames().contains(present));
    }

    void portsAsPeopleTypeThem_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("listed");
        // An extra port as the simulator makes one: a link to a pty's device node.
        const QString node = m_ports.filePath(QStringLiteral("node"));
        const QString extra = m_ports.filePath(QStringLiteral("k0"));
        const QString alias = m_ports.filePath(QStringLiteral("station-1"));
        const QString other = m_ports.filePath(QStringLiteral("other"));
        QFile(node).open(QIODevice::WriteOnly);
        QFile(other).open(QIODevice::WriteOnly);
        QFile::link(node, extra);
        QFile::link(extra, alias);
        QTest::newRow("extra port as listed") << extra << extra;
        QTest::newRow("link to an extra port") << alias << extra;
        QTest::newRow("where an extra port leads") << node << extra;
        QTest::newRow("a file that is no port") << other << QString();
        QTest::newRow("nothing there") << m_ports.filePath(QStringLiteral("gone")) << QString();
        QTest::newRow("unlisted name") << QStringLiteral("veltrano-no-such-port") << QString();
        const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
        if (system.isEmpty())
            return;
        const QSerialPortInfo &first = system.first();
        const QString byId = m_ports.filePath(QStringLiteral("usb-FTDI_FT232R-if00-port0"));
        QFile::link(first.systemLocation(), byId);
        QTest::newRow("system port as listed") << first.portName() << first.portName();
        QTest::newRow("system location") << first.systemLocation() << first.portName();
        QTest::newRow("stable link to a system port") << byId << first.portName();
    }

    void portsAsPeopleTypeThem()
    {
        QFETCH(QString, typed);
        QFETCH(QString, listed);
        qputenv("VELTRANO_EXTRA_PORTS", m_ports.filePath(QStringLiteral("k0")).toLocal8Bit());
        QCOMPARE(resolveSerialPort(typed), listed);
        QSerialPort port;
        QCOMPARE(assignSerialPort(port, typed), !listed.isEmpty());
        qunsetenv("VELTRANO_EXTRA_PORTS");
    }

private:
    QTemporaryDir m_ports;
};

VELTRANO_TEST_MAIN(TestElmMessage)
#include "tst_elmmessage.moc"
