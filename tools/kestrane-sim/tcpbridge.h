#pragma once

#include "port.h"

#include <cstdint>
#include <string>

namespace ksim {

class EventLog;

// A Wi-Fi adapter's network side: a TCP server on the loopback interface bridged to the adapter chip's
// UART, which the bridge drives at a fixed rate whatever the chip is set to. It takes one client at a
// time and turns any other away at once; when the client leaves, the chip keeps running and what it
// sends meanwhile goes nowhere.
class TcpBridge : public Port
{
public:
    // The rate between the bridge and the adapter chip, as Wi-Fi adapters ship.
    static constexpr std::uint32_t kRate = 38400;

    explicit TcpBridge(EventLog &log);
    TcpBridge(const TcpBridge &) = delete;
    TcpBridge &operator=(const TcpBridge &) = delete;
    ~TcpBridge() override;

    // Listens on 127.0.0.1:port; 0 lets the system choose, localPort() says which it chose.
    bool listen(std::uint16_t port, std::string &error);
    std::uint16_t localPort() const { return localPort_; }
    void close() override;

    // Port
    int fd() const override { return client_; }
    int listenFd() const override { return listener_; }
    void acceptPeer() override;
    void closePeer() override;
    // SO_LINGER with a zero time, then close: the client gets a reset, not an orderly end.
    void resetPeer() override;
    std::uint32_t portRate() const override { return kRate; }
    ReadStatus readAll(std::string &out) override;
    bool write(const std::string &bytes) override;
    bool hasPendingOutput() const override { return !pending_.empty(); }
    void flushPending() override;
    void dropPending() override { pending_.clear(); }
    bool peerOpen() const override { return client_ >= 0; }

private:
    EventLog &log_;
    int listener_ = -1;
    int client_ = -1;
    std::uint16_t localPort_ = 0;
    std::string pending_;
};

} // namespace ksim
