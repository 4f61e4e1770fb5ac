// The floor under bench_transfer's figures: two minimal processes play program and adapter over a
// pseudo-terminal, one line and one prompt at a time, the "adapter" holding each prompt back for
// the wire time of the line as kestrane-sim does. Whatever a cycle takes beyond that wire time is
// the machine's (pty hand-over, process wake-ups), not Veltrano's: no program on this machine that
// waits for each prompt can do better.
//
//   bench_pty_floor [--lines N] [--wire-us 0,412,5170]

#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

long long nowNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Microseconds beyond the wire time per line, averaged over `lines` cycles.
double measure(int lines, int wireUs)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios tio {};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);

    const char line[] = "2fffffffffffffff0\r"; // a consecutive frame as the program writes it
    const pid_t adapter = fork();
    if (adapter == 0) {
        // Like kestrane-sim: precise timers, the prompt held back until the line's wire time is over.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        char buffer[64];
        for (int i = 0; i < lines; ++i) {
            pollfd p {master, POLLIN, 0};
            poll(&p, 1, -1);
            const long long due = nowNs() + wireUs * 1000LL;
            if (read(master, buffer, sizeof buffer) <= 0)
                _exit(1);
            // Asleep until shortly before the prompt is due, then awake: kestrane-sim's own timing.
            const long long sleepNs = due - nowNs() - 50000;
            if (sleepNs > 0) {
                const timespec pause {time_t(sleepNs / 1000000000), long(sleepNs % 1000000000)};
                ppoll(nullptr, 0, &pause, nullptr);
            }
            while (nowNs() < due) { }
            if (write(master, ">", 1) != 1)
                _exit(1);
        }
        _exit(0);
    }
    char buffer[64];
    const long long start = nowNs();
    for (int i = 0; i < lines; ++i) {
        if (write(slave, line, sizeof line - 1) != sizeof line - 1)
            return -1;
        pollfd p {slave, POLLIN, 0};
        poll(&p, 1, -1);
        if (read(slave, buffer, sizeof buffer) <= 0)
            return -1;
    }
    const double perLineUs = (nowNs() - start) / 1000.0 / lines;
    waitpid(adapter, nullptr, 0);
    close(slave);
    close(master);
    return perLineUs - wireUs;
}

} // namespace

int main(int argc, char **argv)
{
    int lines = 5000;
    std::vector<int> wires {0, 412, 5170};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--lines") && i + 1 < argc) {
            lines = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--wire-us") && i + 1 < argc) {
            wires.clear();
            for (char *part = std::strtok(argv[++i], ","); part; part = std::strtok(nullptr, ","))
                wires.push_back(std::atoi(part));
        } else {
            std::printf("usage: bench_pty_floor [--lines N] [--wire-us LIST]\n");
            return !std::strcmp(argv[i], "--help") ? 0 : 1;
        }
    }
    // 412 us: a consecutive-frame line at 1,000,000 bit/s (18 bytes out, the CAN frame, the prompt);
    // 5170 us: the same at 38,400 bit/s.
    std::printf("wire us/line  beyond wire us/line  best wire/wall\n");
    for (int wire : wires) {
        const double beyond = measure(lines, wire);
        std::printf("%12d %20.1f %15.3f\n", wire, beyond, wire > 0 ? wire / (wire + beyond) : 0.0);
    }
    return 0;
}
