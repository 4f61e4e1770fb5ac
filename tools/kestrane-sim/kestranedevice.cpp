#include "kestranedevice.h"

namespace ksim {

namespace {

// How long the device stays deaf while it restarts (reboot, switching between application and bootloader).
constexpr Micros kRestartTime = 300000;
constexpr std::uint8_t kPending = 0x78;
// What a forced boot-mode refusal answers when its option gave no code.
constexpr std::uint8_t kGeneralReject = 0x10;

} // namespace

KestraneDevice::KestraneDevice(const KestraneSettings &settings, const IsoTpConfig &endpoint,
    const DeviceFaults &faults, const FlowControlFault &flowControl)
    : settings_(settings)
    , endpointConfig_(endpoint)
    , faults_(faults)
    , flowControl_(flowControl)
    , app_(state_)
    , boot_(state_, static_cast<Micros>(settings.eraseMillis) * 1000)
{
    if (faults_.boardSwapAfter)
        boot_.swapBoard(*faults_.boardSwapAfter, faults_.boardSwapId);
}

bool KestraneDevice::open(std::string &error)
{
    return state_.open(settings_, error);
}

void KestraneDevice::note(const std::string &text)
{
    if (host_)
        host_->note(std::string("kestrane ") + modeName(state_.mode()) + ": " + text);
}

void KestraneDevice::start(CanDeviceHost &host)
{
    host_ = &host;
    state_.onError = [this](const std::string &text) { note(text); };
    boot_.onNote = [this](const std::string &text) { note(text); };
    makeEndpoint();
    note("running, board " + hexValue(state_.boardId(), 8) + ", flash " + std::to_string(state_.flashSize())
        + " bytes, uuid " + toHex(state_.uuid()));
}

void KestraneDevice::makeEndpoint()
{
    IsoTpConfig config = endpointConfig_;
    const bool app = state_.mode() == KestraneMode::App;
    config.rxId = app ? 0x74E : 0x74F;
    config.txId = app ? 0x746 : 0x747;
    config.flowControlFault = &flowControl_;
    // The old endpoint may still have a separation-time timer pointing at it.
    if (endpoint_)
        endpoint_->cancelSend();
    endpoint_ = std::make_unique<IsoTpEndpoint>(config, [this](const Bytes &request) { handleRequest(request); });
    endpoint_->attach(*host_);
}

void KestraneDevice::receiveFrame(const CanFrame &frame)
{
    if (gone_ || restarting_) {
        if (!frame.extended && (frame.id == 0x74E || frame.id == 0x74F))
            note(std::string("frame ignored: ") + (gone_ ? "left for the ROM loader" : "restarting"));
        return;
    }
    endpoint_->receiveFrame(frame);
}

bool KestraneDevice::injectFault(const Bytes &request, std::uint64_t number)
{
    if (faults_.silent(number)) {
        note("request " + std::to_string(number) + " left unanswered (fault)");
        return true;
    }
    if (faults_.takeBusy(request)) {
        note("busy answer instead of a reply (fault)");
        send(Bytes {0x7F, request[0], kPending});
        return true;
    }
    if (const DeviceFaults::Negative *negative = faults_.negative(request)) {
        note("forced refusal (fault)");
        if (state_.mode() == KestraneMode::App)
            send(AppFirmware::refusal(request, "forced"));
        else
            send(Bytes {0x7F, request[0], negative->code.value_or(kGeneralReject)});
        return true;
    }
    return false;
}

void KestraneDevice::handleRequest(const Bytes &request)
{
    const std::uint64_t number = ++requests_;
    note("request " + std::to_string(number) + ": " + toHex(request.data(), request.size() < 16 ? request.size() : 16)
        + (request.size() > 16 ? "... (" + std::to_string(request.size()) + " bytes)" : std::string()));
    if (injectFault(request, number))
        return;

    const bool app = state_.mode() == KestraneMode::App;
    const bool isWrite = app ? AppFirmware::isWrite(request) : Bootloader::isWrite(request);
    const std::uint64_t writeNumber = isWrite ? ++writes_ : 0;
    FirmwareReply reply = app ? app_.handle(request) : boot_.handle(request, monotonicMicros());

    if (isWrite && faults_.lostWriteReplies.count(writeNumber) != 0 && reply.positive()) {
        note("write " + std::to_string(writeNumber) + " carried out, its reply lost (fault)");
        reply.reply.clear();
        if (!app)
            boot_.reportBusy(faults_.busyStatus);
    } else if (reply.positive() && faults_.garbled(request)) {
        note("reply garbled (fault)");
        reply.reply = app ? AppFirmware::garble(request, reply.reply) : Bootloader::garble(request, reply.reply);
    } else if (reply.positive() && faults_.cutShort(request)) {
        reply.cutShort = true;
    } else if (reply.positive() && faults_.shortened(request)) {
        reply.shortened = true;
    }

    if (const std::uint64_t slow = faults_.slowness(request); slow != 0 && !reply.reply.empty()) {
        note("reply held back " + std::to_string(slow) + " ms (fault)");
        if (reply.pending.empty())
            reply.pending = Bytes {0x7F, request[0], kPending};
        reply.delay += Micros(slow) * 1000;
    }
    if (!reply.pending.empty())
        send(reply.pending);
    if (reply.delay > 0) {
        const std::uint64_t epoch = epoch_;
        const Micros delay = reply.delay;
        host_->working(delay);
        host_->startTimer(delay, [this, reply = std::move(reply), epoch] {
            if (epoch == epoch_ && state_.mode() == KestraneMode::Boot)
                boot_.workDone();
            deliver(reply, epoch);
        });
    } else {
        deliver(std::move(reply), epoch_);
    }
}

void KestraneDevice::deliver(FirmwareReply reply, std::uint64_t epoch)
{
    // An operation that a restart cut short never answers.
    if (epoch != epoch_ || gone_)
        return;
    if (reply.cutShort && reply.reply.size() >= 8) {
        // The device stops right after the First Frame: the PC's flow control goes unanswered.
        note("reply cut short after its First Frame (fault)");
        const std::size_t length = reply.reply.size();
        Bytes first(8);
        first[0] = static_cast<std::uint8_t>(0x10 | (length >> 8));
        first[1] = static_cast<std::uint8_t>(length & 0xFF);
        for (std::size_t i = 0; i < 6; ++i)
            first[2 + i] = reply.reply[i];
        endpoint_->sendRaw(first);
    } else if (reply.shortened) {
        note("reply sent two bytes short of the length it announces (fault)");
        send(reply.reply, true);
    } else if (!reply.reply.empty()) {
        send(reply.reply);
    }
    afterReply(reply.after);
}

void KestraneDevice::send(const Bytes &payload, bool shortened)
{
    if (!endpoint_->send(payload, shortened))
        note("reply of " + std::to_string(payload.size()) + " bytes does not fit one ISO-TP message; dropped");
}

void KestraneDevice::afterReply(AfterReply after)
{
    switch (after) {
    case AfterReply::Stay:
        return;
    case AfterReply::Restart:
        note("restarting");
        break;
    case AfterReply::EnterBootloader:
        note("switching to the bootloader");
        state_.setMode(KestraneMode::Boot);
        break;
    case AfterReply::EnterApplication:
        note("starting the application");
        state_.setMode(KestraneMode::App);
        break;
    case AfterReply::LeaveForRomLoader:
        note("left for the ROM loader; silent until the simulator restarts");
        gone_ = true;
        ++epoch_;
        return;
    }
    restart();
}

void KestraneDevice::restart()
{
    // The endpoint is replaced only once the restart is over: this may run inside its own callback.
    restarting_ = true;
    ++epoch_;
    app_.restart();
    boot_.restart();
    host_->startTimer(kRestartTime, [this] {
        restarting_ = false;
        makeEndpoint();
        note("up again");
    });
}

} // namespace ksim
