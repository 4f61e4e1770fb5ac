// Arbitrary firmware files into the checks that run before an upload. The fuzzer's bytes are laid
// over a 2 MiB image around the two markers (and may shorten or lengthen the file), so it can
// reach every check; a file that passes must give exactly the bytes between the slice's bounds.
// The file's name, taken from the input too, goes through the device's naming rule.

#include "fuzzsupport.h"

#include <firmwarefile.h>

#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    static QTemporaryDir folder;
    FuzzInput input {data, data + size};
    FUZZ_CHECK(FirmwareFile::targetName(QString::fromUtf8(input.chunk()))
                   .endsWith(QLatin1String(".bin"), Qt::CaseInsensitive));

    const uint8_t sizeShape = input.byte();
    QByteArray image(int(FirmwareFile::fileSize), '\xff');
    const QByteArray nearA = input.chunk();
    const QByteArray nearB = input.rest().left(24);
    image.replace(int(FirmwareFile::markerAOffset) - 8, nearA.size(), nearA);
    image.replace(int(FirmwareFile::markerBOffset) - 8, nearB.size(), nearB);
    if (sizeShape & 0x80)
        image.resize(image.size() + (sizeShape & 0x3f) - 32);
    QFile file(folder.filePath(QStringLiteral("fw.bin")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size())
        abort();
    file.close();

    const FirmwareFile::Slice slice = FirmwareFile::read(file.fileName());
    if (slice.ok) {
        FUZZ_CHECK(image.size() == FirmwareFile::fileSize);
        FUZZ_CHECK(slice.data == image.mid(int(FirmwareFile::sliceOffset), int(FirmwareFile::sliceSize)));
    } else {
        FUZZ_CHECK(!slice.text.isEmpty() && slice.data.isEmpty());
    }
    return 0;
}
