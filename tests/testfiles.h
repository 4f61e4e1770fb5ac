#pragma once

// Files the tests give the program: firmware files, raw images, and what the simulated
// device stored.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace testfiles {

// A 2 MiB firmware file with both marker words in place and a recognisable slice, which
// is returned through `slice` when asked for.
inline QByteArray firmwareFile(QByteArray *slice = nullptr)
{
    QByteArray file(0x200000, '\0');
    for (int i = 0; i < 0x18EE0; ++i)
        file[0x1C2000 + i] = char((i * 7 + 3) & 0xff);
    file.replace(0x1C3200, 8, QByteArray::fromHex("5a5a5a5acccccccc"));
    file.replace(0x1DAED8, 8, QByteArray::fromHex("5a5a5a5affffffff"));
    if (slice)
        *slice = file.mid(0x1C2000, 0x18EE0);
    return file;
}

// A raw firmware image whose bytes do not repeat with the 1024-byte chunk size.
inline QByteArray image(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + 7) & 0xff);
    return data;
}

inline QString writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return path;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    return writeFile(dir.filePath(name), content);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace testfiles
