// Arbitrary adapter output (echoes, prompts, "OK", "NO DATA", hex, garbage) in arbitrary pieces
// into the adapter link, while a command, a message's first frame or the monitor is under way.

#include "fuzzsupport.h"

#include <adapterlink.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The link with its port opened on a pseudo-terminal whose other end this target plays, so a fuzz
// input decides exactly what arrives and in which pieces; frames go to a client that only counts.
class FuzzedLink : private AdapterLink::Client, public AdapterLink
{
public:
    enum Flags { Els27 = 1, Strict = 2, CommandInFlight = 4, SendingLong = 8, Monitoring = 16 };

    explicit FuzzedLink(uint8_t flags)
        : AdapterLink(static_cast<AdapterLink::Client &>(*this))
    {
        if (!attach(QString::fromLocal8Bit(ptsname(terminal())),
                (flags & Els27) ? ELM327IOBase::ELS27 : ELM327IOBase::ELM327))
            abort();
        setStrictMode(flags & Strict);
        if (flags & SendingLong) { // a first frame that waits for the receiver's flow control
            queueTimeout(200);
            queueFrames({{QByteArray::fromHex("112c5a5a5a5a5a5a"), 1}});
            pump();
        }
        if (flags & Monitoring)
            monitor(true);
        if (flags & CommandInFlight) {
            queueLine("at st 10");
            pump();
        }
    }

    ~FuzzedLink() override
    {
        drain();
        detach(); // the adapter is this target: nothing to reset
    }

    // One piece of adapter output, as readyRead would hand it over.
    void arrive(const QByteArray &bytes)
    {
        takeInput(bytes);
        pump();
        drain();
    }

private:
    void dispatch(const QVariant &item) override { queueRawFrame(item.toByteArray()); }
    void frameReceived(const QByteArray &frame) override { FUZZ_CHECK(!frame.isEmpty()); }
    void lineWritten(const QByteArray &line) override { FUZZ_CHECK(line.endsWith('\r')); }
    void exchangeAbandoned() override { }
    bool exchangeUnderWay() const override { return false; }
    bool wantsToListen() const override { return false; }

    // The master side, opened once; holding the slave open too keeps it readable between the
    // link's open and close.
    static int terminal()
    {
        static const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        static const bool ready = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
            && ::open(ptsname(master), O_RDWR | O_NOCTTY) >= 0;
        if (!ready)
            abort();
        return master;
    }

    // What the link writes is thrown away, so it never blocks on a full buffer.
    static void drain()
    {
        char buffer[4096];
        while (::read(terminal(), buffer, sizeof buffer) > 0) { }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    FuzzInput input {data, data + size};
    FuzzedLink link(input.byte());
    while (!input.atEnd())
        link.arrive(input.chunk());
    // However the output ended, a prompt must let the link go on without crashing.
    link.arrive(">");
    return 0;
}
