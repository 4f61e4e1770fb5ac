#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// The firmware package (.dfu) as the updater reads it: a header naming the board, a Base64
// information text, padding to a multiple of 4, then the raw image. Without dialogs; the
// texts are translated in the updater window's context, which shows them.
namespace DfuPackage {

constexpr quint32 magic = 0x424210F0; // bytes F0 10 42 42 at offset 0

// Invalid: fewer than 16 bytes, or a header that claims more information text than the file holds.
// NoImage: nothing follows the header: flashing it would erase the device and write nothing.
// Damaged: the information block carries the image's SHA-256 and the image does not match it.
enum class Verdict { Valid, Invalid, NotAPackage, OtherBoard, NoImage, Damaged };

struct Header
{
    Verdict verdict = Verdict::Invalid;
    quint32 board = 0;
    QString info; // the decoded information text, possibly empty
    // The SHA-256 the information block carries after the text's terminating zero byte, as 64
    // lower-case hex digits; empty when it carries none.
    QByteArray digest;
    qint64 imageOffset = 0;
    qint64 imageSize = 0;
};

// The largest package file read: far more than any device's flash holds.
constexpr qint64 largestPackage = 64 * 1024 * 1024;

// Reads a whole package file into `bytes`, so that what is checked is what gets flashed, whatever
// happens to the file meanwhile. Empty on success, otherwise why the file cannot be read.
QString load(const QString &path, QByteArray &bytes);
// What the file itself says, before any device is asked: never OtherBoard. `file` is open and
// at 0; on Valid it is left at the image's first byte.
Header inspect(QIODevice &file);
// inspect, and whether the package is for the board `boardId`.
Header read(QIODevice &file, quint32 boardId);
QString refusalText(Verdict verdict, const QString &fileName);
// The SHA-256, in hex, of the image of `package`, whose header inspect() read.
QByteArray imageSha256(const QByteArray &package, const Header &header);
bool fits(qint64 imageSize, quint32 flashSize);
QString tooBigText(qint64 excessBytes);
// A package as the build tool makes it. With `withDigest` the information block also carries
// the image's SHA-256 after the text's terminating zero byte, where readers that stop at the zero
// byte never see it.
QByteArray build(quint32 board, const QByteArray &infoText, const QByteArray &image, bool withDigest = false);

} // namespace DfuPackage
