#pragma once

#include "canbus.h"
#include "faults.h"
#include "hex.h"
#include "options.h"
#include "scheduler.h"
#include "seriallink.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ksim {

class EventLog;

// What the adapter answers to ATI, and so introduces itself with after a restart, unless --ati says
// otherwise; and what an ELS27's ST chip answers to STI and STDI unless --sti and --stdi say otherwise.
constexpr const char *kElmIdentity = "ELM327 v1.5";
constexpr const char *kStnIdentity = "STN2255 v5.10.3";
constexpr const char *kStnDevice = "ELS27 r2.1";
class WireStats;

// The OBD adapter: an ELM327 v1.5 (optionally with the ST command set of an ELS27) on the serial link,
// turning hexadecimal lines into CAN frames and CAN frames back into lines. Its settings and rate live in
// the adapter, so they survive the program closing and reopening the port.
class Adapter : public SerialReceiver, public CanListener
{
public:
    Adapter(AdapterKind kind, std::uint32_t baud, SerialLink &link, CanBus &bus, Scheduler &scheduler, EventLog &log,
        WireStats &stats, const Faults &faults);

    // The answer to ATI and the echo setting after a reset, for adapters that differ from the usual.
    void setIdentity(const std::string &answer) { identity_ = answer; }
    void setEchoAfterReset(bool on)
    {
        echoAfterReset_ = on;
        settings_.echo = on;
    }
    // How long a reset (power-on style) and a warm start keep the adapter away.
    void setRestartTimes(Micros reset, Micros warmStart)
    {
        resetTime_ = reset;
        warmStartTime_ = warmStart;
    }

    // Powers up still listening at `rate`, where an AT BRD of an earlier run left it; the power-up rate
    // stays, and a reset goes back to it (the new rate of AT BRD is never stored).
    void setRaisedRate(std::uint32_t rate);

    // An ELS27 whose firmware has no STPX answers it "?"; the largest message it takes (its buffer).
    void setStpx(bool available) { stpx_ = available; }
    void setStnBuffer(std::size_t bytes) { stnBuffer_ = bytes; }

    // How much longer than a data line an adapter command (AT, ST) takes to be answered.
    void setCommandLatency(Micros latency) { commandLatency_ = latency; }

    // What AT RV answers: the voltage it reads on the OBD socket ("12.6V"), or "?" when it cannot.
    void setVoltage(const std::string &answer) { voltage_ = answer; }

    // An ELS27's answers to STI (also its identification after STBR) and STDI.
    void setStnIdentity(const std::string &firmware, const std::string &device)
    {
        stnIdentity_ = firmware;
        stnDevice_ = device;
    }

    // Called when the port must disappear (a --vanish-after fault).
    std::function<void()> onVanish;
    // Behind a network bridge the fault only cuts the connection, once, after the line reached the
    // adapter, which goes on working: this is called instead of onVanish. reset: the bridge resets the
    // connection (the client sees a reset) instead of closing it in order (--reset-after).
    std::function<void(bool reset)> onDropConnection;

    // SerialReceiver
    std::uint32_t uartRate() const override { return rate_; }
    void serialInput(const std::string &bytes, Micros when) override;
    void portClosed() override;

    // CanListener
    void busFrame(const CanFrame &frame) override;

private:
    // What the ST commands of an ELS27 set for the ISO-TP the chip does itself.
    struct StnSettings
    {
        // STCFCPA: a First Frame from the second identifier gets its flow control on the first one.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> flowControlPairs;
        // STFFCA: frames whose identifier matches the pattern (first) under the mask (second) are taken
        // as the device's flow control.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> flowControlFilters;
        // STCTOR: the waits for the device's flow control and for its next Consecutive Frame.
        Micros flowControlTimeout = 75000;
        Micros consecutiveTimeout = 150000;
        Micros addedSeparation = 0; // STCSTM
        bool segmentTransmit = false; // STCSEGT
        bool segmentReceive = false; // STCSEGR
        int protocol = 0; // STP; 0 while AT SP decides
    };

    struct Settings
    {
        bool echo = true;
        bool spaces = true;
        bool headers = false;
        bool linefeeds = false;
        bool lengths = false;
        bool responses = true;
        int adaptiveTiming = 1;
        // The reply time-out, set by AT ST (in 4 ms units) and on an ELS27 by STPTO (in ms) alike; 0 stands
        // for the default.
        Micros timeout = 0;
        int protocol = 0;
        bool automaticProtocol = true;
        std::uint32_t header = 0x7DF;
        bool extendedHeader = false; // header holds a 29-bit identifier
        std::string receiveFilter; // three or eight characters of hexadecimal or X, empty for none
        bool automaticFormatting = true;
        bool automaticFlowControl = true;
        // AT CSM (ELM327 v1.4 and later): CAN silent monitoring, on at power-up. Kept as a setting only:
        // the adapter sends no acknowledgement of its own on this bus either way.
        bool silentMonitoring = true;
        std::uint8_t divisorWait = 0x0F; // AT BRT, in 5 ms units; 0 stands for the default
        Micros stnSwitchWait = 75000; // STBRT
        StnSettings stn;
    };

