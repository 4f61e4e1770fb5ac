// Arbitrary adapter output (echoes, prompts, "OK", "NO DATA", hex, garbage) in arbitrary pieces
// into the driver, while a command, a long ISO-TP send or the monitor is under way.

#include "fuzzedlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    FuzzInput input {data, data + size};
    FuzzedLink link(input.byte());
    while (!input.atEnd())
        link.arrive(input.chunk());
    // However the output ended, a prompt must let the driver go on without crashing.
    link.arrive(">");
    return 0;
}
