#pragma once

#include "flashrecord.h"

#include <completion.h>
#include <elm327worker.h>
#include <transferoutcome.h>

#include <QMetaType>
#include <QObject>
#include <QTimer>
#include <QVariant>

class QIODevice;

// The bootloader's status record, as its status routine reports it.
struct DFUStatus
{
    quint8 flags = 0; // state bits; 0 and 1 set mean busy
    quint8 error = 0;
    quint32 extra = 0; // the next write address; all ones while none is set
    quint32 flashSize = 0; // largest image the device takes, in bytes
    quint32 boardId = 0; // hardware identification a firmware package must match
};
Q_DECLARE_METATYPE(DFUStatus)

// Client side of the bootloader protocol. Runs in a thread of its own; the window reaches it
// through queued calls only. Besides single commands it runs a whole flash on its own: erase,
// the image body from byte 1024 on, then the first 1024 bytes, then finalise, so that a flash
// broken off midway never leaves a startable image behind.
//
// Every execute() and every flash() ends exactly once with completed(). Their serials count the
// calls from 1, in the order they reach the worker; a flash's completion names the command Flash.
// `finished` and `error` word the same for the logs and the boxes.
class hiddfu_worker : public ELM327Worker
{
    Q_OBJECT

public:
    enum Commands {
        Invalid = -1,
        Setup = 0,
        Status,
        Info,
        Uuid,
        SetAddress,
        Erase,
        ErasePage,
        Write,
        WriteRecover,
        Finalize,
        SDFU,
        UDFU,
        APP,
        Flash // a whole flash(), as its completion names it
    };
    Q_ENUM(Commands)
    enum Errors { ERR_OK = 0, ERR_ERASE, ERR_COMM, ERR_READ, ERR_FLASH, ERR_UNSUP, ERR_NOTIFY, ERR_LOG };
    Q_ENUM(Errors)

    explicit hiddfu_worker(QObject *parent = nullptr);

signals:
    void status(DFUStatus status);
    void progress(int val);
    void error(int code, QVariant param);
    void finished(int cmd, bool status, QVariant result);
    void ready();
    // How a request ended. A refusal names the command the device refused and its code; a flash's
    // success carries the worker's word for it ("Flashed"), an Info's the description, a Uuid's
    // the UUID (empty when the bootloader has none), a Status's the DFUStatus, a Setup's the
    // voltage it read.
    void completed(const Completion &completion);
    // A flash that had sent its erase ended without success: the device holds no application it
    // can start until a flash succeeds. Comes right before that flash's completion.
    void applicationErased();
    // The bootloader's description, from its info reply.
    void described(const QString &text);
    // The serial port went away; `reason` words it. Comes before the completions it causes.
    void linkLost(const QString &reason);
    // The running flash has moved on to `stage`.
    void flashStageBegun(FlashStage stage);
    // The device has the request on the link and asked for patience: its reply may take up to
    // `budgetMs` (a step of the flash), or is listened for again (0).
    void deviceWorking(int budgetMs);
    // The running flash's record has changed: a request went out or the device confirmed a step.
    void flashRecorded(const FlashRecord &record);

public slots:
    void execute(hiddfu_worker::Commands cmd, QVariant param);
    void execute(hiddfu_worker::Commands cmd);
    void flash(QIODevice *io);
    // Ends the running flash at its next clean point: the step on the link first gets its reply,
    // its settling by the device's status or its deadline, and no further step goes out; the
    // flash then ends with Stopped. A finalise already sent ends as the device answers it.
    void stopFlash();

    void io_ready() override;
    void io_disconnected() override;
    void io_error(ELM327IOBase::ELM_ERROR code, QString reason) override;
    void io_read(QByteArray data) override;
    void io_dummy();

protected:
    void io_closed() override { linkDown = true; }
    void io_notice(const QString &text) override;
    void io_voltage(double volts) override;

private:
    // One request to the bootloader. The link answers one request after the other, so requests
    // go to it one at a time: whatever it reports (a reply, no data, a protocol error) belongs
    // to the one on the link, and each command ends once, when its own exchange has ended.
    struct Request
    {
        Commands cmd = Invalid;
        QByteArray bytes;
        int replies = 1;
        int timeoutMs = 100;
        bool poll = false; // the flash's own status request while it settles an unanswered step
        bool sent = false;
        bool pending = false; // the device asked for patience: it has the request and works on it
        bool ended = false; // reported; only the end of its exchange on the link is awaited
        bool strayed = false; // a reply to something else came in its place
        quint64 serial = 0; // of the call it answers; 0 for a step of the flash
    };

