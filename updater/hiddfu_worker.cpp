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
constexpr int retryLimit = 10; // consecutive time-outs before the device counts as gone
// How long the device may work on a step of the flash once it has it: real parts erase 256 KiB
// in 2 to 10 s; an address or a chunk takes milliseconds.
constexpr int eraseBudgetMs = 30000;
constexpr int stepBudgetMs = 5000;
constexpr int pollIntervalMs = 500; // status requests while the device is busy with the step
constexpr int resendLimit = 3; // a step sent again after the device showed it had not carried it out
constexpr quint8 flagsBusy = 0x03; // status flags: working on a step, or an error latched

QByteArray execRequest(quint16 routine)
{
    QByteArray request(1, reqExec);
    request.append(char(routine >> 8)).append(char(routine & 0xFF));
    return request;
}

// How long the device may take over a step of the flash once it has it.
int stepBudget(hiddfu_worker::Commands step)
{
    return step == hiddfu_worker::Erase ? eraseBudgetMs : stepBudgetMs;
}

// How a step's request begins, as far as its replies name it: the erase routine, an address, a write.
QByteArray stepRequest(hiddfu_worker::Commands step)
{
    if (step == hiddfu_worker::Erase)
        return execRequest(routineErase);
    return QByteArray(1, step == hiddfu_worker::SetAddress ? reqSetAddress : reqWrite);
}

// 7F, the request, 78: the device has the request and asks for patience; its reply follows.
bool asksForPatience(const QByteArray &data)
{
    return data.size() >= 3 && quint8(data.at(0)) == repNegative && quint8(data.at(2)) == nrcBusy;
}

bool isRequestByte(quint8 byte)
{
    for (const char request : {reqExec, reqSetAddress, reqWrite, reqFinalize, reqSdfu, reqUdfu, reqApp})
        if (byte == quint8(request))
            return true;
    return false;
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
    , pollTimer(this)
    , stepTimer(this)
{
    registerTypes();
    timer.setSingleShot(true);
    pollTimer.setSingleShot(true);
    stepTimer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &hiddfu_worker::io_dummy);
    connect(&pollTimer, &QTimer::timeout, this, &hiddfu_worker::pollStatus);
    connect(&stepTimer, &QTimer::timeout, this, &hiddfu_worker::stepOverdue);
}

void hiddfu_worker::execute(hiddfu_worker::Commands cmd)
{
    execute(cmd, QVariant());
}

void hiddfu_worker::execute(hiddfu_worker::Commands cmd, QVariant param)
{
    switch (cmd) {
    case Setup: {
        current = Setup;
        // Nothing asked of the link before is answered on the new one.
        dropRequests();
        retries = 0;
        const bool ok = setupLink(param);
        linkDown = !ok;
        // The link's own words for a failure, so that the caller need not reach into its thread.
        emit finished(Setup, ok, ok ? QVariant() : QVariant(link().lastOpenError()));
        return;
    }
    case Status:
        enqueue(Status, execRequest(routineStatus), 1, 100);
        return;
    case Info:
        current = Info;
        enqueue(Info, execRequest(routineInfo), 1, 100);
        return;
    case Uuid:
        enqueue(Uuid, execRequest(routineUuid), 1, 100);
        return;
    case SetAddress: {
        QByteArray request(9, '\0');
        request[0] = reqSetAddress;
        qToBigEndian<quint32>(param.toUInt(), request.data() + 1);
        enqueue(SetAddress, request, 1, 200);
        return;
    }
    case Erase:
        enqueue(Erase, execRequest(routineErase) + eraseAll, 2, 1000);
        return;
    case ErasePage:
        enqueue(ErasePage, execRequest(routineErase) + char(param.toUInt() & 0xFF), 2, 100);
        return;
    case Write:
        enqueue(Write, reqWrite + param.toByteArray(), 2, 1000);
        return;
    case Finalize:
        enqueue(Finalize, QByteArray(1, reqFinalize), 1, 1000);
        return;
    case SDFU:
        enqueue(SDFU, QByteArray(1, reqSdfu), 1, 100);
        return;
    case UDFU:
        enqueue(UDFU, QByteArray(1, reqUdfu), 1, 100);
        return;
    case APP:
        enqueue(APP, QByteArray(1, reqApp), 1, 100);
        return;
    case Invalid:
    case WriteRecover:
        break;
    }
    fail(ERR_UNSUP, tr("Unknown command %1").arg(int(cmd)), TransferOutcome::Refused);
}

