// The ST commands of an ELS27 besides those for rates: identification, the protocol, and the settings of
// the ISO-TP the chip does itself (flow-control pairs and filters, its time-outs and separation time).

#include "adapter.h"

#include "eventlog.h"
#include "hex.h"

namespace ksim {

namespace {
// STPTO and STCTOR take milliseconds up to this.
constexpr std::uint64_t kMaxStnMillis = 65535;
// STCSTM: the time added to the device's STmin; the sum is at most 127 ms anyway.
constexpr std::uint64_t kMaxAddedSeparation = 127;

// Exactly three hex digits: an 11-bit identifier.
bool parseIdentifier(const std::string &digits, std::uint32_t &id)
{
    std::uint64_t value = 0;
    if (digits.size() != 3 || !allHex(digits) || !parseNumber("0x" + digits, value) || value > 0x7FF)
        return false;
    id = static_cast<std::uint32_t>(value);
    return true;
}

// Two arguments split at their one comma (the command has been compacted: no spaces are left).
bool splitPair(const std::string &text, std::string &first, std::string &second)
{
    const auto comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos)
        return false;
    first = text.substr(0, comma);
    second = text.substr(comma + 1);
    return true;
}

bool parseIdentifierPair(const std::string &text, std::pair<std::uint32_t, std::uint32_t> &pair)
{
    std::string first;
    std::string second;
    return splitPair(text, first, second) && parseIdentifier(first, pair.first) && parseIdentifier(second, pair.second);
}

bool parseMillis(const std::string &digits, std::uint64_t minimum, std::uint64_t maximum, Micros &out)
{
    std::uint64_t millis = 0;
    if (!parseDecimal(digits, millis) || millis < minimum || millis > maximum)
        return false;
    out = static_cast<Micros>(millis) * 1000;
    return true;
}

bool parseSwitch(const std::string &digit, bool &on)
{
    if (digit != "0" && digit != "1")
        return false;
    on = digit == "1";
    return true;
}
} // namespace

void Adapter::stnCommand(const std::string &c)
{
    if (kind_ != AdapterKind::Els27) {
        reply("?");
        return;
    }
    if (c == "I" || c == "DI") {
        reply(c == "I" ? stnIdentity_ : stnDevice_);
        return;
    }
    if (!rateCommand(c) && !stnSettingCommand(c))
        reply("?");
}

// The commands whose name is followed by their arguments.
bool Adapter::stnSettingCommand(const std::string &c)
{
    // A longer name comes before the shorter one it begins with (STPTO and STPBR before STP).
    static const std::pair<const char *, void (Adapter::*)(const std::string &)> commands[] = {
        {"PTO", &Adapter::stnTimeoutCommand},
        {"PBR", &Adapter::busRateCommand},
        {"P", &Adapter::stnProtocolCommand},
        {"CFCPA", &Adapter::flowControlPairCommand},
        {"CFCPC", &Adapter::clearFlowControlPairs},
        {"FFCA", &Adapter::flowControlFilterCommand},
        {"FFCC", &Adapter::clearFlowControlFilters},
        {"CTOR", &Adapter::isoTpTimeoutsCommand},
        {"CSTM", &Adapter::addedSeparationCommand},
        {"CSEGT", &Adapter::segmentTransmitCommand},
        {"CSEGR", &Adapter::segmentReceiveCommand},
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

// STPTO ms: the same reply time-out as AT ST, in milliseconds; 0 stands for the default, as AT ST 00 does.
void Adapter::stnTimeoutCommand(const std::string &digits)
{
    Micros timeout = 0;
    if (!parseMillis(digits, 0, kMaxStnMillis, timeout)) {
        reply("?");
        return;
    }
    settings_.timeout = timeout;
    reply("OK");
}

// STPBR: the bus stays at 500 kbit/s whatever is asked; only the argument is checked.
void Adapter::busRateCommand(const std::string &digits)
{
    std::uint64_t value = 0;
    reply(parseDecimal(digits, value) && value >= 1000 && value <= 1000000 ? "OK" : "?");
}

void Adapter::stnProtocolCommand(const std::string &digits)
{
    std::uint64_t protocol = 0;
    if (digits.size() > 3 || !parseDecimal(digits, protocol)) {
        reply("?");
        return;
    }
    settings_.stn.protocol = static_cast<int>(protocol);
    reply("OK");
}

void Adapter::flowControlPairCommand(const std::string &arguments)
{
    std::pair<std::uint32_t, std::uint32_t> pair;
    if (!parseIdentifierPair(arguments, pair)) {
        reply("?");
        return;
    }
    settings_.stn.flowControlPairs.push_back(pair);
    log_.write('#',
        "STCFCPA: a First Frame from " + hexValue(pair.second, 3) + " gets its flow control on "
            + hexValue(pair.first, 3) + "; other identifiers get none");
    reply("OK");
}

void Adapter::clearFlowControlPairs(const std::string &arguments)
{
    if (!arguments.empty()) {
        reply("?");
        return;
    }
    settings_.stn.flowControlPairs.clear();
    reply("OK");
}

void Adapter::flowControlFilterCommand(const std::string &arguments)
{
    std::pair<std::uint32_t, std::uint32_t> filter;
    if (!parseIdentifierPair(arguments, filter)) {
        reply("?");
        return;
    }
    settings_.stn.flowControlFilters.push_back(filter);
    reply("OK");
}

void Adapter::clearFlowControlFilters(const std::string &arguments)
{
    if (!arguments.empty()) {
        reply("?");
        return;
    }
    settings_.stn.flowControlFilters.clear();
    reply("OK");
}

// STCTOR fc, cf: both waits in milliseconds.
void Adapter::isoTpTimeoutsCommand(const std::string &arguments)
{
    std::string first;
    std::string second;
    Micros flowControl = 0;
    Micros consecutive = 0;
    if (!splitPair(arguments, first, second) || !parseMillis(first, 1, kMaxStnMillis, flowControl)
        || !parseMillis(second, 1, kMaxStnMillis, consecutive)) {
        reply("?");
        return;
    }
    settings_.stn.flowControlTimeout = flowControl;
    settings_.stn.consecutiveTimeout = consecutive;
    reply("OK");
}

void Adapter::addedSeparationCommand(const std::string &digits)
{
    Micros added = 0;
    if (!parseMillis(digits, 0, kMaxAddedSeparation, added)) {
        reply("?");
        return;
    }
    settings_.stn.addedSeparation = added;
    reply("OK");
}

void Adapter::segmentTransmitCommand(const std::string &digit)
{
    reply(parseSwitch(digit, settings_.stn.segmentTransmit) ? "OK" : "?");
}

// Kept only: how the chip prints a message it has joined is not known, so replies are printed as they are
// without it.
void Adapter::segmentReceiveCommand(const std::string &digit)
{
    reply(parseSwitch(digit, settings_.stn.segmentReceive) ? "OK" : "?");
}

} // namespace ksim
