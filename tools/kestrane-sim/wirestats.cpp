#include "wirestats.h"

#include <cinttypes>

namespace ksim {

namespace {
constexpr std::uint64_t kCanBitRate = 500000;
// An 11-bit data frame without stuff bits: SOF, identifier, RTR, IDE, r0, DLC, CRC, delimiters, ACK, EOF
// and the intermission add up to 47 bits around the data.
constexpr std::uint64_t kCanFrameOverheadBits = 47;
} // namespace

Micros WireStats::serial(std::size_t bytes, std::uint32_t rate)
{
    if (!enabled_ || rate == 0 || bytes == 0)
        return 0;
    const auto micros = static_cast<Micros>((static_cast<std::uint64_t>(bytes) * 10 * 1000000 + rate - 1) / rate);
    busy_ += static_cast<std::uint64_t>(micros);
    return micros;
}

Micros WireStats::canFrame(std::size_t dataBytes)
{
    if (!enabled_)
        return 0;
    const std::uint64_t bits = kCanFrameOverheadBits + 8 * static_cast<std::uint64_t>(dataBytes);
    const auto micros = static_cast<Micros>((bits * 1000000 + kCanBitRate - 1) / kCanBitRate);
    busy_ += static_cast<std::uint64_t>(micros);
    canBusy_ += static_cast<std::uint64_t>(micros);
    return micros;
}

Micros WireStats::answerLatency()
{
    busy_ += static_cast<std::uint64_t>(latency_);
    return latency_;
}

void WireStats::deviceWork(Micros duration)
{
    if (enabled_ && duration > 0)
        deviceBusy_ += static_cast<std::uint64_t>(duration);
}

void WireStats::print(std::FILE *out) const
{
    std::fprintf(out,
        "wire-busy-us %" PRIu64 "\ncan-busy-us %" PRIu64 "\ndevice-busy-us %" PRIu64 "\nlines %" PRIu64 "\n", busy_,
        canBusy_, deviceBusy_, lines_);
    std::fflush(out);
}

} // namespace ksim
