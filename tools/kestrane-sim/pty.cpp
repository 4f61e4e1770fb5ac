#include "pty.h"

// The kernel's termios2 interface reports arbitrary rates such as 8000000; glibc's <termios.h> cannot be
// included next to it, so this file uses the raw ioctl interface only.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ksim {

namespace {
// Output the program does not read is kept up to this size; beyond it the reader is considered gone.
constexpr std::size_t kMaxPending = 1 << 20;
} // namespace

Pty::~Pty()
{
    removeLink();
    close();
}

bool Pty::open(std::string &error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("grantpt/unlockpt: ") + std::strerror(errno);
        close();
        return false;
    }
    char name[PATH_MAX];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        close();
        return false;
    }
    slaveName_ = name;

    // Raw 8N1 so that a client which does not configure the line (a test using plain open) still sees
    // the bytes unchanged: no echo, no CR/LF translation, no signals.
    termios2 tio {};
    if (ioctl(master_, TCGETS2, &tio) == 0) {
        tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
        tio.c_cflag |= CS8;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ioctl(master_, TCSETS2, &tio);
    }
    return true;
}

bool Pty::createLink(const std::string &path, std::string &error)
{
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat info
    {
    };
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "folder of --link does not exist: " + folder;
        return false;
    }
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = path + " exists and is not a symlink; not replacing it";
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            error = "cannot remove old link " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (::symlink(slaveName_.c_str(), path.c_str()) != 0) {
        error = "cannot create link " + path + ": " + std::strerror(errno);
        return false;
    }
    linkPath_ = path;
    return true;
}

void Pty::removeLink()
{
    if (linkPath_.empty())
        return;
    // Only our own link: another simulator may have replaced it meanwhile.
    char target[PATH_MAX];
    const ssize_t length = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (length >= 0) {
        target[length] = '\0';
        if (slaveName_ == target)
            ::unlink(linkPath_.c_str());
    }
    linkPath_.clear();
}

void Pty::close()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
    pending_.clear();
}

std::uint32_t Pty::portRate() const
{
    termios2 tio {};
    if (master_ < 0 || ioctl(master_, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

Pty::ReadStatus Pty::readAll(std::string &out)
{
    const std::size_t before = out.size();
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(master_, buffer, sizeof buffer);
        if (count > 0) {
            out.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return out.size() > before ? ReadStatus::Data : ReadStatus::Nothing;
        // EIO (or end of file): the last slave descriptor has been closed.
        return ReadStatus::HungUp;
    }
}

bool Pty::write(const std::string &bytes)
{
    if (master_ < 0)
        return false;
    if (pending_.size() + bytes.size() > kMaxPending)
        return false;
    pending_ += bytes;
    flushPending();
    return true;
}

void Pty::flushPending()
{
    while (!pending_.empty() && master_ >= 0) {
        const ssize_t count = ::write(master_, pending_.data(), pending_.size());
        if (count > 0) {
            pending_.erase(0, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        pending_.clear();
        return;
    }
}

bool Pty::peerOpen() const
{
    if (master_ < 0)
        return false;
    pollfd entry {master_, POLLIN, 0};
    if (::poll(&entry, 1, 0) < 0)
        return false;
    return (entry.revents & POLLHUP) == 0;
}

void Pty::discardUnreadOutput()
{
    // Bytes written to the master stay in the slave's input queue across a close and would greet the next
    // opener; only a descriptor of the slave itself can flush them.
    const int slave = ::open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0)
        return;
    ioctl(slave, TCFLSH, TCIFLUSH);
    ::close(slave);
}

} // namespace ksim
