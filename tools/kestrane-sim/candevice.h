#pragma once

#include "scheduler.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ksim {

// One classic CAN data frame, with an 11-bit identifier, or a 29-bit one when extended.
struct CanFrame
{
    std::uint32_t id = 0;
    bool extended = false;
    std::uint8_t length = 0;
    std::array<std::uint8_t, 8> data {};

    static CanFrame make(std::uint32_t id, const std::vector<std::uint8_t> &bytes, bool extended = false)
    {
        CanFrame frame;
        frame.id = id;
        frame.extended = extended;
        frame.length = static_cast<std::uint8_t>(bytes.size() < 8 ? bytes.size() : 8);
        for (std::size_t i = 0; i < frame.length; ++i)
            frame.data[i] = bytes[i];
        return frame;
    }
};

// What the bus offers a device: putting frames on the bus and acting later. Timers are needed for
// separation times, the ISO-TP time-outs and for devices that take time to answer or restart.
class CanDeviceHost
{
public:
    using TimerId = std::uint64_t;

    virtual ~CanDeviceHost() = default;
    // Puts a frame on the bus; returns when it will have left the bus (on the clock of now()).
    virtual Micros sendFrame(const CanFrame &frame) = 0;
    // The emulated present, for timers that count from a frame sent or received.
    virtual Micros now() const = 0;
    virtual TimerId startTimer(Micros delay, std::function<void()> action) = 0;
    virtual void cancelTimer(TimerId id) = 0;
    // The device works for `duration` (erasing, programming) before it answers: not wire time, and
    // not time the program under test took either, so the wire statistics keep it apart.
    virtual void working(Micros duration) = 0;
    // A note for the event log, to make test failures explainable.
    virtual void note(const std::string &text) = 0;
};

// A node on the CAN bus behind the adapter. It sees every frame the adapter sends and answers through
// its host, at once or later.
class CanDevice
{
public:
    virtual ~CanDevice() = default;
    // Called once before any frame arrives; a device may start sending on its own from here.
    virtual void start(CanDeviceHost &host) = 0;
    virtual void receiveFrame(const CanFrame &frame) = 0;
};

} // namespace ksim
