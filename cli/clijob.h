#pragma once

#include "clireport.h"

#include <elmconninfo.h>

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
    void succeed(const QJsonObject &result, const QString &text);
    void fail(CliStatus status, const QString &message);
    bool ended() const { return m_ended; }

    CliOptions m_options;
    CliReport &m_report;

private:
    void finish(int status);

    QTimer m_watchdog;
    bool m_ended = false;
};
