#pragma once

#include "clireport.h"

#include <elmconninfo.h>
#include <transferoutcome.h>

#include <QObject>
#include <QStringList>
#include <QTimer>

// What the command line says about the connection and the work.
struct CliOptions
{
    QString command;
    QStringList arguments;
    ELM_ConnInfo connection;
    int timeoutSeconds = 10;
    int retries = 0; // how often an upload or flash that failed from a passing fault is done again
    bool json = false;
    bool yes = false;
    bool launch = false;
};

// One run of a device command. It ends exactly once, through done(status), either with
// what the device confirmed or with the reason it could not be had; a watchdog ends it
// when nothing at all has been heard for the configured time.
class CliJob : public QObject
{
    Q_OBJECT

public:
    CliJob(const CliOptions &options, CliReport &report, QObject *parent = nullptr);

    virtual void start() = 0;

signals:
    void done(int status);

protected:
    void heardFromDevice(); // restarts the watchdog
    // Ends the job after an upload or a flash ended `how`, or does the work again from the start
    // when the fault may pass and retries are left.
    void transferFailed(TransferOutcome how, const QString &reason);
    // Sets the link up again and starts the work over.
    virtual void restart() = 0;
    static CliStatus statusFor(TransferOutcome how);
    void succeed(const QJsonObject &result, const QString &text);
    void succeed(const QJsonObject &result, const QStringList &lines); // a line break in one is shown escaped
    void fail(CliStatus status, const QString &message);
    bool ended() const { return m_ended; }

    CliOptions m_options;
    CliReport &m_report;

private:
    void finish(int status);

    QTimer m_watchdog;
    bool m_ended = false;
    int m_attempt = 0;
};
