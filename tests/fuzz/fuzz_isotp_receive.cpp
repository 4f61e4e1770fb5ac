// Arbitrary CAN frames into the ISO-TP state machine, with time passing between them: first
// frames of any length, stray, surplus or out-of-turn consecutive frames, flow control of every
// kind, deadlines passing in the middle of a message.

#include "fuzzsupport.h"

#include <isotptransport.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input {data, data + size};
    IsoTpTransport transport;
    qint64 now = 0;
    int frames = 0;
    int messages = 0;
    const auto check = [&](const IsoTpTransport::Output &out) {
        // ISO-TP carries at most 4095 bytes; more means the reassembly ran past its length.
        for (const QByteArray &message : out.messages)
            FUZZ_CHECK(message.size() <= IsoTpTransport::maxPayload);
        messages += out.messages.size();
        for (const CanFrame &frame : out.frames)
            FUZZ_CHECK(frame.bytes.size() <= 8 && frame.replies >= 0
                       && frame.replies <= IsoTpTransport::untilQuiet);
        // Every deadline that has passed has been dealt with.
        FUZZ_CHECK(transport.nextDeadline() < 0 || transport.nextDeadline() > now);
    };
    if (input.byte() & 0x08) // a long message waits for its flow control
        check(transport.send(QByteArray(300, '\x5a'), 1, now));
    while (!input.atEnd()) {
        const uint8_t shape = input.byte();
        QByteArray frame;
        for (int n = shape % 9; n > 0; --n)
            frame.append(char(input.byte()));
        if (shape & 0x20) { // a quarter of a second to a second passes
            now += 250 * (1 + (shape >> 6));
            check(transport.expire(now));
        }
        if (!frame.isEmpty()) {
            ++frames;
            check(transport.receive(frame, now));
        }
    }
    // Every message needs at least one frame of its own.
    FUZZ_CHECK(messages <= frames);
    return 0;
}
