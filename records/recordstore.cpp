#include "recordstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>

#include <atomic>
#include <iterator>

namespace {

const QString driverName = QStringLiteral("QSQLITE");

// The schema of version 1. Its text never changes once released: a later version appends a step.
QStringList toVersion1()
{
    return {
        QStringLiteral("CREATE TABLE records (id INTEGER PRIMARY KEY, started TEXT, ended TEXT, duration_ms INTEGER,"
                       " program TEXT, version TEXT, host TEXT, user TEXT, job TEXT,"
                       " dry_run INTEGER NOT NULL DEFAULT 0, status TEXT, exit_code INTEGER, reason TEXT,"
                       " port TEXT, adapter_kind TEXT, adapter_id TEXT, transfer TEXT, role TEXT,"
                       " board_id TEXT COLLATE NOCASE, uuid TEXT COLLATE NOCASE, description TEXT,"
                       " file_name TEXT, file_size INTEGER, sha256 TEXT,"
                       " erase_sent INTEGER NOT NULL DEFAULT 0, erase_confirmed INTEGER NOT NULL DEFAULT 0,"
                       " erase_refused INTEGER NOT NULL DEFAULT 0,"
                       " bytes_acknowledged INTEGER NOT NULL DEFAULT 0,"
                       " finalise_confirmed INTEGER NOT NULL DEFAULT 0, launch_answered INTEGER NOT NULL DEFAULT 0,"
                       " voltage_before REAL, voltage_after REAL)"),
        QStringLiteral("CREATE INDEX records_uuid ON records (uuid)"),
        QStringLiteral("CREATE INDEX records_board_id ON records (board_id)"),
        QStringLiteral("CREATE INDEX records_started ON records (started)"),
    };
}

// Step i brings a file from schema version i to i + 1.
using MigrationStep = QStringList (*)();
const MigrationStep migrationSteps[] = {toVersion1};
static_assert(std::size(migrationSteps) == RecordStore::schemaVersion, "one migration step per schema version");

// The columns the windows' filter field searches.
const char *const textColumns[] = {"program", "version", "host", "user", "job", "status", "reason", "port",
    "adapter_kind", "adapter_id", "transfer", "role", "board_id", "uuid", "description", "file_name", "sha256"};

std::atomic<quint64> connectionCount {0};

QString tr(const char *text)
{
    return QCoreApplication::translate("RecordStore", text);
}

QString cannotOpen(const QString &path, const QString &cause)
{
    return tr("cannot open records %1: %2").arg(QDir::toNativeSeparators(path), cause);
}
QString cannotWrite(const QString &path, const QString &cause)
{
    return tr("cannot write records %1: %2").arg(QDir::toNativeSeparators(path), cause);
}
QString cannotRead(const QString &path, const QString &cause)
{
    return tr("cannot read records %1: %2").arg(QDir::toNativeSeparators(path), cause);
}

// SQLite's own result code tells a lock and a read-only file apart from the rest.
QString cause(const QSqlError &error)
{
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return tr("it is locked by another program");
    case 8: // SQLITE_READONLY
        return tr("it is read-only");
    case 14: // SQLITE_CANTOPEN; the driver drops SQLite's text when the open itself fails
        if (error.databaseText().isEmpty())
            return tr("unable to open database file");
        break;
    default:
        break;
    }
    return error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
}

QSqlDatabase connection(const QString &name)
{
    return QSqlDatabase::database(name, false);
}

// Runs one statement that returns no rows the caller wants, and lets go of it at once: a
// statement left stepping keeps its read lock.
bool run(QSqlQuery &query, const QString &sql)
{
    const bool ok = query.exec(sql);
    query.finish();
    return ok;
}

int userVersion(QSqlQuery &query)
{
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return -1;
    const int version = query.value(0).toInt();
    query.finish();
    return version;
}

// Brings the schema to schemaVersion under a write lock, so that of two programs opening a new
// file at once only one creates it. Gives the version the file has after it (which a newer
// program may have set meanwhile), or -1 with `error`.
int migrate(QSqlQuery &query, QSqlError *error)
{
    if (!run(query, QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = query.lastError();
        return -1;
    }
    const int found = userVersion(query);
    bool ok = found >= 0;
    for (int version = found; ok && version < RecordStore::schemaVersion; ++version) {
        for (const QString &statement : migrationSteps[version]())
            ok = ok && run(query, statement);
    }
    if (ok && found < RecordStore::schemaVersion)
        ok = run(query, QStringLiteral("PRAGMA user_version=%1").arg(RecordStore::schemaVersion));
    if (ok && found > RecordStore::schemaVersion) {
        run(query, QStringLiteral("ROLLBACK"));
        return found;
    }
    if (ok && run(query, QStringLiteral("COMMIT")))
        return RecordStore::schemaVersion;
    *error = query.lastError();
    run(query, QStringLiteral("ROLLBACK"));
    return -1;
}

QString isoUtc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// A LIKE pattern that finds `text` as it is, its % and _ included.
QString containsPattern(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('%'), QLatin1String("\\%"));
    text.replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + text + QLatin1Char('%');
}

} // namespace

