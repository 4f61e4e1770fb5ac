// Arbitrary replies, time-outs, CAN errors and a lost link, in any order, into the file-manager
// client while one of its commands or an upload is under way. Besides not crashing, an upload
// may only be reported good after a digest that matches what was uploaded.

#include "fuzzsupport.h"

#include <canworker.h>

#include <QBuffer>
#include <QCryptographicHash>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzApplication();
    FuzzInput input {data, data + size};
    CanWorker worker;
    QByteArray image;
    QBuffer source(&image);
    QByteArray lastReply;
    QObject::connect(&worker, &CanWorker::finished, [&](CanWorker::Commands cmd, bool ok, const QVariant &) {
        if (cmd == CanWorker::Write && ok && source.isOpen())
            FUZZ_CHECK(lastReply.mid(1) == QCryptographicHash::hash(image, QCryptographicHash::Md5));
    });

    const uint8_t start = input.byte();
    if (start % 8 == 0) {
        image = input.chunk().repeated(1 + input.byte());
        source.open(QIODevice::ReadOnly);
        worker.flash(&source, QStringLiteral("fuzz.bin"));
    } else {
        // Six commands picked on purpose, then any of them, Invalid too; Setup would open a real port.
        const CanWorker::Commands picked[] = {
            CanWorker::Read, CanWorker::Select, CanWorker::Remove, CanWorker::Erase, CanWorker::Md5, CanWorker::Config};
        const auto cmd = start % 8 < 7 ? picked[start % 8 - 1] : CanWorker::Commands(int(start >> 3) % 11 - 1);
        const bool named = start % 8 == 2 || start % 8 == 3; // a file name for Select and Remove
        if (cmd != CanWorker::Setup)
            worker.execute(cmd, named ? QVariant(QString::fromLatin1(input.chunk())) : QVariant());
    }

    while (!input.atEnd()) {
        const int event = input.byte() % 6;
        if (event < 3)
            worker.io_read(lastReply = input.chunk());
        else
            linkTrouble(worker, event - 3);
    }
    return 0;
}
