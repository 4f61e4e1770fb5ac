// Arbitrary replies, time-outs, timer expiries, CAN errors and a lost link, in any order, into
// the bootloader client while a single command or a whole flash runs. Besides not crashing,
// "Flashed" may only come right after a finalise reply, with at least one confirmed write per
// 1024-byte chunk of the image since the last erase began, and the one call ends once at most.

#include "fuzzsupport.h"

#include <hiddfu_worker.h>

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    FuzzInput input {data, data + size};
    hiddfu_worker worker;
    QByteArray image;
    QBuffer source(&image);
    QByteArray lastReply;
    int acksSinceErase = 0;
    QObject::connect(&worker, &hiddfu_worker::error, [&](int code, const QVariant &text) {
        if (code == hiddfu_worker::ERR_NOTIFY && text.toString() == QLatin1String("Erasing"))
            acksSinceErase = 0;
        if (code == hiddfu_worker::ERR_OK) {
            FUZZ_CHECK(source.isOpen());
            FUZZ_CHECK(lastReply.startsWith('\x77'));
            FUZZ_CHECK(acksSinceErase >= (image.size() + 1023) / 1024);
        }
    });

    int completions = 0;
    QObject::connect(&worker, &hiddfu_worker::completed, [&](const Completion &completion) {
        FUZZ_CHECK(++completions == 1 && completion.serial == 1);
        if (completion.command == hiddfu_worker::Flash && completion.ok())
            FUZZ_CHECK(lastReply.startsWith('\x77'));
    });

    const uint8_t start = input.byte();
    if (start % 2 == 0) {
        // Sizes around the 1024-byte chunk matter most: short heads, exact multiples, padding.
        const int high = input.byte(); // before the low bits: the operands of | are unordered
        const int length = (high << 4 | input.byte() >> 4) % 4200;
        image = QByteArray(length, '\x3c');
        source.open(QIODevice::ReadOnly);
        worker.flash(&source);
    } else {
        // Setup would open a real port.
        const auto cmd = hiddfu_worker::Commands(int(start >> 1) % 14 - 1);
        if (cmd != hiddfu_worker::Setup)
            worker.execute(cmd, QVariant(quint32(input.byte()) << 10));
    }

    while (!input.atEnd()) {
        const int event = input.byte() % 8;
        if (event < 4) {
            lastReply = input.chunk();
            // A write is confirmed by its reply, or by a status that finds the device idle and
            // without error once the reply did not come.
            const bool idle = lastReply.size() >= 17 && lastReply.startsWith("\xf1\x00\xb0")
                && (quint8(lastReply.at(3)) & 3) == 0 && lastReply.at(4) == 0;
            acksSinceErase += lastReply.startsWith('\x76') || idle;
            worker.io_read(lastReply);
        } else if (event == 5) {
            worker.io_dummy(); // the retry timer expired
        } else {
            linkTrouble(worker, event == 4 ? 0 : event - 5);
        }
    }
    return 0;
}
