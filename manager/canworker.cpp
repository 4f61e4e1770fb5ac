#include "canworker.h"

#include <QCryptographicHash>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTimer>

namespace {

// Request codes; a positive reply carries the code plus 0x40.
constexpr char reqInfo = 0x10;
constexpr char reqList = 0x11;
constexpr char reqSelect = 0x20;
constexpr char reqWrite = 0x21;
constexpr char reqRemove = 0x22;
constexpr char reqErase = 0x23;
constexpr char reqReboot = 0x30;
constexpr char reqDfu = 0x31;
constexpr char reqMd5 = 0x32;
constexpr char reqConfig = 0x33;

constexpr quint8 repInfo = 0x50;
constexpr quint8 repList = 0x51;
constexpr quint8 repSelect = 0x60;
constexpr quint8 repWrite = 0x61;
constexpr quint8 repRemove = 0x62;
constexpr quint8 repErase = 0x63;
constexpr quint8 repReboot = 0x70;
constexpr quint8 repDfu = 0x71;
constexpr quint8 repMd5 = 0x72;
constexpr quint8 repConfig = 0x73;
constexpr quint8 repNegative = 0x7F;
constexpr quint8 replyOffset = 0x40; // a positive reply's code is the request's plus this

constexpr int chunkSize = 1024; // payload bytes per write request
// How long past a request's own time-out, counted from the last line the link wrote for it, the
// worker waits before it gives the request up itself. The link ends a silent exchange well before
// (its margin is half a second and the wire time); this only catches an exchange it never ends.
constexpr int guardMarginMs = 1000;

// How the device names commands in its negative replies and how they are logged.
QString wireName(int cmd)
{
    static const char *const names[]
        = {"setup", "read", "select", "write", "remove", "erase", "reboot", "dfu", "md5", "cfg"};
    return cmd >= 0 && cmd < int(sizeof names / sizeof *names) ? QString::fromLatin1(names[cmd])
                                                               : QStringLiteral("invalid");
}

QStringList toStringList(const QJsonArray &array)
{
    QStringList names;
    for (const QJsonValue &value : array)
        names << value.toVariant().toString();
    return names;
}

void registerTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<CanWorker::Commands>("CanWorker::Commands");
        qRegisterMetaType<CanWorker::Errors>("CanWorker::Errors");
        qRegisterMetaType<Completion>("Completion");
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

CanWorker::CanWorker(QObject *parent)
    : ELM327Worker(parent)
{
    registerTypes();
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &CanWorker::deadlinePassed);
    connect(&link(), &ELM327IOBase::requestWritten, this, &CanWorker::requestWritten);
    connect(&link(), &ELM327IOBase::lineSent, this, &CanWorker::lineSent);
}

void CanWorker::execute(CanWorker::Commands cmd)
{
    execute(cmd, QVariant());
}

void CanWorker::execute(CanWorker::Commands cmd, QVariant param)
{
    ++serial;
    if (cmd < Setup || cmd > Config) {
        const QString why = tr("Unknown command %1").arg(int(cmd));
        emit error(ERR_UNSUP, why);
        emit completed({serial, cmd, cmd, TransferOutcome::Refused, 0, {}, why, why, 0});
        return;
    }
    // Any other request would take the link's one pending slot from the upload's: the upload
    // would then wait for a reply that is counted for the intruder, or for nobody.
    if (uploading())
        return refuse(cmd, tr("Busy: an upload is running"), TransferOutcome::Refused);
    // A request queued on a closed port never goes out, so it would never end either.
    if (cmd != Setup && portGone)
        return refuse(cmd, tr("The adapter's port is not open"), TransferOutcome::LinkLost);
    begin(cmd);
    request(cmd, param);
}