    // A command given by a call (`serial`) or by the flash itself (0).
    void issue(Commands cmd, const QVariant &param, quint64 serial);
    void enqueue(
        Commands cmd, const QByteArray &bytes, int replies, int timeoutMs, bool poll = false, quint64 serial = 0);
    void advance();
    // Drops every request; those of a call end `how`, for `reason`.
    void dropRequests(TransferOutcome how, const QString &reason);
    static bool answers(const Request &request, const QByteArray &data);
    void handleReply(const Request &request, const QByteArray &data);
    void strayReply(const QByteArray &data);
    void noReply();
    void giveUp(const Request &request);
    void headFailed(const QString &text, TransferOutcome how);
    // A request of a call failed: said, and completed. A step of the flash ends the flash instead.
    void requestFailed(const Request &request, Errors code, const QString &text, TransferOutcome how);
    // The reply being handled answered its call: `result` for it.
    void answered(Commands cmd, const QVariant &result);
    void answeredWith(const QVariant &result);
    // The device refused `cmd` with `code`: said, and named by the failure that follows.
    void refusedBy(Commands cmd, int code);
    void complete(const Completion &completion);
    // The code a completion carries for words worth a box; a notice or a log line carries none.
    static int boxCode(Errors code);
    void endFlashWith(TransferOutcome how, Errors code, const QString &text, int deviceCode = 0);

    void execReply(const Request &request, const QByteArray &data);
    void statusReply(const Request &request, const QByteArray &data);
    void negativeReply(const Request &request, const QByteArray &data);
    void nextChunk();
    void endFlash();
    bool flashing() const;
    bool isStep(const Request &request) const;
    // The flash's step `current` had no reply of its own: the device's status tells whether it
    // was carried out, is still being carried out, or failed.
    void settle();
    void pollStatus();
    void settled(const DFUStatus &st);
    void stepDone();
    void stepOverdue();
    void resendStep();
    void addressStep(quint32 address);
    void startWriting();
    void probed(const DFUStatus &st);
    // From the erase on, the running flash's image once more, and once only.
    void beginErase();
    void startOver();
    void writeAgain();
    // Reports a failure, and ends a running flash with `how`: the window frees the source on it.
    void fail(Errors code, const QString &text, TransferOutcome how, int deviceCode = 0);
    // Forgets the running flash: what it still has on the link ends there unheeded, the rest is
    // not sent.
    void leaveFlash();
    // The step on the link has ended and a stop was asked for: the flash ends here, once nothing
    // of it is left on the link (a status request asked while settling the step ends first).
    void stopped();

    quint64 serial = 0; // of the last call
    quint64 flashSerial = 0; // of the running flash
    // The call whose reply is being handled (0: a step of the flash, or none), and its command.
    quint64 answering = 0;
    Commands answeringCmd = Invalid;
    Commands refusedCmd = Invalid; // the command the device just refused, for the failure's ending
    QIODevice *file = nullptr; // borrowed image source of a running flash
    int phase = 0; // 0: the body from byte 1024 on; 1: the head
    quint32 startPos = 0;
    quint32 total = 0;
    quint32 written = 0; // acknowledged bytes, in steps of 1024
    QString uuid;
    QString adapterSilence; // the last exchange failed for the adapter's silence: how to say so
    Commands current = Invalid; // the command whose reply steers the flash
    QTimer timer; // listens again for a reply after a time-out
    int retries = 0; // consecutive no-data or stopped answers to the request on the link
    QList<Request> requests; // the first is on the link, the others wait for it to end
    // The link closed (the driver says so whenever it closes it) or could not be set up; a new
    // set-up brings it back.
    bool linkDown = false;

    // The flash step in progress: where it starts (an address step's target, a write's start),
    // what a write carries, and where the device's next write lands as the flash knows it.
    quint32 stepStart = 0;
    QByteArray stepChunk;
    int stepPayload = 0; // of the image in stepChunk, its padding left out
    quint32 nextAddress = 0;
    bool pointerChecked = false; // the status has been asked whether it shows the write address
    bool probing = false; // that status request is under way
    bool pointerReported = false; // it does: a step without its reply is judged by it
    int resends = 0; // the step sent again after the device showed it never had it
    // The flash step in progress, when its reply did not come.
    bool settling = false; // the step's reply did not come; the status decides
    bool startedOver = false; // the running flash went back to its erase after a segmented write lost its reply
    bool stepSegmented = false; // the write on the link went to an adapter that segments it
    bool eraseSent = false; // the running flash has asked for the erase: the application may be gone
    FlashRecord record; // of the running flash, or the last one
    bool stopAsked = false; // the running flash ends once the step on the link has ended
    bool stopEnding = false; // it has; its end is reported once the link is free
    QTimer pollTimer; // the next status request while the device is busy with the step
    QTimer stepTimer; // how long the device may take over the step once it has it
};