void hiddfu_worker::enqueue(Commands cmd, const QByteArray &bytes, int replies, int timeoutMs, bool poll)
{
    Request request;
    request.cmd = cmd;
    request.bytes = bytes;
    request.replies = replies;
    request.timeoutMs = timeoutMs;
    request.poll = poll;
    requests.append(request);
    advance();
}

void hiddfu_worker::advance()
{
    if (stopEnding && (requests.isEmpty() || !requests.first().sent)) {
        stopEnding = false;
        if (eraseSent)
            emit applicationErased();
        eraseSent = false;
        emit flashEnded(TransferOutcome::Stopped, 0);
    }
    if (requests.isEmpty() || requests.first().sent)
        return;
    Request &head = requests.first();
    head.sent = true;
    retries = 0;
    send(head.bytes, head.replies, head.timeoutMs);
}

void hiddfu_worker::dropRequests()
{
    requests.clear();
    timer.stop();
    pollTimer.stop();
    stepTimer.stop();
    settling = false;
    // A stop that waited for the link to be free has nothing left to wait for.
    advance();
}

// A positive reply carries the request's first byte plus 0x40, an EXEC reply also the routine;
// a refusal names the request's first byte. A refusal of a request this client never makes is
// taken as the answer to the request on the link.
bool hiddfu_worker::answers(const Request &request, const QByteArray &data)
{
    if (data.isEmpty() || request.bytes.isEmpty())
        return false;
    const quint8 own = quint8(request.bytes.at(0));
    const quint8 first = quint8(data.at(0));
    if (first == repNegative)
        return data.size() < 2 || quint8(data.at(1)) == own || !isRequestByte(quint8(data.at(1)));
    if (first != quint8(own + 0x40))
        return false;
    return own != quint8(reqExec) || data.size() < 3 || data.mid(1, 2) == request.bytes.mid(1, 2);
}

void hiddfu_worker::flash(QIODevice *source)
{
    if (!source || !source->isReadable()) {
        emit error(ERR_FLASH, tr("Cannot read from file: %1").arg(source ? source->errorString() : QString()));
        emit flashEnded(TransferOutcome::FileUnreadable, 0);
        return;
    }
    // A port that went away takes nothing: the flash would wait for replies that cannot come.
    if (linkDown) {
        emit error(ERR_COMM, tr("Transport unexpectedly closed"));
        emit flashEnded(TransferOutcome::LinkLost, 0);
        return;
    }
    file = source;
    stopAsked = false;
    startPos = quint32(source->pos());
    total = quint32(source->size() - source->pos());
    written = 0;
    resends = 0;
    pointerChecked = false;
    pointerReported = false;
    probing = false;
    settling = false;
    pollTimer.stop();
    stepTimer.stop();
    // The head goes last: until it is written the bootloader finds no valid image to start.
    if (total > chunkSize) {
        phase = 0;
        file->seek(startPos + chunkSize);
    } else {
        phase = 1;
        file->seek(startPos);
    }
    current = Erase;
    eraseSent = true;
    execute(Erase);
    emit error(ERR_NOTIFY, tr("Erasing"));
}

bool hiddfu_worker::flashing() const
{
    return file != nullptr || current == Erase || current == SetAddress || current == Write || current == Finalize;
}

// An erase, an address or a write of the running flash: a step the device may still be working
// on when its reply does not come, and which the device's status can account for.
bool hiddfu_worker::isStep(Commands cmd) const
{
    return file != nullptr && cmd == current && (cmd == Erase || cmd == SetAddress || cmd == Write);
}

void hiddfu_worker::fail(Errors code, const QString &text, TransferOutcome how, int deviceCode)
{
    const bool wasFlashing = flashing();
    if (wasFlashing)
        leaveFlash();
    emit error(code, text);
    if (wasFlashing) {
        if (eraseSent)
            emit applicationErased();
        eraseSent = false;
        emit flashEnded(how, deviceCode);
    }
}

void hiddfu_worker::leaveFlash()
{
    file = nullptr;
    current = Invalid;
    stopAsked = false;
    timer.stop();
    pollTimer.stop();
    stepTimer.stop();
    settling = false;
    probing = false;
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (requests.at(i).sent)
            requests[i].ended = true;
        else if (requests.at(i).poll || requests.at(i).cmd == SetAddress || requests.at(i).cmd == Write
            || requests.at(i).cmd == Finalize || requests.at(i).cmd == Erase)
            requests.removeAt(i);
    }
}

