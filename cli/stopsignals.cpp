#include "stopsignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int wakePipe[2] = {-1, -1};
struct sigaction previous[2];
constexpr int stopSignals[2] = {SIGINT, SIGTERM};

extern "C" void onStopSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a stop that has not been read: nothing is lost.
    if (::write(wakePipe[1], &number, 1) < 0) { }
    errno = savedErrno;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (::pipe(wakePipe) != 0)
        return;
    for (const int fd : wakePipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    m_notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::readPipe);
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // the serial port's and Qt's own calls carry on undisturbed
    for (int i = 0; i < 2; ++i)
        ::sigaction(stopSignals[i], &action, &previous[i]);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    for (int i = 0; i < 2; ++i)
        ::sigaction(stopSignals[i], &previous[i], nullptr);
    delete m_notifier;
    for (int &fd : wakePipe) {
        ::close(fd);
        fd = -1;
    }
}

void StopSignals::readPipe()
{
    unsigned char number = 0;
    while (::read(wakePipe[0], &number, 1) == 1)
        deliver(number);
}

#else

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{ }

StopSignals::~StopSignals() = default;

void StopSignals::readPipe()
{ }

#endif

void StopSignals::deliver(int signal)
{
    if (m_first == 0) {
        m_first = signal;
        m_firstAt.start();
        emit caught(128 + signal);
    } else if (signal != m_first || m_firstAt.elapsed() >= 1000) {
        emit caughtAgain(128 + signal);
    }
}
