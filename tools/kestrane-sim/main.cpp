// kestrane-sim: a serial OBD adapter with a device on its CAN bus, behind a pseudo-terminal or a TCP
// bridge, so that the program, its tests, benchmarks and the demo can run without hardware.

#include "adapter.h"
#include "canbus.h"
#include "devices.h"
#include "eventlog.h"
#include "options.h"
#include "pty.h"
#include "scheduler.h"
#include "seriallink.h"
#include "tcpbridge.h"
#include "textstream.h"
#include "wirestats.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
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

// Parses the command line: the exit status when the program ends here (help, a bad option), or -1.
int readCommandLine(int argc, char **argv, Options &options)
{
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
    return -1;
}

bool failed(const std::string &reason)
{
    std::fprintf(stderr, "kestrane-sim: %s\n", reason.c_str());
    return false;
}

// The port the program reaches the adapter through: a pseudo-terminal with its link, or a TCP server. Its
// address for the ready line goes to `address`.
std::unique_ptr<Port> openPort(const Options &options, EventLog &log, std::string &address, std::string &error)
{
    if (options.tcp) {
        auto bridge = std::make_unique<TcpBridge>(log);
        if (!bridge->listen(options.tcpPort, error))
            return nullptr;
        address = "tcp://127.0.0.1:" + std::to_string(bridge->localPort());
        return bridge;
    }
    auto pty = std::make_unique<Pty>();
    if (!pty->open(error) || !pty->createLink(options.link, error))
        return nullptr;
    address = options.link;
    return pty;
}

// What the simulator needs from the system before it can say it is ready: the event log, the device, the
// port, and the signals as a descriptor to poll.
bool openResources(const Options &options, EventLog &log, std::unique_ptr<CanDevice> &device,
    std::unique_ptr<Port> &port, std::string &address, int &signals)
{
    std::string error;
    if (!options.logPath.empty() && !log.open(options.logPath, error))
        return failed(error);
    device = createDevice(options, error);
    if (!device && !error.empty())
        return failed(error);
    port = openPort(options, log, address, error);
    if (!port)
        return failed(error);
    signals = openSignalFd();
    if (signals < 0)
        return failed(std::string("signalfd: ") + std::strerror(errno));

    // The kernel may let a timed wait run up to 50 us late by default, to batch wake-ups. The emulated
    // wires are timed in microseconds, several waits per adapter line; that slack would be counted as
    // time the program under test took.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return true;
}

// How this particular adapter differs from the usual one.
void configureAdapter(Adapter &adapter, const Options &options)
{
    adapter.setIdentity(options.identity);
    adapter.setEchoAfterReset(options.echo);
    adapter.setRestartTimes(options.resetTime, options.warmStartTime);
    adapter.setVoltage(options.voltage);
    adapter.setStnIdentity(options.stnIdentity, options.stnDevice);
    adapter.setStpx(options.stpx);
    adapter.setStnBuffer(options.stnBuffer);
    adapter.setCommandLatency(options.commandLatency);
    if (options.raisedRate != 0)
        adapter.setRaisedRate(options.raisedRate);
}

// Waits for the port, the signals and the timers in turn until a signal stops the simulator or the port
// is to vanish.
class MainLoop
{
public:
    MainLoop(bool wireTiming, int signals, Port &port, Scheduler &scheduler, SerialLink &link, EventLog &log,
        WireStats &stats)
        : wireTiming_(wireTiming)
        , signals_(signals)
        , port_(port)
        , scheduler_(scheduler)
        , link_(link)
        , log_(log)
        , stats_(stats)
    { }

    // Returns whether the port is to vanish (rather than the simulator being stopped).
    bool run()
    {
        while (!stop_ && !vanish_ && step()) { }
        return vanish_;
    }

    void vanish() { vanish_ = true; }

private:
    bool step();
    Micros pollTimeout() const;
    void takeSignals();

    bool wireTiming_;
    int signals_;
    Port &port_;
    Scheduler &scheduler_;
    SerialLink &link_;
    EventLog &log_;
    WireStats &stats_;
    bool stop_ = false;
    bool vanish_ = false;
};

