// The adapter's serial rate switches: AT BRD and STBR with their handshake, and the other ST commands
// for rates.

#include "adapter.h"

#include "eventlog.h"
#include "hex.h"
#include "wirestats.h"

namespace ksim {

namespace {
constexpr std::uint32_t kMinRate = 300;
constexpr std::uint32_t kMaxRate = 16000000;
// AT BRD divides the ELM327's 4 MHz baud clock; the result must lie in the range its UART can run at.
constexpr std::uint32_t kDivisorClock = 4000000;
constexpr std::uint32_t kMinDivisorRate = 9600;
constexpr std::uint32_t kMaxDivisorRate = 4000000;
// AT BRT counts in 5 ms steps; 0F, 75 ms, is both the power-up value and what 00 stands for.
constexpr Micros kDivisorWaitUnit = 5000;
constexpr std::uint8_t kDefaultDivisorWait = 0x0F;
// STBRT counts in milliseconds, up to 65535; 0 is taken like AT BRT 00, as the power-up value.
constexpr std::uint64_t kMaxStnWait = 65535;
constexpr Micros kDefaultStnWait = 75000;

bool parseDecimalRate(const std::string &digits, std::uint32_t &rate)
{
    std::uint64_t value = 0;
    if (!parseDecimal(digits, value) || value < kMinRate || value > kMaxRate)
        return false;
    rate = static_cast<std::uint32_t>(value);
    return true;
}
} // namespace

// ---- the ST commands for rates --------------------------------------------------------------------------

bool Adapter::rateCommand(const std::string &c)
{
    std::uint32_t rate = 0;
    if (c == "WBR") {
        storedRate_ = rate_;
        reply("OK");
    } else if (c.rfind("SBR", 0) == 0) {
        if (!parseDecimalRate(c.substr(3), rate)) {
            reply("?");
            return true;
        }
        // No handshake: answered at the old rate; the new one applies to whatever comes next.
        reply("OK");
        setRate(rate);
    } else if (c.rfind("BRT", 0) == 0) {
        stnWaitCommand(c.substr(3));
    } else if (c.rfind("BR", 0) == 0) {
        if (!parseDecimalRate(c.substr(2), rate)) {
            reply("?");
            return true;
        }
        startRateSwitch("STBR", stnIdentity_, rate, settings_.stnSwitchWait);
    } else {
        return false;
    }
    return true;
}

void Adapter::stnWaitCommand(const std::string &digits)
{
    std::uint64_t millis = 0;
    if (!parseDecimal(digits, millis) || millis > kMaxStnWait) {
        reply("?");
        return;
    }
    settings_.stnSwitchWait = millis == 0 ? kDefaultStnWait : static_cast<Micros>(millis) * 1000;
    reply("OK");
}

// ---- AT BRD: a new rate from the baud clock's divisor ---------------------------------------------------

void Adapter::divisorWaitCommand(const std::string &digits)
{
    std::uint64_t value = 0;
    if (digits.size() != 2 || !allHex(digits) || !parseNumber("0x" + digits, value)) {
        reply("?");
        return;
    }
    settings_.divisorWait = static_cast<std::uint8_t>(value);
    reply("OK");
}

Micros Adapter::divisorWaitMicros() const
{
    const std::uint8_t units = settings_.divisorWait == 0 ? kDefaultDivisorWait : settings_.divisorWait;
    return units * kDivisorWaitUnit;
}

void Adapter::divisorCommand(const std::string &digits)
{
    if (faults_.noBrd) {
        log_.write('#', "AT BRD not known (fault)");
        reply("?");
        return;
    }
    std::uint64_t divisor = 0;
    if (digits.size() != 2 || !allHex(digits) || !parseNumber("0x" + digits, divisor)) {
        reply("?");
        return;
    }
    const std::uint64_t rate = divisor == 0 ? 0 : (kDivisorClock + divisor / 2) / divisor;
    if (rate < kMinDivisorRate || rate > kMaxDivisorRate) {
        log_.write('#', "AT BRD " + digits + ": no usable rate, refused");
        reply("?");
        return;
    }
    startRateSwitch("AT BRD", banner(), static_cast<std::uint32_t>(rate), divisorWaitMicros());
}

// ---- the handshake (AT BRD, STBR) -----------------------------------------------------------------------
//
// OK and the line end at the old rate, no prompt; the UART switches the moment they have left; the chip
// waits its BRT time, sends its identification and a CR at the new rate, and waits another BRT time for a
// CR from the host. A line that arrives before the identification has gone out does not count. With the
// CR it answers OK at the new rate and keeps it; without, it goes back and sends the prompt at the old one.

void Adapter::switchNote(const std::string &text)
{
    log_.write('#', switch_.command + ": " + text);
}

void Adapter::startRateSwitch(
    const std::string &command, const std::string &identification, std::uint32_t rate, Micros wait)
{
    emit("OK" + eol());
    switch_ = RateSwitch();
    switch_.command = command;
    switch_.identification = identification;
    switch_.oldRate = rate_;
    switch_.newRate = rate;
    switch_.wait = wait;
    state_ = State::SwitchSendingOk;
    // The host cannot react before it has read that OK, so nothing it sends can fall in between.
    const std::uint64_t generation = ++switchGeneration_;
    scheduler_.at(link_.idleAt(), [this, generation] { switchUart(generation); });
}

void Adapter::switchUart(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::SwitchSendingOk)
        return;
    link_.deliverFinished();
    // Lines that came at the old rate while the OK went out are not the confirmation it waits for.
    dropPendingInput("before the switch");
    setRate(switch_.newRate);
    switchNote("switched to " + std::to_string(rate_) + ", the identification follows in "
        + std::to_string(switch_.wait / 1000) + " ms");
    state_ = State::SwitchWaiting;
    scheduler_.after(switch_.wait, [this, generation] { sendSwitchIdentification(generation); });
}

