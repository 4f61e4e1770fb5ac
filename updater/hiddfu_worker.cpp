#include "hiddfu_worker.h"

#include <QIODevice>
#include <QtEndian>

namespace {

// Bootloader requests. EXEC (0xB1) runs a routine named by a 16-bit number, high byte first.
constexpr char reqExec = char(0xB1);
constexpr char reqSetAddress = 0x34;
constexpr char reqWrite = 0x36;
constexpr char reqFinalize = 0x37;
constexpr char reqSdfu = 0x12; // leave for the STM DFU loader
constexpr char reqUdfu = 0x10; // restart the bootloader
constexpr char reqApp = 0x11; // start the application

constexpr quint16 routineStatus = 0x00B0;
constexpr quint16 routineInfo = 0x00B1;
constexpr quint16 routineErase = 0x00B2;
constexpr quint16 routineUuid = 0x00B3;
constexpr char eraseAll = char(0xFF); // the erase routine's page number for the whole application

constexpr quint8 repExec = 0xF1;
constexpr quint8 repSetAddress = 0x74;
constexpr quint8 repWrite = 0x76;
constexpr quint8 repFinalize = 0x77;
constexpr quint8 repUdfu = 0x50;
constexpr quint8 repApp = 0x51;
constexpr quint8 repSdfu = 0x52;
constexpr quint8 repNegative = 0x7F;

constexpr quint8 nrcBusy = 0x78; // the device works on it and asks to be asked again later
constexpr quint8 nrcNoUuid = 0x12; // this bootloader has no unique ID routine

constexpr int chunkSize = 1024;
constexpr int chunkAlign = 8; // the flash is written in double words
constexpr int statusReplySize = 17;
constexpr int uuidReplySize = 15;
constexpr int uuidBytes = 12;
constexpr int retryDelayMs = 100;
constexpr int busyDelayMs = 1100;
constexpr int retryLimit = 10; // consecutive time-outs before the device counts as gone
constexpr int restartLimit = 3; // fresh starts of a flash after unacknowledged replies

QByteArray execRequest(quint16 routine)
{
    QByteArray request(1, reqExec);
    request.append(char(routine >> 8)).append(char(routine & 0xFF));
    return request;
}

void registerTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<DFUStatus>("DFUStatus");
        qRegisterMetaType<hiddfu_worker::Commands>("hiddfu_worker::Commands");
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

hiddfu_worker::hiddfu_worker(QObject *parent)
    : ELM327Worker(parent)
    , timer(this)
{
    registerTypes();
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &hiddfu_worker::io_dummy);
}

void hiddfu_worker::execute(hiddfu_worker::Commands cmd)
{
    execute(cmd, QVariant());
}

void hiddfu_worker::execute(hiddfu_worker::Commands cmd, QVariant param)
{
    if (cmd != Setup)
        lastRequest = cmd;
    switch (cmd) {
    case Setup:
        current = Setup;
        emit finished(Setup, setupLink(param), QVariant());
        return;
    case Status:
        send(execRequest(routineStatus), 1, 100);
        return;
    case Info:
        current = Info;
        send(execRequest(routineInfo), 1, 100);
        return;
    case Uuid:
        send(execRequest(routineUuid), 1, 100);
        return;
    case SetAddress: {
        QByteArray request(9, '\0');
        request[0] = reqSetAddress;
        qToBigEndian<quint32>(param.toUInt(), request.data() + 1);
        send(request, 1, 200);
        return;
    }
    case Erase:
        send(execRequest(routineErase) + eraseAll, 2, 1000);
        return;
    case ErasePage:
        send(execRequest(routineErase) + char(param.toUInt() & 0xFF), 2, 100);
        return;
    case Write:
        send(reqWrite + param.toByteArray(), 2, 1000);
        return;
    case Finalize:
        send(QByteArray(1, reqFinalize), 1, 1000);
        return;
    case SDFU:
        send(QByteArray(1, reqSdfu), 1, 100);
        return;
    case UDFU:
        send(QByteArray(1, reqUdfu), 1, 100);
        return;
    case APP:
        send(QByteArray(1, reqApp), 1, 100);
        return;
    case Invalid:
    case WriteRecover:
        break;
    }
    fail(ERR_UNSUP, tr("Unknown command %1").arg(int(cmd)), TransferOutcome::Refused);
}

void hiddfu_worker::flash(QIODevice *source)
{
    if (!source || !source->isReadable()) {
        emit error(ERR_FLASH, tr("Cannot read from file: %1").arg(source ? source->errorString() : QString()));
        emit flashEnded(TransferOutcome::FileUnreadable, 0);
        return;
    }
    file = source;
    startPos = quint32(source->pos());
    total = quint32(source->size() - source->pos());
    restarts = 0;
    startSequence();
}

