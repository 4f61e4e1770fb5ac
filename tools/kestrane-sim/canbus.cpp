#include "canbus.h"

#include "eventlog.h"
#include "hex.h"
#include "wirestats.h"

namespace ksim {

CanBus::CanBus(Scheduler &scheduler, EventLog &log, WireStats &stats)
    : scheduler_(scheduler)
    , log_(log)
    , stats_(stats)
{ }

void CanBus::setDevice(std::unique_ptr<CanDevice> device)
{
    device_ = std::move(device);
    if (device_)
        device_->start(*this);
}

Micros CanBus::occupy(const CanFrame &frame)
{
    const Micros now = scheduler_.now();
    const Micros start = freeAt_ > now ? freeAt_ : now;
    freeAt_ = start + stats_.canFrame(frame.length);
    return freeAt_;
}

void CanBus::logFrame(const CanFrame &frame)
{
    log_.write(
        '#', "can " + hexValue(frame.id, frame.extended ? 8 : 3) + " " + toHex(frame.data.data(), frame.length, " "));
}

Micros CanBus::sendFromAdapter(const CanFrame &frame)
{
    const Micros done = occupy(frame);
    // Delivered through the scheduler even without wire timing, so a device that answers at once never
    // re-enters the adapter while it is still setting up its listening state.
    scheduler_.at(done, [this, frame] {
        logFrame(frame);
        if (device_)
            device_->receiveFrame(frame);
    });
    return done;
}

Micros CanBus::sendFrame(const CanFrame &frame)
{
    const Micros done = occupy(frame);
    scheduler_.at(done, [this, frame] {
        logFrame(frame);
        if (listener_)
            listener_->busFrame(frame);
    });
    return done;
}

Micros CanBus::now() const
{
    return scheduler_.now();
}

CanDeviceHost::TimerId CanBus::startTimer(Micros delay, std::function<void()> action)
{
    return scheduler_.after(delay, std::move(action));
}

void CanBus::cancelTimer(TimerId id)
{
    scheduler_.cancel(id);
}

void CanBus::working(Micros duration)
{
    stats_.deviceWork(duration);
}

void CanBus::note(const std::string &text)
{
    log_.write('#', "device: " + text);
}

} // namespace ksim