void hiddfu_worker::stopFlash()
{
    // Nothing to stop, or only the finalise is left: the device's answer to it ends the flash.
    if (!file || stopAsked)
        return;
    stopAsked = true;
    // An erase still waiting behind another request has not reached the device: the application
    // is untouched, and the flash ends at once.
    for (int i = 0; i < requests.size(); ++i) {
        if (requests.at(i).cmd == Erase && !requests.at(i).sent) {
            eraseSent = false;
            stopped();
            return;
        }
    }
}

void hiddfu_worker::stopped()
{
    leaveFlash();
    stopEnding = true;
    advance();
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
        addressStep(0);
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
    stepStart = nextAddress;
    stepChunk = chunk;
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

// The step `current` has been carried out: on to the next one.
void hiddfu_worker::stepDone()
{
    settling = false;
    pollTimer.stop();
    stepTimer.stop();
    // A status request still on the link for it has nothing left to decide.
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (!requests.at(i).poll)
            continue;
        if (requests.at(i).sent)
            requests[i].ended = true;
        else
            requests.removeAt(i);
    }
    resends = 0;
    if (stopAsked) {
        stopped();
        return;
    }
    switch (current) {
    case Erase:
        addressStep(phase == 0 ? quint32(chunkSize) : 0u);
        return;
    case SetAddress:
        nextAddress = stepStart;
        // Once a flash, with the body's address just set: whether the device's status shows where
        // its next write lands. An address of 0 would prove nothing.
        if (phase == 0 && !pointerChecked) {
            pointerChecked = true;
            probing = true;
            stepTimer.start(stepBudgetMs);
            pollStatus();
            return;
        }
        startWriting();
        return;
    case Write:
        written += chunkSize;
        nextAddress += quint32(stepChunk.size());
        nextChunk();
        return;
    default:
        return;
    }
}

void hiddfu_worker::addressStep(quint32 address)
{
    current = SetAddress;
    stepStart = address;
    execute(SetAddress, address);
}

void hiddfu_worker::startWriting()
{
    emit error(ERR_NOTIFY, phase == 0 ? tr("Flashing") : tr("Finalizing"));
    current = Write;
    nextChunk();
}

// The bootloader's status carries a word of its own. A device whose word is the address it has
// just been given reports there where its next write lands, and that tells a step it carried out
// from one it never had (a request it dropped though it asked for patience, or that never reached
// it). Any other device is taken at its word that an idle status means the step is done.
void hiddfu_worker::probed(const DFUStatus &st)
{
    probing = false;
    pollTimer.stop();
    stepTimer.stop();
    pointerReported = st.error == 0 && st.extra == nextAddress;
    if (stopAsked) {
        stopped();
        return;
    }
    startWriting();
}

// The step's reply did not come: it may have been lost, or the adapter stopped listening while
// the device was still at work. Sending the step again could erase or write twice, so the
// device's status decides instead.
void hiddfu_worker::settle()
{
    settling = true;
    if (!stepTimer.isActive())
        stepTimer.start(stepBudget(current));
    pollStatus();
}

void hiddfu_worker::pollStatus()
{
    if (settling || probing)
        enqueue(Status, execRequest(routineStatus), 1, 100, true);
}

// Busy: asked again. An error: the step failed. Idle and without error, the device has carried
// the step out, unless it reports its write address (see probed()) and that address says the step
// left no trace.
void hiddfu_worker::settled(const DFUStatus &st)
{
    if (st.error != 0) {
        const Commands step = current;
        const auto request = quint8(stepRequest(step).at(0));
        emit finished(step, false, int(st.error));
        fail(ERR_COMM,
            tr("Device error %1 at command %2").arg(int(st.error)).arg(uint(request), 2, 16, QLatin1Char('0')),
            TransferOutcome::Refused, st.error);
        return;
    }
    if (st.flags & flagsBusy) {
        pollTimer.start(pollIntervalMs);
        return;
    }
    if (current == SetAddress && st.extra != stepStart && (pointerReported || resends == 0)) {
        // An address that did not take is set again: the device is idle, and setting it twice
        // changes nothing. A device whose status word is no address gets it once more, and is
        // then taken at its word.
        resendStep();
        return;
    }
    if (!pointerReported || current != Write) {
        stepDone();
        return;
    }
    const quint32 after = stepStart + quint32(stepChunk.size());
    if (st.extra == after)
        stepDone();
    else if (st.extra == stepStart)
        resendStep(); // idle, and the write left no trace: the device never had it
    else
        fail(ERR_COMM,
            tr("The device's next write address is %1, not %2 as the flash left it").arg(st.extra).arg(after),
            TransferOutcome::NotResponding);
}

