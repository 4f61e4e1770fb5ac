#pragma once

#include <elm327iobase.h>

#include "clireport.h"

#include <elmconninfo.h>
#include <jobrecord.h>
#include <recordkeeper.h>
#include <transferoutcome.h>

#include <QDeadlineTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <optional>

// What the command line says about the connection and the work.
struct CliOptions
{
    QString command;
    QStringList arguments;
    ELM_ConnInfo connection;
    int timeoutSeconds = 10;
    int retries = 0; // how often an upload or flash that failed from a passing fault is done again
    bool json = false;
    bool events = false; // the work as it goes on standard output, then the JSON result
    bool yes = false;
    bool launch = false;
    double minimumVolts = std::nan(""); // an upload or a flash refuses a battery below this; NaN: none
    bool dryRun = false; // upload and flash: every check, then nothing that changes the device
    QString recordsPath; // where each job's record is written; empty: nowhere
    bool requireRecords = false; // a job whose record cannot be written is refused, or fails
};

// One run of a device command. It ends exactly once, through done(status), either with
// what the device confirmed or with the reason it could not be had; a watchdog ends it
// when nothing at all has been heard for the configured time, and a signal (Ctrl-C, SIGTERM)
// ends it where it is; its owner then closes the link as on any other end.
class CliJob : public QObject
{
    Q_OBJECT

public:
    CliJob(const CliOptions &options, CliReport &report, QObject *parent = nullptr);

    // Begins the job's record, then the job: with --require-records, a record that cannot be
    // written ends the job before anything is sent.
    void run();
    // A stop asked for by another thread while the set-up blocks this one: the status to end
    // with, 0 while none is asked for. Read once the set-up has returned (endedDuringSetup).
    void watchStop(const std::atomic<int> *stopStatus) { m_stopStatus = stopStatus; }

public slots:
    // Stops the work at once for a signal; `status` is CliInterrupted or CliTerminated.
    void interrupt(int status);

signals:
    void done(int status);

protected:
    virtual void start() = 0;
    // What an interruption leaves undone, in a line for the user: the jobs name their stages.
    virtual QString interruptedWork() const;
    // To be called as soon as the blocking set-up has returned, whatever its result. True when the
    // job has ended meanwhile (a stop can also arrive while the set-up turns the event loop) or
    // does so now for a stop asked for during it; the device has then been sent nothing.
    bool endedDuringSetup();
    void heardFromDevice(); // restarts the watchdog
    // The device answered that it works on the request, which may take up to `budgetMs`: the
    // watchdog allows that much, however short --timeout is.
    void deviceWorking(int budgetMs);
    // Ends the job after an upload or a flash ended `how`, or does the work again from the start
    // when the fault may pass and retries are left.
    void transferFailed(TransferOutcome how, const QString &reason);
    // Sets the link up again and starts the work over.
    virtual void restart() = 0;
    static CliStatus statusFor(TransferOutcome how);
    // What the loss of the link during the work was: a serial port gone, a connection reset.
    static QString linkLostReason(const ELM327IOBase &link);
    // Before an upload or a flash: with no minimum asked for, a low battery is said, and the work
    // goes on.
    void warnOfLowBattery(double volts);
    // A reading of the vehicle's voltage: for the result, and the record's before and after.
    void setVoltage(double volts);
    // What the job's record holds so far; recordStep() writes it as it is now, for a step that a
    // program killed afterwards must leave behind (the erase sent).
    JobRecord &record() { return m_record; }
    void recordStep();
    void recordLink(const ELM327IOBase &link);
    // The newest flash record of the device with this UUID, when the records can tell.
    std::optional<JobRecord> latestFlash(const QString &uuid) { return m_keeper.latestFlash(uuid); }
    void succeed(const QJsonObject &result, const QString &text);
    void succeed(const QJsonObject &result, const QStringList &lines); // a line break in one is shown escaped
    void fail(CliStatus status, const QString &message);
    bool ended() const { return m_ended; }

    CliOptions m_options;
    CliReport &m_report;

private:
    void finish(int status);
    // Writes the record as the job ends with `status`. False when the job has ended here instead:
    // work the device confirmed whose record --require-records could not have written.
    bool recordEnd(int status, const QString &reason);

    QTimer m_watchdog;
    QDeadlineTimer m_deviceWorking {0}; // until when a step the device said it works on may take
    const std::atomic<int> *m_stopStatus = nullptr;
    bool m_linkUp = false; // the set-up has returned
    QString m_retryReason; // why the last try failed, until the next try's set-up returns
    bool m_ended = false;
    int m_attempt = 0;
    RecordKeeper m_keeper;
    JobRecord m_record;
    bool m_recording = false; // the command is a job that changes, or would change, the device
    bool m_voltageRead = false;
};