void CanWorker::begin(Commands cmd)
{
    // A command asked for while another still waits takes the link over: the one before ends here,
    // since its reply, should it still come, arrives before this request goes out and counts for
    // neither. Setting the link up again drops whatever it held too.
    if (pending != Invalid)
        finish(pending, false, tr("No responce from the device"), TransferOutcome::NotResponding);
    asked = named = cmd;
    askedSerial = serial;
    complaint.clear();
}

// Leaves the request under way, if any, alone: the refused one is told at once.
void CanWorker::refuse(Commands cmd, const QString &why, TransferOutcome how)
{
    emit error(ERR_LOG, why);
    emit finished(cmd, false, why);
    emit completed({serial, cmd, cmd, how, 0, {}, why, why, 0});
}

void CanWorker::complain(Errors code, const QString &text)
{
    complaint = text;
    emit error(code, text);
}

Completion CanWorker::take(TransferOutcome how, const QVariant &result, const QString &failure)
{
    if (asked == Invalid)
        return {};
    const Completion completion {
        askedSerial, asked, named, how, 0, result, failure, complaint.isEmpty() ? failure : complaint, 0};
    asked = Invalid;
    return completion;
}

void CanWorker::complete(const Completion &completion)
{
    if (completion.serial != 0)
        emit completed(completion);
}

void CanWorker::request(Commands cmd, const QVariant &param)
{
    switch (cmd) {
    case Setup:
        setUp(param);
        return;
    case Read:
        sendRequest(Read, QByteArray(1, reqInfo));
        return;
    case Select:
        sendRequest(Select, reqSelect + param.toString().toLatin1(), 300);
        return;
    case Write:
        sendRequest(Write, reqWrite + param.toByteArray(), 1000);
        return;
    case Remove:
        sendRequest(Remove, reqRemove + param.toString().toUtf8(), 500);
        return;
    case Erase:
        sendRequest(Erase, QByteArray(1, reqErase));
        return;
    case Reboot:
    case Dfu:
        sendRequest(cmd, QByteArray(1, cmd == Reboot ? reqReboot : reqDfu), 100);
        return;
    case Md5:
        sendRequest(Md5, QByteArray(1, reqMd5));
        return;
    case Config:
        sendRequest(Config, QByteArray(1, reqConfig));
        return;
    case Invalid:
        break;
    }
}

void CanWorker::setUp(const QVariant &param)
{
    portGone = !setupLink(param);
    if (!portGone)
        io_voltage(link().lastVoltage()); // the set-up's own reading
    else
        complaint = link().lastOpenError();
    // Taken before anyone hears of the end: a listener may give the next request at once.
    const Completion completion = take(portGone ? TransferOutcome::NotResponding : TransferOutcome::Succeeded,
        portGone ? QVariant() : QVariant(link().lastVoltage()), {});
    emit finished(Setup, !portGone, QVariant());
    complete(completion);
}

// Requests without an explicit time-out: removing and erasing touch the device's storage.
void CanWorker::sendRequest(Commands cmd, const QByteArray &request)
{
    const bool slow = request.startsWith(reqRemove) || request.startsWith(reqErase);
    sendRequest(cmd, request, slow ? 1000 : 200);
}

void CanWorker::sendRequest(Commands cmd, const QByteArray &request, int timeoutMs)
{
    pending = cmd;
    awaited = quint8(request.at(0)) + replyOffset;
    requestBytes = request;
    requestOut = false;
    sendingMs = 0;
    requestTimeoutMs = timeoutMs;
    deadline.stop();
    send(request, 1, timeoutMs);
}

// The request's own frame going out is where its wait begins: one queued behind an adapter that is
// being set up again is not yet late. Each further line (its other frames, the flow control of a
// long reply) shows the exchange still moving.
void CanWorker::requestWritten(const QByteArray &payload)
{
    if (pending == Invalid || payload != requestBytes)
        return;
    requestOut = true;
    // A request the adapter segments is one line: the time its frames take comes on top.
    sendingMs = int(link().transmitAllowanceMs(int(payload.size())));
}