    // A message the device sends in several frames, while the adapter takes it in.
    struct Reception
    {
        bool active = false;
        std::uint32_t id = 0;
        bool extended = false;
        std::size_t length = 0;
        std::size_t received = 0;
        std::uint8_t sequence = 0; // of the next Consecutive Frame
    };

    // A message the adapter sends segmented as ISO-TP: STPX, or a data line with STCSEGT1.
    struct Transfer
    {
        std::string name; // for the log: "STPX", "data line 7"
        std::uint32_t header = 0;
        bool extended = false;
        Bytes data;
        std::size_t offset = 0; // bytes sent so far
        std::uint8_t sequence = 1; // of the next Consecutive Frame
        unsigned blockLeft = 0; // Consecutive Frames left in the block; 0: all the rest
        Micros separation = 0;
        bool awaitingFlowControl = false;
        bool listen = true; // for replies, once the message has gone
        unsigned wanted = 0; // replies (messages) wanted; 0: until none comes in time
        Micros timeout = 0; // the wait for each reply
    };

    // STPX with l: reading the data characters after its DATA>.
    struct DataEntry
    {
        Transfer transfer;
        std::size_t expected = 0; // hex characters
        std::string hex;
        bool refused = false; // a character other than a hex digit ended it early
        char refusedBy = 0;
        Micros doneAt = 0; // when the last character taken has reached the chip
    };

    struct Line
    {
        std::string text;
        std::size_t wireBytes;
        Micros arrived;
        // The rate the line crossed the wire at: it may be waiting in the queue while the rate changes.
        std::uint32_t rate;
        std::uint64_t number = 0; // among the received lines, from 1
    };

    // Idle: ready for the next line. Receiving: a line is still "on the wire". Working: an answer is being
    // prepared (reset, frame transmission). Listening/Monitoring: showing bus traffic until stopped.
    // Data: reading the data characters of an STPX. Sending: sending a segmented message, its frames
    // paced by the device's flow control.
    // SwitchSendingOk, SwitchWaiting, SwitchConfirm: a rate switch with a handshake (AT BRD, STBR) sending
    // its OK at the old rate, then at the new rate waiting until its identification has gone out, then
    // waiting for the confirming CR.
    enum class State {
        Idle,
        Receiving,
        Working,
        Listening,
        Monitoring,
        Data,
        Sending,
        SwitchSendingOk,
        SwitchWaiting,
        SwitchConfirm
    };

    // A rate switch with a handshake, as AT BRD and STBR make it.
    struct RateSwitch
    {
        std::string command; // "AT BRD" or "STBR", for the log
        std::string identification;
        std::uint32_t oldRate = 0;
        std::uint32_t newRate = 0;
        Micros wait = 0; // the BRT time: before the identification, and again for the CR
        Micros windowOpens = 0; // when the identification has gone out
        Micros windowCloses = 0;
    };

    void completeLine();
    void pump();
    void execute(const Line &line);
    void adapterCommand(const std::string &command);
    // The AT commands by kind; each says whether it knew the command.
    bool plainCommand(const std::string &command);
    bool switchCommand(const std::string &command);
    bool argumentCommand(const std::string &command);
    void adaptiveTimingCommand(int mode);
    void receiveFilterCommand(const std::string &filter);
    void headerCommand(const std::string &digits);
    void protocolCommand(const std::string &argument);
    void timeoutCommand(const std::string &digits);
    // The ST commands (adapterstn.cpp).
    void stnCommand(const std::string &command);
    bool stnSettingCommand(const std::string &command);
    void stnTimeoutCommand(const std::string &digits);
    void busRateCommand(const std::string &digits);
    void stnProtocolCommand(const std::string &digits);
    void flowControlPairCommand(const std::string &arguments);
    void clearFlowControlPairs(const std::string &arguments);
    void flowControlFilterCommand(const std::string &arguments);
    void clearFlowControlFilters(const std::string &arguments);
    void isoTpTimeoutsCommand(const std::string &arguments);
    void addedSeparationCommand(const std::string &digits);
    void segmentTransmitCommand(const std::string &digit);
    void segmentReceiveCommand(const std::string &digit);
    void stpxCommand(const std::string &arguments);
    void startDataEntry(const Transfer &transfer, std::size_t length);
    void takeData(const std::string &text, Micros when);
    void dataComplete();
    void dataRefused();
    void flushDeferred();
    void dataLine(const std::string &digits, std::uint64_t number);
    bool readDataLine(const std::string &digits, std::uint64_t number, Bytes &bytes, int &wanted);
    bool dataLineFault(std::uint64_t number);
    void sendDataLine(const Bytes &bytes, int wanted, std::uint64_t number);
    void sendSegmentedLine(const Bytes &bytes, int wanted, std::uint64_t number);
    void holdAnswer(std::uint64_t number, bool answerless);

    std::string eol() const { return settings_.linefeeds ? "\r\n" : "\r"; }
    // The prompt, with the bytes a --before-prompt fault puts in front of it.
    std::string prompt() const { return faults_.beforePrompt + ">"; }
    void emit(const std::string &bytes);
    void reply(const std::string &text);
    void becomeIdle();

