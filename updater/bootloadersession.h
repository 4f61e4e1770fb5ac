#pragma once

#include "dfupackage.h"
#include "hiddfu_worker.h"

#include <elmconninfo.h>
#include <transferoutcome.h>

#include <QBuffer>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QtNumeric>

class QIODevice;

// What the bootloader said about itself while it was described.
struct BootloaderInfo
{
    QString description;
    QString uuid; // empty when the bootloader has none
    DFUStatus status;
};
Q_DECLARE_METATYPE(BootloaderInfo)

// How one operation of the bootloader session ended, with all a front shows of it.
struct BootloaderEnding
{
    int operation = 0; // BootloaderSession::Operation
    TransferOutcome outcome = TransferOutcome::Succeeded;
    // Connect: nothing; Describe: BootloaderInfo; Status: DFUStatus; Flash: the worker's words
    // for the success ("Flashed"); Launch: nothing.
    QVariant result;
    int errorCode = 0; // hiddfu_worker::Errors of the failure's words, 0 on success
    QString reason; // the failure's words: the link's, the worker's or the device's
    int command = hiddfu_worker::Invalid; // the command the device refused, or Setup for a failed set-up
    int deviceCode = 0; // the device's own code for a refusal
    // Flash and Launch: what the device confirmed of the last flash; what a failed flash left on
    // the device is worded from it.
    FlashRecord record;
    // The vehicle's voltage read for the operation, NaN when unknown or not read: the set-up's
    // reading for Connect, the one right after the status for Status, the one after the flash
    // ended for Flash (before it, for a flash refused as LowVoltage).
    double voltage = qQNaN();
    QByteArray imageSha256; // Flash: the SHA-256 of the image handed to the device, once it went
    bool ok() const { return outcome == TransferOutcome::Succeeded; }
};
Q_DECLARE_METATYPE(BootloaderEnding)

// The bootloader's sequences in one place, for the updater window and veltrano-cli alike: the
// set-up of the link, the description (info, UUID, status), a status read, the checks of a package
// against the board, a flash and the launch commands. It drives the worker it is given, in its own
// thread or another one, and ends every operation exactly once with ended(). A failure of the link
// while no operation runs ends with the operation Link.
class BootloaderSession : public QObject
{
    Q_OBJECT

public:
    enum Operation { Connect, Describe, Status, Flash, Launch, Link };
    Q_ENUM(Operation)

    // `worker` is not owned; it may live in another thread, and outlives the session.
    explicit BootloaderSession(hiddfu_worker *worker, QObject *parent = nullptr);

    void connectLink(const ELM_ConnInfo &connection);
    void describe();
    void readStatus();
    // `image` is the image to write, as the package check took it from the package. The vehicle's
    // voltage is read first; with a minimum given, a reading below it or none at all
    // ends the flash as LowVoltage before anything goes to the device. While a flash runs, another
    // is refused with a log line: the running one's ending is the one to come.
    void flash(const QByteArray &image, double minimumVolts = qQNaN());
    // Ends the running flash at its next clean point (the worker says how).
    void stopFlash();
    // SDFU, UDFU or APP.
    void launch(hiddfu_worker::Commands command);
    // From the flash's start until its ending, the voltage reading after it included.
    bool flashRunning() const { return m_flash.running; }
    // What the device confirmed of the last flash, the launch after it included; as of now.
    const FlashRecord &flashRecord() const { return m_record; }

    // What a package says, judged against the board and flash size the device reported: `refusal`
    // holds the words when it must not be flashed, `image` the bytes to flash when it may. Nothing
    // is erased before this says yes.
    struct PackageCheck
    {
        DfuPackage::Header header;
        QString refusal;
        QByteArray image;
        bool ok() const { return refusal.isEmpty(); }
    };
    static PackageCheck checkPackage(const QByteArray &package, const DFUStatus &status, const QString &name);

signals:
    void ended(const BootloaderEnding &ending);
    void progress(int percent);
    // The running flash has moved on to `stage`.
    void flashStageBegun(FlashStage stage);
    // flashRecord() has changed.
    void flashRecorded(const FlashRecord &record);
    // A line of the worker's for the flash log (ERR_NOTIFY) or for the link's log (ERR_LOG).
    void message(int code, const QString &text);
    // Drives the worker; connected to its execute().
    void dowork(hiddfu_worker::Commands cmd, QVariant param);

private:
    // An operation on the link waits for the answers to its requests, in the order they went out.
    struct Running
    {
        int id = 0;
        Operation operation = Connect;
        int requests = 0; // answers still to come
        BootloaderInfo info;
        double voltage = qQNaN();
        bool voltageAsked = false;
        bool startsApplication = false; // a Launch with APP
    };
    struct Sent
    {
        int id = 0;
        hiddfu_worker::Commands cmd = hiddfu_worker::Invalid;
        quint64 serial = 0; // the worker numbers its calls in the order they reach it, from 1
    };

    int begin(Operation operation);
    void send(int id, hiddfu_worker::Commands cmd, const QVariant &param = QVariant());
    void onCompleted(const Completion &completion);
    void requestCompleted(const Sent &sent, const Completion &completion);
    void flashCompleted(const Completion &completion);
    void onMessage(int code, const QVariant &param);
    void onLinkLost(const QString &reason);
    // Readings of the voltage go out and come back in order; each is noted for whom it is.
    void askVoltage(int forId);
    void onVoltage(double volts);
    void flashVoltage(double volts);
    // Every answer of the operation has come: it ends with what they said.
    void complete(int id);
    // The link went away: every operation on it ends.
    void linkFailed(const BootloaderEnding &ending);
    Running *find(int id);
    void end(int id, BootloaderEnding ending);
    static BootloaderEnding withOperation(BootloaderEnding ending, Operation operation);
    // What the worker's completion says, in the ending's words.
    static BootloaderEnding withCompletion(BootloaderEnding ending, const Completion &completion);

    QPointer<hiddfu_worker> m_worker;
    QList<Running> m_running;
    QList<Sent> m_sent;
    int m_nextId = 1;
    // Every call this session makes of the worker, counted as the worker counts them: the session
    // is the worker's only caller.
    quint64 m_calls = 0;
    // Who the readings asked for are for: an operation's id, or one of these.
    enum VoltageFor { BeforeFlash = -1, AfterFlash = -2 };
    QList<int> m_voltageFor;
    QBuffer m_image; // what the worker reads the flash's image from
    FlashRecord m_record;
    struct FlashState
    {
        bool running = false;
        BootloaderEnding ending;
        quint64 serial = 0; // of the worker's flash() call
        QByteArray image; // handed to the worker once the reading allows it
        double minimumVolts = qQNaN();
        bool started = false; // the worker has the flash
        bool stopAsked = false; // before it started: it ends once the reading is in
        bool ended = false; // the worker's flash has ended; the reading after it is awaited
    } m_flash;
};
