#include "devicefaults.h"

#include <algorithm>

namespace ksim {

namespace {

bool parsePrefix(const std::string &text, Bytes &prefix)
{
    return parseHex(text, prefix) && !prefix.empty() && prefix.size() <= 8;
}

} // namespace

bool startsWith(const Bytes &request, const Bytes &prefix)
{
    return request.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), request.begin());
}

bool DeviceFaults::any() const
{
    return !lostWriteReplies.empty() || busyStatus != 0 || !negatives.empty() || !malformed.empty()
        || !silentRanges.empty() || !busyReplies.empty() || !slowReplies.empty() || !cutReplies.empty()
        || !shortReplies.empty() || boardSwapAfter.has_value();
}

bool DeviceFaults::silent(std::uint64_t request) const
{
    for (const auto &range : silentRanges) {
        if (request >= range.first && request - range.first < range.second)
            return true;
    }
    return false;
}

const DeviceFaults::Negative *DeviceFaults::negative(const Bytes &request) const
{
    for (const Negative &fault : negatives) {
        if (startsWith(request, fault.prefix))
            return &fault;
    }
    return nullptr;
}

bool DeviceFaults::garbled(const Bytes &request) const
{
    for (const Bytes &prefix : malformed) {
        if (startsWith(request, prefix))
            return true;
    }
    return false;
}

bool DeviceFaults::cutShort(const Bytes &request) const
{
    for (const Bytes &prefix : cutReplies) {
        if (startsWith(request, prefix))
            return true;
    }
    return false;
}

bool DeviceFaults::shortened(const Bytes &request) const
{
    for (const Bytes &prefix : shortReplies) {
        if (startsWith(request, prefix))
            return true;
    }
    return false;
}

bool DeviceFaults::takeBusy(const Bytes &request)
{
    for (Busy &fault : busyReplies) {
        if (fault.count > 0 && startsWith(request, fault.prefix)) {
            --fault.count;
            return true;
        }
    }
    return false;
}

std::uint64_t DeviceFaults::slowness(const Bytes &request) const
{
    for (const auto &fault : slowReplies)
        if (startsWith(request, fault.first))
            return fault.second;
    return 0;
}

bool parseSlowFault(const std::string &text, DeviceFaults &faults)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    Bytes prefix;
    std::uint64_t ms = 0;
    if (!parsePrefix(text.substr(0, colon), prefix) || !parseNumber(text.substr(colon + 1), ms) || ms == 0
        || ms > 60000)
        return false;
    faults.slowReplies.emplace_back(prefix, ms);
    return true;
}

bool parseNegativeFault(const std::string &text, DeviceFaults &faults)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    DeviceFaults::Negative fault;
    if (!parsePrefix(text.substr(0, colon), fault.prefix))
        return false;
    const std::string code = trim(text.substr(colon + 1));
    if (code.empty())
        return false;
    Bytes value;
    // The application answers in JSON and ignores the code, so a word such as "x" is fine there.
    if (code.size() <= 2 && parseHex(code.size() == 1 ? "0" + code : code, value))
        fault.code = value[0];
    faults.negatives.push_back(fault);
    return true;
}

bool parseMalformedFault(const std::string &text, DeviceFaults &faults)
{
    Bytes prefix;
    if (!parsePrefix(text, prefix))
        return false;
    faults.malformed.push_back(prefix);
    return true;
}

bool parseCutFault(const std::string &text, DeviceFaults &faults)
{
    Bytes prefix;
    if (!parsePrefix(text, prefix))
        return false;
    faults.cutReplies.push_back(prefix);
    return true;
}

bool parseShortFault(const std::string &text, DeviceFaults &faults)
{
    Bytes prefix;
    if (!parsePrefix(text, prefix))
        return false;
    faults.shortReplies.push_back(prefix);
    return true;
}

bool parseSilentFault(const std::string &text, DeviceFaults &faults)
{
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    if (!parseRange(text, first, count))
        return false;
    faults.silentRanges.emplace_back(first, count);
    return true;
}

bool parseBusyFault(const std::string &text, DeviceFaults &faults)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    DeviceFaults::Busy fault;
    if (!parsePrefix(text.substr(0, colon), fault.prefix) || !parseNumber(text.substr(colon + 1), fault.count)
        || fault.count == 0)
        return false;
    faults.busyReplies.push_back(fault);
    return true;
}

bool parseBoardSwapFault(const std::string &text, DeviceFaults &faults)
{
    const auto colon = text.find(':');
    std::uint64_t after = 0;
    std::uint64_t id = 0;
    if (colon == std::string::npos || !parseNumber(text.substr(0, colon), after)
        || !parseNumber(text.substr(colon + 1), id) || id > 0xFFFFFFFF)
        return false;
    faults.boardSwapAfter = after;
    faults.boardSwapId = static_cast<std::uint32_t>(id);
    return true;
}

} // namespace ksim
