#pragma once

// The real adapter link against kestrane-sim: a simulator and a driver on it, for the link tests;
// a protocol worker on it and what it reports, for the worker tests.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <completion.h>
#include <elm327io.h>
#include <transferoutcome.h>

#include <QRegularExpression>
#include <QSignalSpy>

using Codes = QList<ELM327IOBase::ELM_ERROR>;
const int elm = ELM327IOBase::ELM327;
const int els = ELM327IOBase::ELS27;
using testfiles::readFile;
using testsupport::waitUntil;

// A read of the vehicle identification number, and a device that answers it.
const QByteArray readVin = QByteArray::fromHex("22f190");
const QByteArray vinReply = QByteArray::fromHex("62f190");
const QString answersVin = QStringLiteral("22f190 => isotp 62f190\n");

// Bytes that differ from chunk to chunk, so that a chunk written in the wrong place shows.
inline QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 13 + i / 256 + 1);
    return data;
}

struct Link
{
    // The simulator's adapter is of the given kind; the driver may be set up as another.
    explicit Link(const QStringList &options = {}, const QString &script = {}, int adapter = elm)
        : sim(QStringList {"--adapter", adapter == els ? "els27" : "elm327"} + options)
    {
        if (!script.isEmpty())
            sim.useScript(script);
    }

    // Sets the adapter up (searching its rate at 0) and waits until it has answered every
    // initialisation line.
    bool setup(int adapter, int baud = 38400, bool adaptive = false, bool rateSwitch = false)
    {
        QSignalSpy ready(&io, &ELM327IOBase::ready);
        return io.setup(info(adapter, baud, rateSwitch), adaptive) && ready.wait(10000);
    }

    ELM_ConnInfo info(int adapter, int baud = 38400, bool rateSwitch = false) const
    {
        ELM_ConnInfo info {sim.port(), baud, adapter, canId, pcId};
        info.rateSwitch = rateSwitch;
        info.transfer = transfer;
        return info;
    }

    bool open(int adapter = elm, int baud = 38400, bool strict = true)
    {
        io.setStrictMode(strict);
        return sim.start() && setup(adapter, baud);
    }

    // Sends the request and waits for one more reply, the device's answer.
    bool exchange()
    {
        const int before = read.count();
        io.send(ELM_Message(readVin, 1, 200));
        return waitUntil([&] { return read.count() > before; }, 10000) && read.last().at(0).toByteArray() == vinReply;
    }

    Codes codes() const
    {
        Codes result;
        for (const QList<QVariant> &e : errors)
            result << e.at(0).value<ELM327IOBase::ELM_ERROR>();
        return result;
    }

    QStringList eventTexts(char kind) const
    {
        QStringList texts;
        for (const SimEvent &e : sim.events())
            if (e.kind == QLatin1Char(kind))
                texts << e.text;
        return texts;
    }

    SimHarness sim;
    int canId = 0x746; // the device's identifier, and the program's
    int pcId = 0x74E;
    TransferMode transfer = TransferMode::Frames; // the link tests drive frames unless they say otherwise
    ELM327IO io;
    QSignalSpy read {&io, &ELM327IOBase::read};
    QSignalSpy errors {&io, &ELM327IOBase::error};
    QSignalSpy notices {&io, &ELM327IOBase::notice};
};

// A request as the device reassembled it; of a long one the Kestrane device notes only the start.
struct Request
{
    QByteArray bytes;
    int size;
};

inline QList<Request> deviceRequests(const SimHarness &sim)
{
    // The scripted device notes "request HEX matches ...", the Kestrane device "request N: HEX"
    // or, for a long one, "request N: HEX... (N bytes)".
    static const QRegularExpression note(QStringLiteral(
        R"(^device: (?:kestrane \w+: request \d+:|request) ([0-9A-F]+)(?:\.\.\. \((\d+) bytes\))?(?= |$))"));
    QList<Request> requests;
    for (const SimEvent &e : sim.events()) {
        const QRegularExpressionMatch match = note.match(e.text);
        if (e.kind != QLatin1Char('#') || !match.hasMatch())
            continue;
        const QByteArray bytes = QByteArray::fromHex(match.captured(1).toLatin1());
        requests << Request {bytes, match.captured(2).isEmpty() ? int(bytes.size()) : match.captured(2).toInt()};
    }
    return requests;
}

// A protocol worker whose own driver is set up on the simulator's ELS27, as the windows set it
// up, and what the worker reports: its progress and how its transfers ended apart, all else in one
// trail of "finished CMD STATUS RESULT" and "error CODE TEXT".
template<typename Worker> struct Bench
{
    // A worker that ends its requests with completions; those of `transferCommand` are its
    // transfers.
    Bench(const QStringList &options, const QString &script, int transferCommand, int canId, int pcId)
        : Bench(options, script, canId, pcId)
    {
        QObject::connect(&worker, &Worker::completed, &worker, [this, transferCommand](const Completion &c) {
            completions << c;
            if (c.command == transferCommand)
                outcomes << c.outcome;
        });
    }

    Bench(const QStringList &options, const QString &script, int canId, int pcId)
        : sim(QStringList {"--adapter", "els27"} + options)
        , ids(canId, pcId)
    {
        if (!script.isEmpty())
            sim.useScript(script);
        QObject::connect(&worker, &Worker::progress, &worker, [this](int val) { progress << val; });
        QObject::connect(&worker, &Worker::error, &worker, [this](int code, const QVariant &text) {
            trail << QStringLiteral("error %1 %2").arg(code).arg(text.toString());
        });
        QObject::connect(&worker, &Worker::finished, &worker, [this](int cmd, bool status, const QVariant &result) {
            const bool list = result.userType() == QMetaType::QStringList;
            const QString text = list ? result.toStringList().join(QLatin1Char(',')) : result.toString();
            trail << QStringLiteral("finished %1 %2 %3").arg(cmd).arg(status).arg(text).trimmed();
        });
    }

    bool connect()
    {
        if (!driver || !sim.start())
            return false;
        QSignalSpy ready(driver, &ELM327IOBase::ready);
        ELM_ConnInfo info {sim.port(), 38400, ELM327IOBase::ELS27, ids.first, ids.second};
        info.transfer = transfer;
        worker.execute(Worker::Setup, QVariant::fromValue(info));
        // The set-up succeeded, whatever voltage it read.
        const bool done
            = !trail.filter(QRegularExpression(QStringLiteral("^finished 0 1( |$)"))).isEmpty() && ready.wait(10000);
        trail.clear();
        completions.clear();
        return done;
    }

    // Waits until the trail holds `entries` entries and the driver is idle.
    bool settle(int entries)
    {
        return waitUntil([&] { return trail.size() >= entries && !driver->isBusy(); }, 30000);
    }

    QString joined() const { return trail.join(QLatin1Char('|')); }

    SimHarness sim;
    const QPair<int, int> ids; // the device's CAN identifier and the program's
    TransferMode transfer = TransferMode::Frames;
    QStringList trail;
    QList<int> progress;
    QList<TransferOutcome> outcomes;
    QList<Completion> completions;
    Worker worker; // after them, so that it is gone before what its reports go to
    ELM327IOBase *driver = worker.template findChild<ELM327IOBase *>();
};
