// The adapter's serial rate switches: AT BRD with its handshake, and the ST commands for rates.

#include "adapter.h"

#include "eventlog.h"
#include "hex.h"
#include "wirestats.h"

namespace ksim {

namespace {
// AT BRD divides the ELM327's 4 MHz baud clock; the result must lie in the range its UART can run at.
constexpr std::uint32_t kDivisorClock = 4000000;
constexpr std::uint32_t kMinDivisorRate = 9600;
constexpr std::uint32_t kMaxDivisorRate = 4000000;
// AT BRT counts in 5 ms steps; 0F, 75 ms, is both the power-up value and what 00 stands for.
constexpr Micros kDivisorWaitUnit = 5000;
constexpr std::uint8_t kDefaultDivisorWait = 0x0F;
// How long a confirmed rate change waits for the program to follow, and then for its confirming CR.
constexpr Micros kPortFollowWindow = 100000;
constexpr Micros kPortPollInterval = 1000;
constexpr Micros kConfirmWindow = 1000000;
} // namespace

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

std::string Adapter::identification() const
{
    return kind_ == AdapterKind::Els27 ? kStnIdentity : kElmIdentity;
}

void Adapter::switchWithConfirmation(std::uint32_t rate)
{
    emit("OK" + eol());
    previousRate_ = rate_;
    setRate(rate);
    state_ = State::SwitchWaitPort;
    // The program can only follow once it has read the OK, so the waiting starts when the OK is out.
    const Micros start = link_.idleAt();
    switchDeadline_ = start + kPortFollowWindow;
    const std::uint64_t generation = ++switchGeneration_;
    scheduler_.at(start, [this, generation] { waitForPortRate(generation); });
}

void Adapter::waitForPortRate(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::SwitchWaitPort)
        return;
    if (link_.portRate() != rate_ && monotonicMicros() < switchDeadline_) {
        scheduler_.after(kPortPollInterval, [this, generation] { waitForPortRate(generation); });
        return;
    }
    emit(identification() + eol());
    state_ = State::SwitchWaitConfirm;
    confirmTimer_
        = scheduler_.at(link_.idleAt() + kConfirmWindow, [this, generation] { confirmationTimedOut(generation); });
    checkConfirmation();
}

void Adapter::checkConfirmation()
{
    if (state_ != State::SwitchWaitConfirm || lines_.empty())
        return;
    // The first CR at the new rate confirms it; whatever came before it on that line is used up.
    lines_.pop_front();
    scheduler_.cancel(confirmTimer_);
    ++switchGeneration_;
    log_.write('#', "rate " + std::to_string(rate_) + " confirmed");
    emit(">");
    becomeIdle();
}

void Adapter::confirmationTimedOut(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::SwitchWaitConfirm)
        return;
    ++switchGeneration_;
    log_.write('#', "rate " + std::to_string(rate_) + " not confirmed, back to " + std::to_string(previousRate_));
    setRate(previousRate_);
    emit(">");
    becomeIdle();
}

// ---- AT BRD: a new rate from the baud clock's divisor ---------------------------------------------------

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
    emit("OK" + eol());
    previousRate_ = rate_;
    divisorRate_ = static_cast<std::uint32_t>(rate);
    state_ = State::DivisorSwitch;
    // The UART changes its rate the moment the OK's last bit has left; the host cannot react before it
    // has read that OK, so nothing it sends can fall in between.
    const std::uint64_t generation = ++switchGeneration_;
    scheduler_.at(link_.idleAt(), [this, generation] { divisorSwitched(generation); });
}

void Adapter::divisorSwitched(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::DivisorSwitch)
        return;
    link_.deliverFinished();
    // Lines that came at the old rate while the OK went out are not the confirmation it waits for.
    dropPendingInput("before the switch");
    setRate(divisorRate_);
    const Micros wait = divisorWaitMicros();
    log_.write('#',
        "AT BRD: switched to " + std::to_string(rate_) + ", waiting " + std::to_string(wait / 1000)
            + " ms for a CR at that rate");
    // The identification goes out at once, whether or not the host has followed yet: one that switches
    // late hears it as noise.
    emit(identity_ + "\r");
    state_ = State::DivisorConfirm;
    confirmTimer_ = scheduler_.at(link_.idleAt() + wait, [this, generation] { divisorTimedOut(generation); });
}

void Adapter::divisorConfirmation()
{
    while (state_ == State::DivisorConfirm && !lines_.empty()) {
        const Line line = lines_.front();
        lines_.pop_front();
        if (faults_.loseBrdConfirm) {
            log_.write('#', "AT BRD: CR at " + std::to_string(rate_) + " lost (fault)");
            continue;
        }
        // The first CR at the new rate confirms it; whatever came before it on that line is used up.
        scheduler_.cancel(confirmTimer_);
        ++switchGeneration_;
        log_.write('#', "AT BRD: rate " + std::to_string(rate_) + " confirmed");
        state_ = State::Working;
        const Micros received = line.arrived + stats_.serial(line.wireBytes, line.rate);
        const Micros now = scheduler_.now();
        const Micros start = (received > now ? received : now) + stats_.answerLatency();
        scheduler_.at(start, [this] {
            emit(">");
            becomeIdle();
        });
    }
}

void Adapter::divisorTimedOut(std::uint64_t generation)
{
    if (generation != switchGeneration_ || state_ != State::DivisorConfirm)
        return;
    ++switchGeneration_;
    log_.write(
        '#', "AT BRD: rate " + std::to_string(rate_) + " not confirmed, back to " + std::to_string(previousRate_));
    dropPendingInput("before going back");
    setRate(previousRate_);
    emit(">");
    becomeIdle();
}

Micros Adapter::divisorWaitMicros() const
{
    const std::uint8_t units = settings_.divisorWait == 0 ? kDefaultDivisorWait : settings_.divisorWait;
    return units * kDivisorWaitUnit;
}

void Adapter::dropPendingInput(const std::string &why)
{
    // Bytes received at one rate never join bytes received at another into one line.
    std::string pending;
    for (const Line &line : lines_)
        pending += line.text + "\r";
    pending += partial_;
    lines_.clear();
    partial_.clear();
    partialWireBytes_ = 0;
    if (!pending.empty())
        log_.write('#',
            "AT BRD: ignored " + std::to_string(pending.size()) + " bytes received " + why + ": " + printable(pending));
}

} // namespace ksim
