#pragma once

#include <completion.h>
#include <elm327worker.h>
#include <transferoutcome.h>

#include <QObject>
#include <QTimer>
#include <QVariant>

class QIODevice;
class QJsonObject;

// Client side of the file-manager protocol answered by the device's application firmware.
// Turns one command into one ISO-TP request, judges the reply and reports through `completed`;
// also runs an upload (select, stop-and-wait chunks, MD5 check). No widgets: the manager window,
// the command-line tool and the tests drive it alike. `finished` and `error` word the same for the
// log and the boxes.
//
// Every execute() and every flash() ends exactly once, with one completed(): with its own reply, with the link's report
// that the exchange failed (which for a reboot or a switch to the bootloader tells whether the request reached the
// bus), with the port's loss, or at the latest when nothing has gone to the adapter for the
// request's time-out and a margin after its line went out. One given while an upload runs, or
// while the port is closed, ends at once as failed: the link has room for one request at a time,
// and a closed port for none.
class CanWorker : public ELM327Worker
{
    Q_OBJECT

public:
    enum Commands { Invalid = -1, Setup = 0, Read, Select, Write, Remove, Erase, Reboot, Dfu, Md5, Config };
    Q_ENUM(Commands)
    enum Errors { ERR_IO = -4, ERR_FLASH = -3, ERR_COMM = -2, ERR_UNSUP = -1, ERR_OK = 0, ERR_NOTIFY = 1, ERR_LOG = 2 };
    Q_ENUM(Errors)

    explicit CanWorker(QObject *parent = nullptr);

    // The serial the completion of the next execute() or flash() will carry.
    quint64 nextSerial() const { return serial + 1; }

signals:
    void progress(int val);
    void error(int code, QVariant param);
    void finished(CanWorker::Commands cmd, bool status, QVariant result);
    // How a request ended: its command is the one asked for (Write for a flash()), `named` the one
    // the ending names. The file manager's refusals carry no device code.
    void completed(const Completion &completion);
    // What the info reply says of the device: "sdk", "fw", "mpy", "ver".
    void described(const QJsonObject &info);

public slots:
    void execute(CanWorker::Commands cmd, QVariant param);
    void execute(CanWorker::Commands cmd);
    // A flash() while another upload runs is refused with a log line only: that upload's end is
    // the one still to come, and its source must stay lent until then.
    void flash(QIODevice *io, QString name);
    // Ends the running upload at its next clean point: the block on the link gets its answer and
    // no further block goes out; the upload then ends as Stopped. An upload whose data have all
    // gone out is verified instead, as it would be anyway. Asked again, or with no upload, it
    // does nothing.
    void stopUpload();

    void io_disconnected() override;
    void io_error(ELM327IOBase::ELM_ERROR code, QString reason) override;
    void io_read(QByteArray data) override;

protected:
    void io_closed() override { portGone = true; }
    void io_notice(const QString &text) override;
    void io_voltage(double volts) override;

private:
    // Starts `cmd` without the checks execute() makes for its callers: the upload's own steps.
    void request(Commands cmd, const QVariant &param);
    void setUp(const QVariant &param);
    // The call given now is the one the next completion tells of.
    void begin(Commands cmd);
    // Ends a command that was not started.
    void refuse(Commands cmd, const QString &why, TransferOutcome how);
    // A fault worth a box; the request under way ends with it as its reason.
    void complain(Errors code, const QString &text);
    // How the request asked for ended; it then counts as told. Empty when none was asked for.
    Completion take(TransferOutcome how, const QVariant &result, const QString &failure);
    void complete(const Completion &completion); // tells a completion taken, if any
    // Sends `request` as the one `cmd` waits on.
    void sendRequest(Commands cmd, const QByteArray &request);
    void sendRequest(Commands cmd, const QByteArray &request, int timeoutMs);
    void requestWritten(const QByteArray &payload);
    void lineSent(const QByteArray &line);
    void deadlinePassed();
    // Whether `code` is a reply the pending request may get; anything else answers another one.
    bool answersPending(quint8 code) const;
    // The link failed the exchange of the pending command: how that command ends.
    void exchangeFailed(ELM327IOBase::ELM_ERROR code, const QString &reason);
    void infoReply(const QByteArray &json);
    void listReply(Commands cmd, const QByteArray &json);
    void selectReply(const QByteArray &data);
    void sendNextChunk();
    void md5Reply(const QByteArray &data);
    void negativeReply(const QByteArray &json);
    // Ends an upload as far as the worker is concerned; the source stays with its owner.
    void forgetUpload();
    // Reports the end of a command, and of the upload when it ends one.
    void finish(Commands cmd, bool status, const QVariant &result, TransferOutcome how);
    void endUpload(TransferOutcome how, const QString &failure);
    bool uploading() const { return source != nullptr; }

    quint64 serial = 0; // of the last request given
    Commands asked = Invalid; // the request given and not yet completed: an upload's is Write
    quint64 askedSerial = 0;
    Commands named = Invalid; // what the last end of a step named
    QString complaint; // the last fault worth a box during the request
    QIODevice *source = nullptr; // borrowed upload source
    Commands pending = Invalid; // whose reply is awaited; Invalid when no command runs
    Commands step = Invalid; // upload step: Select, Write, Md5; Invalid when idle
    QString target; // the upload's name on the device
    bool stopAsked = false; // the upload ends at its next clean point
    bool portGone = false; // the port closed under the worker, or the last set-up could not open it
    quint8 awaited = 0; // the positive reply code of the pending request
    QByteArray requestBytes; // the pending request
    bool requestOut = false; // its first line has gone to the adapter: what comes now answers it
    int sendingMs = 0; // how long it may take to leave the adapter
    int requestTimeoutMs = 0;
    QTimer deadline; // the last guard: the link did not end the exchange
};
