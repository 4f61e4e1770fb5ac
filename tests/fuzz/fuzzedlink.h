#pragma once

#include "fuzzsupport.h"

#include <elm327io.h>

// The ISO-TP driver with its port opened on a pseudo-terminal and the adapter's output handed
// in directly, so a fuzz input decides exactly what arrives and in which pieces.
class FuzzedLink : public ELM327IO
{
public:
    enum Flags { Els27 = 1, Strict = 2, CommandInFlight = 4, SendingLong = 8, Monitoring = 16 };

    FuzzedLink(FuzzTerminal &terminal, uint8_t flags)
        : terminal(terminal)
    {
        adapter = (flags & Els27) ? ELS27 : ELM327;
        setStrictMode(flags & Strict);
        port->setPortName(terminal.slave);
        port->open(QIODevice::ReadWrite);
        if (flags & SendingLong) // its first frame now waits for the receiver's flow control
            send(ELM_Message(QByteArray(300, '\x5a'), 1, 200));
        if (flags & Monitoring)
            monitor(true);
        if (flags & CommandInFlight)
            write("at st 10");
        connect(this, &ELM327IOBase::read, this, [this](const QByteArray &payload) {
            // ISO-TP carries at most 4095 bytes; more means the reassembly ran past its length.
            FUZZ_CHECK(payload.size() <= 4095);
            ++payloads;
        });
    }

    ~FuzzedLink() override { terminal.drain(); }

    // One piece of adapter output, as readyRead would hand it over.
    void arrive(const QByteArray &bytes)
    {
        takeInput(bytes);
        if (!busy)
            sendNext();
        terminal.drain();
    }

    int payloads = 0;

private:
    FuzzTerminal &terminal;
};
