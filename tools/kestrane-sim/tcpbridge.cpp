#include "tcpbridge.h"

#include "eventlog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ksim {

namespace {
// Output the client does not read is kept up to this size; beyond it the client is considered gone.
constexpr std::size_t kMaxPending = 1 << 20;

std::string peerName(const sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}
} // namespace

TcpBridge::TcpBridge(EventLog &log)
    : log_(log)
{ }

TcpBridge::~TcpBridge()
{
    close();
}

bool TcpBridge::listen(std::uint16_t port, std::string &error)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // A simulator started again on the port of one that just ended must not wait for TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener_, 4) != 0
        || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        close();
        return false;
    }
    localPort_ = ntohs(address.sin_port);
    return true;
}

void TcpBridge::close()
{
    closePeer();
    if (listener_ >= 0)
        ::close(listener_);
    listener_ = -1;
}

void TcpBridge::acceptPeer()
{
    for (;;) {
        sockaddr_in address {};
        socklen_t length = sizeof address;
        const int socket
            = ::accept4(listener_, reinterpret_cast<sockaddr *>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        if (client_ >= 0) {
            log_.write('#', "connection from " + peerName(address) + " closed: another client is connected");
            ::close(socket);
            continue;
        }
        // Each answer, a lone prompt above all, must leave at once rather than wait to be merged.
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        client_ = socket;
        pending_.clear();
        log_.write('#', "client connected from " + peerName(address));
    }
}

void TcpBridge::closePeer()
{
    if (client_ < 0)
        return;
    ::close(client_);
    client_ = -1;
    pending_.clear();
}

void TcpBridge::resetPeer()
{
    if (client_ < 0)
        return;
    const linger abort {1, 0};
    ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    closePeer();
}

Port::ReadStatus TcpBridge::readAll(std::string &out)
{
    if (client_ < 0)
        return ReadStatus::HungUp;
    const std::size_t before = out.size();
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::recv(client_, buffer, sizeof buffer, 0);
        if (count > 0) {
            out.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return out.size() > before ? ReadStatus::Data : ReadStatus::Nothing;
        log_.write('#', count == 0 ? "client disconnected" : std::string("client lost: ") + std::strerror(errno));
        closePeer();
        return ReadStatus::HungUp;
    }
}

bool TcpBridge::write(const std::string &bytes)
{
    if (client_ < 0 || pending_.size() + bytes.size() > kMaxPending)
        return false;
    pending_ += bytes;
    flushPending();
    return true;
}

void TcpBridge::flushPending()
{
    while (!pending_.empty() && client_ >= 0) {
        const ssize_t count = ::send(client_, pending_.data(), pending_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            pending_.erase(0, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The client is gone; the next read finds out and closes the connection.
        pending_.clear();
        return;
    }
}

} // namespace ksim
