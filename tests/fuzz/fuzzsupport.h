#pragma once

// Shared by the fuzz targets: the Qt application they need, a quiet message handler, a reader
// that turns the fuzzer's bytes into a script of small decisions, and a pseudo-terminal the
// driver can own as its serial port.

#include <QByteArray>
#include <QCoreApplication>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// Ends the run the way a sanitizer report would, so the fuzzer keeps the input that broke the
// rule.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);                        \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// Timers, socket notifiers and queued calls want an application; the fuzzer never runs its
// event loop, so timers started by the code under test simply never fire. Qt's warnings
// ("device not open" and the like) are expected noise here and would only slow the run.
inline void fuzzApplication()
{
    static int argc = 1;
    static char name[] = "veltrano-fuzz";
    static char *argv[] = {name, nullptr};
    if (QCoreApplication::instance())
        return;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static QCoreApplication app(argc, argv);
}

class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : next(data)
        , end(data + size)
    { }

    bool atEnd() const { return next == end; }
    uint8_t byte() { return next == end ? 0 : *next++; }
    // A length byte, then up to that many bytes.
    QByteArray chunk() { return take(byte()); }
    QByteArray rest() { return take(size_t(end - next)); }

private:
    QByteArray take(size_t wanted)
    {
        const size_t n = std::min(wanted, size_t(end - next));
        QByteArray bytes(reinterpret_cast<const char *>(next), int(n));
        next += n;
        return bytes;
    }

    const uint8_t *next;
    const uint8_t *end;
};

// The master side of a pseudo-terminal; the driver opens the slave as its serial port and
// whatever it writes is read back and thrown away, so it never blocks on a full buffer.
class FuzzTerminal
{
public:
    FuzzTerminal()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            abort();
        slave = QString::fromLocal8Bit(ptsname(master));
        // Holding the slave open keeps the master readable between the driver's open and close.
        keeper = open(ptsname(master), O_RDWR | O_NOCTTY);
    }

    void drain()
    {
        char buffer[4096];
        while (read(master, buffer, sizeof buffer) > 0) { }
    }

    QString slave;

private:
    int master = -1;
    int keeper = -1;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
