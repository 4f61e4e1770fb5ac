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
    FuzzInput input(data, size);
    CanWorker worker;
    QByteArray image;
    QBuffer source(&image);
    QByteArray lastReply;
    QObject::connect(&worker, &CanWorker::finished, [&](CanWorker::Commands cmd, bool ok, const QVariant &) {
        if (cmd == CanWorker::Write && ok && source.isOpen()) {
            const QByteArray digest = QCryptographicHash::hash(image, QCryptographicHash::Md5);
            FUZZ_CHECK(lastReply.mid(1) == digest);
        }
    });

    const uint8_t start = input.byte();
    switch (start % 8) {
    case 0:
        image = input.chunk().repeated(1 + input.byte());
        source.open(QIODevice::ReadOnly);
        worker.flash(&source, QStringLiteral("fuzz.bin"));
        break;
    case 1:
        worker.execute(CanWorker::Read);
        break;
    case 2:
        worker.execute(CanWorker::Select, QString::fromLatin1(input.chunk()));
        break;
    case 3:
        worker.execute(CanWorker::Remove, QString::fromLatin1(input.chunk()));
        break;
    case 4:
        worker.execute(CanWorker::Erase);
        break;
    case 5:
        worker.execute(CanWorker::Md5);
        break;
    case 6:
        worker.execute(CanWorker::Config);
        break;
    default: {
        // Invalid and the rest; Setup would open a real port.
        const auto cmd = CanWorker::Commands(int(start >> 3) % 11 - 1);
        if (cmd != CanWorker::Setup)
            worker.execute(cmd);
        break;
    }
    }

    while (!input.atEnd()) {
        switch (input.byte() % 6) {
        case 0:
        case 1:
        case 2:
            lastReply = input.chunk();
            worker.io_read(lastReply);
            break;
        case 3:
            worker.io_error(ELM327IOBase::ERR_NODATA, QStringLiteral("trasport error no data"));
            break;
        case 4:
            worker.io_error(ELM327IOBase::ERR_CANERR, QStringLiteral("CAN error. Retries exhausted"));
            break;
        default:
            worker.io_disconnected();
            break;
        }
    }
    return 0;
}
