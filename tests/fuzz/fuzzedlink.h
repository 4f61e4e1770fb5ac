#pragma once

#include "fuzzsupport.h"

#include <elm327io.h>

#include <fcntl.h>
#include <unistd.h>

// The ISO-TP driver with its port opened on a pseudo-terminal and the adapter's output handed
// in directly, so a fuzz input decides exactly what arrives and in which pieces.
class FuzzedLink : public ELM327IO
{
public:
    enum Flags { Els27 = 1, Strict = 2, CommandInFlight = 4, SendingLong = 8, Monitoring = 16 };

    explicit FuzzedLink(uint8_t flags)
    {
        adapter = (flags & Els27) ? ELS27 : ELM327;
        setStrictMode(flags & Strict);
        port->setPortName(QString::fromLocal8Bit(ptsname(terminal())));
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

    ~FuzzedLink() override { drain(); }

    // One piece of adapter output, as readyRead would hand it over.
    void arrive(const QByteArray &bytes)
    {
        takeInput(bytes);
        if (!busy)
            sendNext();
        drain();
    }

    int payloads = 0;

private:
    // The master side, opened once; holding the slave open too keeps it readable between the
    // driver's open and close.
    static int terminal()
    {
        static const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        static const bool ready = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
            && ::open(ptsname(master), O_RDWR | O_NOCTTY) >= 0;
        if (!ready)
            abort();
        return master;
    }

    // What the driver writes is thrown away, so it never blocks on a full buffer.
    static void drain()
    {
        char buffer[4096];
        while (::read(terminal(), buffer, sizeof buffer) > 0) { }
    }
};
