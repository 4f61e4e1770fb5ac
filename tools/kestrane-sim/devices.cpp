#include "devices.h"

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
        return std::make_unique<ScriptedDevice>(config, std::move(rules));
    }
    return nullptr;
}

} // namespace ksim
