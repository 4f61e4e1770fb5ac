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
constexpr quint8 repMd5 = 0x72;
constexpr quint8 repConfig = 0x73;
constexpr quint8 repNegative = 0x7F;

constexpr int chunkSize = 1024; // payload bytes per write request
constexpr int restartDelayMs = 400; // the device restarts instead of answering reboot and DFU

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
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

CanWorker::CanWorker(QObject *parent)
    : ELM327Worker(parent)
{
    registerTypes();
}

void CanWorker::execute(CanWorker::Commands cmd)
{
    execute(cmd, QVariant());
}

void CanWorker::execute(CanWorker::Commands cmd, QVariant param)
{
    switch (cmd) {
    case Setup:
        emit finished(Setup, setupLink(param), QVariant());
        return;
    case Read:
        pending = cmd;
        sendRequest(QByteArray(1, reqInfo));
        return;
    case Select:
        pending = cmd;
        sendRequest(reqSelect + param.toString().toLatin1(), 300);
        return;
    case Write:
        pending = cmd;
        sendRequest(reqWrite + param.toByteArray(), 1000);
        return;
    case Remove:
        pending = cmd;
        sendRequest(reqRemove + param.toString().toUtf8(), 500);
        return;
    case Erase:
        pending = cmd;
        sendRequest(QByteArray(1, reqErase));
        return;
    case Reboot:
    case Dfu:
        pending = cmd;
        sendRequest(QByteArray(1, cmd == Reboot ? reqReboot : reqDfu), 100);
        QTimer::singleShot(
            restartDelayMs, this, [this, cmd] { finish(cmd, true, QVariant(), TransferOutcome::Succeeded); });
        return;
    case Md5:
        pending = cmd;
        sendRequest(QByteArray(1, reqMd5));
        return;
    case Config:
        pending = cmd;
        sendRequest(QByteArray(1, reqConfig));
        return;
    case Invalid:
        break;
    }
    emit error(ERR_UNSUP, tr("Unknown command %1").arg(int(cmd)));
}

// Requests without an explicit time-out: removing and erasing touch the device's storage.
void CanWorker::sendRequest(const QByteArray &request)
{
    const bool slow = request.startsWith(reqRemove) || request.startsWith(reqErase);
    sendRequest(request, slow ? 1000 : 200);
}

void CanWorker::sendRequest(const QByteArray &request, int timeoutMs)
{
    send(request, 1, timeoutMs);
}

void CanWorker::flash(QIODevice *device, QString target)
{
    if (!device || !device->isReadable()) {
        emit error(ERR_FLASH, tr("Cannot read from file: %1").arg(device ? device->errorString() : QString()));
        emit uploadEnded(TransferOutcome::FileUnreadable, 0);
        return;
    }
    step = Select;
    source = device;
    execute(Select, target);
    emit error(ERR_LOG, tr("Selecting %1").arg(target));
}

void CanWorker::sendNextChunk()
{
    const qint64 size = source->size();
    // An empty source is complete before it starts.
    emit progress(size > 0 ? qRound(source->pos() * 100.0 / size) : 100);
    if (source->atEnd()) {
        step = Md5;
        execute(Md5);
        return;
    }
    if (source->pos() == 0)
        emit error(ERR_LOG, tr("Uploading data"));
    const QByteArray chunk = source->read(chunkSize);
    if (chunk.size() < chunkSize && !source->atEnd()) {
        const QString reason = source->errorString();
        forgetUpload();
        emit error(ERR_FLASH, tr("Cannot read from file: %1").arg(reason));
        emit uploadEnded(TransferOutcome::FileUnreadable, 0);
        return;
    }
    execute(Write, chunk);
}

void CanWorker::forgetUpload()
{
    source = nullptr;
    step = Invalid;
}

// Every end of a command goes through here. The borrowed source of an upload is dropped before
// the owner hears of the end and may free it.
void CanWorker::finish(Commands cmd, bool status, const QVariant &result, TransferOutcome how)
{
    const bool endsUpload = cmd == Write || (!status && (cmd == Select || cmd == Md5 || cmd == Invalid));
    const bool upload = endsUpload && uploading();
    if (upload)
        forgetUpload();
    emit finished(cmd, status, result);
    emit commandEnded(cmd, how);
    if (upload)
        emit uploadEnded(how, 0);
}

void CanWorker::endUpload(TransferOutcome how)
{
    if (!uploading())
        return;
    forgetUpload();
    emit uploadEnded(how, 0);
}

void CanWorker::io_notice(const QString &text)
{
    emit error(ERR_LOG, text);
}