bool MainLoop::step()
{
    scheduler_.runDue();
    if (vanish_)
        return false;
    link_.beforePoll();

    const Micros timeout = pollTimeout();
    // The signals, a listener waiting for connections (only a network bridge has one), the port's data.
    pollfd entries[3] = {{signals_, POLLIN, 0}, {port_.listenFd(), POLLIN, 0}, {port_.fd(), 0, 0}};
    nfds_t count = 2;
    if (!link_.hungUp()) {
        entries[2].events = static_cast<short>(POLLIN | (link_.wantsWrite() ? POLLOUT : 0));
        count = 3;
    }
    const timespec wait = toTimespec(timeout);
    const int ready = ppoll(entries, count, timeout < 0 ? nullptr : &wait, nullptr);
    const Micros wokeAt = monotonicMicros();
    if (ready < 0 && errno != EINTR) {
        std::fprintf(stderr, "kestrane-sim: poll: %s\n", std::strerror(errno));
        return false;
    }

    if (entries[0].revents & POLLIN)
        takeSignals();
    if (vanish_ || stop_)
        return false;

    if (entries[1].revents & POLLIN)
        port_.acceptPeer();
    if (link_.hungUp()) {
        link_.checkReopen();
    } else if (count == 3) {
        if (entries[2].revents & (POLLIN | POLLHUP | POLLERR))
            link_.onReadable(wokeAt);
        if (entries[2].revents & POLLOUT)
            link_.onWritable();
    }
    return true;
}

// Until the next timer is due, but never so long that a closed port's reopening or the port's rate goes
// unseen; -1 waits for input alone.
Micros MainLoop::pollTimeout() const
{
    Micros timeout = -1;
    const Micros now = monotonicMicros();
    const Micros due = scheduler_.nextDue();
    if (due >= 0)
        timeout = due > now ? due - now : 0;
    if (wireTiming_ && timeout > 0)
        timeout = timeout > kWakeUpMargin ? timeout - kWakeUpMargin : 0;
    // A listener wakes the loop itself when a program connects.
    if (link_.hungUp() && port_.listenFd() >= 0)
        return timeout;
    if (link_.hungUp() && (timeout < 0 || timeout > kClosedPortPollInterval))
        timeout = kClosedPortPollInterval;
    else if (!link_.hungUp() && (timeout < 0 || timeout > kRateLookInterval))
        timeout = kRateLookInterval;
    return timeout;
}

void MainLoop::takeSignals()
{
    signalfd_siginfo info {};
    while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
            log_.write('#', "vanishing on SIGUSR1");
            vanish_ = true;
        } else if (info.ssi_signo == SIGUSR2) {
            // Totals so far, so a measurement can leave out what came before it.
            if (wireTiming_)
                stats_.print(stdout);
        } else {
            stop_ = true;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int status = readCommandLine(argc, argv, options);
    if (status >= 0)
        return status;

    std::signal(SIGPIPE, SIG_IGN);

    EventLog log;
    std::unique_ptr<CanDevice> device;
    std::unique_ptr<Port> port;
    std::string address;
    int signals = -1;
    if (!openResources(options, log, device, port, address, signals))
        return 1;

    Scheduler scheduler;
    WireStats stats(options.wireTiming, options.latency);
    SerialLink link(*port, scheduler, log, stats);
    // A network bridge has no buffer that outlives its connection.
    link.setKeepClosedOutput(options.keepClosedOutput && !options.tcp);
    link.setUsbLatency(options.usbLatency);
    CanBus bus(scheduler, log, stats);
    Adapter adapter(options.adapter, options.baud, link, bus, scheduler, log, stats, options.faults);
    configureAdapter(adapter, options);
    link.setReceiver(&adapter);
    bus.setListener(&adapter);
    bus.setDevice(std::move(device));

    MainLoop loop(options.wireTiming, signals, *port, scheduler, link, log, stats);
    if (options.tcp)
        adapter.onDropConnection = [&link](bool reset) { link.dropConnection(reset); };
    else
        adapter.onVanish = [&loop] { loop.vanish(); };

    TextStream stream(*port, link, scheduler, log);
    if (options.faults.streamText)
        stream.start();

    std::printf("kestrane-sim ready %s\n", address.c_str());
    std::fflush(stdout);

    const bool vanish = loop.run();

    // Vanishing closes the port first so that the program sees it fail, then the name disappears.
    if (vanish)
        port->close();
    port->removeLink();
    port->close();
    log.write('#', vanish ? "port vanished" : "stopped");
    if (options.wireTiming)
        stats.print(stdout);
    return 0;
}