QString RecordStore::defaultPath()
{
    // The windows' data folder, named here rather than taken from the running program's names:
    // veltrano-cli calls itself otherwise, and all of them keep one set of records.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Quorvane/Veltrano/records.sqlite");
}

QString RecordStore::configuredPath()
{
    const QString named = qEnvironmentVariable("VELTRANO_RECORDS");
    return named.isEmpty() ? defaultPath() : named;
}

RecordStore::RecordStore(const QString &path, int busyMs)
    : m_path(path)
    , m_connection(QStringLiteral("veltrano-records-%1-%2").arg(quintptr(this), 0, 16).arg(++connectionCount))
    , m_busyMs(busyMs)
{ }

RecordStore::~RecordStore()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    {
        QSqlDatabase db = connection(m_connection);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

void RecordStore::setBusyTime(int ms)
{
    if (ms == m_busyMs)
        return;
    m_busyMs = ms;
    if (!m_open)
        return;
    QSqlQuery query(connection(m_connection));
    run(query, QStringLiteral("PRAGMA busy_timeout=%1").arg(m_busyMs));
}

bool RecordStore::open()
{
    m_error.clear();
    if (m_open)
        return true;
    if (!QSqlDatabase::isDriverAvailable(driverName))
        return fail(cannotOpen(m_path, tr("Qt's SQLite driver (QSQLITE) is not installed")));
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder))
        return fail(cannotOpen(m_path, tr("cannot make the folder %1").arg(QDir::toNativeSeparators(folder))));

    QSqlDatabase db = QSqlDatabase::contains(m_connection) ? connection(m_connection)
                                                           : QSqlDatabase::addDatabase(driverName, m_connection);
    db.setDatabaseName(m_path);
    if (!db.open())
        return fail(cannotOpen(m_path, cause(db.lastError())));
    int version = -1;
    QSqlError error;
    {
        QSqlQuery query(db);
        if (run(query, QStringLiteral("PRAGMA busy_timeout=%1").arg(m_busyMs)))
            version = userVersion(query);
        if (version >= 0 && version <= schemaVersion) {
            // Many writers at once need WAL; a read-only file or folder refuses it, and is read as it is.
            run(query, QStringLiteral("PRAGMA journal_mode=WAL"));
            if (version < schemaVersion)
                version = migrate(query, &error);
        } else if (version < 0) {
            error = query.lastError();
        }
    }
    if (version < 0) {
        db.close();
        return fail(cannotOpen(m_path, cause(error)));
    }
    m_fileVersion = version;
    m_open = true;
    return true;
}

bool RecordStore::writable()
{
    m_error.clear();
    if (!readyToWrite())
        return false;
    QSqlQuery query(connection(m_connection));
    if (!run(query, QStringLiteral("BEGIN IMMEDIATE")))
        return fail(cannotWrite(m_path, cause(query.lastError())));
    // A read-only file takes BEGIN IMMEDIATE as a read; only a write, undone at once, shows it.
    const bool ok = run(query, QStringLiteral("PRAGMA user_version=%1").arg(m_fileVersion));
    const QSqlError error = query.lastError();
    run(query, QStringLiteral("ROLLBACK"));
    return ok || fail(cannotWrite(m_path, cause(error)));
}

bool RecordStore::add(JobRecord &record)
{
    m_error.clear();
    if (!readyToWrite())
        return false;
    QStringList names = JobRecord::columns();
    names.removeOne(QStringLiteral("id"));
    QStringList marks;
    for (int i = 0; i < names.size(); ++i)
        marks << QStringLiteral("?");
    QSqlQuery query(connection(m_connection));
    query.prepare(QStringLiteral("INSERT INTO records (%1) VALUES (%2)")
                      .arg(names.join(QLatin1String(", ")), marks.join(QLatin1String(", "))));
    for (const QString &name : qAsConst(names))
        query.addBindValue(record.value(name));
    if (!query.exec())
        return fail(cannotWrite(m_path, cause(query.lastError())));
    record.id = query.lastInsertId().toLongLong();
    return true;
}