void CanWorker::lineSent(const QByteArray &)
{
    if (pending != Invalid && requestOut)
        deadline.start(requestTimeoutMs + guardMarginMs + sendingMs);
}

void CanWorker::deadlinePassed()
{
    if (pending == Invalid)
        return;
    emit error(ERR_LOG, tr("No reply within %1 ms of the request").arg(requestTimeoutMs + guardMarginMs + sendingMs));
    finish(pending, false, tr("No responce from the device"), TransferOutcome::NotResponding);
}

bool CanWorker::answersPending(quint8 code) const
{
    return code == awaited || code == repNegative;
}

void CanWorker::flash(QIODevice *device, QString name)
{
    ++serial;
    // The running upload's source stays lent until its own end.
    if (uploading()) {
        const QString why = tr("Busy: an upload is running");
        emit error(ERR_LOG, why);
        emit completed({serial, Write, Write, TransferOutcome::Refused, 0, {}, why, why, 0});
        return;
    }
    if (!device || !device->isReadable()) {
        const QString why = tr("Cannot read from file: %1").arg(device ? device->errorString() : QString());
        emit error(ERR_FLASH, why);
        emit completed({serial, Write, Write, TransferOutcome::FileUnreadable, 0, {}, why, why, 0});
        return;
    }
    if (portGone)
        return refuse(Write, tr("The adapter's port is not open"), TransferOutcome::LinkLost);
    begin(Write);
    step = Select;
    source = device;
    target = name;
    request(Select, name);
    emit error(ERR_LOG, tr("Selecting %1").arg(name));
}

void CanWorker::stopUpload()
{
    if (!uploading() || stopAsked)
        return;
    stopAsked = true;
    emit error(ERR_LOG, tr("Stopping the upload after the current block"));
}

void CanWorker::sendNextChunk()
{
    const qint64 size = source->size();
    // An empty source is complete before it starts.
    emit progress(size > 0 ? qRound(source->pos() * 100.0 / size) : 100);
    if (source->atEnd()) {
        step = Md5;
        request(Md5, QVariant());
        return;
    }
    // Between two blocks: the last one has been answered, the next one has not gone out.
    if (stopAsked) {
        emit error(ERR_LOG, tr("Upload stopped; %1 on the device is incomplete").arg(target));
        finish(Write, false, tr("Upload stopped"), TransferOutcome::Stopped);
        return;
    }
    if (source->pos() == 0)
        emit error(ERR_LOG, tr("Uploading data"));
    const QByteArray chunk = source->read(chunkSize);
    if (chunk.size() < chunkSize && !source->atEnd()) {
        complain(ERR_FLASH, tr("Cannot read from file: %1").arg(source->errorString()));
        endUpload(TransferOutcome::FileUnreadable, complaint);
        return;
    }
    request(Write, chunk);
}

void CanWorker::forgetUpload()
{
    source = nullptr;
    step = Invalid;
    stopAsked = false;
}

// Every end of a command goes through here. The borrowed source of an upload is dropped before
// the owner hears of the end and may free it.
void CanWorker::finish(Commands cmd, bool status, const QVariant &result, TransferOutcome how)
{
    // Before anyone hears of it: a listener may start the next command at once.
    pending = Invalid;
    requestOut = false;
    deadline.stop();
    const bool endsUpload = cmd == Write || (!status && (cmd == Select || cmd == Md5 || cmd == Invalid));
    const bool upload = endsUpload && uploading();
    if (upload)
        forgetUpload();
    named = cmd;
    // A step that does not end the upload running leaves it to end on its own.
    const Completion completion
        = uploading() ? Completion() : take(how, status ? result : QVariant(), status ? QString() : result.toString());
    emit finished(cmd, status, result);
    complete(completion);
}

void CanWorker::endUpload(TransferOutcome how, const QString &failure)
{
    if (!uploading())
        return;
    forgetUpload();
    complete(take(how, {}, failure));
}