    void reset(bool powerOn);
    void restart(bool powerOn, const std::string &cause);
    void loseInput(const std::string &bytes);
    // The lines and the part of a line received but not yet carried out, as they came; forgotten.
    std::string takePendingInput();
    void setRate(std::uint32_t rate);

    void listenFrom(Micros sent, unsigned wanted, Micros timeout);
    void armTimer(Micros when, void (Adapter::*action)());
    void armListenTimer(Micros when);
    void listenTimedOut();
    void endListening();
    void interrupt();
    bool passesFilter(const CanFrame &frame) const;
    std::string formatFrame(const CanFrame &frame) const;
    Micros timeoutMicros() const;
    void printLine(const std::string &text);
    void replyComplete();

    // Automatic formatting and flow control on ISO 15765 (adapterisotp.cpp).
    bool isoTpProtocol() const;
    bool formatting() const;
    const char *separator() const { return settings_.spaces ? " " : ""; }
    void receiveFormatted(const CanFrame &frame);
    void singleFrameReceived(const CanFrame &frame);
    void firstFrameReceived(const CanFrame &frame);
    void consecutiveFrameReceived(const CanFrame &frame);
    Micros sendFlowControl(const CanFrame &first);
    bool flowControlTarget(const CanFrame &first, std::uint32_t &id) const;

    // Segmented transmission (adapterisotp.cpp).
    void startTransfer(const Transfer &transfer);
    CanFrame transferFrame(const Bytes &bytes) const;
    void awaitFlowControl(Micros from);
    void flowControlTimedOut();
    void takeFlowControl(const CanFrame &frame);
    bool flowControlSource(const CanFrame &frame) const;
    void sendConsecutive();
    void transferSent(Micros sent);
    void transferFailed(const std::string &word);

    // The rate switches (adapterrates.cpp).
    bool rateCommand(const std::string &command);
    void divisorCommand(const std::string &digits);
    void divisorWaitCommand(const std::string &digits);
    void stnWaitCommand(const std::string &digits);
    void startRateSwitch(
        const std::string &command, const std::string &identification, std::uint32_t rate, Micros wait);
    void switchUart(std::uint64_t generation);
    void sendSwitchIdentification(std::uint64_t generation);
    void openConfirmWindow(std::uint64_t generation);
    void switchInput();
    void switchConfirmed(Micros received);
    void switchTimedOut(std::uint64_t generation);
    void switchNote(const std::string &text);
    Micros divisorWaitMicros() const;
    void dropPendingInput(const std::string &why);

    AdapterKind kind_;
    SerialLink &link_;
    CanBus &bus_;
    Scheduler &scheduler_;
    EventLog &log_;
    WireStats &stats_;
    const Faults &faults_;

    Settings settings_;
    std::uint32_t rate_;
    std::uint32_t storedRate_;
    State state_ = State::Idle;

    std::string partial_;
    std::size_t partialWireBytes_ = 0;
    std::deque<Line> lines_;
    std::uint64_t linesReceived_ = 0;
    std::uint64_t dataLines_ = 0;
    bool silent_ = false;
    bool vanished_ = false;
    // Between a reset starting and the identification going out the adapter hears nothing.
    bool restarting_ = false;

    // While listening: lines printed, replies complete (frames, or with automatic formatting messages),
    // replies wanted (0: until the time-out) and the wait for each.
    unsigned printed_ = 0;
    unsigned counted_ = 0;
    unsigned wanted_ = 0;
    Micros listenTimeout_ = 0;
    Reception reception_;
    Transfer transfer_;
    DataEntry dataEntry_;
    // What came behind the data of an STPX: it reaches the chip only after that data, and is taken once
    // the chip has acted on the data.
    std::string deferred_;
    bool flushPending_ = false;
    bool stpx_ = true;
    std::size_t stnBuffer_ = 4096;
    std::uint64_t listenGeneration_ = 0;
    Scheduler::TimerId listenTimer_ = 0;

    RateSwitch switch_;
    std::uint64_t switchGeneration_ = 0;
    Scheduler::TimerId confirmTimer_ = 0;
    std::string identity_ = kElmIdentity;
    // What it introduces itself with after a restart or a rate switch: its ATI answer, or for an
    // adapter that does not know ATI ("?") the banner it has all the same.
    std::string banner() const { return identity_ == "?" ? kElmIdentity : identity_; }
    std::string voltage_ = "12.6V";
    std::string stnIdentity_ = kStnIdentity;
    std::string stnDevice_ = kStnDevice;
    // Set while a dropped connection ends the bytes that came with the line before it.
    bool connectionDropped_ = false;
    bool echoAfterReset_ = true;
    // While positive, what the adapter sends is held back this long (a --late-answer fault), and the
    // last held-back part leaves at heldUntil_.
    Micros holdBack_ = 0;
    Micros heldUntil_ = 0;
    Micros resetTime_ = 5000;
    Micros warmStartTime_ = 1000;
    Micros commandLatency_ = 0;
};

} // namespace ksim
