// Arbitrary files into the firmware package reader. A valid verdict must describe an image that
// lies inside the file, with the file positioned at its first byte; and a package made by the
// builder must read back as the same board, text and image, or as empty when it has no image.

#include "fuzzsupport.h"

#include <dfupackage.h>

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    constexpr quint32 board = 0x4b455354;
    QBuffer file;
    file.setData(bytes);
    file.open(QIODevice::ReadOnly);
    const DfuPackage::Header header = DfuPackage::read(file, board);
    if (header.verdict == DfuPackage::Verdict::Valid) {
        FUZZ_CHECK(header.imageOffset >= 12 && header.imageOffset % 4 == 0);
        FUZZ_CHECK(header.imageOffset + header.imageSize == bytes.size());
        FUZZ_CHECK(file.pos() == header.imageOffset);
    }
    DfuPackage::refusalText(header.verdict, QString::fromLatin1(bytes.left(40)));

    // The same bytes as information text and image of a package of our own making.
    const int split = bytes.isEmpty() ? 0 : quint8(bytes.at(0)) % (bytes.size() + 1);
    const QByteArray info = bytes.left(split), image = bytes.mid(split);
    // With or without the image's digest; a text that carries a digest field of its own after its
    // zero byte is judged by that one.
    const bool withDigest = split % 2 == 1;
    const int textEnd = info.indexOf('\0');
    const bool ownDigest = textEnd >= 0 && info.mid(textEnd).contains(QByteArray("\0sha256=", 8));
    QBuffer built;
    built.setData(DfuPackage::build(board, info, image, withDigest));
    built.open(QIODevice::ReadOnly);
    const DfuPackage::Header back = DfuPackage::read(built, board);
    if (built.size() >= 16 && image.isEmpty()) {
        FUZZ_CHECK(back.verdict == DfuPackage::Verdict::NoImage);
    } else if (built.size() >= 16 && !ownDigest) {
        FUZZ_CHECK(back.digest.isEmpty() != withDigest);
        FUZZ_CHECK(back.verdict == DfuPackage::Verdict::Valid);
        FUZZ_CHECK(built.readAll() == image);
        const int nul = info.indexOf('\0');
        FUZZ_CHECK(back.info == QString::fromLatin1(nul < 0 ? info : info.left(nul)));
    }
    return 0;
}
