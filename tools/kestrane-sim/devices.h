#pragma once

#include "candevice.h"
#include "options.h"

#include <memory>
#include <string>

namespace ksim {

// Builds the device that --device names; a null pointer with an empty error means an empty bus.
std::unique_ptr<CanDevice> createDevice(const Options &options, std::string &error);

} // namespace ksim
