// The ST commands of an ELS27 besides those for rates: identification, the protocol, the settings of the
// ISO-TP the chip does itself (flow-control pairs and filters, its time-outs and separation time), and
// STPX with the data characters that follow its DATA>.

#include "adapter.h"

#include "eventlog.h"
#include "hex.h"
#include "wirestats.h"

#include <set>

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

// STPX's reply count, r:, up to this.
constexpr std::uint64_t kMaxStpxReplies = 255;

// What the parameters of an STPX ask for.
struct StpxRequest
{
    bool hasHeader = false;
    std::uint32_t header = 0;
    bool extended = false;
    bool hasData = false;
    Bytes data;
    bool hasLength = false;
    std::size_t length = 0;
    Micros timeout = 0; // 0: the reply time-out in force
    int replies = -1; // -1: until no reply comes in time
};

bool stpxHeader(const std::string &value, StpxRequest &request)
{
    std::uint64_t id = 0;
    if ((value.size() != 3 && value.size() != 8) || !allHex(value) || !parseNumber("0x" + value, id))
        return false;
    request.extended = value.size() == 8;
    request.header = static_cast<std::uint32_t>(id);
    request.hasHeader = true;
    return id <= (request.extended ? 0x1FFFFFFFu : 0x7FFu);
}

// One parameter, its letter already upper case (the command is compacted).
bool stpxParameter(char letter, const std::string &value, StpxRequest &request)
{
    std::uint64_t number = 0;
    switch (letter) {
    case 'H':
        return stpxHeader(value, request);
    case 'D':
        request.hasData = true;
        return value.size() % 2 == 0 && allHex(value) && parseHex(value, request.data) && !request.data.empty();
    case 'L':
        request.hasLength = true;
        request.length = parseDecimal(value, number) ? static_cast<std::size_t>(number) : 0;
        return request.length > 0;
    case 'T':
        return parseMillis(value, 1, kMaxStnMillis, request.timeout);
    case 'R':
        request.replies = parseDecimal(value, number) && number <= kMaxStpxReplies ? static_cast<int>(number) : -2;
        return request.replies >= 0;
    default:
        return false;
    }
}

// "H:74F,L:1025,R:2,T:1000": comma-separated, each a letter, a colon and a value, every letter at most once,
// with d: or l: but not both. Says what is wrong in `problem`.
bool parseStpx(const std::string &text, StpxRequest &request, std::string &problem)
{
    std::set<char> seen;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string parameter = text.substr(begin, end - begin);
        begin = end + 1;
        if (parameter.size() < 3 || parameter[1] != ':') {
            problem = "'" + parameter + "' is not a letter, a colon and a value";
            return false;
        }
        if (!seen.insert(parameter[0]).second || !stpxParameter(parameter[0], parameter.substr(2), request)) {
            problem = "'" + parameter + "' is unknown, repeated or out of range";
            return false;
        }
    }
    if (request.hasData == request.hasLength) {
        problem = "it needs d: or l:, and not both";
        return false;
    }
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
    // A longer name comes before the shorter one it begins with (STPX, STPTO and STPBR before STP).
    static const std::pair<const char *, void (Adapter::*)(const std::string &)> commands[] = {
        {"PX", &Adapter::stpxCommand},
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

// ---- STPX -----------------------------------------------------------------------------------------------

void Adapter::stpxCommand(const std::string &arguments)
{
    if (!stpx_) {
        log_.write('#', "STPX not known to this firmware (fault)");
        reply("?");
        return;
    }
    StpxRequest request;
    std::string problem;
    if (!parseStpx(arguments, request, problem)) {
        log_.write('#', "STPX refused: " + problem);
        reply("?");
        return;
    }
    const std::size_t size = request.hasLength ? request.length : request.data.size();
    if (size > stnBuffer_) {
        log_.write('#',
            "STPX of " + std::to_string(size) + " bytes; the buffer holds " + std::to_string(stnBuffer_)
                + ": OUT OF MEMORY");
        reply("OUT OF MEMORY");
        return;
    }
    Transfer transfer;
    transfer.name = "STPX";
    transfer.header = request.hasHeader ? request.header : settings_.header;
    transfer.extended = request.hasHeader ? request.extended : settings_.extendedHeader;
    transfer.data = request.data;
    transfer.listen = request.replies != 0;
    transfer.wanted = request.replies > 0 ? static_cast<unsigned>(request.replies) : 0;
    transfer.timeout = request.timeout > 0 ? request.timeout : timeoutMicros();
    if (request.hasData)
        startTransfer(transfer);
    else
        startDataEntry(transfer, request.length);
}

// DATA> with no line end around it, then exactly two hex characters a byte. The message goes as soon as
// the last one has reached the chip: no CR is waited for.
void Adapter::startDataEntry(const Transfer &transfer, std::size_t length)
{
    dataEntry_ = DataEntry();
    dataEntry_.transfer = transfer;
    dataEntry_.expected = 2 * length;
    state_ = State::Data;
    log_.write('#', "STPX: DATA> for " + std::to_string(length) + " bytes");
    emit("DATA>");
    // Characters that came behind the command line are already in the chip's input: they are data too.
    const std::string pending = takePendingInput();
    if (!pending.empty())
        takeData(pending, scheduler_.now());
}

// Takes data characters as they come. Anything but a hex digit (a CR included) ends the data early. What
// comes behind the data reaches the chip after it, so it waits until the chip has acted on the data: a
// character then finds the chip sending and stops it.
void Adapter::takeData(const std::string &text, Micros when)
{
    DataEntry &entry = dataEntry_;
    std::size_t used = 0;
    while (used < text.size() && entry.hex.size() < entry.expected && !entry.refused) {
        const char c = text[used++];
        entry.refused = hexDigit(c) < 0;
        if (entry.refused)
            entry.refusedBy = c;
        else
            entry.hex += c;
    }
    // Each character crosses the wire behind the one before it.
    entry.doneAt = (entry.doneAt > when ? entry.doneAt : when) + stats_.serial(used, rate_);
    if (!entry.refused && entry.hex.size() < entry.expected)
        return;
    state_ = State::Working;
    deferred_ += text.substr(used);
    flushPending_ = true;
    if (entry.refused)
        scheduler_.at(entry.doneAt, [this] { dataRefused(); });
    else
        scheduler_.at(entry.doneAt, [this] { dataComplete(); });
    scheduler_.at(entry.doneAt, [this] { flushDeferred(); });
}

void Adapter::dataComplete()
{
    Transfer transfer = dataEntry_.transfer;
    parseHex(dataEntry_.hex, transfer.data);
    log_.write('#', "STPX: " + std::to_string(dataEntry_.expected) + " data characters received");
    startTransfer(transfer);
}

void Adapter::dataRefused()
{
    log_.write('#',
        "STPX: data ended by 0x" + hexValue(static_cast<std::uint8_t>(dataEntry_.refusedBy), 2) + " after "
            + std::to_string(dataEntry_.hex.size()) + " of " + std::to_string(dataEntry_.expected)
            + " characters; nothing sent");
    reply("?");
    becomeIdle();
}

void Adapter::flushDeferred()
{
    flushPending_ = false;
    std::string bytes;
    bytes.swap(deferred_);
    if (!bytes.empty())
        serialInput(bytes, scheduler_.now());
}

} // namespace ksim
