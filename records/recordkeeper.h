#pragma once

#include "jobrecord.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class RecordStore;

// Keeps the records of one front's jobs (a window, or a station of veltrano-cli) in a store opened
// at first use, from the thread that uses the keeper. Each job's record is written as it begins
// ("unfinished"), again at the steps worth keeping should the program be killed, and as it ends.
// A store that cannot be opened or written never stops a job: the first failure is said once
// through warning(), and the jobs go on. A file another program holds locked is waited for at most
// `busyMs` as a job begins and ends, and only briefly at the steps between, which run while the
// device works: once the job's beginning or a step could not be written, its other steps are not
// tried.
class RecordKeeper : public QObject
{
    Q_OBJECT

public:
    // `path` empty: no records are kept.
    explicit RecordKeeper(const QString &path, int busyMs = defaultBusyMs, QObject *parent = nullptr);
    static constexpr int defaultBusyMs = 5000;
    static constexpr int stepBusyMs = 100;
    // A window waits less as a job begins and ends: it waits with everything it shows.
    static constexpr int windowBusyMs = 1000;
    ~RecordKeeper() override;

    bool enabled() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    // Each returns whether the record is now in the store as it is.
    bool begin(JobRecord &record);
    bool update(JobRecord &record);
    // Sets the end and the outcome, and writes the record.
    bool finish(JobRecord &record, const QString &status, const QString &reason, int exitCode = -1);
    // The newest flash of the device with this UUID that sent its erase, when the store can tell.
    std::optional<JobRecord> latestFlash(const QString &uuid);
    QString lastError() const { return m_lastError; }

signals:
    void warning(const QString &text);

private:
    bool write(JobRecord &record, int busyMs);
    RecordStore *store();
    void failed(const QString &error);

    QString m_path;
    std::unique_ptr<RecordStore> m_store;
    int m_busyMs;
    QString m_lastError;
    bool m_warned = false;
    bool m_stepsFailing = false; // a step of the running job could not be written
};
