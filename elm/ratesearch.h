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

    bool expired() const { return deadline.hasExpired(); }
    // Waits up to `waitMs` for input, never beyond the deadline.
    bool waitForInput(int waitMs);
    void write(const QByteArray &bytes);
    // Without the repainting: the rate commands are timed against the adapter.
    void sendNow(const QByteArray &bytes);
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
};

// Rates to try, in order, for an ELS27 or for the other adapters. The first is where the search
// starts; the second, 1000000, is where an adapter met above 1000000 bit/s is switched down to.
const QList<uint> &searchRates(bool els27);
// The order a search goes through for an adapter of kind `kind` (an ELM327IOBase::Adapter): its
// own table and the other kind's, taken in turns, so that an adapter of the other kind is met
// early and named, not missed. Auto starts with the ELS27's.
QList<uint> searchOrder(int kind);

// Asks the adapter one command and returns its answer up to the prompt, the echo of the command
// left out (the lines joined by '\n'; `echoed`, when given, says whether it came); a null array
// when no prompt came within `waitMs`.
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

// Asks an ELM327 for a faster serial rate ("AT BRD").
RateSwitch raiseRate(Wire &wire, uint current);

// An ELM327 raised by an earlier run that ended without closing the port keeps listening at the
// raised rate; found at one of those rates, it is reset. Returns whether it was found and reset.
bool resetRaisedAdapter(Wire &wire, uint given);

// Asks an STN adapter on the open port to switch to `target` with `command`, optionally for good.
bool switchRate(AdapterPort &port, const QByteArray &command, uint target, bool permanent);