void hiddfu_worker::resendStep()
{
    // The device is idle and never had the step: as clean a point as after its reply.
    if (stopAsked) {
        stopped();
        return;
    }
    if (++resends > resendLimit) {
        fail(ERR_COMM, tr("The device did not recover from lost replies"), TransferOutcome::NotResponding);
        return;
    }
    emit error(ERR_LOG, tr("The device did not carry out a step of the flash; sending it again"));
    settling = false;
    pollTimer.stop();
    stepTimer.stop();
    if (current == SetAddress)
        execute(SetAddress, stepStart);
    else
        execute(Write, stepChunk);
}

void hiddfu_worker::stepOverdue()
{
    if (!flashing())
        return;
    const int seconds = stepBudget(current) / 1000;
    fail(ERR_COMM, tr("The device did not finish a step of the flash within %1 s").arg(seconds),
        TransferOutcome::NotResponding);
}

// The adapter has answered everything queued. A request still on the link has had its whole
// exchange without its reply.
void hiddfu_worker::io_ready()
{
    emit ready();
    if (requests.isEmpty() || !requests.first().sent || timer.isActive())
        return;
    Request &head = requests.first();
    if (head.ended) {
        requests.removeFirst();
        advance();
        return;
    }
    if (!head.pending) {
        noReply();
        return;
    }
    // The device asked for patience and the adapter stopped listening before the reply: listen
    // for it again. A step of the flash is bounded by its own time; anything else by the retries.
    if (!isStep(head.cmd) && ++retries >= retryLimit) {
        const Commands cmd = head.cmd;
        requests.removeFirst();
        giveUp(cmd);
        advance();
        return;
    }
    io_dummy();
}

void hiddfu_worker::io_notice(const QString &text)
{
    emit error(ERR_LOG, text);
}

void hiddfu_worker::io_disconnected()
{
    linkDown = true;
    // First, so that whoever hears of the failure that follows knows the link is gone with it.
    emit linkLost();
    fail(ERR_COMM, tr("Transport unexpectedly closed"), TransferOutcome::LinkLost);
    dropRequests();
}

// The request on the link had no reply: listened for again a few times, except a step of the
// flash, which the device's status settles.
void hiddfu_worker::noReply()
{
    if (requests.isEmpty() || !requests.first().sent)
        return;
    Request &head = requests.first();
    if (head.ended || head.poll) {
        const bool poll = head.poll && !head.ended;
        requests.removeFirst();
        // Asked again: a write must not go out before the flash knows how to account for it.
        if (poll && (settling || probing))
            pollTimer.start(pollIntervalMs);
        advance();
        return;
    }
    if (isStep(head.cmd)) {
        requests.removeFirst();
        settle();
        return;
    }
    ++retries;
    if (retries < retryLimit) {
        timer.start(retryDelayMs);
        return;
    }
    timer.stop();
    const Commands cmd = head.cmd;
    requests.removeFirst();
    giveUp(cmd);
    advance();
}

void hiddfu_worker::giveUp(Commands cmd)
{
    if (cmd == Finalize && current == Finalize) {
        fail(ERR_COMM, tr("The device did not confirm the end of the flash"), TransferOutcome::NotResponding);
        return;
    }
    if (flashing()) {
        fail(ERR_NOTIFY, tr("Device is not reponsing!"), TransferOutcome::NotResponding);
        return;
    }
    emit error(cmd == ErasePage ? ERR_NOTIFY : ERR_LOG, tr("Device is not reponsing!"));
    emit notResponding(cmd);
}

// The request on the link failed there: whoever waits for it is told now, once; its exchange is
// left to end on the link.
void hiddfu_worker::headFailed(const QString &text, TransferOutcome how)
{
    if (requests.isEmpty() || !requests.first().sent || requests.first().ended)
        return;
    requests.first().ended = true;
    timer.stop();
    if (flashing())
        fail(ERR_COMM, text, how);
    else
        emit error(ERR_COMM, text);
}

