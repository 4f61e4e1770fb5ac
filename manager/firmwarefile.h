#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The checks a firmware `.bin` file passes before its slice is uploaded, and the active
// selection document; without dialogs, so that the window, the command-line tool and the
// tests share them. Texts are translated in the window's context, which shows them.
namespace FirmwareFile {

constexpr qint64 fileSize = 0x200000; // the whole flash image the file holds
constexpr qint64 sliceOffset = 0x1C2000; // where the uploaded part begins
constexpr qint64 sliceSize = 0x18EE0; // 102,112 bytes, ending at 0x1DAEE0
constexpr qint64 markerAOffset = 0x1C3200; // 5A5A5A5A CCCCCCCC, inside the slice
constexpr qint64 markerBOffset = 0x1DAED8; // 5A5A5A5A FFFFFFFF, the slice's last 8 bytes

// The name the file is stored under on the device.
QString targetName(const QString &path);

// Why the device cannot store `name` exactly, naming the characters at fault; empty when it can.
// The device takes a name in Latin-1 when a file is selected and in UTF-8 when it is removed, so
// only printable ASCII, which reads the same in both, names one file for both.
QString nameProblem(const QString &name);

struct Slice
{
    bool ok = false;
    QString title; // on failure: the warning's title and text
    QString text;
    QByteArray data; // on success: the bytes to upload
};

Slice read(const QString &path);

// The ticked file names as a compact JSON array.
QByteArray activeSelection(const QStringList &ticked);

extern const QString activeConfigName;

} // namespace FirmwareFile
