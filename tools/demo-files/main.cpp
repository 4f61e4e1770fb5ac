// Writes the demo's input files: a 2 MiB firmware file in the layout the manager accepts
// (both marker words in place) and a raw firmware image for a bootloader package.
//
//   veltrano-demo-files OUTDIR   -> OUTDIR/FW_DEMO.bin, OUTDIR/demo-image.bin

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

constexpr int firmwareFileSize = 0x200000;
constexpr int sliceOffset = 0x1C2000;
constexpr int sliceSize = 0x18EE0;
constexpr int markerA = 0x1C3200;
constexpr int imageSize = 40 * 1024;

// Deterministic filler, so two demo runs upload the same bytes.
QByteArray pattern(int size, int seed)
{
    QByteArray data(size, '\0');
    quint32 state = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = char(state >> 16);
    }
    return data;
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: veltrano-demo-files OUTDIR\n";
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QByteArray firmware(firmwareFileSize, char(0xFF));
    firmware.replace(sliceOffset, sliceSize, pattern(sliceSize, 1));
    // The manager checks these two marker words before it uploads anything.
    firmware.replace(markerA, 8, QByteArray::fromHex("5a5a5a5acccccccc"));
    firmware.replace(sliceOffset + sliceSize - 8, 8, QByteArray::fromHex("5a5a5a5affffffff"));
    if (!write(out.filePath("FW_DEMO.bin"), firmware) || !write(out.filePath("demo-image.bin"), pattern(imageSize, 2))) {
        err << "cannot write the demo files into " << out.path() << "\n";
        return 1;
    }
    return 0;
}