void CanWorker::io_notice(const QString &text)
{
    emit error(ERR_LOG, text);
}

void CanWorker::io_voltage(double volts)
{
    emit error(ERR_LOG, voltageLine(volts));
}

void CanWorker::io_disconnected()
{
    portGone = true;
    if (!link().lossReason().isEmpty())
        emit error(ERR_LOG, link().lossReason());
    complain(ERR_IO, tr("Transport unexpectedly closed"));
    if (pending != Invalid)
        finish(pending, false, tr("Transport unexpectedly closed"), TransferOutcome::LinkLost);
    else
        endUpload(TransferOutcome::LinkLost, tr("Transport unexpectedly closed"));
}

// The link reports an exchange that ended without a usable reply: no data, a CAN error that
// outlasted its resends, a status word of the adapter, a line that was no frame, a flow control
// that stopped the request. No reply to the request can come after any of them.
void CanWorker::io_error(ELM327IOBase::ELM_ERROR code, QString reason)
{
    emit error(ERR_LOG, tr("Transport error: %1").arg(reason));
    if (pending != Invalid)
        exchangeFailed(code, reason);
}

void CanWorker::exchangeFailed(ELM327IOBase::ELM_ERROR code, const QString &reason)
{
    const Commands cmd = pending;
    if (cmd != Reboot && cmd != Dfu) {
        finish(cmd, false, exchangeFailure(code, reason), failureOutcome(code));
        return;
    }
    // A restarting device does not answer: the adapter's "no data" for the request's own frame is
    // how a restart looks. Any other end, or one before that frame went out, means the frame never
    // reached the bus, and the device runs on as it was.
    const bool silence = code == ELM327IOBase::ERR_NODATA || code == ELM327IOBase::ERR_STOPPED;
    if (silence && requestOut)
        finish(cmd, true, QVariant(), TransferOutcome::Succeeded);
    else
        finish(cmd, false, tr("The request did not reach the device (%1)").arg(reason), TransferOutcome::NotResponding);
}

void CanWorker::io_read(QByteArray data)
{
    // With no command waiting, or before the pending request's frame went out, a reply belongs to
    // an exchange that has already ended.
    if (data.isEmpty() || pending == Invalid || !requestOut)
        return;
    const Commands cmd = pending;
    const quint8 code = quint8(data.at(0));
    if (!answersPending(code)) {
        // Another request's reply: the pending one's will not come after it, and taking it for
        // its own would report what was never done.
        emit error(ERR_LOG, tr("Reply %1 does not answer the request").arg(QString::number(code, 16)));
        finish(cmd, false, tr("Invalid reply"), TransferOutcome::Refused);
        return;
    }
    pending = Invalid;
    deadline.stop();
    const QByteArray body = data.mid(1);
    switch (code) {
    case repInfo:
        infoReply(body);
        return;
    case repList:
    case repConfig:
        listReply(code == repList ? Read : Config, body);
        return;
    case repSelect:
        selectReply(data);
        return;
    case repWrite:
        if (uploading() && step == Write)
            sendNextChunk();
        else
            finish(Write, true, QVariant(), TransferOutcome::Succeeded);
        return;
    case repRemove: {
        const int nul = body.indexOf('\0');
        const QString name = QString::fromLatin1(nul < 0 ? body : body.left(nul));
        if (name.isEmpty())
            finish(Remove, false, tr("Empty reply"), TransferOutcome::Refused);
        else
            finish(Remove, true, name, TransferOutcome::Succeeded);
        return;
    }
    case repErase:
        finish(Erase, true, QVariant(), TransferOutcome::Succeeded);
        return;
    case repReboot:
    case repDfu:
        finish(cmd, true, QVariant(), TransferOutcome::Succeeded);
        return;
    case repMd5:
        md5Reply(body);
        return;
    case repNegative:
        negativeReply(body);
        return;
    default:
        finish(cmd, false, tr("Invalid reply"), TransferOutcome::Refused);
        return;
    }
}

