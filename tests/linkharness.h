#pragma once

// The real adapter link against kestrane-sim: how the link tests reach the simulator's adapter
// and wait for it to be ready.

#include "simharness.h"

#include <elm327io.h>

#include <QSignalSpy>

inline ELM_ConnInfo connInfo(const SimHarness &sim, int adapter, int baud)
{
    ELM_ConnInfo info;
    info.port = sim.port();
    info.baud = baud;
    info.adapter = adapter;
    info.canId = 0x746;
    info.pcId = 0x74E;
    info.rateSwitch = false; // the tests of the rate switch ask for it themselves
    return info;
}

inline QString adapterOption(int adapter)
{
    return adapter == ELM327IOBase::ELS27 ? QStringLiteral("els27") : QStringLiteral("elm327");
}

// Sets the adapter up (at a known rate unless told otherwise) and waits until it has answered
// every initialisation line.
inline bool connectAndSettle(ELM327IO &io, const SimHarness &sim, int adapter, int baud = 38400)
{
    QSignalSpy ready(&io, &ELM327IOBase::ready);
    if (!io.setup(connInfo(sim, adapter, baud)))
        return false;
    return ready.wait(5000);
}