bool RecordStore::update(const JobRecord &record)
{
    m_error.clear();
    if (!readyToWrite())
        return false;
    QStringList names = JobRecord::columns();
    names.removeOne(QStringLiteral("id"));
    QStringList sets;
    for (const QString &name : qAsConst(names))
        sets << name + QStringLiteral(" = ?");
    QSqlQuery query(connection(m_connection));
    query.prepare(QStringLiteral("UPDATE records SET %1 WHERE id = ?").arg(sets.join(QLatin1String(", "))));
    for (const QString &name : qAsConst(names))
        query.addBindValue(record.value(name));
    query.addBindValue(record.id);
    if (!query.exec())
        return fail(cannotWrite(m_path, cause(query.lastError())));
    if (query.numRowsAffected() != 1)
        return fail(cannotWrite(m_path, tr("it holds no record %1").arg(record.id)));
    return true;
}

QList<JobRecord> RecordStore::find(const RecordFilter &filter)
{
    m_error.clear();
    QStringList where;
    QVariantList values;
    if (!filter.board.isEmpty()) {
        where << QStringLiteral("board_id = ? COLLATE NOCASE");
        values << filter.board;
    }
    if (!filter.uuid.isEmpty()) {
        where << QStringLiteral("uuid = ? COLLATE NOCASE");
        values << filter.uuid;
    }
    if (!filter.job.isEmpty()) {
        where << QStringLiteral("job = ?");
        values << filter.job;
    }
    if (filter.since.isValid()) {
        where << QStringLiteral("started >= ?");
        values << isoUtc(filter.since);
    }
    if (filter.until.isValid()) {
        where << QStringLiteral("started <= ?");
        values << isoUtc(filter.until);
    }
    if (filter.failedOnly) {
        where << QStringLiteral("(status IS NULL OR status <> ?)");
        values << QString::fromLatin1(JobRecord::succeeded);
    }
    if (!filter.text.isEmpty()) {
        QStringList any;
        for (const char *column : textColumns) {
            any << QLatin1String(column) + QStringLiteral(" LIKE ? ESCAPE '\\'");
            values << containsPattern(filter.text);
        }
        where << QLatin1Char('(') + any.join(QLatin1String(" OR ")) + QLatin1Char(')');
    }
    QList<JobRecord> records;
    select(where.join(QLatin1String(" AND ")), values, filter.limit, &records);
    return records;
}

std::optional<JobRecord> RecordStore::latestFlash(const QString &uuid)
{
    m_error.clear();
    QList<JobRecord> records;
    if (!select(QStringLiteral("job = 'flash' AND dry_run = 0 AND erase_sent = 1 AND uuid = ? COLLATE NOCASE"), {uuid},
            1, &records)
        || records.isEmpty())
        return std::nullopt;
    return records.first();
}

bool RecordStore::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool RecordStore::readyToWrite()
{
    if (!m_open)
        return fail(cannotWrite(m_path, tr("it is not open")));
    if (m_fileVersion > schemaVersion) {
        return fail(cannotWrite(m_path,
            tr("it belongs to a newer Veltrano (schema version %1; this one knows %2)")
                .arg(m_fileVersion)
                .arg(schemaVersion)));
    }
    return true;
}

bool RecordStore::select(const QString &where, const QVariantList &values, int limit, QList<JobRecord> *records)
{
    if (!m_open)
        return fail(cannotRead(m_path, tr("it is not open")));
    QString sql = QStringLiteral("SELECT * FROM records");
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where;
    sql += QStringLiteral(" ORDER BY started DESC, id DESC");
    if (limit > 0)
        sql += QStringLiteral(" LIMIT ?");
    QSqlQuery query(connection(m_connection));
    query.setForwardOnly(true);
    query.prepare(sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (limit > 0)
        query.addBindValue(limit);
    if (!query.exec())
        return fail(cannotRead(m_path, cause(query.lastError())));
    const QStringList columns = JobRecord::columns();
    QList<int> indexes;
    for (const QString &column : columns)
        indexes << query.record().indexOf(column);
    while (query.next()) {
        JobRecord record;
        for (int i = 0; i < columns.size(); ++i) {
            if (indexes[i] >= 0)
                record.setValue(columns[i], query.value(indexes[i]));
        }
        records->append(record);
    }
    if (query.lastError().isValid()) {
        records->clear();
        return fail(cannotRead(m_path, cause(query.lastError())));
    }
    return true;
}