void CanWorker::infoReply(const QByteArray &json)
{
    QJsonParseError parse {};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (doc.isNull()) {
        complain(ERR_COMM, tr("Invalid reply for the info command: %1").arg(parse.errorString()));
        finish(Read, false, tr("Invalid reply"), TransferOutcome::Refused);
        return;
    }
    const QJsonObject info = doc.object();
    emit described(info);
    emit error(ERR_LOG,
        tr("Device reports: SDK %1, FW %2, MPY %3, VER %4")
            .arg(info.value(QLatin1String("sdk")).toString(), info.value(QLatin1String("fw")).toString(),
                QString::number(info.value(QLatin1String("mpy")).toInt(-1)),
                info.value(QLatin1String("ver")).toString()));
    // The list request is still part of Read: a list that never comes must end the command as a
    // failure, not leave the caller waiting for ever.
    sendRequest(Read, QByteArray(1, reqList));
}

// The file list and the active selection come as the same JSON array of names; the selection may
// also come as the code alone, for none.
void CanWorker::listReply(Commands cmd, const QByteArray &json)
{
    if (cmd == Config && json.isEmpty()) {
        finish(Config, true, QStringList(), TransferOutcome::Succeeded);
        return;
    }
    QJsonParseError parse {};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (doc.isNull() || !doc.isArray()) {
        const QString text = cmd == Read ? tr("Invalid reply for the read command: %1")
                                         : tr("Invalid reply for the config command: %1");
        complain(ERR_COMM, text.arg(parse.errorString()));
        finish(cmd, false, tr("Invalid reply"), TransferOutcome::Refused);
        return;
    }
    finish(cmd, true, toStringList(doc.array()), TransferOutcome::Succeeded);
}

void CanWorker::selectReply(const QByteArray &data)
{
    if (data.size() == 3 && data.endsWith("OK")) {
        if (uploading() && step == Select) {
            step = Write;
            sendNextChunk();
        } else {
            finish(Select, true, QVariant(), TransferOutcome::Succeeded);
        }
        return;
    }
    complain(ERR_COMM, tr("Invalid reply to the 'Select' command"));
    finish(Write, false, tr("Invalid reply"), TransferOutcome::Refused);
}

void CanWorker::md5Reply(const QByteArray &digest)
{
    // Only an upload's digest can be judged; asked for on its own, it proves nothing.
    if (!uploading() || step != Md5 || !source->isOpen()) {
        finish(Md5, false, tr("Invalid reply"), TransferOutcome::Refused);
        return;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    source->seek(0);
    hash.addData(source);
    const bool same = hash.result() == digest;
    finish(Write, same, same ? QVariant() : QVariant(tr("Hash mismatch")),
        same ? TransferOutcome::Succeeded : TransferOutcome::Refused);
}

void CanWorker::negativeReply(const QByteArray &json)
{
    QJsonParseError parse {};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (doc.isNull()) {
        complain(ERR_COMM, tr("Device reply processing error. Invalid reply (%1).").arg(parse.errorString()));
        finish(Invalid, false, tr("Device reply processing error."), TransferOutcome::Refused);
        return;
    }
    const QJsonObject object = doc.object();
    const int cmd = object.value(QLatin1String("cmd")).toInt(-1);
    complain(ERR_COMM,
        tr("Device reply processing error at %1: %2")
            .arg(wireName(cmd), object.value(QLatin1String("error")).toString()));
    // The device's numbering is trusted for the commands a window reacts to, up to Dfu only.
    const Commands reported = cmd >= Setup && cmd <= Dfu ? Commands(cmd) : Invalid;
    finish(reported, false, tr("Device reply processing error"), TransferOutcome::Refused);
    // Whatever command the device names, a refusal during an upload ends it: no acknowledgement
    // will follow, and the upload would wait for one for ever.
    endUpload(TransferOutcome::Refused, tr("Device reply processing error"));
}
