#pragma once

#include "devicefaults.h"
#include "faults.h"
#include "isotp.h"
#include "kestranestate.h"
#include "scheduler.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ksim {

enum class AdapterKind { Elm327, Els27 };

struct Options
{
    std::string link;
    // Served over TCP on 127.0.0.1 instead of a pseudo-terminal, as a Wi-Fi adapter is (0 picks a port).
    bool tcp = false;
    std::uint16_t tcpPort = 0;
    // A USB serial bridge's latency timer on the output to the program, 0 for none.
    Micros usbLatency = 0;
    // What AT RV answers.
    std::string voltage = "12.6V";
    std::uint32_t baud = 38400;
    AdapterKind adapter = AdapterKind::Elm327;
    // What an ELS27 answers to STI and STDI.
    std::string stnIdentity = "STN2255 v5.10.3";
    std::string stnDevice = "ELS27 r2.1";
    // Whether an ELS27's firmware has STPX, and the largest message it takes (2048 or 4096 bytes).
    bool stpx = true;
    std::size_t stnBuffer = 4096;
    std::string device = "none";
    std::string script;
    std::uint32_t rxId = 0x74E;
    std::uint32_t txId = 0x746;
    std::uint8_t fcBlockSize = 0;
    std::uint8_t fcSeparation = 0;
    // A strict receiver in the device: the flow control after a full block this much later, and
    // Consecutive Frames before it dropped; negative for off.
    Micros blockPause = -1;
    // Flow controls WAIT answering each First Frame before the CTS, and their interval.
    unsigned fcWaits = 0;
    Micros fcWaitInterval = 20000;
    // The device's ISO-TP time-outs N_Bs and N_Cr.
    Micros isoTpTimeout = 1000000;
    Faults faults;
    // Answers to the PC's First Frames that refuse the rest of the message, or their missing flow control
    // (Kestrane and scripted device).
    FlowControlFault flowControl;
    // The rate the adapter powers up at when an earlier run raised it and died; 0: its --baud.
    std::uint32_t raisedRate = 0;
    // The Kestrane device (--device kestrane): its state, identity and its own faults.
    KestraneSettings kestrane;
    DeviceFaults deviceFaults;
    std::string logPath;
    bool wireTiming = false;
    Micros latency = 0;
    // Extra delay before an adapter command (AT, ST) is answered: a slow clone or a bridge.
    Micros commandLatency = 0;
    // How this particular adapter answers ATI ("?" for one that does not know it), and whether
    // it echoes after power-up: adapters in the field differ in both.
    std::string identity = "ELM327 v1.5";
    bool echo = true;
    // How long a reset (ATZ, and any restart the adapter does by itself) and a warm start (ATWS) take.
    // Real adapters need about a second and a few tens of milliseconds; short by default so tests stay fast.
    // As long as a real ELM327 takes; the program must cope with adapters that are this slow.
    Micros resetTime = 1000000;
    Micros warmStartTime = 30000;
    // Output sent while the program has the port closed waits for the next opener instead of vanishing.
    bool keepClosedOutput = true;
};

enum class ParseResult { Run, Help, Error };

// Fills options from the command line; on Error, error holds the reason.
ParseResult parseOptions(int argc, char **argv, Options &options, std::string &error);

std::string usageText();

} // namespace ksim
