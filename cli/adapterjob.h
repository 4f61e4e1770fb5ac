#pragma once

#include "clijob.h"

#include <adapterprobe.h>

// The adapter command: what the adapter on the port is and how well it serves, for a technician
// choosing one or for support. Asks the adapter only; nothing goes to a device on the CAN bus.
class AdapterJob : public CliJob
{
    Q_OBJECT

public:
    using CliJob::CliJob;

    void start() override;

private:
    void restart() override { }
    void reportOn(const AdapterReport &report);
};
