#include "hiddfu_worker.h"

#include "hiddfu_protocol.h"

#include <QIODevice>
#include <QtEndian>

using namespace BootloaderProtocol;

namespace {

void registerTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<DFUStatus>("DFUStatus");
        qRegisterMetaType<FlashStage>("FlashStage");
        qRegisterMetaType<FlashRecord>("FlashRecord");
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
        if (ok)
            io_voltage(link().lastVoltage()); // the set-up's own reading
        // The link's own words for a failure, and the set-up's reading of the vehicle's voltage, so
        // that the caller need not reach into its thread.
        emit finished(Setup, ok, ok ? QVariant(link().lastVoltage()) : QVariant(link().lastOpenError()));
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
    if (head.cmd == current && (current == Erase || current == Finalize)) {
        (current == Erase ? record.eraseSent : record.finaliseSent) = true;
        emit flashRecorded(record);
    }
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
        const bool strayed = head.strayed;
        requests.removeFirst();
        giveUp(cmd, strayed);
        advance();
        return;
    }
    io_dummy();
}

void hiddfu_worker::io_notice(const QString &text)
{
    emit error(ERR_LOG, text);
}

void hiddfu_worker::io_voltage(double volts)
{
    emit error(ERR_LOG, voltageLine(volts));
}

void hiddfu_worker::io_disconnected()
{
    linkDown = true;
    if (!link().lossReason().isEmpty())
        emit error(ERR_LOG, link().lossReason());
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
    // Whether this try was answered, but by a reply to something else.
    const bool strayed = head.strayed;
    head.strayed = false;
    ++retries;
    if (retries < retryLimit) {
        // The reply to something else took the request's place on the link, and its own was lost
        // behind it: a question that changes nothing is asked again.
        if (strayed && (head.cmd == Status || head.cmd == Info || head.cmd == Uuid)) {
            const int tries = retries;
            head.sent = false;
            head.pending = false;
            advance();
            retries = tries; // one count for every try, listened or asked again
            return;
        }
        timer.start(retryDelayMs);
        return;
    }
    timer.stop();
    const Commands cmd = head.cmd;
    requests.removeFirst();
    giveUp(cmd, strayed);
    advance();
}

void hiddfu_worker::giveUp(Commands cmd, bool strayed)
{
    // The last try was answered, but by a reply to something else: the device answers wrongly.
    if (strayed && adapterSilence.isEmpty() && !(cmd == Finalize && current == Finalize)) {
        if (flashing())
            fail(ERR_COMM, tr("Invalid response"), TransferOutcome::Refused);
        else
            emit error(ERR_COMM, tr("Invalid response"));
        return;
    }
    if (!adapterSilence.isEmpty()) {
        // Not the device: the adapter itself stopped answering.
        if (flashing()) {
            fail(ERR_COMM, adapterSilence, TransferOutcome::NotResponding);
            return;
        }
        emit error(ERR_NOTIFY, adapterSilence);
        emit notResponding(cmd);
        return;
    }
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
    // The adapter's own silence is retried as the device's is; if it lasts, the end names it.
    adapterSilence = code == ELM327IOBase::ERR_SILENT ? exchangeFailure(code, reason) : QString();
    if (code == ELM327IOBase::ERR_NODATA || code == ELM327IOBase::ERR_STOPPED || code == ELM327IOBase::ERR_SILENT) {
        if (code == ELM327IOBase::ERR_SILENT)
            emit error(ERR_LOG, adapterSilence);
        noReply();
        return;
    }
    if (code == ELM327IOBase::ERR_PROTOCOL)
        headFailed(tr("Invalid response"), TransferOutcome::Refused);
    if (code == ELM327IOBase::ERR_REFUSED)
        headFailed(reason, TransferOutcome::Refused);
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
    adapterSilence.clear();
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
        const bool step = !head.ended && isStep(head.cmd);
        if (step && !stepTimer.isActive())
            stepTimer.start(stepBudget(head.cmd));
        emit deviceWorking(step ? stepBudget(head.cmd) : 0);
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
// waiting for it there, or a late answer to a request given up (one of an earlier run too).
// It is dropped; the request on the link is asked again, or settled, as when unanswered.
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
    // A refusal of a step of the flash, even a late one, is the device's word against a step
    // the flash may have counted as done: the flash does not go on past it.
    if (flashing() && data.size() >= 3 && quint8(data.at(0)) == repNegative) {
        const quint8 refused = quint8(data.at(1));
        if (refused == quint8(reqWrite) || refused == quint8(reqSetAddress) || refused == quint8(reqExec)) {
            Request step;
            step.cmd = refused == quint8(reqWrite) ? Write : refused == quint8(reqSetAddress) ? SetAddress : Erase;
            negativeReply(step, data);
            return;
        }
    }
    emit error(ERR_LOG,
        tr("A reply that answers no request on the link was dropped: %1").arg(QString::fromLatin1(data.toHex(' '))));
    if (!requests.isEmpty() && requests.first().sent)
        requests.first().strayed = true;
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
            record.finaliseConfirmed = true;
            emit flashRecorded(record);
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
    if (request.cmd == Finalize && current == Finalize) {
        record.finaliseRefused = true; // answered: the image was not made final
        emit flashRecorded(record);
    }
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