void hiddfu_worker::io_error(ELM327IOBase::ELM_ERROR code, QString reason)
{
    if (code == ELM327IOBase::ERR_NODATA || code == ELM327IOBase::ERR_STOPPED) {
        noReply();
        return;
    }
    if (code == ELM327IOBase::ERR_PROTOCOL)
        headFailed(tr("Invalid response"), TransferOutcome::Refused);
    emit error(ERR_LOG, tr("Transport error: %1").arg(reason));
    // The driver gave up resending and emptied its queues, or the adapter failed the exchange
    // (restarted, could not reach the bus): the request is lost for good.
    if (code == ELM327IOBase::ERR_CANERR || code == ELM327IOBase::ERR_OTHER)
        headFailed(reason, TransferOutcome::NotResponding);
}

void hiddfu_worker::io_dummy()
{
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
    if (requests.isEmpty() || !requests.first().sent || !answers(requests.first(), data)) {
        strayReply(data);
        return;
    }
    if (asksForPatience(data)) {
        // The device has the request and works on it; its reply comes later. Asking again
        // changes nothing.
        Request &head = requests.first();
        head.pending = true;
        if (!head.ended && isStep(head.cmd) && !stepTimer.isActive())
            stepTimer.start(stepBudget(head.cmd));
        return;
    }
    const Request request = requests.takeFirst();
    timer.stop();
    retries = 0;
    if (!request.ended)
        handleReply(request, data);
    advance();
}

// A reply that answers no request on the link: a step's own reply after the flash stopped
// waiting for it there, or the answer to something else, which leaves the request on the link
// without its own.
void hiddfu_worker::strayReply(const QByteArray &data)
{
    if (asksForPatience(data))
        return;
    if (settling) {
        Request step;
        step.cmd = current;
        step.bytes = stepRequest(current);
        if (answers(step, data)) {
            handleReply(step, data);
            return;
        }
    }
    headFailed(tr("Invalid response"), TransferOutcome::Refused);
}

void hiddfu_worker::handleReply(const Request &request, const QByteArray &data)
{
    switch (quint8(data.at(0))) {
    case repWrite:
        if (isStep(Write))
            stepDone();
        emit finished(Write, true, QVariant());
        return;
    case repFinalize:
        emit finished(Finalize, true, QVariant());
        if (current == Finalize) {
            current = Invalid;
            eraseSent = false;
            emit error(ERR_OK, tr("Flashed"));
            emit flashEnded(TransferOutcome::Succeeded, 0);
        }
        return;
    case repUdfu:
    case repApp:
    case repSdfu: {
        const quint8 code = quint8(data.at(0));
        emit finished(code == repUdfu ? UDFU : code == repApp ? APP : SDFU, true, QVariant());
        return;
    }
    case repSetAddress:
        if (data.size() < 3) {
            fail(ERR_COMM, tr("Invalid 'SET_ADDR' reply"), TransferOutcome::Refused);
            return;
        }
        if (isStep(SetAddress))
            stepDone();
        emit finished(SetAddress, true, QVariant());
        return;
    case repNegative:
        negativeReply(request, data);
        return;
    case repExec:
        execReply(request, data);
        return;
    default:
        return;
    }
}

void hiddfu_worker::negativeReply(const Request &request, const QByteArray &data)
{
    if (data.size() < 3) {
        fail(ERR_COMM, tr("Invalid ERROR reply"), TransferOutcome::Refused);
        return;
    }
    const quint8 code = quint8(data.at(2));
    if (code == nrcNoUuid) {
        emit error(ERR_LOG, QStringLiteral("Device does not report UUID"));
        return;
    }
    // The refusal is the answer to the request on the link, whichever it was.
    emit finished(request.cmd, false, int(code));
    fail(ERR_COMM,
        tr("Device error %1 at command %2").arg(int(code)).arg(uint(quint8(data.at(1))), 2, 16, QLatin1Char('0')),
        TransferOutcome::Refused, code);
}

void hiddfu_worker::execReply(const Request &request, const QByteArray &data)
{
    if (data.size() < 3) {
        fail(ERR_COMM, tr("Invalid 'EXEC' reply"), TransferOutcome::Refused);
        return;
    }
    const quint16 routine = qFromBigEndian<quint16>(data.constData() + 1);
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
        statusReply(request, data);
        return;
    case routineErase:
        if (isStep(Erase))
            stepDone();
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

void hiddfu_worker::statusReply(const Request &request, const QByteArray &data)
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
    if (request.poll && probing)
        probed(st);
    else if (request.poll && settling)
        settled(st);
}
