// Renders the icon artwork (an SVG) at the sizes Windows picks from and writes them
// as one .ico file of 32-bit images with alpha; with --png SIZE, one PNG of that size
// instead, for the Linux desktop's icon theme.

#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QSvgRenderer>
#include <QTextStream>

#include <vector>

namespace {

const int iconSizes[] = {16, 20, 24, 32, 48, 64, 128};

// One icon entry: a BITMAPINFOHEADER, bottom-up BGRA pixels, then the AND mask
// that old readers use for transparency (one bit per pixel, rows padded to 32 bits).
QByteArray dibEntry(const QImage &argb)
{
    const int size = argb.width();
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const int maskStride = ((size + 31) / 32) * 4;
    out << quint32(40) << qint32(size) << qint32(size * 2) << quint16(1) << quint16(32) << quint32(0)
        << quint32(size * size * 4 + maskStride * size) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = size - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        for (int x = 0; x < size; ++x)
            out << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
                << quint8(qAlpha(line[x]));
    }
    for (int y = size - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < size; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.writeRawData(row.constData(), row.size());
    }
    return data;
}

QImage render(QSvgRenderer &renderer, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    QStringList args = app.arguments().mid(1);
    int pngSize = 0; // 0: write the .ico
    bool usable = true;
    if (args.value(0) == QLatin1String("--png")) {
        pngSize = args.value(1).toInt(&usable);
        usable = usable && pngSize > 0 && pngSize <= 1024;
        args = args.mid(2);
    }
    if (!usable || args.size() != 2) {
        err << "usage: veltrano-make-icon [--png SIZE] ARTWORK.svg OUTPUT\n";
        return 2;
    }
    QSvgRenderer renderer(args[0]);
    if (!renderer.isValid()) {
        err << "cannot read the artwork " << args[0] << "\n";
        return 1;
    }

    if (pngSize > 0) {
        if (!render(renderer, pngSize).save(args[1], "PNG")) {
            err << "cannot write " << args[1] << "\n";
            return 1;
        }
        return 0;
    }

    std::vector<QByteArray> entries;
    for (int size : iconSizes)
        entries.push_back(dibEntry(render(renderer, size)));

    QByteArray ico;
    QDataStream out(&ico, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const int count = int(entries.size());
    out << quint16(0) << quint16(1) << quint16(count);
    quint32 offset = 6 + 16 * count;
    for (int i = 0; i < count; ++i) {
        const int size = iconSizes[i];
        // A width or height of 256 would be written as 0; ours stay below.
        out << quint8(size) << quint8(size) << quint8(0) << quint8(0) << quint16(1) << quint16(32)
            << quint32(entries[i].size()) << offset;
        offset += entries[i].size();
    }
    for (const QByteArray &entry : entries)
        out.writeRawData(entry.constData(), entry.size());

    QFile file(args[1]);
    if (!file.open(QIODevice::WriteOnly) || file.write(ico) != ico.size()) {
        err << "cannot write " << args[1] << "\n";
        return 1;
    }
    return 0;
}
