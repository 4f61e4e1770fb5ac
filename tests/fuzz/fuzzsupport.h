#pragma once

// Shared by the fuzz targets: the Qt application they need, a reader that turns the fuzzer's
// bytes into a script of small decisions, and the driver's reports to a protocol client.

#include <elm327iobase.h>

#include <QCoreApplication>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Ends the run as a sanitizer report would, so the fuzzer keeps the input that broke the rule.
#define FUZZ_CHECK(condition)                                                                                          \
    ((condition) ? void()                                                                                              \
                 : (fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__), abort()))

// Timers, socket notifiers and queued calls want an application; the fuzzer never runs its
// event loop, so timers started by the code under test never fire. Qt's warnings are expected
// noise here and would only slow the run.
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

struct FuzzInput
{
    const uint8_t *next;
    const uint8_t *end;

    bool atEnd() const { return next == end; }
    uint8_t byte() { return next == end ? 0 : *next++; }
    QByteArray chunk() { return take(byte()); } // a length byte, then up to that many bytes
    QByteArray rest() { return take(size_t(end - next)); }
    QByteArray take(size_t wanted)
    {
        const size_t n = std::min(wanted, size_t(end - next));
        next += n;
        return QByteArray(reinterpret_cast<const char *>(next - n), int(n));
    }
};

// What the driver tells a protocol client when a request gets no reply (0), when the adapter
// gives up on the bus (1), or when the link is lost (any other kind).
template<typename Worker> void linkTrouble(Worker &worker, int kind)
{
    if (kind == 0)
        worker.io_error(ELM327IOBase::ERR_NODATA, QStringLiteral("trasport error no data"));
    else if (kind == 1)
        worker.io_error(ELM327IOBase::ERR_CANERR, QStringLiteral("CAN error. Retries exhausted"));
    else
        worker.io_disconnected();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
