#include "devices.h"

#include "kestranedevice.h"
#include "scripteddevice.h"

namespace ksim {

std::unique_ptr<CanDevice> createDevice(const Options &options, std::string &error)
{
    IsoTpConfig config;
    config.blockSize = options.fcBlockSize;
    config.separationTime = options.fcSeparation;
    config.blockPause = options.blockPause;
    config.flowWaits = options.fcWaits;
    config.flowWaitInterval = options.fcWaitInterval;
    config.timeout = options.isoTpTimeout;
    if (options.device == "script") {
        std::vector<ScriptRule> rules;
        if (!loadScript(options.script, rules, error))
            return nullptr;
        config.rxId = options.rxId;
        config.txId = options.txId;
        return std::make_unique<ScriptedDevice>(config, std::move(rules), options.flowControl);
    }
    if (options.device == "kestrane") {
        auto device
            = std::make_unique<KestraneDevice>(options.kestrane, config, options.deviceFaults, options.flowControl);
        if (!device->open(error))
            return nullptr;
        return device;
    }
    return nullptr;
}

} // namespace ksim
