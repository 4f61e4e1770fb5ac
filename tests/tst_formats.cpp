// The firmware file checks of the manager and the firmware package reader of the updater.

#include "testsupport.h"

#include <dfupackage.h>
#include <firmwarefile.h>

#include <QBuffer>
#include <QTemporaryDir>
#include <QtEndian>

namespace {

QByteArray le32(quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray header(quint32 magic, quint32 board, quint32 infoLength)
{
    return le32(magic) + le32(board) + le32(infoLength);
}

// Remembers the largest read the reader asked for, to catch lengths taken on trust.
class RecordingBuffer : public QBuffer
{
public:
    qint64 largestRead = 0;

protected:
    qint64 readData(char *data, qint64 maxlen) override
    {
        largestRead = qMax(largestRead, maxlen);
        return QBuffer::readData(data, maxlen);
    }
};

constexpr quint32 board = 0x00C0FFEE;

} // namespace

class TestFormats : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return QString();
        return file.fileName();
    }

private slots:
    void targetName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("target");
        QTest::newRow("upper-case extension kept") << "/fw/FW.BIN"
                                                   << "FW.BIN";
        QTest::newRow("12 characters cut to themselves") << "firmware.bin"
                                                         << "firmware.bin";
        QTest::newRow("long base cut to 12") << "/a/b/my_firmware_2020.bin"
                                             << "my_firmware_.bin";
        QTest::newRow("9 characters kept") << "fw.v2.bin"
                                           << "fw.v2.bin";
        QTest::newRow("base name ends at the first dot") << "fw.v2.1.bin"
                                                         << "fw.bin";
        QTest::newRow("other extension offered as .bin") << "image.hex"
                                                         << "image.bin";
    }

    void targetName()
    {
        QFETCH(QString, path);
        QFETCH(QString, target);
        QCOMPARE(FirmwareFile::targetName(path), target);
    }

    void readSlice_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("text"); // empty when the slice is taken
        QByteArray image(int(FirmwareFile::fileSize), '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7 + i / 251);
        const QByteArray markerA = QByteArray::fromHex("5a5a5a5acccccccc");
        const QByteArray markerB = QByteArray::fromHex("5a5a5a5affffffff");
        QByteArray onlyA = image;
        onlyA.replace(int(FirmwareFile::markerAOffset), 8, markerA);
        QByteArray both = onlyA;
        both.replace(int(FirmwareFile::markerBOffset), 8, markerB);
        QTest::newRow("wrong size") << both.left(both.size() - 1)
                                    << m_dir.filePath("fw.bin") + " is not a firmware file";
        QTest::newRow("zeros") << QByteArray(int(FirmwareFile::fileSize), '\0') << "Firmware file is corrupted";
        QTest::newRow("marker B missing") << onlyA << "Firmware file is corrupted";
        QTest::newRow("markers in place") << both << QString();
    }

    void readSlice()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        const QString path = writeFile(QStringLiteral("fw.bin"), content);
        QVERIFY(!path.isEmpty());
        const FirmwareFile::Slice slice = FirmwareFile::read(path);
        QCOMPARE(slice.ok, text.isEmpty());
        if (text.isEmpty()) {
            QCOMPARE(slice.data.size(), 102112);
            QVERIFY(slice.data == content.mid(0x1C2000, 102112));
        } else {
            QCOMPARE(slice.title, QStringLiteral("File Upload"));
            QCOMPARE(slice.text, text);
            QVERIFY(slice.data.isEmpty());
        }
    }

    void readMissingFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("absent.bin"));
        const FirmwareFile::Slice slice = FirmwareFile::read(path);
        QVERIFY(!slice.ok);
        QCOMPARE(slice.title, QStringLiteral("File Upload"));
        QVERIFY2(slice.text.startsWith(QStringLiteral("Cannot read file %1: ").arg(path)), qPrintable(slice.text));
        QVERIFY(slice.text.size() > QStringLiteral("Cannot read file %1: ").arg(path).size());
    }

    void activeSelection()
    {
        QCOMPARE(FirmwareFile::activeSelection({}), QByteArray("[]"));
        QCOMPARE(FirmwareFile::activeSelection({"a.bin", "b b.bin"}), QByteArray(R"(["a.bin","b b.bin"])"));
        QCOMPARE(FirmwareFile::activeConfigName, QStringLiteral("active.cfg"));
    }

    void packageHeader_data()
    {
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<qint64>("imageOffset");
        QTest::addColumn<qint64>("imageSize");
        const QByteArray word("\x01\x02\x03\x04", 4);
        const int valid = int(DfuPackage::Verdict::Valid);
        QTest::newRow("15 bytes") << header(DfuPackage::magic, board, 0).append("abc")
                                  << int(DfuPackage::Verdict::Invalid) << qint64(0) << qint64(0);
        QTest::newRow("16 bytes, no info")
            << header(DfuPackage::magic, board, 0) + word << valid << qint64(12) << qint64(4);
        // Five info bytes are followed by three padding bytes.
        QTest::newRow("info 5") << header(DfuPackage::magic, board, 5) + "QUJD=" + "PPP" + word << valid << qint64(20)
                                << qint64(4);
        QTest::newRow("info 8") << header(DfuPackage::magic, board, 8) + "QUJDREVG" + word << valid << qint64(20)
                                << qint64(4);
        QTest::newRow("wrong magic") << header(0x424210F1, board, 0) + word << int(DfuPackage::Verdict::NotAPackage)
                                     << qint64(0) << qint64(0);
        QTest::newRow("other board") << header(DfuPackage::magic, board + 1, 0) + word
                                     << int(DfuPackage::Verdict::OtherBoard) << qint64(0) << qint64(0);
        // The length field lies: a cut-off file, refused rather than flashed as an empty image.
        const int invalid = int(DfuPackage::Verdict::Invalid);
        QTest::newRow("info longer than the file")
            << header(DfuPackage::magic, board, 0xFFFFFFF0) + "QUJDREVG" << invalid << qint64(0) << qint64(0);
        QTest::newRow("padding past the end")
            << header(DfuPackage::magic, board, 5) + "QUJD=" << invalid << qint64(0) << qint64(0);
        QTest::newRow("info and padding, no image")
            << header(DfuPackage::magic, board, 5) + "QUJD=" + "PPP" << valid << qint64(20) << qint64(0);
    }

    void packageHeader()
    {
        QFETCH(QByteArray, package);
        QFETCH(int, verdict);
        QFETCH(qint64, imageOffset);
        QFETCH(qint64, imageSize);
        RecordingBuffer file;
        file.setData(package);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const DfuPackage::Header h = DfuPackage::read(file, board);
        QCOMPARE(int(h.verdict), verdict);
        QVERIFY2(file.largestRead <= package.size(), qPrintable(QString::number(file.largestRead)));
        if (h.verdict != DfuPackage::Verdict::Valid)
            return;
        QCOMPARE(h.imageOffset, imageOffset);
        QCOMPARE(h.imageSize, imageSize);
        QCOMPARE(file.pos(), imageOffset);
    }

    void infoText()
    {
        QBuffer file;
        file.setData(DfuPackage::build(board, QByteArray("v2.1 \xe9t\xe9\0tail", 12), "img"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        // Latin-1, up to the first zero byte.
        QCOMPARE(DfuPackage::read(file, board).info, QString::fromLatin1("v2.1 \xe9t\xe9"));
    }

    void buildRoundTrip()
    {
        QByteArray image(1001, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i);
        QBuffer file;
        file.setData(DfuPackage::build(board, "Kestrane K2 firmware 3.0", image));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const DfuPackage::Header h = DfuPackage::read(file, board);
        QCOMPARE(int(h.verdict), int(DfuPackage::Verdict::Valid));
        QCOMPARE(h.board, board);
        QCOMPARE(h.info, QStringLiteral("Kestrane K2 firmware 3.0"));
        QCOMPARE(h.imageOffset % 4, qint64(0));
        QCOMPARE(h.imageSize, qint64(image.size()));
        QCOMPARE(file.readAll(), image);
    }

    void refusalTexts()
    {
        QCOMPARE(DfuPackage::refusalText(DfuPackage::Verdict::Invalid, "/x/p.dfu"),
            QStringLiteral("Firmware package is invalid"));
        QCOMPARE(DfuPackage::refusalText(DfuPackage::Verdict::NotAPackage, "/x/p.dfu"),
            QStringLiteral("p.dfu is not a firmware package"));
        QCOMPARE(DfuPackage::refusalText(DfuPackage::Verdict::OtherBoard, "/x/p.dfu"),
            QStringLiteral(
                "Incompatible hardware detected.\np.dfu firmware package is designed for a different board"));
        QVERIFY(DfuPackage::refusalText(DfuPackage::Verdict::Valid, "/x/p.dfu").isEmpty());
    }

    void imageSizeLimit()
    {
        const quint32 flashSize = 0x60000;
        QVERIFY(DfuPackage::fits(flashSize, flashSize));
        QVERIFY(!DfuPackage::fits(qint64(flashSize) + 1, flashSize));
        QVERIFY(DfuPackage::fits(0, 0));
        QCOMPARE(DfuPackage::tooBigText(1),
            QStringLiteral("Cannot flash this firmware - it is 1 bytes bigger than maximum flash space available"));
    }
};

VELTRANO_TEST_MAIN(TestFormats)
#include "tst_formats.moc"
