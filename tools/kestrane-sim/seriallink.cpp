#include "seriallink.h"

#include "eventlog.h"
#include "hex.h"
#include "port.h"
#include "wirestats.h"

namespace ksim {

namespace {
// A UART samples each bit in its middle, so a character survives a few percent of difference between the
// two ends' clocks. Rates made by dividing the adapter's clock are never exactly the ones hosts offer:
// divisor 23 gives 114286 bit/s, which a port set to 115200 reads without trouble.
constexpr std::uint64_t kRateTolerancePercent = 3;

bool ratesMatch(std::uint32_t port, std::uint32_t adapter)
{
    if (port == adapter)
        return true;
    if (port == 0 || adapter == 0)
        return false;
    const std::uint64_t difference = port > adapter ? port - adapter : adapter - port;
    return difference * 100 <= static_cast<std::uint64_t>(adapter) * kRateTolerancePercent;
}
} // namespace

SerialLink::SerialLink(Port &port, Scheduler &scheduler, EventLog &log, WireStats &stats)
    : port_(port)
    , scheduler_(scheduler)
    , log_(log)
    , stats_(stats)
    , usb_(scheduler, [this](const std::string &bytes) { toProgram(bytes); })
{ }

std::uint32_t SerialLink::portRate() const
{
    return port_.portRate();
}

bool SerialLink::wantsWrite() const
{
    return !hungUp_ && port_.hasPendingOutput();
}

Micros SerialLink::idleAt() const
{
    const Micros now = scheduler_.now();
    return queue_.empty() || lastDue_ < now ? now : lastDue_;
}

void SerialLink::send(const std::string &bytes, std::uint32_t rate)
{
    if (bytes.empty())
        return;
    const Micros now = scheduler_.now();
    const Micros start = queue_.empty() || lastDue_ < now ? now : lastDue_;
    const Micros due = start + stats_.serial(bytes.size(), rate);
    lastDue_ = due;
    if (queue_.empty() && due <= now) {
        deliver(Chunk {bytes, rate, due});
        return;
    }
    queue_.push_back(Chunk {bytes, rate, due});
    if (!timerArmed_) {
        timerArmed_ = true;
        scheduler_.at(queue_.front().due, [this] { deliverDue(); });
    }
}

void SerialLink::deliverFinished()
{
    // The armed timer stays: when it fires it finds nothing due, or the next chunk, and re-arms.
    const Micros now = monotonicMicros();
    while (!queue_.empty() && queue_.front().due <= now) {
        const Chunk chunk = queue_.front();
        queue_.pop_front();
        deliver(chunk);
    }
}

void SerialLink::deliverDue()
{
    timerArmed_ = false;
    const Micros now = monotonicMicros();
    while (!queue_.empty() && queue_.front().due <= now) {
        const Chunk chunk = queue_.front();
        queue_.pop_front();
        deliver(chunk);
    }
    if (!queue_.empty()) {
        timerArmed_ = true;
        scheduler_.at(queue_.front().due, [this] { deliverDue(); });
    }
}

void SerialLink::deliver(const Chunk &chunk)
{
    if (hungUp_ && !keepClosedOutput_) {
        log_.write('#', "dropped " + std::to_string(chunk.bytes.size()) + " bytes, port closed");
        return;
    }
    // Kept output goes into the pty now, so that it already waits in the port's input queue the moment
    // the next program opens it (and a flush right after opening removes it, as on a real port). It is
    // judged by the rate the port is set to while closed, the one its last user left behind: a real
    // UART decodes bytes as they arrive, whatever rate the next opener chooses later.
    if (hungUp_)
        log_.write('#', "port closed, " + std::to_string(chunk.bytes.size()) + " bytes kept for the next opener");
    const std::uint32_t port = port_.portRate();
    if (!ratesMatch(port, chunk.rate)) {
        // A UART at the wrong rate turns every character into framing garbage; 0xFF keeps CR, '>' and all
        // readable text out of it.
        log_.write('!',
            "noise " + std::to_string(chunk.bytes.size()) + " bytes at " + std::to_string(chunk.rate) + " (port at "
                + std::to_string(port) + "): " + printable(chunk.bytes));
        usb_.push(std::string(chunk.bytes.size(), '\xFF'));
        return;
    }
    logSent(chunk.bytes);
    noteRate();
    usb_.push(chunk.bytes);
}

void SerialLink::toProgram(const std::string &bytes)
{
    if (!port_.write(bytes))
        log_.write('#', "output overflow, " + std::to_string(bytes.size()) + " bytes lost");
}

void SerialLink::logSent(const std::string &bytes)
{
    std::string line;
    for (char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!line.empty())
                log_.write('>', printable(line));
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        log_.write('>', printable(line));
}

namespace {
// An opener sets the line up in several steps after the open itself; until they are surely done,
// a rate seen on the port says nothing about the rate its bytes were written at.
constexpr Micros kOpenSettleTime = 20000;
// The rate is only seen when the simulator looks, not when the program writes. Bytes that find the
// port at another rate shortly after it was last seen at the adapter's rate were written before the
// change: a program that switches rates, or restores the line settings while closing, does so right
// after its last write at the old rate.
constexpr Micros kRateChangeGrace = 50000;
} // namespace

void SerialLink::noteRate()
{
    const Micros now = monotonicMicros();
    if (hungUp_ || !receiver_ || now - openedAt_ < kOpenSettleTime)
        return;
    lastLookMatched_ = ratesMatch(port_.portRate(), receiver_->uartRate());
    if (lastLookMatched_) {
        lastMatchAt_ = now;
        lastMatchUart_ = receiver_->uartRate();
    }
}

void SerialLink::beforePoll()
{
    noteRate();
}

void SerialLink::onReadable(Micros when)
{
    std::string bytes;
    const Port::ReadStatus status = port_.readAll(bytes);
    const bool closing = status == Port::ReadStatus::HungUp || !port_.peerOpen();
    judgeInput(bytes, when, closing);
    noteRate();
    if (closing)
        hangUp();
}

void SerialLink::judgeInput(const std::string &bytes, Micros when, bool closing)
{
    if (bytes.empty() || !receiver_)
        return;
    const std::uint32_t port = port_.portRate();
    const std::uint32_t uart = receiver_->uartRate();
    // The grace covers the port having moved away from the adapter's rate, not the adapter having moved
    // away from the port's: once the adapter runs at another rate, bytes at the rate it left are noise to
    // it however soon they come. Bytes found together with the close were written before the close put
    // the old line settings back, and drained at the rate of the last look, however long the simulator
    // took to wake up on a busy machine.
    const bool sameAdapterRate = lastMatchAt_ != 0 && lastMatchUart_ == uart;
    const bool justChanged
        = sameAdapterRate && (monotonicMicros() - lastMatchAt_ <= kRateChangeGrace || (closing && lastLookMatched_));
    if (ratesMatch(port, uart) || justChanged) {
        receiver_->serialInput(bytes, when);
        return;
    }
    log_.write('!',
        "garbled " + std::to_string(bytes.size()) + " bytes at " + std::to_string(port) + " (adapter at "
            + std::to_string(uart) + ")");
}

void SerialLink::onWritable()
{
    port_.flushPending();
}

void SerialLink::hangUp()
{
    if (hungUp_)
        return;
    hungUp_ = true;
    if (keepClosedOutput_) {
        // Answers still on their way keep coming, and what was sent but not read stays readable.
        log_.write('#', "port closed, output kept");
    } else {
        log_.write('#', "port closed");
        queue_.clear();
        usb_.clear();
        port_.dropPending();
        port_.discardUnreadOutput();
    }
    if (receiver_)
        receiver_->portClosed();
}

void SerialLink::dropConnection(bool reset)
{
    if (hungUp_)
        return;
    if (reset)
        port_.resetPeer();
    else
        port_.closePeer();
    hangUp();
}

void SerialLink::checkReopen()
{
    if (!hungUp_ || !port_.peerOpen())
        return;
    hungUp_ = false;
    // The opener may still be setting the line up: its first bytes are judged by the rate they
    // find, never by a rate seen before the open.
    lastMatchAt_ = 0;
    lastLookMatched_ = false;
    openedAt_ = monotonicMicros();
    log_.write('#', "port opened at " + std::to_string(port_.portRate()));
    // Anything that was still on its way when the port closed was for the previous user, unless the
    // port keeps output for whoever opens it next.
    if (!keepClosedOutput_)
        port_.dropPending();
}

} // namespace ksim
