#pragma once

// Finding the serial rate an adapter listens on, and changing it: the blocking conversations with
// the adapter that come before its initialisation. Everything here waits on the port itself,
// blocking the calling thread, and every wait has its bound: the port may be anything, a receiver
// that never falls quiet included.

#include "adapterport.h"
#include "linktrace.h"

#include <QDeadlineTimer>
#include <QList>
#include <QString>

// The port during set-up, which reads and writes it directly with blocking waits; every byte
// also goes to the trace. No wait runs past the set-up's deadline.
//
// The thread's events are not processed meanwhile: a timer or a queued call run from here could
// start another set-up inside this one, on the same port. Only the windows' own repainting goes
// on, so that a window does not look hung during a search.
struct Wire
{
    AdapterPort &port;
    LinkTrace &trace;
    QDeadlineTimer deadline {QDeadlineTimer::Forever};
    // Lines written whose prompt has not come: their late answers are drained before the next.
    int owed = 0;

    bool expired() const { return deadline.hasExpired(); }
    // Waits up to `waitMs` for input, never beyond the deadline.
    bool waitForInput(int waitMs);
    void write(const QByteArray &bytes);
    // Without the repainting: the rate commands are timed against the adapter.
    void sendNow(const QByteArray &bytes);
    // What arrived, stray control bytes dropped (they are in the trace).
    QByteArray read();
    // Appends what is there and whatever keeps arriving within `quietMs` of the last piece, for
    // a bounded time and amount.
    void collect(QByteArray &buffer, int quietMs);
    // Short polls for one of `marks`; the adapter answers a rate command quickly or not at all.
    bool pollFor(QByteArray &buffer, const QList<QByteArray> &marks);
    // Waits up to `waitMs` for one of `marks` in what arrives, appending it to `buffer`.
    bool awaitAny(QByteArray &buffer, const QList<QByteArray> &marks, int waitMs);
    // Whatever the adapter said before this program's first line (the end of an earlier
    // session's reset, read only now that the port is open again) is no answer to it.
    void dropStaleInput();
    // Waits up to `waitMs` for each prompt owed, dropping what comes with it; false when one did
    // not come.
    bool drainOwed(int waitMs);
};

// How long an adapter command may go unanswered: a good adapter answers at once, a slow clone or a
// bridge within a second; beyond that, room for the answer's way.
constexpr int commandWaitMs = 1500;

// Rates to try, in order, for an ELS27 or for the other adapters. The first is where the search
// starts; the second, 1000000, is where an adapter met above 1000000 bit/s is switched down to.
const QList<uint> &searchRates(bool els27);
// The order a search goes through for an adapter of kind `kind` (an ELM327IOBase::Adapter): its
// own table and the other kind's, taken in turns, so that an adapter of the other kind is met
// early and named, not missed. Auto starts with the ELS27's.
QList<uint> searchOrder(int kind);

// Asks the adapter one command and returns its answer up to the prompt, the echo of the command
// left out (the lines joined by '\n'; `echoed`, when given, says whether it came); a null array
// when no prompt came within `waitMs`. The late answer of a line that went unanswered is waited
// for and dropped first; while it does not come, nothing is written and the answer is null.
QByteArray askAdapter(Wire &wire, const QByteArray &command, int waitMs, bool *echoed = nullptr);

// Warm starts a connection tries before it gives up on the adapter.
constexpr int warmStartAttempts = 3;

// Warm-starts the adapter and waits until it has finished: input it receives while restarting
// is lost, so no line may follow before its prompt. Tries `attempts` times, since an adapter
// still busy with an earlier reset loses the line itself.
bool warmStart(Wire &wire, int attempts);

// Tries the rates in order on the open port, which it leaves closed. Returns the rate the
// adapter answered at, or 0; `metAt` receives the rate it was met at (before a switch down).
// An adapter met above 1000000 bit/s is switched down with the command of the kind whose table
// has that rate, `kind`'s own where both have it.
uint searchRate(Wire &wire, const QList<uint> &rates, int kind, uint lastMet, uint &metAt);

// The rate each port's adapter was last met at in this process, tried first when connecting again.
uint lastMetRate(const QString &port);
void setLastMetRate(const QString &port, uint rate);

struct RateSwitch
{
    uint rate; // the rate in force afterwards
    QString note; // what happened, for the user's log; empty when nothing was tried
};

// Asks an ELM327 for a faster serial rate ("AT BRD"), with the datasheet's handshake: its AT BRT
// time set to `switchWaitMs` first, then "OK" at the old rate, `identification` (its ATI answer)
// at the new one after that time, the carriage return only then, and "OK" at the new rate.
RateSwitch raiseRate(Wire &wire, uint current, const QByteArray &identification, int switchWaitMs);

// An ELM327 raised by an earlier run that ended without closing the port keeps listening at the
// raised rate; found at one of those rates, it is reset. Returns whether it was found and reset.
bool resetRaisedAdapter(Wire &wire, uint given);

// Asks an STN adapter on the open port to switch to `target` with `command`, optionally for good.
bool switchRate(AdapterPort &port, const QByteArray &command, uint target, bool permanent);
