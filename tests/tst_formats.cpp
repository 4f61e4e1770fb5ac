#include "testsupport.h"

#include <dfupackage.h>
#include <firmwarefile.h>

#include <QCryptographicHash>

using DfuPackage::Verdict;
Q_DECLARE_METATYPE(Verdict)

namespace {

constexpr quint32 board = 0x00C0FFEE;

QByteArray header(quint32 magic, quint32 boardId, quint32 infoLength)
{
    QByteArray bytes(12, '\0');
    qToLittleEndian(magic, bytes.data());
    qToLittleEndian(boardId, bytes.data() + 4);
    qToLittleEndian(infoLength, bytes.data() + 8);
    return bytes;
}

// Remembers the largest read the reader asked for, to catch lengths taken on trust.
struct RecordingBuffer : QBuffer
{
    qint64 largestRead = 0;
    qint64 readData(char *data, qint64 maxlen) override
    {
        largestRead = qMax(largestRead, maxlen);
        return QBuffer::readData(data, maxlen);
    }
};

} // namespace

class TestFormats : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // The device keeps names of up to 9 characters; a longer one is cut to 12 of its base name.
    void limits()
    {
        for (const auto &[path, name] : {std::pair {"/fw/FW.BIN", "FW.BIN"}, {"fw.v2.bin", "fw.v2.bin"},
                 {"fw.v21.bin", "fw.bin"}, {"/a/my_firmware_2020.bin", "my_firmware_.bin"}, {"image.hex", "image.bin"}})
            QCOMPARE(FirmwareFile::targetName(QLatin1String(path)), QLatin1String(name));
        // An image exactly as large as the flash still fits.
        QVERIFY(DfuPackage::fits(0x60000, 0x60000) && !DfuPackage::fits(0x60001, 0x60000));
    }

    void readSlice_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<QString>("text"); // how the refusal begins; empty when the slice is taken
        QByteArray onlyA(int(FirmwareFile::fileSize), '\0');
        for (int i = 0; i < onlyA.size(); ++i)
            onlyA[i] = char(i * 7 + i / 251);
        onlyA.replace(int(FirmwareFile::markerAOffset), 8, QByteArray::fromHex("5a5a5a5acccccccc"));
        const QByteArray both
            = QByteArray(onlyA).replace(int(FirmwareFile::markerBOffset), 8, QByteArray::fromHex("5a5a5a5affffffff"));
        const QString path = m_dir.filePath(QStringLiteral("fw.bin"));
        QTest::newRow("missing") << QByteArray() << "Cannot read file " + path + ": ";
        QTest::newRow("one byte short") << both.left(both.size() - 1) << path + " is not a firmware file";
        QTest::newRow("one byte long") << both + '\0' << path + " is not a firmware file";
        QTest::newRow("marker A missing") << QByteArray(both.size(), '\0') << "Firmware file is corrupted";
        QTest::newRow("marker B missing") << onlyA << "Firmware file is corrupted";
        QTest::newRow("markers in place") << both << QString();
    }

    void readSlice()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        QFile file(m_dir.filePath(QStringLiteral("fw.bin")));
        file.remove();
        QVERIFY(content.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(content) == content.size()));
        file.close();
        const FirmwareFile::Slice slice = FirmwareFile::read(file.fileName());
        QCOMPARE(slice.ok, text.isEmpty());
        QCOMPARE(slice.data, text.isEmpty() ? content.mid(0x1C2000, 102112) : QByteArray());
        QVERIFY2(slice.text.startsWith(text), qPrintable(slice.text));
    }

    void packageHeader_data()
    {
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<int>("imageOffset");
        QTest::addColumn<QString>("info");
        const QByteArray word("\x01\x02\x03\x04", 4);
        const quint32 magic = DfuPackage::magic;
        const auto refused = [](const char *row, const QByteArray &package, Verdict verdict) {
            QTest::newRow(row) << package << verdict << 0 << QString();
        };
        refused("15 bytes", header(magic, board, 0) + "abc", Verdict::Invalid);
        refused("wrong magic", header(magic + 1, board, 0) + word, Verdict::NotAPackage);
        refused("other board", header(magic, board + 1, 0) + word, Verdict::OtherBoard);
        // The length field lies: a cut-off file, refused rather than flashed as an empty image.
        refused("info longer than the file", header(magic, board, 0xFFFFFFF0) + "QUJDREVG", Verdict::Invalid);
        refused("padding past the end", header(magic, board, 5) + "QUJD=", Verdict::Invalid);
        // Nothing after the header: flashed, it would leave the device erased.
        refused("no image", header(magic, board, 5) + "QUJD=PPP", Verdict::NoImage);
        QTest::newRow("16 bytes, no info") << header(magic, board, 0) + word << Verdict::Valid << 12 << "";
        // Five info bytes are followed by three padding bytes.
        QTest::newRow("info 5") << header(magic, board, 5) + "QUJD=PPP" + word << Verdict::Valid << 20 << "ABC";
        QTest::newRow("info 8") << header(magic, board, 8) + "QUJDREVG" + word << Verdict::Valid << 20 << "ABCDEF";
        // The text is Latin-1 and ends at its first zero byte.
        QTest::newRow("built") << DfuPackage::build(board, QByteArray("v2.1 \xe9t\xe9\0tail", 12), "image")
                               << Verdict::Valid << 28 << QString::fromLatin1("v2.1 \xe9t\xe9");
        // The image's SHA-256 after the text's zero byte: the text reads as before; a changed image,
        // or a digest cut short, is refused.
        const QByteArray image = QByteArray("firmware image").repeated(40);
        const QByteArray signed_ = DfuPackage::build(board, "FW 2.4", image, true);
        const int offset = int(signed_.size() - image.size());
        QTest::newRow("digest") << signed_ << Verdict::Valid << offset << "FW 2.4";
        QByteArray flipped = signed_;
        flipped[flipped.size() - 7] = char(flipped.at(flipped.size() - 7) ^ 0x10);
        refused("image byte flipped", flipped, Verdict::Damaged);
        const QByteArray cut = QByteArray("FW\0sha256=", 10)
            + QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex().left(63);
        refused("digest cut short", DfuPackage::build(board, cut, image), Verdict::Damaged);
        refused("digest empty", DfuPackage::build(board, QByteArray("FW\0sha256=", 10), image), Verdict::Damaged);
        refused(
            "a second digest", DfuPackage::build(board, QByteArray("FW\0sha256=", 10), image, true), Verdict::Damaged);
    }

    void packageHeader()
    {
        QFETCH(QByteArray, package);
        QFETCH(Verdict, verdict);
        QFETCH(int, imageOffset);
        QFETCH(QString, info);
        RecordingBuffer file;
        file.setData(package);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const DfuPackage::Header h = DfuPackage::read(file, board);
        QCOMPARE(h.verdict, verdict);
        QVERIFY2(file.largestRead <= package.size(), qPrintable(QString::number(file.largestRead)));
        if (h.verdict == Verdict::Valid) {
            QCOMPARE(h.info, info);
            QCOMPARE(h.imageOffset, qint64(imageOffset));
            QCOMPARE(h.imageSize, qint64(package.size() - imageOffset));
            QCOMPARE(file.readAll(), package.mid(imageOffset));
            QCOMPARE(h.digest.isEmpty(), qstrcmp(QTest::currentDataTag(), "digest") != 0);
        }
    }
};

VELTRANO_TEST_MAIN(TestFormats)
#include "tst_formats.moc"
