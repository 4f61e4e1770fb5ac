#include "firmwarefile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace FirmwareFile {

const QString activeConfigName = QStringLiteral("active.cfg");

namespace {

const QByteArray markerA = QByteArray::fromHex("5a5a5a5acccccccc");
const QByteArray markerB = QByteArray::fromHex("5a5a5a5affffffff");

// The device's file system keeps short names: a long one is cut to its base name's first
// twelve characters.
constexpr int longestKeptName = 9;
constexpr int cutBaseName = 12;

Slice failure(const QString &title, const QString &text)
{
    Slice slice;
    slice.title = title;
    slice.text = text;
    return slice;
}

bool markerAt(QFile &file, qint64 offset, const QByteArray &marker)
{
    return file.seek(offset) && file.read(marker.size()) == marker;
}

} // namespace

QString targetName(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString base = info.baseName(); // up to the first dot
    QString target = name.endsWith(QLatin1String(".bin"), Qt::CaseInsensitive) ? name : base + QLatin1String(".bin");
    if (target.size() > longestKeptName)
        target = base.left(cutBaseName) + QLatin1String(".bin");
    return target;
}

Slice read(const QString &path)
{
    const QString title = QCoreApplication::translate("ManagerWindow", "File Upload");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failure(title,
            QCoreApplication::translate("ManagerWindow", "Cannot read file %1: %2").arg(path, file.errorString()));
    if (file.size() != fileSize)
        return failure(title, QCoreApplication::translate("ManagerWindow", "%1 is not a firmware file").arg(path));
    if (!markerAt(file, markerAOffset, markerA) || !markerAt(file, markerBOffset, markerB))
        return failure(title, QCoreApplication::translate("ManagerWindow", "Firmware file is corrupted"));
    Slice slice;
    if (file.seek(sliceOffset))
        slice.data = file.read(sliceSize);
    // The size was right a moment ago; a short read now is a failing disk or a file being
    // replaced, and must not upload a truncated image.
    if (slice.data.size() != sliceSize)
        return failure(title,
            QCoreApplication::translate("ManagerWindow", "Cannot read file %1: %2").arg(path, file.errorString()));
    slice.ok = true;
    return slice;
}

QByteArray activeSelection(const QStringList &ticked)
{
    return QJsonDocument(QJsonArray::fromStringList(ticked)).toJson(QJsonDocument::Compact);
}

} // namespace FirmwareFile
