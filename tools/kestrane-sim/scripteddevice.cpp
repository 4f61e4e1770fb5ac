#include "scripteddevice.h"

#include <algorithm>
#include <fstream>

namespace ksim {

namespace {
constexpr std::size_t kMaxPayload = 4095;
}

bool ScriptRule::matches(const Bytes &request) const
{
    switch (match) {
    case Match::Any:
        return true;
    case Match::Exact:
        return request == pattern;
    case Match::Prefix:
        return request.size() >= pattern.size() && std::equal(pattern.begin(), pattern.end(), request.begin());
    }
    return false;
}

bool parseScriptLine(const std::string &text, ScriptRule &rule, std::string &error)
{
    const auto arrow = text.find("=>");
    if (arrow == std::string::npos) {
        error = "expected 'REQUEST => ACTIONS'";
        return false;
    }
    const std::string request = trim(text.substr(0, arrow));
    const std::string actions = trim(text.substr(arrow + 2));

    if (request == "*") {
        rule.match = ScriptRule::Match::Any;
    } else if (!request.empty() && request.back() == '*') {
        rule.match = ScriptRule::Match::Prefix;
        if (!parseHex(request.substr(0, request.size() - 1), rule.pattern)) {
            error = "bad hexadecimal request prefix";
            return false;
        }
    } else {
        rule.match = ScriptRule::Match::Exact;
        if (!parseHex(request, rule.pattern) || rule.pattern.empty()) {
            error = "bad hexadecimal request";
            return false;
        }
    }

    const auto space = actions.find_first_of(" \t");
    const std::string verb = toLower(actions.substr(0, space));
    const std::string argument = space == std::string::npos ? std::string() : actions.substr(space + 1);
    if (verb == "none") {
        rule.action = ScriptRule::Action::None;
        if (!trim(argument).empty()) {
            error = "'none' takes no argument";
            return false;
        }
        return true;
    }
    if (verb == "isotp") {
        rule.action = ScriptRule::Action::IsoTp;
        Bytes payload;
        if (!parseHex(argument, payload) || payload.empty() || payload.size() > kMaxPayload) {
            error = "isotp needs 1 to 4095 bytes of hexadecimal";
            return false;
        }
        rule.payloads.push_back(payload);
        return true;
    }
    if (verb == "raw") {
        rule.action = ScriptRule::Action::Raw;
        std::size_t begin = 0;
        for (;;) {
            const auto semicolon = actions.find(';', begin);
            const std::string part = trim(actions.substr(begin, semicolon - begin));
            const auto gap = part.find_first_of(" \t");
            Bytes frame;
            if (toLower(part.substr(0, gap)) != "raw" || gap == std::string::npos
                || !parseHex(part.substr(gap + 1), frame) || frame.empty() || frame.size() > 8) {
                error = "raw needs 1 to 8 bytes of hexadecimal per frame, frames separated by '; raw'";
                return false;
            }
            rule.payloads.push_back(frame);
            if (semicolon == std::string::npos)
                break;
            begin = semicolon + 1;
        }
        return true;
    }
    error = "unknown action '" + verb + "' (isotp, raw or none)";
    return false;
}

bool loadScript(const std::string &path, std::vector<ScriptRule> &rules, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read script " + path;
        return false;
    }
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        const auto hash = text.find('#');
        if (hash != std::string::npos)
            text.erase(hash);
        text = trim(text);
        if (text.empty())
            continue;
        ScriptRule rule;
        rule.line = number;
        std::string reason;
        if (!parseScriptLine(text, rule, reason)) {
            error = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
        rules.push_back(rule);
    }
    return true;
}

namespace {
IsoTpConfig withFault(IsoTpConfig config, FlowControlFault *fault)
{
    config.flowControlFault = fault;
    return config;
}
} // namespace

ScriptedDevice::ScriptedDevice(
    const IsoTpConfig &config, std::vector<ScriptRule> rules, const FlowControlFault &flowControl)
    : rules_(std::move(rules))
    , flowControl_(flowControl)
    , endpoint_(withFault(config, &flowControl_), [this](const Bytes &request) { handleRequest(request); })
{ }

void ScriptedDevice::start(CanDeviceHost &host)
{
    host_ = &host;
    endpoint_.attach(host);
}

void ScriptedDevice::receiveFrame(const CanFrame &frame)
{
    endpoint_.receiveFrame(frame);
}

void ScriptedDevice::handleRequest(const Bytes &request)
{
    for (const ScriptRule &rule : rules_) {
        if (!rule.matches(request))
            continue;
        host_->note("request " + toHex(request) + " matches rule of line " + std::to_string(rule.line));
        switch (rule.action) {
        case ScriptRule::Action::IsoTp:
            endpoint_.send(rule.payloads.front());
            break;
        case ScriptRule::Action::Raw:
            for (const Bytes &frame : rule.payloads)
                endpoint_.sendRaw(frame);
            break;
        case ScriptRule::Action::None:
            break;
        }
        return;
    }
    host_->note("request " + toHex(request) + " matches no rule; no reply");
}

} // namespace ksim
