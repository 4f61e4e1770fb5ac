#pragma once

#include "scheduler.h"
#include "usblatency.h"

#include <cstdint>
#include <deque>
#include <string>

namespace ksim {

class EventLog;
class Port;
class WireStats;

// The adapter's side of the serial link: what its UART hears and how it reacts to the port going away.
class SerialReceiver
{
public:
    virtual ~SerialReceiver() = default;
    // The rate the adapter's UART runs at; bytes sent at another rate are noise to it.
    virtual std::uint32_t uartRate() const = 0;
    // Bytes that arrived at the right rate, at time "when".
    virtual void serialInput(const std::string &bytes, Micros when) = 0;
    // The program closed the port: whatever half line was buffered belongs to nobody any more.
    virtual void portClosed() = 0;
};

// The serial cable between the program's port and the adapter: decides whether bytes survive a rate
// mismatch in either direction, emulates transfer time when wire timing is on, and tracks the program
// closing and reopening the port.
class SerialLink
{
public:
    SerialLink(Port &port, Scheduler &scheduler, EventLog &log, WireStats &stats);

    void setReceiver(SerialReceiver *receiver) { receiver_ = receiver; }
    // Whether output survives the port being closed: what the adapter sends while nobody has the port
    // open (and what the last user left unread) then waits for the next opener, as an operating
    // system's serial driver keeps it; otherwise it is thrown away so every opener starts clean.
    void setKeepClosedOutput(bool keep) { keepClosedOutput_ = keep; }
    // A USB serial bridge's latency timer on the way to the program (0: none).
    void setUsbLatency(Micros latency) { usb_.setLatency(latency); }

    // The adapter transmits bytes at its UART rate. They reach the program after their transfer time, in
    // order; if the port is at another rate by then, they arrive as noise.
    void send(const std::string &bytes, std::uint32_t rate);
    // When everything handed to send() will have left the adapter.
    Micros idleAt() const;
    // Hands the program whatever has finished crossing by now, for a caller about to change what the
    // adapter does at this very moment (its rate, say) and wanting the bytes out first.
    void deliverFinished();

    std::uint32_t portRate() const;
    bool hungUp() const { return hungUp_; }
    bool wantsWrite() const;

    // Main loop hooks.
    void beforePoll();
    // `when`: the moment the poll reported the bytes, taken before reading them.
    void onReadable(Micros when);
    void onWritable();
    void checkReopen();
    // The port's far end cuts the program off (a network bridge dropping its client); the adapter stays.
    // reset: the client sees the connection reset rather than closed in order.
    void dropConnection(bool reset);

private:
    struct Chunk
    {
        std::string bytes;
        std::uint32_t rate;
        Micros due;
    };

    // closing: the port was closed with these bytes still unread.
    void judgeInput(const std::string &bytes, Micros when, bool closing);
    void noteRate();
    void deliverDue();
    void deliver(const Chunk &chunk);
    void hangUp();
    void logSent(const std::string &bytes);
    void toProgram(const std::string &bytes);

    Port &port_;
    Scheduler &scheduler_;
    EventLog &log_;
    WireStats &stats_;
    SerialReceiver *receiver_ = nullptr;
    UsbLatency usb_;
    bool keepClosedOutput_ = false;
    std::deque<Chunk> queue_;
    Micros lastDue_ = 0;
    bool timerArmed_ = false;
    // Nobody has the port open until the program opens it.
    bool hungUp_ = true;
    // When the port was last seen at the adapter's rate (0: not since it was opened), and the adapter's
    // rate then.
    Micros lastMatchAt_ = 0;
    std::uint32_t lastMatchUart_ = 0;
    // Whether the latest look at the port found it at the adapter's rate.
    bool lastLookMatched_ = false;
    Micros openedAt_ = 0;
};

} // namespace ksim
