// kestrane-sim: a serial OBD adapter with a device on its CAN bus, behind a pseudo-terminal, so that the
// program, its tests, benchmarks and the demo can run without hardware.

#include "adapter.h"
#include "canbus.h"
#include "devices.h"
#include "eventlog.h"
#include "options.h"
#include "pty.h"
#include "scheduler.h"
#include "seriallink.h"
#include "textstream.h"
#include "wirestats.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace ksim;

namespace {

// While nobody holds the port open the master reports a hang-up on every poll, so it is left out of the
// poll set and checked this often instead.
constexpr Micros kClosedPortPollInterval = 2000;

// The port's rate can only be seen by looking, and bytes are judged by how recently it was seen at the
// adapter's rate (SerialLink). A program that writes its last line and closes the port, which puts the
// line settings back, drains the line first; when the simulator was asleep all the while, it would
// otherwise find those bytes together with the other rate and take them for noise. So it looks this
// often while the port is open.
constexpr Micros kRateLookInterval = 5000;

// With wire timing on, a timed wait ends this much before the next timer is due and the rest is spent
// polling without sleeping: waking from a sleep takes tens of microseconds here, and bytes a UART
// delivers that late would be counted as time the program under test took.
constexpr Micros kWakeUpMargin = 50;

int openSignalFd()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
        return -1;
    return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

timespec toTimespec(Micros micros)
{
    if (micros < 0)
        micros = 0;
    timespec ts {};
    ts.tv_sec = static_cast<time_t>(micros / 1000000);
    ts.tv_nsec = static_cast<long>(micros % 1000000) * 1000;
    return ts;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
    case ParseResult::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "kestrane-sim: %s\n\n%s", error.c_str(), usageText().c_str());
        return 2;
    case ParseResult::Run:
        break;
    }

    std::signal(SIGPIPE, SIG_IGN);

    EventLog log;
    if (!options.logPath.empty() && !log.open(options.logPath, error)) {
        std::fprintf(stderr, "kestrane-sim: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<CanDevice> device = createDevice(options, error);
    if (!device && !error.empty()) {
        std::fprintf(stderr, "kestrane-sim: %s\n", error.c_str());
        return 1;
    }

    Pty pty;
    if (!pty.open(error) || !pty.createLink(options.link, error)) {
        std::fprintf(stderr, "kestrane-sim: %s\n", error.c_str());
        return 1;
    }
    const int signals = openSignalFd();
    if (signals < 0) {
        std::fprintf(stderr, "kestrane-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    // The kernel may let a timed wait run up to 50 us late by default, to batch wake-ups. The emulated
    // wires are timed in microseconds, several waits per adapter line; that slack would be counted as
    // time the program under test took.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    Scheduler scheduler;
    WireStats stats(options.wireTiming, options.latency);
    SerialLink link(pty, scheduler, log, stats);
    link.setKeepClosedOutput(options.keepClosedOutput);
    CanBus bus(scheduler, log, stats);
    Adapter adapter(options.adapter, options.baud, link, bus, scheduler, log, stats, options.faults);
    adapter.setIdentity(options.identity);
    adapter.setEchoAfterReset(options.echo);
    adapter.setRestartTimes(options.resetTime, options.warmStartTime);
    if (options.raisedRate != 0)
        adapter.setRaisedRate(options.raisedRate);
    link.setReceiver(&adapter);
    bus.setListener(&adapter);
    bus.setDevice(std::move(device));

    bool stop = false;
    bool vanish = false;
    adapter.onVanish = [&vanish] { vanish = true; };

    TextStream stream(pty, link, scheduler, log);
    if (options.faults.streamText)
        stream.start();

    std::printf("kestrane-sim ready %s\n", options.link.c_str());
    std::fflush(stdout);

    while (!stop && !vanish) {
        scheduler.runDue();
        if (vanish)
            break;
        link.beforePoll();

        Micros timeout = -1;
        const Micros now = monotonicMicros();
        const Micros due = scheduler.nextDue();
        if (due >= 0)
            timeout = due > now ? due - now : 0;
        if (options.wireTiming && timeout > 0)
            timeout = timeout > kWakeUpMargin ? timeout - kWakeUpMargin : 0;
        if (link.hungUp() && (timeout < 0 || timeout > kClosedPortPollInterval))
            timeout = kClosedPortPollInterval;
        else if (!link.hungUp() && (timeout < 0 || timeout > kRateLookInterval))
            timeout = kRateLookInterval;

        pollfd entries[2] = {{signals, POLLIN, 0}, {pty.fd(), 0, 0}};
        nfds_t count = 1;
        if (!link.hungUp()) {
            entries[1].events = static_cast<short>(POLLIN | (link.wantsWrite() ? POLLOUT : 0));
            count = 2;
        }
        const timespec wait = toTimespec(timeout);
        const int ready = ppoll(entries, count, timeout < 0 ? nullptr : &wait, nullptr);
        const Micros wokeAt = monotonicMicros();
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "kestrane-sim: poll: %s\n", std::strerror(errno));
            break;
        }

        if (entries[0].revents & POLLIN) {
            signalfd_siginfo info {};
            while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGUSR1) {
                    log.write('#', "vanishing on SIGUSR1");
                    vanish = true;
                } else if (info.ssi_signo == SIGUSR2) {
                    // Totals so far, so a measurement can leave out what came before it.
                    if (options.wireTiming)
                        stats.print(stdout);
                } else {
                    stop = true;
                }
            }
        }
        if (vanish || stop)
            break;

        if (link.hungUp()) {
            link.checkReopen();
        } else if (count == 2) {
            if (entries[1].revents & (POLLIN | POLLHUP | POLLERR))
                link.onReadable(wokeAt);
            if (entries[1].revents & POLLOUT)
                link.onWritable();
        }
    }

    // Vanishing closes the port first so that the program sees it fail, then the name disappears.
    if (vanish)
        pty.close();
    pty.removeLink();
    pty.close();
    log.write('#', vanish ? "port vanished" : "stopped");
    if (options.wireTiming)
        stats.print(stdout);
    return 0;
}
