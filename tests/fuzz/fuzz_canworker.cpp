// Arbitrary replies, time-outs, CAN errors, a lost link and the link's word that a request went
// out, in any order, into the file-manager client while one of its commands or an upload is under
// way. Besides not crashing, an upload may only be reported good after a digest that matches what
// was uploaded.

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
    // The one request given ends once at most, and an upload only on its own digest.
    int completions = 0;
    QObject::connect(&worker, &CanWorker::completed, [&](const Completion &completion) {
        FUZZ_CHECK(++completions == 1);
        if (completion.command == CanWorker::Write && completion.ok())
            FUZZ_CHECK(lastReply.mid(1) == QCryptographicHash::hash(image, QCryptographicHash::Md5));
    });

    // Every request the worker may send; the link's word that one went out counts only for the
    // pending one.
    QList<QByteArray> requests;
    for (const char code : {0x10, 0x11, 0x23, 0x30, 0x31, 0x32, 0x33})
        requests << QByteArray(1, code);
    requests << char(0x20) + QByteArray("fuzz.bin");

    const uint8_t start = input.byte();
    if (start % 8 == 0) {
        image = input.chunk().repeated(1 + input.byte());
        source.open(QIODevice::ReadOnly);
        for (int at = 0; at < image.size(); at += 1024)
            requests << '\x21' + image.mid(at, 1024);
        worker.flash(&source, QStringLiteral("fuzz.bin"));
    } else {
        // Six commands picked on purpose, then any of them, Invalid too; Setup would open a real port.
        const CanWorker::Commands picked[] = {
            CanWorker::Read, CanWorker::Select, CanWorker::Remove, CanWorker::Erase, CanWorker::Md5, CanWorker::Config};
        const auto cmd = start % 8 < 7 ? picked[start % 8 - 1] : CanWorker::Commands(int(start >> 3) % 11 - 1);
        const bool named = start % 8 == 2 || start % 8 == 3; // a file name for Select and Remove
        const QString name = named ? QString::fromLatin1(input.chunk()) : QString();
        requests << '\x20' + name.toLatin1() << '\x22' + name.toUtf8();
        if (cmd != CanWorker::Setup)
            worker.execute(cmd, named ? QVariant(name) : QVariant());
    }

    ELM327IOBase *link = worker.findChild<ELM327IOBase *>();
    while (!input.atEnd()) {
        const int event = input.byte() % 7;
        if (event < 3) {
            worker.io_read(lastReply = input.chunk());
        } else if (event < 6) {
            linkTrouble(worker, event - 3);
        } else {
            for (const QByteArray &request : qAsConst(requests))
                emit link->lineSent(ELM_Message(request, 1, 200).nextFrame() + "1\r");
        }
    }
    return 0;
}