void hiddfu_worker::startSequence()
{
    written = 0;
    // A wait left over from earlier commands must not steer the new sequence.
    timer.stop();
    retries = 0;
    // The head goes last: until it is written the bootloader finds no valid image to start.
    if (total > chunkSize) {
        phase = 0;
        file->seek(startPos + chunkSize);
    } else {
        phase = 1;
        file->seek(startPos);
    }
    current = Erase;
    execute(Erase);
    emit error(ERR_NOTIFY, tr("Erasing"));
}

// A request of the flash without its reply (an erase, an address, a write) may or may not have
// been carried out: the request itself may have been lost, or the adapter stopped listening
// before the reply came, or the device asked for patience and dropped it. Nothing the bootloader
// reports tells which, so the only image that can be vouched for is one written again from the
// erase on, every step acknowledged.
void hiddfu_worker::restartSequence()
{
    if (++restarts > restartLimit) {
        fail(ERR_COMM, tr("The device did not recover from lost replies"), TransferOutcome::NotResponding);
        return;
    }
    emit error(ERR_LOG, tr("A step of the flash was not acknowledged; flashing again from the erase"));
    startSequence();
}

bool hiddfu_worker::flashing() const
{
    return file != nullptr || current == Erase || current == SetAddress || current == Write || current == Finalize;
}

void hiddfu_worker::fail(Errors code, const QString &text, TransferOutcome how, int deviceCode)
{
    const bool wasFlashing = flashing();
    if (wasFlashing) {
        file = nullptr;
        current = Invalid;
        timer.stop();
    }
    emit error(code, text);
    if (wasFlashing)
        emit flashEnded(how, deviceCode);
}

void hiddfu_worker::nextChunk()
{
    // An empty image is complete before it starts.
    const int percent = total == 0 ? 100 : qMin(100, qRound(written * 100.0 / total));
    emit progress(percent);
    if (file->atEnd()) {
        if (phase == 1) {
            endFlash();
            return;
        }
        phase = 1;
        file->seek(startPos);
        current = SetAddress;
        execute(SetAddress, 0u);
        return;
    }
    if (phase == 1 && file->pos() != startPos) {
        endFlash();
        return;
    }
    QByteArray chunk = file->read(chunkSize);
    if (chunk.size() < chunkSize && !file->atEnd()) {
        fail(ERR_FLASH, tr("Cannot read from file: %1").arg(file->errorString()), TransferOutcome::FileUnreadable);
        return;
    }
    if (chunk.size() % chunkAlign != 0)
        chunk.append(chunkAlign - chunk.size() % chunkAlign, char(0xFF));
    execute(Write, chunk);
}

// The source goes back to the window now; success is reported once the device has confirmed
// the finalise, since only then does it hold a startable image.
void hiddfu_worker::endFlash()
{
    file = nullptr;
    current = Finalize;
    execute(Finalize);
}

// The window waits for the adapter to be ready before its first command.
void hiddfu_worker::io_ready()
{
    emit ready();
}

void hiddfu_worker::io_notice(const QString &text)
{
    emit error(ERR_LOG, text);
}

void hiddfu_worker::io_disconnected()
{
    // First, so that whoever hears of the failure that follows knows the link is gone with it.
    emit linkLost();
    fail(ERR_COMM, tr("Transport unexpectedly closed"), TransferOutcome::LinkLost);
}

void hiddfu_worker::io_error(ELM327IOBase::ELM_ERROR code, QString reason)
{
    if (code == ELM327IOBase::ERR_NODATA || code == ELM327IOBase::ERR_STOPPED) {
        ++retries;
        if (retries < retryLimit) {
            timer.start(retryDelayMs);
            return;
        }
        timer.stop();
        if (current == Finalize) {
            fail(ERR_COMM, tr("The device did not confirm the end of the flash"), TransferOutcome::NotResponding);
            return;
        }
        if (flashing()) {
            fail(ERR_NOTIFY, tr("Device is not reponsing!"), TransferOutcome::NotResponding);
            return;
        }
        emit error(current == ErasePage ? ERR_NOTIFY : ERR_LOG, tr("Device is not reponsing!"));
        emit notResponding(lastRequest);
        return;
    }
    if (code == ELM327IOBase::ERR_PROTOCOL)
        fail(ERR_COMM, tr("Invalid response"), TransferOutcome::Refused);
    emit error(ERR_LOG, tr("Transport error: %1").arg(reason));
    // The driver gave up resending and emptied its queues, or the adapter failed the exchange
    // (restarted, could not reach the bus): the request is lost for good, and waiting for its
    // reply would wait for ever.
    if (code == ELM327IOBase::ERR_CANERR || code == ELM327IOBase::ERR_OTHER)
        fail(ERR_COMM, reason, TransferOutcome::NotResponding);
}

void hiddfu_worker::io_dummy()
{
    // An erase, address or write left without its reply: the flash cannot know what landed.
    if (file && (current == Erase || current == SetAddress || current == Write)) {
        restartSequence();
        return;
    }
    // Listen once more for a reply still under way: longest time-out, responses on, and a
    // flow control frame (continue, block size 1) that releases a multi-frame reply.
    writeRaw("at st ff");
    writeRaw("at r1");
    writeRaw("300100");
}

