#include "devices.h"

#include "kestranedevice.h"
#include "scripteddevice.h"

namespace ksim {

std::unique_ptr<CanDevice> createDevice(const Options &options, std::string &error)
{
    if (options.device == "script") {
        std::vector<ScriptRule> rules;
        if (!loadScript(options.script, rules, error))
            return nullptr;
        IsoTpConfig config;
        config.rxId = options.rxId;
        config.txId = options.txId;
        config.blockSize = options.fcBlockSize;
        config.separationTime = options.fcSeparation;
        return std::make_unique<ScriptedDevice>(config, std::move(rules), options.flowControl);
    }
    if (options.device == "kestrane") {
        auto device = std::make_unique<KestraneDevice>(
            options.kestrane, options.fcBlockSize, options.fcSeparation, options.deviceFaults, options.flowControl);
        if (!device->open(error))
            return nullptr;
        return device;
    }
    return nullptr;
}

} // namespace ksim
