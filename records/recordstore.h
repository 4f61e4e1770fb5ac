#pragma once

#include "jobrecord.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

// Which records to read.
struct RecordFilter
{
    QString board; // the board id, hexadecimal, any case
    QString uuid;
    QString job;
    QDateTime since; // invalid: no bound; inclusive
    QDateTime until; // invalid: no bound; inclusive
    bool failedOnly = false; // every status but "succeeded"
    QString text; // a word to find in any text column (the windows' filter field); empty: any
    int limit = 0; // 0: all
};

// The records in one SQLite file, written by many processes and threads at once: WAL, a busy
// time-out, one INSERT a record. Each instance holds its own connection and must be used from
// the thread that made it. The schema carries its version in PRAGMA user_version and is brought
// up to date when the file is opened; a file from a newer program is read but never altered.
class RecordStore
{
public:
    static constexpr int schemaVersion = 1;
    static constexpr int defaultBusyMs = 5000;

    // records.sqlite in the windows' data folder (AppDataLocation of Quorvane/Veltrano), whichever
    // program asks: ~/.local/share/Quorvane/Veltrano on Linux.
    static QString defaultPath();
    // The file VELTRANO_RECORDS names when it is set, otherwise defaultPath().
    static QString configuredPath();

    explicit RecordStore(const QString &path, int busyMs = defaultBusyMs);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    QString path() const { return m_path; }
    // How long a write waits for another writer's lock from now on.
    void setBusyTime(int ms);
    // Opens the file, making it and its folder when missing, and brings the schema up to date.
    // False, with error(), when it cannot.
    bool open();
    // Whether a record could be written now: the file takes a write lock and lets it go, writing
    // nothing. False, with error(), for a read-only or locked file.
    bool writable();
    // Writes one record and gives it its id. False, with error(), when it cannot.
    bool add(JobRecord &record);
    // Writes the record `add` gave its id again, as it is now.
    bool update(const JobRecord &record);
    // Newest first. An empty list and error() when they cannot be read.
    QList<JobRecord> find(const RecordFilter &filter);
    // The newest flash of the device with this UUID that reached it, having sent its erase: a dry
    // run, or a flash refused before its erase, left the device as it was.
    std::optional<JobRecord> latestFlash(const QString &uuid);
    // Why the last call failed, naming the file.
    QString error() const { return m_error; }

private:
    bool fail(const QString &message); // sets error() to it; false
    bool readyToWrite();
    bool select(const QString &where, const QVariantList &values, int limit, QList<JobRecord> *records);

    QString m_path;
    QString m_connection; // this instance's Qt SQL connection name
    int m_busyMs;
    bool m_open = false;
    int m_fileVersion = 0; // the file's schema version once open; above schemaVersion: read only
    QString m_error;
};
