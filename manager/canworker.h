#pragma once

#include <elm327worker.h>
#include <transferoutcome.h>

#include <QObject>
#include <QVariant>

class QIODevice;
class QJsonObject;

// Client side of the file-manager protocol answered by the device's application firmware.
// Turns one command into one ISO-TP request, judges the reply and reports through `error`
// and `finished`; also runs an upload (select, stop-and-wait chunks, MD5 check). No widgets:
// the manager window, the command-line tool and the tests drive it alike.
class CanWorker : public ELM327Worker
{
    Q_OBJECT

public:
    enum Commands { Invalid = -1, Setup = 0, Read, Select, Write, Remove, Erase, Reboot, Dfu, Md5, Config };
    Q_ENUM(Commands)
    enum Errors { ERR_IO = -4, ERR_FLASH = -3, ERR_COMM = -2, ERR_UNSUP = -1, ERR_OK = 0, ERR_NOTIFY = 1, ERR_LOG = 2 };
    Q_ENUM(Errors)

    explicit CanWorker(QObject *parent = nullptr);

signals:
    void progress(int val);
    void error(int code, QVariant param);
    void finished(CanWorker::Commands cmd, bool status, QVariant result);
    // Exactly once for every flash(): how the upload ended. `deviceCode` is the device's own
    // error code where it gives one (the file manager's refusals carry none: 0).
    void uploadEnded(TransferOutcome outcome, int deviceCode);
    // Beside every finished() but Setup's: how the command ended, for callers that must tell a
    // device that refused from one that said nothing.
    void commandEnded(CanWorker::Commands cmd, TransferOutcome outcome);
    // What the info reply says of the device: "sdk", "fw", "mpy", "ver".
    void described(const QJsonObject &info);

public slots:
    void execute(CanWorker::Commands cmd, QVariant param);
    void execute(CanWorker::Commands cmd);
    void flash(QIODevice *io, QString target);

    void io_disconnected() override;
    void io_error(ELM327IOBase::ELM_ERROR code, QString reason) override;
    void io_read(QByteArray data) override;

protected:
    void io_notice(const QString &text) override;

private:
    void sendRequest(const QByteArray &request);
    void sendRequest(const QByteArray &request, int timeoutMs);
    void sendNextChunk();
    void md5Reply(const QByteArray &data);
    void negativeReply(const QByteArray &json);
    // Ends an upload as far as the worker is concerned; the source stays with its owner.
    void forgetUpload();
    // Reports the end of a command, and of the upload when it ends one.
    void finish(Commands cmd, bool status, const QVariant &result, TransferOutcome how);
    void endUpload(TransferOutcome how);
    bool uploading() const { return source != nullptr; }

    QIODevice *source = nullptr; // borrowed upload source
    Commands pending = Invalid; // whose reply is awaited, for reporting a time-out
    Commands step = Invalid; // upload step: Select, Write, Md5; Invalid when idle
};
