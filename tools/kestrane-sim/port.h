#pragma once

#include <cstdint>
#include <string>

namespace ksim {

// The program's end of the link to the adapter: a pseudo-terminal standing in for a serial port, or a
// network bridge standing in for a Wi-Fi adapter. SerialLink sees only this.
class Port
{
public:
    virtual ~Port() = default;

    // The descriptor that carries the program's bytes right now, -1 while nobody is there.
    virtual int fd() const = 0;
    // A descriptor that becomes readable when a program wants to connect, -1 when there is none to watch.
    virtual int listenFd() const { return -1; }
    // Takes in whoever is connecting (listenFd() was readable).
    virtual void acceptPeer() { }
    // Cuts the program off, as a bridge does that drops its connection; the adapter stays.
    virtual void closePeer() { }
    // Cuts the program off with a reset, where the port has such a thing (a TCP connection).
    virtual void resetPeer() { closePeer(); }

    // The rate the program's side of the line runs at right now, 0 when it cannot be read.
    virtual std::uint32_t portRate() const = 0;

    enum class ReadStatus { Data, Nothing, HungUp };
    // Reads everything available without blocking and appends it to out. HungUp: the program is gone
    // (whatever was still readable has been appended).
    virtual ReadStatus readAll(std::string &out) = 0;

    // Queues bytes for the program; returns false when the peer has gone and the bytes were lost.
    virtual bool write(const std::string &bytes) = 0;
    virtual bool hasPendingOutput() const = 0;
    // Pushes queued output once the descriptor is writable again.
    virtual void flushPending() = 0;
    virtual void dropPending() = 0;

    // True when a program holds the port open (is connected).
    virtual bool peerOpen() const = 0;
    // Discards output the previous user of the port left unread, so the next one starts clean.
    virtual void discardUnreadOutput() { }

    // Ends the port for good: the program's side fails, and then the name it was reached by goes.
    virtual void close() = 0;
    virtual void removeLink() { }
};

} // namespace ksim
