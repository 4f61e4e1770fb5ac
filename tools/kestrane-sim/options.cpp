#include "options.h"

#include "hex.h"
#include "tcpbridge.h"

#include <functional>
#include <map>
#include <set>

namespace ksim {

namespace {

bool parseCanId(const std::string &text, std::uint32_t &out)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    std::uint64_t value = 0;
    if (!parseNumber("0x" + digits, value) || value > 0x7FF)
        return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool parseCount(const std::string &text, std::uint64_t &out, std::uint64_t minimum)
{
    return parseNumber(text, out) && out >= minimum;
}

bool parseByte(const std::string &text, std::uint8_t &out)
{
    std::uint64_t value = 0;
    if (!parseNumber(text, value) || value > 255)
        return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

// N:TEXT, TEXT being one line of printable characters (spaces and '<' included).
bool parseWord(const std::string &text, std::map<std::uint64_t, std::string> &words)
{
    const auto colon = text.find(':');
    std::uint64_t line = 0;
    if (colon == std::string::npos || !parseCount(text.substr(0, colon), line, 1))
        return false;
    const std::string word = text.substr(colon + 1);
    if (word.empty())
        return false;
    for (char c : word) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    words[line] = word;
    return true;
}

// N:MS, N a data line from 1 and MS milliseconds up to 60000.
bool parseLateAnswer(const std::string &text, std::map<std::uint64_t, std::int64_t> &delays)
{
    const auto colon = text.find(':');
    std::uint64_t line = 0;
    std::uint64_t millis = 0;
    if (colon == std::string::npos || !parseCount(text.substr(0, colon), line, 1)
        || !parseCount(text.substr(colon + 1), millis, 1) || millis > 60000)
        return false;
    delays[line] = static_cast<std::int64_t>(millis) * 1000;
    return true;
}

// Volts with at most one decimal, as an adapter shows them: "11.2" answers "11.2V", "12" "12.0V".
bool parseVoltage(const std::string &text, std::string &answer)
{
    if (toLower(text) == "none") {
        answer = "?";
        return true;
    }
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string tenths = point == std::string::npos ? "0" : text.substr(point + 1);
    const auto digits = [](const std::string &part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(whole) || whole.size() > 2 || !digits(tenths) || tenths.size() != 1)
        return false;
    answer = std::to_string(std::stoi(whole)) + "." + tenths + "V";
    return true;
}

bool parseMillis(const std::string &text, Micros &out)
{
    std::uint64_t millis = 0;
    if (!parseNumber(text, millis) || millis > 60000)
        return false;
    out = static_cast<Micros>(millis) * 1000;
    return true;
}

// C[:MS]: 1..1000 flow controls WAIT, MS (0..60000) apart, 20 ms when not given.
bool parseFlowWaits(const std::string &text, Options &options)
{
    const auto colon = text.find(':');
    std::uint64_t waits = 0;
    if (!parseCount(text.substr(0, colon), waits, 1) || waits > 1000)
        return false;
    options.fcWaits = static_cast<unsigned>(waits);
    return colon == std::string::npos || parseMillis(text.substr(colon + 1), options.fcWaitInterval);
}

} // namespace

namespace {

std::string usagePort()
{
    return "Usage: kestrane-sim --link PATH [options]\n"
           "       kestrane-sim --tcp PORT [options]\n"
           "Simulates a serial OBD adapter with a device on its CAN bus, reachable through a pseudo-terminal, or\n"
           "over TCP as a Wi-Fi adapter.\n"
           "\n"
           "The port and the adapter:\n"
           "  --link PATH             symlink to create for the pseudo-terminal (required without --tcp)\n"
           "  --tcp PORT              serve the adapter on 127.0.0.1:PORT instead (0: a free port), one client at a\n"
           "                          time, through a bridge that talks to the adapter at 38400 bit/s: a rate\n"
           "                          switch cuts the link; the adapter keeps its settings between clients and\n"
           "                          what it sends while none is connected is lost\n"
           "  --baud N                serial rate the adapter listens at after power-up (default 38400; with --tcp\n"
           "                          only 38400)\n"
           "  --adapter elm327|els27  adapter type; els27 adds the ST commands (default elm327). AT BRD hh and\n"
           "                          STBR baud answer OK at the old rate, wait the AT BRT / STBRT time (75 ms),\n"
           "                          send the identification at the new rate and wait as long again for a CR\n"
           "                          (one sent before the identification does not count): OK there, or back\n"
           "                          to the old rate with its prompt. An ELS27 does ISO-TP itself: with\n"
           "                          STP 33 and AT CAF1 it adds and removes the PCI bytes, with AT CFC1 it\n"
           "                          sends flow control (STCFCPA pairs); STPX h:,d:|l:,t:,r: sends one message\n"
           "                          segmented (l: prints DATA> and reads 2*l hex characters, no CR after\n"
           "                          them) paced by the device's flow control (STFFCA filters once AT CRA is\n"
           "                          set; FC RX TIMEOUT after the STCTOR wait; OVERFLOW: CAN ERROR); see\n"
           "                          README.md\n"
           "  --sti TEXT              els27: what STI answers, and the identification after STBR (default\n"
           "                          'STN2255 v5.10.3')\n"
           "  --stdi TEXT             els27: what STDI answers (default 'ELS27 r2.1')\n"
           "  --stn-buffer 2048|4096  els27: the largest message STPX takes, in bytes (default 4096, an\n"
           "                          STN21xx/22xx; 2048 an STN11xx); beyond it: OUT OF MEMORY. The chip holds\n"
           "                          511 characters of a line before its CR (spaces included): a longer\n"
           "                          line is answered ?\n"
           "  --no-stpx               els27: firmware without STPX (answered ?, nothing sent); the other ST\n"
           "                          commands work\n"
           "  --usb-latency-ms N      as a USB serial bridge: output waits until 62 bytes are there or N ms\n"
           "                          passed since the first byte waiting (0..255, default 0: off)\n"
           "  --voltage V|none        what AT RV answers: V volts with one decimal (default 12.6), none: ?\n"
           "  --device KIND           none, script or kestrane (default none; script with --script; kestrane with "
           "--mode etc.)\n"
           "  --script FILE           rules of the scripted device, one 'REQUEST => ACTIONS' per line\n"
           "  --rx-id HEX             identifier the scripted device listens on (default 74E)\n"
           "  --tx-id HEX             identifier the scripted device answers with (default 746)\n"
           "  --fc-bs N               block size in the device's flow control frames (default 0)\n"
           "  --fc-stmin N            separation time byte in the device's flow control frames (default 0)\n";
}

std::string usageKestrane()
{
    return "\n"
           "The Kestrane device:\n"
           "  --mode app|boot         Kestrane: firmware to start in when the state holds no mode yet (default app)\n"
           "  --state DIR             Kestrane: folder keeping mode, files and flash across runs (default: memory)\n"
           "  --board-id N            Kestrane: board id the bootloader reports (default 0x4B455331)\n"
           "  --flash-size N          Kestrane: bootloader flash size in bytes, a multiple of 1024 (default 262144)\n"
           "  --uuid HEX24            Kestrane: the 12-byte unique id (default 4B53494D0102030405060708)\n"
           "  --erase-ms N            Kestrane: time a bootloader erase takes, 0..60000 ms (default 50); status "
           "replies\n"
           "                          say busy meanwhile, other requests get 7F xx 78\n"
           "  --lose-write-reply N    Kestrane: carry out write request N (36 or 21) but lose its reply (repeatable)\n"
           "  --busy-status N         Kestrane: the first N status replies after a lost write reply report busy\n"
           "  --negative HEX:CODE     Kestrane: refuse requests starting with HEX: 7F <first byte> CODE; JSON in app "
           "mode\n"
           "  --malformed HEX         Kestrane: cut short or garble the reply to requests starting with HEX\n"
           "  --silent-requests F[:C] Kestrane: no reply to device requests F..F+C-1 (C default 1; repeatable)\n"
           "  --busy-replies HEX:C    Kestrane: answer the first C requests starting with HEX with 7F <first byte> 78\n"
           "  --slow-reply HEX:MS     Kestrane: requests starting with HEX are answered busy at once, carried out,\n"
           "                          and answered MS ms later\n"
           "  --cut-reply HEX         Kestrane: a multi-frame reply to requests starting with HEX stops after its "
           "First Frame\n"
           "  --short-reply HEX       Kestrane: the reply to requests starting with HEX carries two bytes fewer than\n"
           "                          it announces (the last Consecutive Frame, or the Single Frame)\n"
           "  --board-swap N:ID       Kestrane: from status reply N+1 on the bootloader reports board ID (another\n"
           "                          board plugged in)\n"
           "  --flow-control wait|overflow[:N]\n"
           "                          the device answers the PC's First Frames (only the Nth with :N) with flow\n"
           "                          status WAIT and never CTS (31 00 00), or with OVERFLOW (32 00 00)\n"
           "  --no-flow-control N[:C] the device gives no flow control at all to the PC's First Frames N..N+C-1\n"
           "                          (counted from 1 among those it receives; C default 1; repeatable) and does\n"
           "                          not take those requests in: an ELS27's STPX ends in FC RX TIMEOUT\n"
           "  --block-pause MS        with --fc-bs N: a strict receiver; after each block of N Consecutive Frames\n"
           "                          the device sends its flow control MS ms later and drops frames before it\n"
           "  --fc-waits C[:MS]       the device answers every First Frame with C flow controls WAIT (31 00 00),\n"
           "                          MS ms apart (default 20), then the CTS MS ms after the last\n"
           "  --iso-tp-timeout-ms N   the device's ISO-TP time-outs, 1..60000 ms (default 1000): a reply whose\n"
           "                          flow control does not come within N ms of its First Frame or of a block's\n"
           "                          last frame (N_Bs; a WAIT from the PC restarts it), and a request whose next\n"
           "                          Consecutive Frame does not come within N ms of its last frame or of the\n"
           "                          device's flow control (N_Cr), is given up\n";
}

std::string usageFaults()
{
    return "\n"
           "The adapter's faults:\n"
           "  --can-error FIRST[:C]   answer CAN ERROR to data lines FIRST..FIRST+C-1 (C default 1; repeatable)\n"
           "  --can-error-every N     answer CAN ERROR to every Nth data line (N, 2N, 3N, ...)\n"
           "  --word N:TEXT           answer data line N with the line TEXT instead of sending it, e.g. 'BUS BUSY',\n"
           "                          'ERR94', '0322F190 <RX ERROR'; 'SEARCHING...' comes before the usual answer\n"
           "                          (repeatable)\n"
           "  --answer N:TEXT         do not carry out received line N (commands included); answer TEXT and the\n"
           "                          prompt after the echo, e.g. '?', 'BUS BUSY', 'ERR94' (repeatable)\n"
           "  --late-answer N:MS      data line N is carried out, but all of its answer (frames, NO DATA, a word, the\n"
           "                          prompt) arrives MS ms later; lines sent meanwhile wait (repeatable)\n"
           "  --before-prompt HEX     send these 1..8 raw bytes before every prompt, e.g. 00 (a NUL, as some Wi-Fi\n"
           "                          bridges send)\n"
           "  --lv-reset N            on data line N print LV RESET and restart as after power-on (like ATZ, input\n"
           "                          lost meanwhile), then send the identification unasked (repeatable)\n"
           "  --restart-on N          the same restart on data line N without the LV RESET line (repeatable)\n"
           "  --no-reply-on N         send data line N on the bus but never answer it (repeatable)\n"
           "  --silent                answer nothing at all, from power-up on (input is still received)\n"
           "  --silent-after N        answer nothing at all after N received lines\n"
           "  --stuck-echo            AT E0 is answered OK but every line received is still echoed\n"
           "  --vanish-after N        remove the port and exit when line N is received; with --tcp the bridge\n"
           "                          drops the connection after line N instead (the adapter stays)\n"
           "  --reset-after N         with --tcp: the bridge resets the connection (RST) right after line N\n"
           "                          reached the adapter; otherwise as --vanish-after over TCP\n"
           "  --no-brd                answer AT BRD with ? (an adapter that cannot change its rate)\n"
           "  --lose-brd-confirm      lose the host's CR after an AT BRD or STBR switch: the adapter always goes\n"
           "                          back to its old rate once the wait for the CR is over\n"
           "  --no-reply-count        answer ? to a data line ending in a reply-count digit (odd digit count)\n"
           "  --raised-rate RATE      power up still listening at RATE, where an AT BRD of a killed run left the\n"
           "                          adapter; ATZ or a restart brings it back to --baud\n"
           "  --stream-text           the port streams NMEA text lines at every rate, several kB/s, and never\n"
           "                          answers or prompts (a GPS receiver or a logger on the port)\n";
}

std::string usageBehaviour()
{
    return "\n"
           "Logging, timing and restarts:\n"
           "  --log FILE              write a time-stamped event log of everything on the serial link\n"
           "  --wire-timing           delay answers by emulated serial and CAN transfer times; print totals at exit\n"
           "  --latency-us N          extra delay before each adapter answer, in microseconds (default 0); one line\n"
           "                          at a time, lines sent meanwhile are answered in turn\n"
           "  --command-latency-ms N  extra delay before each adapter command (AT, ST) is answered, 0..60000 ms, one\n"
           "                          at a time, as a slow clone or a bridge; data lines go as usual\n"
           "  --ati TEXT              answer to ATI, and the identification after every restart (ATZ, ATWS,\n"
           "                          LV RESET, a restart by itself) and an AT BRD switch (default 'ELM327 v1.5';\n"
           "                          '?' for an adapter that does not know ATI)\n"
           "  --echo on|off           echo after power-up and reset (default on)\n"
           "  --reset-ms N            time ATZ (and any restart by itself) takes; input meanwhile is lost (default "
           "1000)\n"
           "  --warm-start-ms N       time ATWS takes; input meanwhile is lost (default 30)\n"
           "  --keep-closed-output    output sent while the port is closed waits for the next opener (the default\n"
           "                          on a pseudo-terminal; over TCP it is always lost)\n"
           "  --drop-closed-output    output sent while the port is closed is lost; every opener starts clean\n"
           "  --help                  show this text and exit\n"
           "\n"
           "Prints 'kestrane-sim ready PATH' (with --tcp 'kestrane-sim ready tcp://127.0.0.1:PORT') when the port is\n"
           "usable. SIGTERM/SIGINT: remove the link and exit 0. SIGUSR1: make the port vanish at once. SIGUSR2:\n"
           "print the wire totals so far (--wire-timing).\n";
}

} // namespace

std::string usageText()
{
    return usagePort() + usageKestrane() + usageFaults() + usageBehaviour();
}

namespace {

// An option with a value: it stores what it understood and says whether the value was usable.
using Handler = std::function<bool(const std::string &)>;
using Handlers = std::map<std::string, Handler>;
// An option without a value.
using Flags = std::map<std::string, std::function<void()>>;

// What the command line said besides the settings themselves, to settle the device kind at the end.
struct Given
{
    bool device = false;
    bool kestrane = false;
};

Handler text(std::string &out)
{
    return [&out](const std::string &v) {
        out = v;
        return !v.empty();
    };
}

Handler count(std::uint64_t &out)
{
    return [&out](const std::string &v) { return parseCount(v, out, 1); };
}

// A 1-based line number that may be given several times.
Handler lineNumber(std::set<std::uint64_t> &out)
{
    return [&out](const std::string &v) {
        std::uint64_t line = 0;
        if (!parseCount(v, line, 1))
            return false;
        out.insert(line);
        return true;
    };
}

Handler serialRate(std::uint32_t &out)
{
    return [&out](const std::string &v) {
        std::uint64_t rate = 0;
        if (!parseCount(v, rate, 1) || rate > 100000000)
            return false;
        out = static_cast<std::uint32_t>(rate);
        return true;
    };
}

Flags flags(Options &options)
{
    Faults &faults = options.faults;
    return {
        {"--wire-timing", [&options] { options.wireTiming = true; }},
        {"--keep-closed-output", [&options] { options.keepClosedOutput = true; }},
        {"--drop-closed-output", [&options] { options.keepClosedOutput = false; }},
        {"--stuck-echo", [&faults] { faults.stuckEcho = true; }},
        {"--silent", [&faults] { faults.silentFromStart = true; }},
        {"--no-brd", [&faults] { faults.noBrd = true; }},
        {"--lose-brd-confirm", [&faults] { faults.loseBrdConfirm = true; }},
        {"--no-reply-count", [&faults] { faults.noReplyCount = true; }},
        {"--no-stpx", [&options] { options.stpx = false; }},
        {"--stream-text", [&faults] { faults.streamText = true; }},
    };
}

// The port, the adapter on it and the scripted device.
void addAdapterOptions(Handlers &handlers, Options &options, Given &given)
{
    const Handlers added = {
        {"--link", text(options.link)},
        {"--tcp",
            [&options](const std::string &v) {
                std::uint64_t port = 0;
                options.tcp = true;
                if (!parseCount(v, port, 0) || port > 65535)
                    return false;
                options.tcpPort = static_cast<std::uint16_t>(port);
                return true;
            }},
        {"--usb-latency-ms",
            [&options](const std::string &v) {
                std::uint64_t millis = 0;
                if (!parseCount(v, millis, 0) || millis > 255)
                    return false;
                options.usbLatency = static_cast<Micros>(millis) * 1000;
                return true;
            }},
        {"--voltage", [&options](const std::string &v) { return parseVoltage(v, options.voltage); }},
        {"--baud", serialRate(options.baud)},
        {"--raised-rate", serialRate(options.raisedRate)},
        {"--adapter",
            [&options](const std::string &v) {
                const std::string kind = toLower(v);
                if (kind == "elm327")
                    options.adapter = AdapterKind::Elm327;
                else if (kind == "els27")
                    options.adapter = AdapterKind::Els27;
                else
                    return false;
                return true;
            }},
        {"--device",
            [&options, &given](const std::string &v) {
                given.device = true;
                options.device = toLower(v);
                return options.device == "none" || options.device == "script" || options.device == "kestrane";
            }},
        {"--script", text(options.script)},
        {"--rx-id", [&options](const std::string &v) { return parseCanId(v, options.rxId); }},
        {"--tx-id", [&options](const std::string &v) { return parseCanId(v, options.txId); }},
        {"--fc-bs", [&options](const std::string &v) { return parseByte(v, options.fcBlockSize); }},
        {"--fc-stmin", [&options](const std::string &v) { return parseByte(v, options.fcSeparation); }},
        {"--flow-control", [&options](const std::string &v) { return parseFlowControlFault(v, options.flowControl); }},
        {"--no-flow-control",
            [&options](const std::string &v) { return parseSilentFlowControl(v, options.flowControl); }},
        {"--block-pause", [&options](const std::string &v) { return parseMillis(v, options.blockPause); }},
        {"--fc-waits", [&options](const std::string &v) { return parseFlowWaits(v, options); }},
        {"--iso-tp-timeout-ms",
            [&options](
                const std::string &v) { return parseMillis(v, options.isoTpTimeout) && options.isoTpTimeout > 0; }},
        {"--log", text(options.logPath)},
        {"--ati", text(options.identity)},
        {"--echo",
            [&options](const std::string &v) {
                const std::string mode = toLower(v);
                options.echo = mode == "on";
                return mode == "on" || mode == "off";
            }},
        {"--reset-ms", [&options](const std::string &v) { return parseMillis(v, options.resetTime); }},
        {"--command-latency-ms", [&options](const std::string &v) { return parseMillis(v, options.commandLatency); }},
        {"--warm-start-ms", [&options](const std::string &v) { return parseMillis(v, options.warmStartTime); }},
        {"--latency-us",
            [&options](const std::string &v) {
                std::uint64_t micros = 0;
                if (!parseCount(v, micros, 0) || micros > 60000000)
                    return false;
                options.latency = static_cast<Micros>(micros);
                return true;
            }},
    };
    handlers.insert(added.begin(), added.end());
}

// What sets an ELS27 apart from another: its identification, buffer and firmware.
void addStnOptions(Handlers &handlers, Options &options)
{
    const Handlers added = {
        {"--sti", text(options.stnIdentity)},
        {"--stdi", text(options.stnDevice)},
        {"--stn-buffer",
            [&options](const std::string &v) {
                options.stnBuffer = v == "2048" ? 2048 : v == "4096" ? 4096 : 0;
                return options.stnBuffer != 0;
            }},
    };
    handlers.insert(added.begin(), added.end());
}

// The adapter's own misbehaviour, by data line or received line.
void addLineFaultOptions(Handlers &handlers, Faults &faults)
{
    const Handlers added = {
        {"--can-error",
            [&faults](const std::string &v) {
                const auto colon = v.find(':');
                std::uint64_t first = 0;
                std::uint64_t count = 1;
                if (!parseCount(v.substr(0, colon), first, 1))
                    return false;
                if (colon != std::string::npos && !parseCount(v.substr(colon + 1), count, 1))
                    return false;
                faults.canErrorRanges.emplace_back(first, count);
                return true;
            }},
        {"--can-error-every", count(faults.canErrorEvery)},
        {"--word", [&faults](const std::string &v) { return parseWord(v, faults.words); }},
        {"--answer", [&faults](const std::string &v) { return parseWord(v, faults.answers); }},
        {"--before-prompt",
            [&faults](const std::string &v) {
                Bytes bytes;
                if (!parseHex(v, bytes) || bytes.empty() || bytes.size() > 8)
                    return false;
                faults.beforePrompt.assign(bytes.begin(), bytes.end());
                return true;
            }},
        {"--late-answer", [&faults](const std::string &v) { return parseLateAnswer(v, faults.lateAnswers); }},
        {"--lv-reset", lineNumber(faults.lvResetLines)},
        {"--restart-on", lineNumber(faults.restartLines)},
        {"--no-reply-on", lineNumber(faults.noReplyLines)},
        {"--silent-after", count(faults.silentAfter)},
        {"--vanish-after", count(faults.vanishAfter)},
        {"--reset-after", count(faults.resetAfter)},
    };
    handlers.insert(added.begin(), added.end());
}

// Options only the Kestrane device understands; giving one of them chooses that device.
void addKestraneOptions(Handlers &handlers, Options &options, Given &given)
{
    KestraneSettings &device = options.kestrane;
    DeviceFaults &faults = options.deviceFaults;
    const Handlers added = {
        {"--mode",
            [&device](const std::string &v) {
                KestraneMode mode = KestraneMode::App;
                if (!parseMode(v, mode))
                    return false;
                device.mode = mode;
                return true;
            }},
        {"--state", text(device.stateDir)},
        {"--board-id",
            [&device](const std::string &v) {
                std::uint64_t id = 0;
                if (!parseNumber(v, id) || id > 0xFFFFFFFF)
                    return false;
                device.boardId = static_cast<std::uint32_t>(id);
                return true;
            }},
        {"--flash-size",
            [&device](const std::string &v) {
                std::uint64_t size = 0;
                if (!parseNumber(v, size) || size < kFlashPage || size > kMaxFlashSize || size % kFlashPage != 0)
                    return false;
                device.flashSize = static_cast<std::uint32_t>(size);
                return true;
            }},
        {"--uuid",
            [&device](const std::string &v) {
                Bytes uuid;
                if (!parseHex(v, uuid) || uuid.size() != 12)
                    return false;
                device.uuid = uuid;
                return true;
            }},
        {"--erase-ms",
            [&device](const std::string &v) {
                std::uint64_t millis = 0;
                if (!parseNumber(v, millis) || millis > 60000)
                    return false;
                device.eraseMillis = static_cast<std::uint32_t>(millis);
                return true;
            }},
        {"--lose-write-reply", lineNumber(faults.lostWriteReplies)},
        {"--busy-status", count(faults.busyStatus)},
        {"--negative", [&faults](const std::string &v) { return parseNegativeFault(v, faults); }},
        {"--malformed", [&faults](const std::string &v) { return parseMalformedFault(v, faults); }},
        {"--silent-requests", [&faults](const std::string &v) { return parseSilentFault(v, faults); }},
        {"--busy-replies", [&faults](const std::string &v) { return parseBusyFault(v, faults); }},
        {"--slow-reply", [&faults](const std::string &v) { return parseSlowFault(v, faults); }},
        {"--cut-reply", [&faults](const std::string &v) { return parseCutFault(v, faults); }},
        {"--short-reply", [&faults](const std::string &v) { return parseShortFault(v, faults); }},
        {"--board-swap", [&faults](const std::string &v) { return parseBoardSwapFault(v, faults); }},
    };
    for (const auto &option : added) {
        const Handler handler = option.second;
        handlers[option.first] = [&given, handler](const std::string &v) {
            given.kestrane = true;
            return handler(v);
        };
    }
}

// Reads one option at argv[i] (and its value, moving i past it). The value comes after '=' or as the
// next argument.
ParseResult readOption(int argc, char **argv, int &i, const Flags &flagged, const Handlers &valued, std::string &error)
{
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h")
        return ParseResult::Help;
    const auto flag = flagged.find(arg);
    if (flag != flagged.end()) {
        flag->second();
        return ParseResult::Run;
    }
    std::string value;
    bool inlineValue = false;
    const auto equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        inlineValue = true;
    }
    const auto handler = valued.find(arg);
    if (handler == valued.end()) {
        error = "unknown option " + arg;
        return ParseResult::Error;
    }
    if (!inlineValue) {
        if (i + 1 >= argc) {
            error = "option " + arg + " needs a value";
            return ParseResult::Error;
        }
        value = argv[++i];
    }
    if (!handler->second(value)) {
        error = "bad value '" + value + "' for " + arg;
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

// A pseudo-terminal needs its link; a network bridge has none and runs the adapter at its own rate.
ParseResult settlePort(const Options &options, std::string &error)
{
    if (!options.tcp && options.link.empty())
        error = "--link PATH or --tcp PORT is required";
    else if (options.tcp && !options.link.empty())
        error = "--link and --tcp exclude each other";
    else if (!options.tcp && options.faults.resetAfter != 0)
        error = "--reset-after needs --tcp";
    else if (options.tcp && options.baud != TcpBridge::kRate)
        error
            = "with --tcp the adapter runs at " + std::to_string(TcpBridge::kRate) + " bit/s; --baud cannot change it";
    return error.empty() ? ParseResult::Run : ParseResult::Error;
}

// The device kind follows from the options given when --device was not, and must suit them.
ParseResult settleDevice(Options &options, const Given &given, std::string &error)
{
    if (settlePort(options, error) != ParseResult::Run)
        return ParseResult::Error;
    if (!given.device && !options.script.empty())
        options.device = "script";
    else if (!given.device && given.kestrane)
        options.device = "kestrane";
    if (given.kestrane && options.device != "kestrane") {
        error = "the Kestrane options need --device kestrane";
        return ParseResult::Error;
    }
    if (options.blockPause >= 0 && options.fcBlockSize == 0) {
        error = "--block-pause needs --fc-bs N with N > 0";
        return ParseResult::Error;
    }
    if (options.device == "script" && options.script.empty()) {
        error = "--device script needs --script FILE";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace

ParseResult parseOptions(int argc, char **argv, Options &options, std::string &error)
{
    Given given;
    const Flags flagged = flags(options);
    Handlers valued;
    addAdapterOptions(valued, options, given);
    addStnOptions(valued, options);
    addLineFaultOptions(valued, options.faults);
    addKestraneOptions(valued, options, given);
    for (int i = 1; i < argc; ++i) {
        const ParseResult result = readOption(argc, argv, i, flagged, valued, error);
        if (result != ParseResult::Run)
            return result;
    }
    return settleDevice(options, given, error);
}

} // namespace ksim
