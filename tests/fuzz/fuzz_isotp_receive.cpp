// Arbitrary CAN frames as the adapter writes them (hex text lines, a prompt now and then) into
// the ISO-TP reassembly: first frames of any length, stray or surplus consecutive frames, flow
// control frames of every kind.

#include "fuzzedlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    FuzzInput input {data, data + size};
    FuzzedLink link(input.byte());
    int frames = 0;
    while (!input.atEnd()) {
        const uint8_t shape = input.byte();
        QByteArray frame;
        for (int n = shape % 9; n > 0; --n)
            frame.append(char(input.byte()));
        frames += !frame.isEmpty();
        const QByteArray text = (shape & 0x10) ? frame.toHex().toUpper() : frame.toHex();
        link.arrive(text + '\r' + ((shape & 0x20) ? ">" : ""));
    }
    link.arrive(">");
    // Every payload needs at least one frame of its own.
    FUZZ_CHECK(link.payloads <= frames);
    return 0;
}
