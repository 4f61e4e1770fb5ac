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
        qRegisterMetaType<Completion>("Completion");
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
    ++serial;
    // A request queued on a closed port never goes out, so it would never end either.
    if (cmd != Setup && linkDown) {
        const QString text = tr("Transport unexpectedly closed");
        emit error(ERR_COMM, text);
        complete({serial, cmd, Invalid, TransferOutcome::LinkLost, 0, {}, text, text, boxCode(ERR_COMM)});
        return;
    }
    issue(cmd, param, serial);
}

void hiddfu_worker::issue(Commands cmd, const QVariant &param, quint64 from)
{
    switch (cmd) {
    case Setup: {
        // A flash on the link set up again would wait for ever.
        if (flashing())
            fail(ERR_COMM, tr("The adapter was set up again during the flash"), TransferOutcome::NotResponding);
        current = Setup;
        // Nothing asked of the link before is answered on the new one.
        dropRequests(TransferOutcome::NotResponding, tr("No responce from the device"));
        retries = 0;
        const bool ok = setupLink(param);
        linkDown = !ok;
        if (ok)
            io_voltage(link().lastVoltage()); // the set-up's own reading
        // The link's own words for a failure, and the set-up's reading of the vehicle's voltage, so
        // that the caller need not reach into its thread.
        const QVariant result = ok ? QVariant(link().lastVoltage()) : QVariant(link().lastOpenError());
        emit finished(Setup, ok, result);
        complete({from, Setup, Invalid, ok ? TransferOutcome::Succeeded : TransferOutcome::NotResponding, 0,
            ok ? result : QVariant(), {}, ok ? QString() : result.toString(), 0});
        return;
    }
    case Status:
        enqueue(Status, execRequest(routineStatus), 1, 100, false, from);
        return;
    case Info:
        if (!flashing())
            current = Info;
        enqueue(Info, execRequest(routineInfo), 1, 100, false, from);
        return;
    case Uuid:
        enqueue(Uuid, execRequest(routineUuid), 1, 100, false, from);
        return;
    case SetAddress: {
        QByteArray request(9, '\0');
        request[0] = reqSetAddress;
        qToBigEndian<quint32>(param.toUInt(), request.data() + 1);
        enqueue(SetAddress, request, 1, 200, false, from);
        return;
    }
    case Erase:
        enqueue(Erase, execRequest(routineErase) + eraseAll, 2, 1000, false, from);
        return;
    case ErasePage:
        enqueue(ErasePage, execRequest(routineErase) + char(param.toUInt() & 0xFF), 2, 100, false, from);
        return;
    case Write:
        enqueue(Write, reqWrite + param.toByteArray(), 2, 1000, false, from);
        return;
    case Finalize:
        enqueue(Finalize, QByteArray(1, reqFinalize), 1, 1000, false, from);
        return;
    case SDFU:
    case UDFU:
    case APP:
        enqueue(cmd, QByteArray(1, cmd == SDFU ? reqSdfu : cmd == UDFU ? reqUdfu : reqApp), 1, 100, false, from);
        return;
    case Invalid:
    case WriteRecover:
    case Flash:
        break;
    }
    // Refused on its own: a flash under way goes on.
    const QString text = tr("Unknown command %1").arg(int(cmd));
    emit error(ERR_UNSUP, text);
    complete({from, cmd, Invalid, TransferOutcome::Refused, 0, {}, text, text, ERR_UNSUP});
}

void hiddfu_worker::enqueue(Commands cmd, const QByteArray &bytes, int replies, int timeoutMs, bool poll, quint64 from)
{
    Request request;
    request.cmd = cmd;
    request.bytes = bytes;
    request.replies = replies;
    request.timeoutMs = timeoutMs;
    request.poll = poll;
    request.serial = from;
    requests.append(request);
    advance();
}

void hiddfu_worker::complete(const Completion &completion)
{
    if (completion.serial != 0)
        emit completed(completion);
}

void hiddfu_worker::answered(Commands cmd, const QVariant &result)
{
    emit finished(cmd, true, result);
    answeredWith(result);
}

void hiddfu_worker::answeredWith(const QVariant &result)
{
    if (answering == 0)
        return;
    const quint64 ended = answering;
    answering = 0;
    complete({ended, answeringCmd, Invalid, TransferOutcome::Succeeded, 0, result, {}, {}, 0});
}

void hiddfu_worker::refusedBy(Commands cmd, int code)
{
    refusedCmd = cmd;
    emit finished(cmd, false, code);
}

void hiddfu_worker::requestFailed(const Request &request, Errors code, const QString &text, TransferOutcome how)
{
    if (request.serial == 0 && flashing()) {
        fail(code, text, how);
        return;
    }
    emit error(code, text);
    // A request given up on names itself; a refusal the command the device refused.
    const Commands named = how == TransferOutcome::NotResponding ? request.cmd : refusedCmd;
    refusedCmd = Invalid;
    complete({request.serial, request.cmd, named, how, 0, {}, text, text, boxCode(code)});
}

int hiddfu_worker::boxCode(Errors code)
{
    return code == ERR_NOTIFY || code == ERR_LOG || code == ERR_OK ? 0 : int(code);
}

