#include "recordkeeper.h"

#include "recordstore.h"

RecordKeeper::RecordKeeper(const QString &path, int busyMs, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_busyMs(busyMs)
{ }

RecordKeeper::~RecordKeeper() = default;

RecordStore *RecordKeeper::store()
{
    if (!enabled())
        return nullptr;
    if (!m_store) {
        auto store = std::make_unique<RecordStore>(m_path, m_busyMs);
        // Not kept when it fails: a folder mounted later, or a lock let go, lets the next job write.
        if (!store->open()) {
            failed(store->error());
            return nullptr;
        }
        m_store = std::move(store);
    }
    return m_store.get();
}

void RecordKeeper::failed(const QString &error)
{
    m_lastError = error;
    if (m_warned)
        return;
    m_warned = true;
    emit warning(tr("The job goes on without its record: %1").arg(error));
}

bool RecordKeeper::write(JobRecord &record, int busyMs)
{
    RecordStore *records = store();
    if (!records)
        return false;
    records->setBusyTime(busyMs);
    // A record whose first writing failed (the file was locked) is added when it can be.
    const bool written = record.id > 0 ? records->update(record) : records->add(record);
    if (!written)
        failed(records->error());
    return written;
}

bool RecordKeeper::begin(JobRecord &record)
{
    record.status = QLatin1String(JobRecord::unfinished);
    // A file that could not be written as the job began is tried again only as it ends.
    m_stepsFailing = !write(record, m_busyMs);
    return !m_stepsFailing;
}

bool RecordKeeper::update(JobRecord &record)
{
    if (m_stepsFailing || !enabled())
        return false;
    m_stepsFailing = !write(record, stepBusyMs);
    return !m_stepsFailing;
}

bool RecordKeeper::finish(JobRecord &record, const QString &status, const QString &reason, int exitCode)
{
    record.finish(status, reason, exitCode);
    return write(record, m_busyMs);
}

std::optional<JobRecord> RecordKeeper::latestFlash(const QString &uuid)
{
    RecordStore *records = store();
    if (!records || uuid.isEmpty())
        return std::nullopt;
    std::optional<JobRecord> latest = records->latestFlash(uuid);
    if (!latest && !records->error().isEmpty())
        failed(records->error());
    return latest;
}
