#pragma once

#include "canworker.h"

#include <elmconninfo.h>
#include <transferoutcome.h>

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QtNumeric>

class QIODevice;

// How one operation of a ManagerSession ended.
struct ManagerEnding
{
    int operation = -1; // a ManagerSession::Operation
    // The worker's command the operation ended on, as the worker named it: Select for an upload
    // the device would not start, Config for a list whose selection could not be read, Invalid for
    // a refusal the device gave under a number the worker does not report.
    CanWorker::Commands step = CanWorker::Invalid;
    TransferOutcome outcome = TransferOutcome::NotResponding;
    // List: "files", "active" (string lists; the files also when only the selection failed) and
    // "info" (the device's description as a map); Remove: the name the device removed.
    QVariant result;
    QString failure; // the worker's own short word for a failure ("No responce from the device")
    // Why it failed in full: the worker's complaint during the operation (a malformed reply, the
    // port's loss, the driver's reason a set-up failed), else its failure word.
    QString reason;
    // The vehicle's voltage read for the operation, NaN when unknown or not read: the set-up's
    // reading for Connect, the one taken before the upload for Upload.
    double voltage = qQNaN();

    bool ok() const { return outcome == TransferOutcome::Succeeded; }
};
Q_DECLARE_METATYPE(ManagerEnding)

// The file manager's work as its fronts ask for it, one operation at a time, each ended exactly
// once through `ended`: the set-up, the device's description, files and active selection, an
// upload, and the single commands. It drives its CanWorker through the steps of each and decides
// from the completion of the worker's request alone. The worker's other signals stay for what the
// fronts show as it happens: log lines, progress, the port's loss.
class ManagerSession : public QObject
{
    Q_OBJECT

public:
    enum Operation { Connect, List, Upload, Remove, Erase, Reboot, Dfu };
    Q_ENUM(Operation)

    explicit ManagerSession(QObject *parent = nullptr);

    CanWorker &worker() { return m_worker; }
    const CanWorker &worker() const { return m_worker; }
    bool running() const { return m_running; }
    bool uploading() const { return m_running && m_operation == Upload; }

public slots:
    // Sets the adapter up; the set-up blocks, and Connect has ended when this returns. With
    // `thenList`, a set-up that worked goes on to List.
    void open(const ELM_ConnInfo &connection, bool thenList = true);
    // The device's description, its files, and which of them are active (not asked when there
    // are none).
    void list();
    // `source` stays lent until the upload's ending. The vehicle's voltage is read first; with a
    // minimum given, a reading below it or none at all ends the upload as LowVoltage before
    // anything goes to the device.
    void upload(QIODevice *source, const QString &target, double minimumVolts = qQNaN());
    void remove(const QString &name);
    void erase();
    // Done once the device is heard restarting: its silence right after the request went out.
    void reboot();
    void dfu();
    // Ends a running upload at its next clean point.
    void stop();

signals:
    void ended(const ManagerEnding &ending);

private:
    // Starts `operation` on `cmd`; refused while another runs, whose worker request it would take.
    bool begin(Operation operation, CanWorker::Commands step);
    void command(Operation operation, CanWorker::Commands cmd, const QVariant &param = {});
    // Gives the worker `cmd`, whose completion is then the one awaited.
    void execute(CanWorker::Commands cmd, const QVariant &param = {});
    void flash(QIODevice *source, const QString &target);
    void onCompleted(const Completion &completion);
    void listStepEnded(const Completion &completion);
    void onVoltage(double volts);
    void end(TransferOutcome outcome, const QVariant &result = {}, const QString &failure = {});
    QVariantMap listed(const QStringList &active) const;

    CanWorker m_worker;
    Operation m_operation = Connect;
    bool m_running = false;
    bool m_thenList = false;
    CanWorker::Commands m_step = CanWorker::Invalid; // the worker's command the operation waits on
    quint64 m_awaited = 0; // the serial of the worker's request whose completion is awaited
    Completion m_last; // the completion the operation ends on
    QStringList m_files;
    QVariantMap m_info;
    double m_voltage = qQNaN(); // the operation's reading
    // An upload waits for the reading before it starts: what it will start with, and the least it
    // accepts.
    struct PendingUpload
    {
        bool waiting = false;
        bool stopAsked = false;
        QIODevice *source = nullptr;
        QString target;
        double minimumVolts = qQNaN();
    } m_pending;
};