void hiddfu_worker::io_read(QByteArray data)
{
    if (data.isEmpty())
        return;
    switch (quint8(data.at(0))) {
    case repWrite:
        timer.stop();
        retries = 0;
        if (file && current == Write) {
            written += chunkSize;
            nextChunk();
        }
        emit finished(Write, true, QVariant());
        return;
    case repFinalize:
        timer.stop();
        retries = 0;
        emit finished(Finalize, true, QVariant());
        if (current == Finalize) {
            current = Invalid;
            emit error(ERR_OK, tr("Flashed"));
            emit flashEnded(TransferOutcome::Succeeded, 0);
        }
        return;
    case repUdfu:
    case repApp:
    case repSdfu: {
        const quint8 code = quint8(data.at(0));
        emit finished(code == repUdfu ? UDFU : code == repApp ? APP : SDFU, true, QVariant());
        timer.stop();
        retries = 0;
        return;
    }
    case repSetAddress:
        if (data.size() < 3) {
            fail(ERR_COMM, tr("Invalid 'SET_ADDR' reply"), TransferOutcome::Refused);
            return;
        }
        timer.stop();
        retries = 0;
        if (file && current == SetAddress) {
            emit error(ERR_NOTIFY, phase == 0 ? tr("Flashing") : tr("Finalizing"));
            current = Write;
            nextChunk();
        }
        emit finished(SetAddress, true, QVariant());
        return;
    case repNegative:
        negativeReply(data);
        return;
    case repExec:
        execReply(data);
        return;
    default:
        return;
    }
}

void hiddfu_worker::negativeReply(const QByteArray &data)
{
    if (data.size() < 3) {
        fail(ERR_COMM, tr("Invalid ERROR reply"), TransferOutcome::Refused);
        return;
    }
    const quint8 request = quint8(data.at(1));
    const quint8 code = quint8(data.at(2));
    if (code == nrcBusy) {
        // Asked again once the patience runs out; a repeated request for patience changes nothing.
        if (!timer.isActive()) {
            retries = 1;
            timer.start(busyDelayMs);
        }
        return;
    }
    if (code == nrcNoUuid) {
        emit error(ERR_LOG, QStringLiteral("Device does not report UUID"));
        return;
    }
    Commands cmd = current;
    if (request == quint8(reqWrite))
        cmd = Write;
    else if (request == quint8(reqFinalize))
        cmd = Finalize;
    else if (request == quint8(reqSetAddress))
        cmd = SetAddress;
    emit finished(cmd, false, int(code));
    fail(ERR_COMM, tr("Device error %1 at command %2").arg(int(code)).arg(uint(request), 2, 16, QLatin1Char('0')),
        TransferOutcome::Refused, code);
}

void hiddfu_worker::execReply(const QByteArray &data)
{
    if (data.size() < 3) {
        fail(ERR_COMM, tr("Invalid 'EXEC' reply"), TransferOutcome::Refused);
        return;
    }
    const quint16 routine = qFromBigEndian<quint16>(data.constData() + 1);
    timer.stop();
    retries = 0;
    switch (routine) {
    case routineInfo: {
        const QByteArray raw = data.mid(3);
        const int nul = raw.indexOf('\0');
        const QString text = QString::fromLatin1(nul < 0 ? raw : raw.left(nul));
        emit finished(Info, true, QVariant());
        emit error(ERR_LOG, tr("DFU device discovered"));
        emit error(ERR_LOG, text);
        emit described(text);
        return;
    }
    case routineStatus:
        statusReply(data);
        return;
    case routineErase:
        if (current == Erase) {
            current = SetAddress;
            execute(SetAddress, phase == 0 ? quint32(chunkSize) : 0u);
        }
        emit finished(Erase, true, QVariant());
        return;
    case routineUuid:
        if (data.size() < uuidReplySize) {
            emit error(ERR_LOG, QStringLiteral("Device does not report UUID"));
        } else {
            uuid = QString::fromLatin1(data.mid(3, uuidBytes).toHex().toUpper());
            emit error(ERR_LOG, QStringLiteral("UUID: %1").arg(uuid));
        }
        emit finished(Uuid, true, uuid);
        return;
    default:
        return;
    }
}

void hiddfu_worker::statusReply(const QByteArray &data)
{
    if (data.size() < statusReplySize) {
        fail(ERR_COMM, tr("Invalid 'STATUS' reply"), TransferOutcome::Refused);
        return;
    }
    const char *fields = data.constData() + 3;
    DFUStatus st;
    st.flags = quint8(fields[0]);
    st.error = quint8(fields[1]);
    st.extra = qFromLittleEndian<quint32>(fields + 2);
    st.flashSize = qFromLittleEndian<quint32>(fields + 6);
    st.boardId = qFromLittleEndian<quint32>(fields + 10);
    emit finished(Status, true, QVariant::fromValue(st));
    emit status(st);
}
