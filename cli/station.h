#pragma once

#include "clijob.h"
#include "clireport.h"

#include <QThread>

#include <atomic>

// One station of a production line: an adapter on its own port and the device behind it. Its
// job runs to its end on a thread of its own, with its own worker and adapter driver, so that a
// station that blocks (a rate search, a port that stays silent) or fails holds up no other.
class Station : public QThread
{
    Q_OBJECT

public:
    // `label` names the station in what it prints; empty when it is the run's only one.
    Station(const CliOptions &options, bool bootloader, const QString &label, QObject *parent = nullptr);
    ~Station() override;

    QString port() const { return m_options.connection.port; }
    // How the job ended; valid once the thread has finished.
    int status() const { return m_status; }
    // From any thread: the job stops at its next step (after the set-up, if that is running) and
    // the run ends with `status`.
    void stop(int status);

signals:
    void stopRequested(int status);

protected:
    void run() override;

private:
    CliOptions m_options;
    bool m_bootloader;
    CliReport m_report;
    int m_status = CliNoAnswer;
    std::atomic<int> m_stopStatus {0};
};
