#include "dfupackage.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

namespace DfuPackage {

namespace {

constexpr int headerSize = 12; // magic, board, infoLength
constexpr qint64 leastPackage = 16; // a header and at least one word
constexpr int imageAlign = 4;

// Reads at most what the file still holds: a length field from the file must not decide how
// much memory is taken.
QByteArray readAvailable(QIODevice &file, qint64 wanted)
{
    const qint64 left = qMax<qint64>(0, file.size() - file.pos());
    return file.read(qMin(wanted, left));
}

const QByteArray digestKey = QByteArrayLiteral("sha256=");
constexpr int digestDigits = 64;

// What follows the text's terminating zero byte: nothing, a digest, or something that claims to be
// one and is not, an empty or a second digest field among them (returned so that it never matches
// an image).
QByteArray carriedDigest(const QByteArray &decodedInfo)
{
    const int nul = decodedInfo.indexOf('\0');
    if (nul < 0)
        return QByteArray();
    QList<QByteArray> digests;
    for (const QByteArray &field : decodedInfo.mid(nul + 1).split('\0')) {
        if (field.startsWith(digestKey))
            digests << field.mid(digestKey.size()).toLower();
    }
    if (digests.isEmpty())
        return QByteArray();
    return digests.size() == 1 && !digests.first().isEmpty() ? digests.first() : digestKey;
}

// The image's SHA-256 in hex, read from the file's position to its end; the position is kept.
QByteArray imageDigest(QIODevice &file)
{
    const qint64 start = file.pos();
    const QByteArray image = readAvailable(file, file.size() - start);
    file.seek(start);
    return QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
}

void appendLe32(QByteArray &bytes, quint32 value)
{
    char word[4];
    qToLittleEndian(value, word);
    bytes.append(word, sizeof word);
}

} // namespace

QString load(const QString &path, QByteArray &bytes)
{
    bytes.clear();
    // A named pipe or a device would hold the open until something writes to it, maybe for ever.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return QCoreApplication::translate("HIDDfu", "not a regular file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    // Read whole, but never into more room than the file needs: a size checked first.
    if (file.size() <= largestPackage)
        bytes = file.readAll();
    QString problem;
    if (file.error() != QFileDevice::NoError)
        problem = file.errorString();
    else if (file.size() > largestPackage || bytes.size() > largestPackage)
        problem = QCoreApplication::translate("HIDDfu", "larger than %1 MiB, more than any device holds")
                      .arg(largestPackage >> 20);
    if (!problem.isEmpty())
        bytes.clear();
    return problem;
}

Header inspect(QIODevice &file)
{
    Header header;
    if (file.size() < leastPackage)
        return header;
    const QByteArray fixed = readAvailable(file, headerSize);
    if (fixed.size() < headerSize || qFromLittleEndian<quint32>(fixed.constData()) != magic) {
        header.verdict = Verdict::NotAPackage;
        return header;
    }
    header.board = qFromLittleEndian<quint32>(fixed.constData() + 4);
    const quint32 infoLength = qFromLittleEndian<quint32>(fixed.constData() + 8);
    // A header that claims more than the file holds belongs to a cut-off or damaged file. Taking
    // what is there would leave an empty image, and flashing that erases the device's firmware.
    const qint64 paddedInfo = qint64(infoLength) + (imageAlign - infoLength % imageAlign) % imageAlign;
    if (paddedInfo > file.size() - file.pos())
        return header;
    if (infoLength != 0) {
        const QByteArray decoded = QByteArray::fromBase64(readAvailable(file, infoLength));
        const int nul = decoded.indexOf('\0');
        header.info = QString::fromLatin1(nul < 0 ? decoded : decoded.left(nul));
        header.digest = carriedDigest(decoded);
        readAvailable(file, paddedInfo - infoLength);
    }
    header.imageOffset = file.pos();
    header.imageSize = file.size() - file.pos();
    header.verdict = header.imageSize > 0 ? Verdict::Valid : Verdict::NoImage;
    if (header.verdict == Verdict::Valid && !header.digest.isEmpty()
        && (header.digest.size() != digestDigits || imageDigest(file) != header.digest))
        header.verdict = Verdict::Damaged;
    return header;
}

Header read(QIODevice &file, quint32 boardId)
{
    Header header = inspect(file);
    if (header.verdict == Verdict::Valid && header.board != boardId)
        header.verdict = Verdict::OtherBoard;
    return header;
}

QString refusalText(Verdict verdict, const QString &fileName)
{
    const QString name = QFileInfo(fileName).fileName();
    switch (verdict) {
    case Verdict::Invalid:
        return QCoreApplication::translate("HIDDfu", "Firmware package is invalid");
    case Verdict::NotAPackage:
        return QCoreApplication::translate("HIDDfu", "%1 is not a firmware package").arg(name);
    case Verdict::OtherBoard:
        return QCoreApplication::translate(
            "HIDDfu", "Incompatible hardware detected.\n%1 firmware package is designed for a different board")
            .arg(name);
    case Verdict::NoImage:
        return QCoreApplication::translate("HIDDfu", "%1 holds no firmware image").arg(name);
    case Verdict::Damaged:
        return QCoreApplication::translate("HIDDfu", "%1 is damaged: its image does not match the digest it carries")
            .arg(name);
    case Verdict::Valid:
        break;
    }
    return QString();
}

QByteArray imageSha256(const QByteArray &package, const Header &header)
{
    return QCryptographicHash::hash(
        package.mid(int(header.imageOffset), int(header.imageSize)), QCryptographicHash::Sha256)
        .toHex();
}

bool fits(qint64 imageSize, quint32 flashSize)
{
    return imageSize <= qint64(flashSize);
}

QString tooBigText(qint64 excessBytes)
{
    return QCoreApplication::translate(
        "HIDDfu", "Cannot flash this firmware - it is %1 bytes bigger than maximum flash space available")
        .arg(excessBytes);
}

QByteArray build(quint32 board, const QByteArray &infoText, const QByteArray &image, bool withDigest)
{
    QByteArray block = infoText;
    if (withDigest)
        block += '\0' + digestKey + QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
    const QByteArray info = block.toBase64();
    QByteArray package;
    appendLe32(package, magic);
    appendLe32(package, board);
    appendLe32(package, quint32(info.size()));
    package += info;
    package.append((imageAlign - info.size() % imageAlign) % imageAlign, '\0');
    package += image;
    return package;
}

} // namespace DfuPackage
