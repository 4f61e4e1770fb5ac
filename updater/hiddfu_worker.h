#pragma once

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
    quint32 extra = 0; // carried, not interpreted
    quint32 flashSize = 0; // largest image the device takes, in bytes
    quint32 boardId = 0; // hardware identification a firmware package must match
};
Q_DECLARE_METATYPE(DFUStatus)

// Client side of the bootloader protocol. Runs in a thread of its own; the window reaches it
// through queued calls only. Besides single commands it runs a whole flash on its own: erase,
// the image body from byte 1024 on, then the first 1024 bytes, then finalise, so that a flash
// broken off midway never leaves a startable image behind.
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
        APP
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
    // Exactly once for every flash(): how it ended. `deviceCode` is the bootloader's error code
    // when it refused, else 0. Comes after the error() that words the failure.
    void flashEnded(TransferOutcome outcome, int deviceCode);
    // A command outside a flash went unanswered through all the retries.
    void notResponding(int cmd);
    // The bootloader's description, from its info reply.
    void described(const QString &text);
    // The serial port went away.
    void linkLost();

public slots:
    void execute(hiddfu_worker::Commands cmd, QVariant param);
    void execute(hiddfu_worker::Commands cmd);
    void flash(QIODevice *io);

    void io_ready() override;
    void io_disconnected() override;
    void io_error(ELM327IOBase::ELM_ERROR code, QString reason) override;
    void io_read(QByteArray data) override;
    void io_dummy();

protected:
    void io_notice(const QString &text) override;

private:
    void execReply(const QByteArray &data);
    void statusReply(const QByteArray &data);
    void negativeReply(const QByteArray &data);
    void nextChunk();
    void endFlash();
    bool flashing() const;
    void startSequence();
    void restartSequence();
    // Reports a failure, and ends a running flash with `how`: the window frees the source on it.
    void fail(Errors code, const QString &text, TransferOutcome how, int deviceCode = 0);

    QIODevice *file = nullptr; // borrowed image source of a running flash
    int phase = 0; // 0: the body from byte 1024 on; 1: the head
    quint32 startPos = 0;
    quint32 total = 0;
    quint32 written = 0; // acknowledged bytes, in steps of 1024
    QString uuid;
    Commands current = Invalid; // the command whose reply steers the flash
    QTimer timer; // retry after a time-out, or wait while the device asks for patience
    int retries = 0; // consecutive no-data or stopped answers
    int restarts = 0; // fresh starts of the running flash after unacknowledged replies
    Commands lastRequest = Invalid; // the command of the request sent last, for a time-out
};
