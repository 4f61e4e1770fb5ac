#pragma once

#include "elm327iobase.h"

#include <QString>
#include <cmath>

// What an adapter is and how well it serves, for a technician choosing one or support asking.
struct AdapterReport
{
    bool ok = false; // the adapter was met; otherwise `error` and `failure` say why, and only the verdict is set
    QString error;
    bool linkLost = false; // the port or the connection went away during the report: `error` says how
    ELM327IOBase::SetupFailure failure = ELM327IOBase::SetupSucceeded;
    int kind = ELM327IOBase::Auto; // ELM327 or ELS27 (Custom when chosen so)
    QString identification; // ATI
    QString stIdentification; // STI, ELS27 only
    QString stDevice; // STDI, ELS27 only
    double voltage = std::nan(""); // NaN: unknown
    bool echoOff = false; // "at e0" is honoured
    bool replyCountDigit = false; // a frame line may end in the number of replies to wait for
    int maxRate = 0; // bit/s the rate switch reached; 0: none (switch off, not raised, or network)
    double roundTripMedianMs = std::nan("");
    double roundTripP95Ms = std::nan("");
    bool lowLatency = false; // the serial driver granted low latency
    bool segmentedTransfer = false; // messages would go whole, the adapter segmenting them (STPX)
    QString transferReason; // why, or why not
    QString verdict; // "suits flashing", "slow: ...", or "unsuitable: ..."
};

// Meets the adapter on a port as the set-up does, measures it, and resets it as a normal close
// does (ATZ). Blocks the calling thread, bounded by the set-up's budget and a short wait per
// command. Nothing is asked of a device: the one frame sent, to see whether the reply-count digit
// is taken, is an empty ISO-TP single frame, which every receiver ignores.
class AdapterProbe
{
public:
    // Adapter commands timed for the round trip: this many, or as many as this time takes (five at
    // least).
    static constexpr int roundTrips = 50;
    static constexpr int measuringMs = 5000;
    // A median above this makes the adapter slow for flashing: a flash is thousands of lines.
    static constexpr double slowLineMs = 5.0;

    static AdapterReport run(const ELM_ConnInfo &cfg);
    // The verdict on what was measured.
    static QString verdict(const AdapterReport &report);
};
