#pragma once

#include "candevice.h"
#include "scheduler.h"

#include <memory>

namespace ksim {

class EventLog;
class WireStats;

// The adapter's end of the bus: frames put on the bus by the device reach it through this.
class CanListener
{
public:
    virtual ~CanListener() = default;
    virtual void busFrame(const CanFrame &frame) = 0;
};

// The CAN bus between the adapter and the device. Frames are delivered through the scheduler, in order,
// each after its transfer time when wire timing is on; the bus carries one frame at a time.
class CanBus : public CanDeviceHost
{
public:
    CanBus(Scheduler &scheduler, EventLog &log, WireStats &stats);

    void setListener(CanListener *listener) { listener_ = listener; }
    void setDevice(std::unique_ptr<CanDevice> device);

    // The adapter transmits; returns when the frame will have left the bus.
    Micros sendFromAdapter(const CanFrame &frame);

    // CanDeviceHost
    Micros sendFrame(const CanFrame &frame) override;
    Micros now() const override;
    TimerId startTimer(Micros delay, std::function<void()> action) override;
    void cancelTimer(TimerId id) override;
    void working(Micros duration) override;
    void note(const std::string &text) override;

private:
    Micros occupy(const CanFrame &frame);
    void logFrame(const CanFrame &frame);

    Scheduler &scheduler_;
    EventLog &log_;
    WireStats &stats_;
    CanListener *listener_ = nullptr;
    std::unique_ptr<CanDevice> device_;
    Micros freeAt_ = 0;
};

} // namespace ksim
