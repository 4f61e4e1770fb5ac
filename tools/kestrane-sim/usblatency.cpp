#include "usblatency.h"

namespace ksim {

namespace {
// An FTDI chip's 64-byte USB packet carries two status bytes and 62 of data.
constexpr std::size_t kPacketData = 62;
} // namespace

UsbLatency::UsbLatency(Scheduler &scheduler, Sink sink)
    : scheduler_(scheduler)
    , sink_(std::move(sink))
{ }

void UsbLatency::push(const std::string &bytes)
{
    if (latency_ <= 0) {
        sink_(bytes);
        return;
    }
    if (bytes.empty())
        return;
    held_ += bytes;
    arrivals_.emplace_back(bytes.size(), scheduler_.now());
    sendFullPackets();
    armTimer();
}

void UsbLatency::clear()
{
    held_.clear();
    arrivals_.clear();
    if (timer_ != 0)
        scheduler_.cancel(timer_);
    timer_ = 0;
    timerDue_ = -1;
}

void UsbLatency::sendFullPackets()
{
    while (held_.size() >= kPacketData) {
        const std::string packet = held_.substr(0, kPacketData);
        held_.erase(0, kPacketData);
        std::size_t taken = kPacketData;
        while (taken > 0 && !arrivals_.empty()) {
            auto &front = arrivals_.front();
            const std::size_t part = front.first < taken ? front.first : taken;
            front.first -= part;
            taken -= part;
            if (front.first == 0)
                arrivals_.pop_front();
        }
        sink_(packet);
    }
}

// The timer runs from the first byte still waiting; once a packet took it away, the next one's arrival
// counts.
void UsbLatency::armTimer()
{
    const Micros due = arrivals_.empty() ? -1 : arrivals_.front().second + latency_;
    if (due == timerDue_)
        return;
    if (timer_ != 0)
        scheduler_.cancel(timer_);
    timer_ = 0;
    timerDue_ = due;
    if (due >= 0)
        timer_ = scheduler_.at(due, [this] { timerDue(); });
}

void UsbLatency::timerDue()
{
    timer_ = 0;
    timerDue_ = -1;
    const std::string packet = held_;
    held_.clear();
    arrivals_.clear();
    if (!packet.empty())
        sink_(packet);
}

} // namespace ksim