void CanWorker::io_disconnected()
{
    emit error(ERR_IO, tr("Transport unexpectedly closed"));
    endUpload(TransferOutcome::LinkLost);
}

void CanWorker::io_error(ELM327IOBase::ELM_ERROR code, QString reason)
{
    emit error(ERR_LOG, tr("Transport error: %1").arg(reason));
    // No reply can come after these: a CAN error that outlasted the driver's resends emptied its
    // queues, and the adapter's other failures (a restart, a bus it cannot reach) end the
    // exchange under way.
    const bool noReply = code == ELM327IOBase::ERR_NODATA || code == ELM327IOBase::ERR_STOPPED
        || code == ELM327IOBase::ERR_CANERR || code == ELM327IOBase::ERR_OTHER;
    if (noReply && pending != Invalid) {
        const Commands cmd = pending;
        pending = Invalid;
        finish(cmd, false, tr("No responce from the device"), TransferOutcome::NotResponding);
    }
}

void CanWorker::io_read(QByteArray data)
{
    if (data.isEmpty())
        return;
    // Replies are matched by their code; whatever arrives ends the wait for the pending one.
    pending = Invalid;
    const QByteArray body = data.mid(1);
    QJsonParseError parse {};
    switch (quint8(data.at(0))) {
    case repInfo: {
        const QJsonDocument doc = QJsonDocument::fromJson(body, &parse);
        if (doc.isNull()) {
            emit error(ERR_COMM, tr("Invalid reply for the info command: %1").arg(parse.errorString()));
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
        // The list request is still part of Read: a list that never comes must end the
        // command as a failure, not leave the caller waiting for ever.
        pending = Read;
        sendRequest(QByteArray(1, reqList));
        return;
    }
    case repList: {
        const QJsonDocument doc = QJsonDocument::fromJson(body, &parse);
        if (doc.isNull() || !doc.isArray()) {
            emit error(ERR_COMM, tr("Invalid reply for the read command: %1").arg(parse.errorString()));
            finish(Read, false, tr("Invalid reply"), TransferOutcome::Refused);
            return;
        }
        finish(Read, true, toStringList(doc.array()), TransferOutcome::Succeeded);
        return;
    }
    case repSelect:
        if (data.size() == 3 && body == "OK") {
            // An acknowledgement nobody waits for must not start reading a source.
            if (uploading() && step == Select) {
                step = Write;
                sendNextChunk();
            }
            return;
        }
        emit error(ERR_COMM, tr("Invalid reply to the 'Select' command"));
        finish(Write, false, tr("Invalid reply"), TransferOutcome::Refused);
        return;
    case repWrite:
        if (uploading() && step == Write)
            sendNextChunk();
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
    case repMd5:
        md5Reply(body);
        return;
    case repConfig: {
        if (body.isEmpty()) {
            finish(Config, true, QStringList(), TransferOutcome::Succeeded);
            return;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(body, &parse);
        if (doc.isNull() || !doc.isArray()) {
            emit error(ERR_COMM, tr("Invalid reply for the config command: %1").arg(parse.errorString()));
            finish(Config, false, tr("Invalid reply"), TransferOutcome::Refused);
            return;
        }
        finish(Config, true, toStringList(doc.array()), TransferOutcome::Succeeded);
        return;
    }
    case repNegative:
        negativeReply(body);
        return;
    default:
        return;
    }
}

void CanWorker::md5Reply(const QByteArray &digest)
{
    // Only the upload's own MD5 request is judged; a late or stray digest finds nothing to check.
    if (!uploading() || step != Md5 || !source->isOpen())
        return;
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
        emit error(ERR_COMM, tr("Device reply processing error. Invalid reply (%1).").arg(parse.errorString()));
        finish(Invalid, false, tr("Device reply processing error."), TransferOutcome::Refused);
        return;
    }
    const QJsonObject object = doc.object();
    const int cmd = object.value(QLatin1String("cmd")).toInt(-1);
    emit error(ERR_COMM,
        tr("Device reply processing error at %1: %2")
            .arg(wireName(cmd), object.value(QLatin1String("error")).toString()));
    // The device's numbering is trusted for the commands a window reacts to, up to Dfu only.
    const Commands reported = cmd >= Setup && cmd <= Dfu ? Commands(cmd) : Invalid;
    finish(reported, false, tr("Device reply processing error"), TransferOutcome::Refused);
    // Whatever command the device names, a refusal during an upload ends it: no acknowledgement
    // will follow, and the upload would wait for one for ever.
    endUpload(TransferOutcome::Refused);
}
