#include "firmwarefile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QVector>

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

QString nameProblem(const QString &name)
{
    QStringList faults;
    QString shownName; // control characters would act on the terminal or the box that shows the name
    const QVector<uint> codes = name.toUcs4();
    for (const uint code : codes) {
        const char32_t character = code;
        const bool printable = QChar::isPrint(code);
        shownName += printable ? QString::fromUcs4(&character, 1) : QString(QChar::ReplacementCharacter);
        if (code >= 0x20 && code <= 0x7E)
            continue;
        QString fault = QStringLiteral("U+") + QString::number(code, 16).toUpper().rightJustified(4, QLatin1Char('0'));
        if (printable)
            fault = QStringLiteral("\"%1\" (%2)").arg(QString::fromUcs4(&character, 1), fault);
        if (!faults.contains(fault))
            faults << fault;
    }
    if (faults.isEmpty())
        return QString();
    return QCoreApplication::translate("ManagerWindow",
        "The device cannot store the name %1 exactly: it holds %2. Rename the file using only ASCII letters, "
        "digits, spaces and punctuation.")
        .arg(shownName, faults.join(QLatin1String(", ")));
}

Slice read(const QString &path)
{
    const QString title = QCoreApplication::translate("ManagerWindow", "File Upload");
    // Opening a named pipe or a device waits until something writes to it, for ever perhaps.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return failure(title, QCoreApplication::translate("ManagerWindow", "%1 is not a regular file").arg(path));
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
