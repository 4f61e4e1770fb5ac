#pragma once

#include "candevice.h"
#include "hex.h"
#include "isotp.h"

#include <string>
#include <vector>

namespace ksim {

// One line of a device script: "REQUEST => ACTIONS".
struct ScriptRule
{
    enum class Match { Exact, Prefix, Any };
    enum class Action { IsoTp, Raw, None };

    Match match = Match::Any;
    Bytes pattern;
    Action action = Action::None;
    std::vector<Bytes> payloads; // one ISO-TP payload, or the raw frames in order
    int line = 0;

    bool matches(const Bytes &request) const;
};

// Reads a script file; on failure error names the file and line.
bool loadScript(const std::string &path, std::vector<ScriptRule> &rules, std::string &error);
bool parseScriptLine(const std::string &text, ScriptRule &rule, std::string &error);

// A test device that answers complete ISO-TP requests as its script says; the first matching rule wins.
class ScriptedDevice : public CanDevice
{
public:
    ScriptedDevice(const IsoTpConfig &config, std::vector<ScriptRule> rules, const FlowControlFault &flowControl);

    void start(CanDeviceHost &host) override;
    void receiveFrame(const CanFrame &frame) override;

private:
    void handleRequest(const Bytes &request);

    std::vector<ScriptRule> rules_;
    FlowControlFault flowControl_; // before the endpoint, which points at it
    IsoTpEndpoint endpoint_;
    CanDeviceHost *host_ = nullptr;
};

} // namespace ksim
