#include "adapter.h"

#include "eventlog.h"
#include "hex.h"
#include "wirestats.h"

#include <map>
#include <utility>

namespace ksim {

namespace {
// Longer lines cannot be valid anyway; the cap only keeps a runaway sender from growing the buffer.
constexpr std::size_t kMaxLineLength = 4096;
// An ELS27 holds this many characters of a line (spaces included) before its CR; a longer line is "?".
constexpr std::size_t kStnLineLength = 511;

bool isFlag(const std::string &command, const char *name, bool &value)
{
    const std::string prefix = name;
    if (command.size() != prefix.size() + 1 || command.compare(0, prefix.size(), prefix) != 0)
        return false;
    const char digit = command.back();
    if (digit != '0' && digit != '1')
        return false;
    value = digit == '1';
    return true;
}

std::string compactUpper(const std::string &text)
{
    std::string compact;
    for (char c : text) {
        if (c != ' ' && c != '\t')
            compact += c;
    }
    return toUpper(compact);
}

} // namespace

Adapter::Adapter(AdapterKind kind, std::uint32_t baud, SerialLink &link, CanBus &bus, Scheduler &scheduler,
    EventLog &log, WireStats &stats, const Faults &faults)
    : kind_(kind)
    , link_(link)
    , bus_(bus)
    , scheduler_(scheduler)
    , log_(log)
    , stats_(stats)
    , faults_(faults)
    , rate_(baud)
    , storedRate_(baud)
{
    log_.write('=', "rate " + std::to_string(rate_));
    if (faults_.silentFromStart) {
        silent_ = true;
        log_.write('#', "silent from power-up on (fault)");
    }
    if (faults_.streamText) {
        silent_ = true;
        log_.write('#', "text streams on the port, nothing answers (fault)");
    }
    if (!faults_.beforePrompt.empty())
        log_.write('#',
            "every prompt comes after the bytes "
                + toHex(reinterpret_cast<const std::uint8_t *>(faults_.beforePrompt.data()),
                    faults_.beforePrompt.size(), " ")
                + " (fault)");
}

void Adapter::setRaisedRate(std::uint32_t rate)
{
    log_.write('#',
        "still at " + std::to_string(rate) + " from an earlier AT BRD; a reset goes back to "
            + std::to_string(storedRate_) + " (fault)");
    setRate(rate);
}

// ---- serial input ---------------------------------------------------------------------------------------

void Adapter::serialInput(const std::string &bytes, Micros when)
{
    if (vanished_)
        return;
    if (restarting_) {
        loseInput(bytes);
        return;
    }
    if (flushPending_) {
        deferred_ += bytes;
        return;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (vanished_)
            return;
        if (state_ == State::Data && !silent_) {
            takeData(bytes.substr(i), when);
            break;
        }
        const char c = bytes[i];
        ++partialWireBytes_;
        // Any character stops a listening, monitoring or sending adapter. Only that character is thrown
        // away: the ones after it build the next line as usual, carried out after STOPPED and its prompt.
        const bool busy = state_ == State::Listening || state_ == State::Monitoring || state_ == State::Sending;
        if (!silent_ && busy) {
            log_.write('#',
                "interrupted by 0x" + hexValue(static_cast<std::uint8_t>(c), 2) + "; the character is thrown away");
            interrupt();
            continue;
        }
        if (c == '\n')
            continue; // line feeds carry nothing for the adapter
        if (c == '\r') {
            Line line {partial_, partialWireBytes_, when, rate_, 0};
            partial_.clear();
            partialWireBytes_ = 0;
            lines_.push_back(line);
            completeLine();
            if (connectionDropped_) {
                // The rest never crossed: the bridge had already closed the connection.
                connectionDropped_ = false;
                break;
            }
            continue;
        }
        if (partial_.size() < kMaxLineLength)
            partial_ += c;
    }
    if (silent_ || vanished_)
        return;
    switchInput();
    pump();
}

void Adapter::completeLine()
{
    Line &line = lines_.back();
    line.number = ++linesReceived_;
    stats_.countLine();
    log_.write('<', printable(line.text));
    if (onDropConnection) {
        if (linesReceived_ == faults_.vanishAfter) {
            log_.write('#', "dropping the connection after line " + std::to_string(linesReceived_));
            connectionDropped_ = true;
            onDropConnection(false);
        } else if (linesReceived_ == faults_.resetAfter) {
            log_.write('#', "resetting the connection after line " + std::to_string(linesReceived_) + " (fault)");
            connectionDropped_ = true;
            onDropConnection(true);
        }
    } else if (faults_.vanish(linesReceived_)) {
        log_.write('#', "vanishing after line " + std::to_string(linesReceived_));
        vanished_ = true;
        lines_.clear();
        if (onVanish)
            onVanish();
        return;
    }
    if (faults_.silent(linesReceived_)) {
        if (!silent_)
            log_.write('#', "silent from line " + std::to_string(linesReceived_) + " on");
        silent_ = true;
        lines_.pop_back();
    }
}

void Adapter::portClosed()
{
    partial_.clear();
    partialWireBytes_ = 0;
}

void Adapter::pump()
{
    if (state_ != State::Idle || lines_.empty() || silent_ || vanished_)
        return;
    const Line line = lines_.front();
    lines_.pop_front();
    state_ = State::Receiving;
    // The last byte of the line reaches the adapter only after the whole line crossed the wire.
    const Micros received = line.arrived + stats_.serial(line.wireBytes, line.rate);
    const Micros now = scheduler_.now();
    Micros start = (received > now ? received : now) + stats_.answerLatency();
    const std::string compact = compactUpper(line.text);
    // STPX carries data as data lines do: it goes at their pace.
    const bool command = compact.rfind("AT", 0) == 0 || (compact.rfind("ST", 0) == 0 && compact.rfind("STPX", 0) != 0);
    if (commandLatency_ > 0 && command)
        start += commandLatency_;
    scheduler_.at(start, [this, line] { execute(line); });
}

void Adapter::becomeIdle()
{
    if (holdBack_ > 0) {
        // The answer is over only once its last held-back byte has gone out; until then the lines that
        // come wait in the input.
        holdBack_ = 0;
        state_ = State::Working;
        scheduler_.at(heldUntil_, [this] { becomeIdle(); });
        return;
    }
    state_ = State::Idle;
    pump();
}

// ---- output ---------------------------------------------------------------------------------------------

void Adapter::emit(const std::string &bytes)
{
    if (silent_ || vanished_)
        return;
    if (holdBack_ <= 0) {
        link_.send(bytes, rate_);
        return;
    }
    // Held back as a whole: every part leaves as much later as the fault says, in the same order.
    const Micros due = scheduler_.now() + holdBack_;
    heldUntil_ = due > heldUntil_ ? due : heldUntil_;
    const std::uint32_t rate = rate_;
    scheduler_.at(due, [this, bytes, rate] {
        if (!silent_ && !vanished_)
            link_.send(bytes, rate);
    });
}

void Adapter::reply(const std::string &text)
{
    emit(text + eol() + eol() + prompt());
}

// ---- command dispatch -----------------------------------------------------------------------------------

void Adapter::execute(const Line &line)
{
    state_ = State::Idle;
    const std::string compact = compactUpper(line.text);
    const bool command = compact.rfind("AT", 0) == 0 || compact.rfind("ST", 0) == 0;
    std::uint64_t number = 0;
    if (!command && !compact.empty())
        number = ++dataLines_;
    // A line answered by --answer is not carried out at all, whatever it holds.
    const std::string *answer = faults_.answer(line.number);
    const bool answerless = !answer && number != 0 && faults_.noReply(number) && !faults_.answersInstead(number);

    if ((settings_.echo || faults_.stuckEcho) && !answerless)
        emit(line.text + eol());

    if (answer) {
        log_.write('#', *answer + " for line " + std::to_string(line.number) + " (fault)");
        reply(*answer);
    } else if (kind_ == AdapterKind::Els27 && line.text.size() > kStnLineLength) {
        log_.write('#',
            "a line of " + std::to_string(line.text.size()) + " characters does not fit the chip's "
                + std::to_string(kStnLineLength) + ": ?");
        reply("?");
    } else if (compact.rfind("AT", 0) == 0) {
        adapterCommand(compact.substr(2));
    } else if (compact.rfind("ST", 0) == 0) {
        stnCommand(compact.substr(2));
    } else if (compact.empty()) {
        reply("?");
    } else {
        holdAnswer(number, answerless);
        dataLine(compact, number);
    }

    if (state_ == State::Idle)
        becomeIdle();
}

void Adapter::holdAnswer(std::uint64_t number, bool answerless)
{
    const Micros delay = faults_.lateAnswer(number);
    if (delay <= 0 || answerless)
        return;
    log_.write('#',
        "answer to data line " + std::to_string(number) + " held back " + std::to_string(delay / 1000) + " ms (fault)");
    holdBack_ = delay;
    heldUntil_ = scheduler_.now() + delay;
}

void Adapter::adapterCommand(const std::string &c)
{
    if (!plainCommand(c) && !switchCommand(c) && !argumentCommand(c))
        reply("?");
}

// Commands spelled out in full, without an argument.
bool Adapter::plainCommand(const std::string &c)
{
    using Action = void (*)(Adapter &);
    // Protocol close, automatic receive and message length need no state here: frames are classic CAN
    // of up to 8 bytes either way, and the receive filter stays as set.
    const Action accept = [](Adapter &a) { a.reply("OK"); };
    static const std::map<std::string, Action> actions = {
        // resets and identity
        {"Z", [](Adapter &a) { a.reset(true); }},
        {"WS", [](Adapter &a) { a.reset(false); }},
        {"D",
            [](Adapter &a) {
                a.settings_ = Settings();
                a.settings_.echo = a.echoAfterReset_;
                a.reply("OK");
            }},
        {"I", [](Adapter &a) { a.reply(a.identity_); }},
        {"@1", [](Adapter &a) { a.reply("OBDII to RS232 Interpreter"); }},
        {"RV", [](Adapter &a) { a.reply(a.voltage_); }},
        // the protocol
        {"DP",
            [](Adapter &a) {
                a.reply(a.settings_.automaticProtocol ? "AUTO, ISO 15765-4 (CAN 11/500)" : "ISO 15765-4 (CAN 11/500)");
            }},
        {"DPN", [](Adapter &a) { a.reply(a.settings_.automaticProtocol ? "A6" : "6"); }},
        {"PC", accept},
        {"AR", accept},
        {"AL", accept},
        {"NL", accept},
        {"AT0", [](Adapter &a) { a.adaptiveTimingCommand(0); }},
        {"AT1", [](Adapter &a) { a.adaptiveTimingCommand(1); }},
        {"AT2", [](Adapter &a) { a.adaptiveTimingCommand(2); }},
        // the bus
        {"MA", [](Adapter &a) { a.state_ = State::Monitoring; }},
    };
    const auto action = actions.find(c);
    if (action == actions.end())
        return false;
    action->second(*this);
    return true;
}

void Adapter::adaptiveTimingCommand(int mode)
{
    settings_.adaptiveTiming = mode;
    reply("OK");
}

// Settings switched on or off by a 1 or a 0 after their name.
bool Adapter::switchCommand(const std::string &c)
{
    static const std::pair<const char *, bool Settings::*> switches[] = {
        {"E", &Settings::echo},
        {"S", &Settings::spaces},
        {"H", &Settings::headers},
        {"L", &Settings::linefeeds},
        {"D", &Settings::lengths},
        {"R", &Settings::responses},
        {"CAF", &Settings::automaticFormatting},
        {"CFC", &Settings::automaticFlowControl},
        {"CSM", &Settings::silentMonitoring},
    };
    bool on = false;
    for (const auto &[name, setting] : switches) {
        if (!isFlag(c, name, on))
            continue;
        settings_.*setting = on;
        if (setting == &Settings::echo && !on && faults_.stuckEcho)
            log_.write('#', "echo off answered OK, but the echo stays on (fault)");
        if (setting == &Settings::silentMonitoring)
            log_.write('#', std::string("CAN silent monitoring ") + (on ? "on" : "off"));
        reply("OK");
        return true;
    }
    return false;
}

// Commands whose name is followed by an argument.
bool Adapter::argumentCommand(const std::string &c)
{
    static const std::pair<const char *, void (Adapter::*)(const std::string &)> commands[] = {
        {"BRD", &Adapter::divisorCommand},
        {"BRT", &Adapter::divisorWaitCommand},
        {"CRA", &Adapter::receiveFilterCommand},
        {"SH", &Adapter::headerCommand},
        {"SP", &Adapter::protocolCommand},
        {"TP", &Adapter::protocolCommand},
        {"ST", &Adapter::timeoutCommand},
    };
    for (const auto &[name, command] : commands) {
        const std::string prefix = name;
        if (c.rfind(prefix, 0) == 0) {
            (this->*command)(c.substr(prefix.size()));
            return true;
        }
    }
    return false;
}

// AT CRA takes exactly three or eight digits (hexadecimal or X), or nothing to take the filter away; an
// identifier of three digits is an 11-bit one.
void Adapter::receiveFilterCommand(const std::string &filter)
{
    if (filter.empty()) {
        settings_.receiveFilter.clear();
        reply("OK");
        return;
    }
    bool valid = filter.size() == 3 || filter.size() == 8;
    for (char d : filter)
        valid = valid && (hexDigit(d) >= 0 || d == 'X');
    if (!valid) {
        log_.write('#', "AT CRA " + filter + " refused: not 3 or 8 digits");
        reply("?");
        return;
    }
    if (filter.size() == 3 && hexDigit(filter[0]) > 7) {
        log_.write('#', "AT CRA " + filter + " refused: beyond 7FF");
        reply("?");
        return;
    }
    settings_.receiveFilter = filter;
    reply("OK");
}

// AT SH takes exactly three digits (an 11-bit identifier), six (a 29-bit one behind the priority byte,
// 18 as after power-up) or eight (a 29-bit one).
void Adapter::headerCommand(const std::string &digits)
{
    std::uint64_t value = 0;
    const bool sized = digits.size() == 3 || digits.size() == 6 || digits.size() == 8;
    if (!sized || !allHex(digits) || !parseNumber("0x" + digits, value)) {
        log_.write('#', "AT SH " + digits + " refused: not 3, 6 or 8 digits");
        reply("?");
        return;
    }
    if (digits.size() == 3 && value > 0x7FF) {
        log_.write('#', "AT SH " + digits + " refused: beyond 7FF");
        reply("?");
        return;
    }
    settings_.extendedHeader = digits.size() != 3;
    if (digits.size() == 6)
        value |= 0x18000000;
    settings_.header = static_cast<std::uint32_t>(value & 0x1FFFFFFF);
    if (settings_.extendedHeader)
        log_.write(
            '#', "AT SH: 29-bit header " + hexValue(settings_.header, 8) + "; the device listens on 11-bit ones");
    reply("OK");
}

void Adapter::protocolCommand(const std::string &argument)
{
    std::string digits = argument;
    const bool automatic = !digits.empty() && digits[0] == 'A';
    if (automatic)
        digits = digits.substr(1);
    const int protocol = digits.size() == 1 ? hexDigit(digits[0]) : -1;
    if (protocol < 0 || protocol > 0xC) {
        reply("?");
        return;
    }
    settings_.protocol = protocol;
    settings_.automaticProtocol = automatic || protocol == 0;
    settings_.stn.protocol = 0;
    reply("OK");
}

void Adapter::timeoutCommand(const std::string &digits)
{
    if (digits.empty() || digits.size() > 2 || !allHex(digits)) {
        reply("?");
        return;
    }
    std::uint64_t value = 0;
    parseNumber("0x" + digits, value);
    settings_.timeout = static_cast<Micros>(value) * 4000;
    reply("OK");
}

// ---- data lines and the bus -----------------------------------------------------------------------------

void Adapter::dataLine(const std::string &digits, std::uint64_t number)
{
    Bytes bytes;
    int wanted = -1;
    if (!readDataLine(digits, number, bytes, wanted) || dataLineFault(number))
        return;
    sendDataLine(bytes, wanted, number);
}

// The bytes of a data line and the number of replies to wait for (-1: none given); false when the line
// was answered "?".
bool Adapter::readDataLine(const std::string &digits, std::uint64_t number, Bytes &bytes, int &wanted)
{
    if (!allHex(digits)) {
        reply("?");
        return false;
    }
    // An odd digit count ends in the number of replies to wait for.
    std::string payload = digits;
    if (payload.size() % 2 == 1 && faults_.noReplyCount) {
        log_.write('#', "reply-count digit on data line " + std::to_string(number) + " not known (fault)");
        reply("?");
        return false;
    }
    if (payload.size() % 2 == 1) {
        wanted = hexDigit(payload.back());
        payload.pop_back();
    }
    parseHex(payload, bytes);
    // With automatic formatting the chip adds the PCI byte itself, so a line carries at most 7 bytes, or
    // with STCSEGT1 a whole message.
    const std::size_t most = !formatting() ? 8 : settings_.stn.segmentTransmit ? stnBuffer_ : 7;
    if (bytes.empty() || bytes.size() > most) {
        reply("?");
        return false;
    }
    return true;
}

// The faults that answer a data line instead of sending it; true when one did.
bool Adapter::dataLineFault(std::uint64_t number)
{
    // The supply dipping as the adapter starts to transmit: the frame never leaves, the chip restarts.
    if (faults_.lvReset(number)) {
        emit("LV RESET" + eol());
        restart(true, "LV RESET on data line " + std::to_string(number) + " (fault)");
        return true;
    }
    if (faults_.restartOn(number)) {
        restart(true, "restart by itself on data line " + std::to_string(number) + " (fault)");
        return true;
    }
    if (const std::string *word = faults_.word(number)) {
        log_.write('#', *word + " for data line " + std::to_string(number) + " (fault)");
        if (*word != kSearchingWord) {
            reply(*word);
            return true;
        }
        // An adapter that will never answer the line says nothing before it either.
        if (!faults_.noReply(number))
            emit(*word + eol());
    }
    if (faults_.canError(number)) {
        log_.write('#', "CAN ERROR for data line " + std::to_string(number) + " (fault)");
        reply("CAN ERROR");
        return true;
    }
    return false;
}

void Adapter::sendDataLine(const Bytes &bytes, int wanted, std::uint64_t number)
{
    if (formatting() && bytes.size() > 7) {
        sendSegmentedLine(bytes, wanted, number);
        return;
    }
    Bytes frameBytes = bytes;
    // The Single Frame's PCI byte: the length.
    if (formatting())
        frameBytes.insert(frameBytes.begin(), static_cast<std::uint8_t>(bytes.size()));
    const CanFrame frame = CanFrame::make(settings_.header, frameBytes, settings_.extendedHeader);
    if (faults_.noReply(number)) {
        log_.write('#', "no answer to data line " + std::to_string(number) + " (fault)");
        bus_.sendFromAdapter(frame);
        return;
    }
    const bool listen = wanted >= 0 ? wanted > 0 : settings_.responses;
    if (!listen) {
        const Micros sent = bus_.sendFromAdapter(frame);
        state_ = State::Working;
        scheduler_.at(sent, [this] {
            emit(prompt());
            becomeIdle();
        });
        return;
    }
    listenFrom(bus_.sendFromAdapter(frame), wanted > 0 ? static_cast<unsigned>(wanted) : 0, timeoutMicros());
}

// Listens for replies once what it sent has left the bus at `sent`, each within `timeout` of the one before.
void Adapter::listenFrom(Micros sent, unsigned wanted, Micros timeout)
{
    state_ = State::Listening;
    printed_ = 0;
    counted_ = 0;
    wanted_ = wanted;
    listenTimeout_ = timeout;
    reception_ = Reception();
    ++listenGeneration_;
    armListenTimer(sent + timeout);
}

Micros Adapter::timeoutMicros() const
{
    // AT ST 00 would mean "never wait"; like the reset value it is taken as the default instead: AT ST 32,
    // 200 ms, on an ELM327, and the STPTO default of 102 ms on an ELS27.
    if (settings_.timeout > 0)
        return settings_.timeout;
    return kind_ == AdapterKind::Els27 ? 102000 : 200000;
}

// The one wait of the moment (for a reply, the next Consecutive Frame, a flow control, the separation time
// before the next frame sent); a new one replaces it, and anything that ends the activity makes it void.
void Adapter::armTimer(Micros when, void (Adapter::*action)())
{
    if (listenTimer_ != 0)
        scheduler_.cancel(listenTimer_);
    const std::uint64_t generation = listenGeneration_;
    listenTimer_ = scheduler_.at(when, [this, generation, action] {
        listenTimer_ = 0;
        if (generation == listenGeneration_)
            (this->*action)();
    });
}

void Adapter::armListenTimer(Micros when)
{
    armTimer(when, &Adapter::listenTimedOut);
}

void Adapter::listenTimedOut()
{
    if (state_ != State::Listening)
        return;
    if (reception_.active)
        log_.write('#',
            "no consecutive frame from " + hexValue(reception_.id, reception_.extended ? 8 : 3) + " within "
                + std::to_string(settings_.stn.consecutiveTimeout / 1000)
                + " ms: " + std::to_string(reception_.received) + " of " + std::to_string(reception_.length)
                + " bytes came; listening ends");
    endListening();
}

void Adapter::endListening()
{
    if (listenTimer_ != 0)
        scheduler_.cancel(listenTimer_);
    listenTimer_ = 0;
    ++listenGeneration_;
    reception_.active = false;
    emit(printed_ == 0 ? "NO DATA" + eol() + eol() + prompt() : eol() + prompt());
    becomeIdle();
}

void Adapter::interrupt()
{
    if (listenTimer_ != 0)
        scheduler_.cancel(listenTimer_);
    listenTimer_ = 0;
    ++listenGeneration_;
    reception_.active = false;
    if (state_ == State::Sending)
        log_.write('#',
            transfer_.name + " stopped after " + std::to_string(transfer_.offset) + " of "
                + std::to_string(transfer_.data.size()) + " bytes");
    transfer_.awaitingFlowControl = false;
    reply("STOPPED");
    becomeIdle();
}

void Adapter::busFrame(const CanFrame &frame)
{
    if (state_ == State::Sending) {
        takeFlowControl(frame);
        return;
    }
    // Frames that pass while the adapter is not listening are gone, as on a real bus.
    if ((state_ != State::Listening && state_ != State::Monitoring) || !passesFilter(frame))
        return;
    if (state_ == State::Monitoring) {
        emit(formatFrame(frame) + eol());
        return;
    }
    if (formatting()) {
        receiveFormatted(frame);
        return;
    }
    printLine(formatFrame(frame));
    replyComplete();
}

void Adapter::printLine(const std::string &text)
{
    emit(text + eol());
    ++printed_;
}

// One more reply has come whole: a frame, or with automatic formatting a message.
void Adapter::replyComplete()
{
    ++counted_;
    if (wanted_ > 0 && counted_ >= wanted_)
        endListening();
    else if (!reception_.active)
        armListenTimer(scheduler_.now() + listenTimeout_);
}

bool Adapter::passesFilter(const CanFrame &frame) const
{
    const std::string &filter = settings_.receiveFilter;
    if (filter.empty())
        return true;
    // A filter of three digits is for 11-bit identifiers, one of eight for 29-bit ones.
    const std::string text = hexValue(frame.id, frame.extended ? 8 : 3);
    if (text.size() != filter.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (filter[i] != 'X' && filter[i] != text[i])
            return false;
    }
    return true;
}

std::string Adapter::formatFrame(const CanFrame &frame) const
{
    const char *separator = settings_.spaces ? " " : "";
    std::string text;
    if (settings_.headers)
        text += hexValue(frame.id, frame.extended ? 8 : 3) + separator;
    if (settings_.lengths)
        text += std::string(1, static_cast<char>('0' + frame.length)) + separator;
    return text + toHex(frame.data.data(), frame.length, separator);
}

// ---- reset and rates ------------------------------------------------------------------------------------

void Adapter::reset(bool powerOn)
{
    restart(powerOn, powerOn ? "ATZ" : "ATWS");
}

void Adapter::restart(bool powerOn, const std::string &cause)
{
    const Micros duration = powerOn ? resetTime_ : warmStartTime_;
    log_.write('#', cause + ": restarting for " + std::to_string(duration / 1000) + " ms");
    settings_ = Settings();
    settings_.echo = echoAfterReset_;
    if (powerOn)
        setRate(storedRate_);
    state_ = State::Working;
    restarting_ = true;
    // Whatever is still queued behind the command reached the adapter after it began to restart: a
    // restarting chip has no UART running, so those bytes never existed for it.
    const std::string queued = takePendingInput();
    if (!queued.empty())
        loseInput(queued);
    scheduler_.after(duration, [this] {
        restarting_ = false;
        log_.write('#', "restarted");
        // It introduces itself with its own ATI answer, as it does after a rate switch.
        log_.write('#', "introducing itself as " + printable(banner()));
        emit(eol() + eol() + banner() + eol() + eol() + prompt());
        becomeIdle();
    });
}

std::string Adapter::takePendingInput()
{
    std::string pending;
    for (const Line &line : lines_)
        pending += line.text + "\r";
    pending += partial_;
    lines_.clear();
    partial_.clear();
    partialWireBytes_ = 0;
    return pending;
}

void Adapter::loseInput(const std::string &bytes)
{
    log_.write('#', "lost " + std::to_string(bytes.size()) + " bytes while restarting: " + printable(bytes));
}

void Adapter::setRate(std::uint32_t rate)
{
    if (rate == rate_)
        return;
    rate_ = rate;
    log_.write('=', "rate " + std::to_string(rate_));
}

} // namespace ksim
