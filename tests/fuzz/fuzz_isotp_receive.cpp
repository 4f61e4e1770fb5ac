// Arbitrary CAN frames into the ISO-TP state machine, with time passing between them: first
// frames of any length, stray, surplus or out-of-turn consecutive frames, flow control of every
// kind, deadlines passing in the middle of a message. With flag 0x40 the rest of the input is a
// payload sent by one state machine to another, which must receive it unchanged.

#include "fuzzsupport.h"

#include <isotptransport.h>

namespace {

struct Checked
{
    IsoTpTransport transport;
    qint64 now = 0;
    int frames = 0;
    QList<QByteArray> messages;
    QVector<CanFrame> sent;

    void take(const IsoTpTransport::Output &out)
    {
        for (const QByteArray &message : out.messages) {
            // ISO-TP carries at most 4095 bytes; more means the reassembly ran past its length.
            FUZZ_CHECK(message.size() <= IsoTpTransport::maxPayload);
            messages << message;
        }
        for (const CanFrame &frame : out.frames)
            FUZZ_CHECK(!frame.bytes.isEmpty() && frame.bytes.size() <= 8 && frame.replies >= 0 && frame.replies <= 15);
        sent += out.frames;
        // Every deadline that has passed has been dealt with.
        const qint64 due = transport.nextDeadline();
        FUZZ_CHECK(due < 0 || due > now);
    }
};

// Whatever one side sends, the other receives whole: the payload, flow control and sequence
// numbers included.
void roundTrip(const QByteArray &payload)
{
    Checked sender;
    Checked receiver;
    sender.take(sender.transport.send(payload, 1, 0));
    for (int i = 0; i < sender.sent.size(); ++i) {
        const int answered = receiver.sent.size();
        receiver.take(receiver.transport.receive(sender.sent.at(i).bytes, 0));
        for (int j = answered; j < receiver.sent.size(); ++j)
            sender.take(sender.transport.receive(receiver.sent.at(j).bytes, 0));
    }
    FUZZ_CHECK(receiver.messages == QList<QByteArray> {payload});
    FUZZ_CHECK(sender.transport.nextDeadline() < 0 && receiver.transport.nextDeadline() < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input {data, data + size};
    const uint8_t flags = input.byte();
    if (flags & 0x40) {
        const QByteArray payload = input.take(IsoTpTransport::maxPayload);
        if (!payload.isEmpty())
            roundTrip(payload);
        return 0;
    }
    Checked link;
    if (flags & 0x08) // a long message waits for its flow control
        link.take(link.transport.send(QByteArray(300, '\x5a'), 1, link.now));
    while (!input.atEnd()) {
        const uint8_t shape = input.byte();
        QByteArray frame;
        for (int n = shape % 9; n > 0; --n)
            frame.append(char(input.byte()));
        if (shape & 0x20) { // a quarter of a second to a second passes
            link.now += 250 * (1 + (shape >> 6));
            link.take(link.transport.expire(link.now));
        }
        if (!frame.isEmpty()) {
            ++link.frames;
            link.take(link.transport.receive(frame, link.now));
        }
    }
    // Every message needs at least one frame of its own.
    FUZZ_CHECK(link.messages.size() <= link.frames);
    return 0;
}
