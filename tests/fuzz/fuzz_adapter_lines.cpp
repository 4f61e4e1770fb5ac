// Arbitrary adapter output, in arbitrary pieces, into the driver: echoes, prompts, "OK",
// "NO DATA", "CAN ERROR", hex and garbage in any order while a command, a long ISO-TP send or
// the monitor is under way.

#include "fuzzedlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    static FuzzTerminal terminal;
    FuzzInput input(data, size);
    FuzzedLink link(terminal, input.byte());
    while (!input.atEnd())
        link.arrive(input.chunk());
    // However the output ended, a prompt must let the driver go on without crashing.
    link.arrive(">");
    return 0;
}