void hiddfu_worker::advance()
{
    if (stopEnding && (requests.isEmpty() || !requests.first().sent)) {
        stopEnding = false;
        if (eraseSent)
            emit applicationErased();
        eraseSent = false;
        endFlashWith(TransferOutcome::Stopped, ERR_OK, {});
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

void hiddfu_worker::dropRequests(TransferOutcome how, const QString &reason)
{
    const QList<Request> dropped = requests;
    requests.clear();
    for (const Request &request : dropped)
        if (!request.ended)
            complete({request.serial, request.cmd, Invalid, how, 0, {}, reason, reason, 0});
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
    if (!isStep(head) && ++retries >= retryLimit) {
        const Request given = requests.takeFirst();
        giveUp(given);
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
    const QString text = tr("Transport unexpectedly closed");
    emit linkLost(text);
    fail(ERR_COMM, text, TransferOutcome::LinkLost);
    dropRequests(TransferOutcome::LinkLost, text);
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
    if (isStep(head)) {
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
    Request given = requests.takeFirst();
    given.strayed = strayed;
    giveUp(given);
    advance();
}

void hiddfu_worker::giveUp(const Request &request)
{
    const Commands cmd = request.cmd;
    const bool finalise = cmd == Finalize && current == Finalize && request.serial == 0;
    const bool step = request.serial == 0 && flashing();
    // The last try was answered, but by a reply to something else: the device answers wrongly.
    if (request.strayed && adapterSilence.isEmpty() && !finalise)
        requestFailed(request, ERR_COMM, tr("Invalid response"), TransferOutcome::Refused);
    // Not the device: the adapter itself stopped answering.
    else if (!adapterSilence.isEmpty())
        requestFailed(request, step ? ERR_COMM : ERR_NOTIFY, adapterSilence, TransferOutcome::NotResponding);
    else if (finalise)
        fail(ERR_COMM, tr("The device did not confirm the end of the flash"), TransferOutcome::NotResponding);
    else
        requestFailed(request, step || cmd == ErasePage ? ERR_NOTIFY : ERR_LOG, tr("Device is not reponsing!"),
            TransferOutcome::NotResponding);
}

// The request on the link failed there: whoever waits for it is told now, once; its exchange is
// left to end on the link.
void hiddfu_worker::headFailed(const QString &text, TransferOutcome how)
{
    if (requests.isEmpty() || !requests.first().sent || requests.first().ended)
        return;
    requests.first().ended = true;
    timer.stop();
    // A call's request that the link failed is told as refused, with the link's words for it.
    const Request &head = requests.first();
    requestFailed(head, ERR_COMM, text, head.serial == 0 ? how : TransferOutcome::Refused);
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
    listenAgain();
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
        const bool step = !head.ended && isStep(head);
        if (step && !stepTimer.isActive())
            stepTimer.start(stepBudget(head.cmd));
        emit deviceWorking(step ? stepBudget(head.cmd) : 0);
        return;
    }
    const Request request = requests.takeFirst();
    timer.stop();
    retries = 0;
    if (!request.ended) {
        answering = request.serial;
        answeringCmd = request.cmd;
        handleReply(request, data);
        // Every reply a request may get is handled above; this is a backstop, never a silence.
        if (answering != 0)
            requestFailed(request, ERR_COMM, tr("Invalid response"), TransferOutcome::Refused);
        answering = 0;
    }
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
        if (isStep(request))
            stepDone();
        answered(Write, QVariant());
        return;
    case repFinalize:
        answered(Finalize, QVariant());
        if (current == Finalize && request.serial == 0) {
            current = Invalid;
            eraseSent = false;
            record.finaliseConfirmed = true;
            emit flashRecorded(record);
            emit error(ERR_OK, tr("Flashed"));
            endFlashWith(TransferOutcome::Succeeded, ERR_OK, tr("Flashed"));
        }
        return;
    case repUdfu:
    case repApp:
    case repSdfu: {
        const quint8 code = quint8(data.at(0));
        answered(code == repUdfu ? UDFU : code == repApp ? APP : SDFU, QVariant());
        return;
    }
    case repSetAddress:
        if (data.size() < 3) {
            fail(ERR_COMM, tr("Invalid 'SET_ADDR' reply"), TransferOutcome::Refused);
            return;
        }
        if (isStep(request))
            stepDone();
        answered(SetAddress, QVariant());
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
    // Only a UUID request takes this code as the bootloader's word that it has none; to anything
    // else it is a refusal like any other.
    if (code == nrcNoUuid && request.cmd == Uuid) {
        emit error(ERR_LOG, QStringLiteral("Device does not report UUID"));
        answeredWith(QString()); // a bootloader without one
        return;
    }
    // The refusal is the answer to the request on the link, whichever it was.
    if (request.cmd == Finalize && current == Finalize && request.serial == 0) {
        record.finaliseRefused = true; // answered: the image was not made final
        emit flashRecorded(record);
    }
    if (request.cmd == Erase && current == Erase && request.serial == 0) {
        record.eraseRefused = true; // answered: nothing was erased
        emit flashRecorded(record);
    }
    refusedBy(request.cmd, code);
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
        answeredWith(text);
        return;
    }
    case routineStatus:
        statusReply(request, data);
        return;
    case routineErase:
        if (isStep(request))
            stepDone();
        answered(Erase, QVariant());
        return;
    case routineUuid:
        if (data.size() < uuidReplySize) {
            uuid.clear();
            emit error(ERR_LOG, QStringLiteral("Device does not report UUID"));
        } else {
            uuid = QString::fromLatin1(data.mid(3, uuidBytes).toHex().toUpper());
            emit error(ERR_LOG, QStringLiteral("UUID: %1").arg(uuid));
        }
        answered(Uuid, uuid);
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
    answered(Status, QVariant::fromValue(st));
    emit status(st);
    if (request.poll && probing)
        probed(st);
    else if (request.poll && settling)
        settled(st);
}