void Adapter::sendSwitchIdentification(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::SwitchWaiting)
        return;
    // Whether or not the host has followed yet: one that switches late hears it as noise.
    emit(switch_.identification + "\r");
    scheduler_.at(link_.idleAt(), [this, generation] { openConfirmWindow(generation); });
}

void Adapter::openConfirmWindow(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::SwitchWaiting)
        return;
    state_ = State::SwitchConfirm;
    switch_.windowOpens = scheduler_.now();
    switch_.windowCloses = switch_.windowOpens + switch_.wait;
    switchNote("identification sent, waiting " + std::to_string(switch_.wait / 1000) + " ms for a CR at "
        + std::to_string(rate_));
    confirmTimer_ = scheduler_.at(switch_.windowCloses, [this, generation] { switchTimedOut(generation); });
}

void Adapter::switchInput()
{
    while ((state_ == State::SwitchWaiting || state_ == State::SwitchConfirm) && !lines_.empty()) {
        const Line line = lines_.front();
        lines_.pop_front();
        // The last byte, the CR, reaches the chip only once the whole line has crossed.
        const Micros received = line.arrived + stats_.serial(line.wireBytes, line.rate);
        if (state_ == State::SwitchWaiting || received < switch_.windowOpens) {
            switchNote(line.text.empty() ? "CR before the identification ignored"
                                         : "line before the identification ignored: " + printable(line.text));
            continue;
        }
        if (received > switch_.windowCloses) {
            switchNote("CR after the wait for it ignored");
            continue;
        }
        if (faults_.loseBrdConfirm) {
            switchNote("CR at " + std::to_string(rate_) + " lost (fault)");
            continue;
        }
        switchConfirmed(received);
    }
}

void Adapter::switchConfirmed(Micros received)
{
    // The first CR at the new rate confirms it; whatever came before it on that line is used up.
    scheduler_.cancel(confirmTimer_);
    ++switchGeneration_;
    switchNote("rate " + std::to_string(rate_) + " confirmed");
    state_ = State::Working;
    const Micros now = scheduler_.now();
    const Micros start = (received > now ? received : now) + stats_.answerLatency();
    scheduler_.at(start, [this] {
        reply("OK");
        becomeIdle();
    });
}

void Adapter::switchTimedOut(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::SwitchConfirm)
        return;
    ++switchGeneration_;
    switchNote("rate " + std::to_string(rate_) + " not confirmed, back to " + std::to_string(switch_.oldRate));
    dropPendingInput("before going back");
    setRate(switch_.oldRate);
    emit(prompt());
    becomeIdle();
}

void Adapter::dropPendingInput(const std::string &why)
{
    // Bytes received at one rate never join bytes received at another into one line.
    const std::string pending = takePendingInput();
    if (!pending.empty())
        switchNote("ignored " + std::to_string(pending.size()) + " bytes received " + why + ": " + printable(pending));
}

} // namespace ksim
