#include "jobrecord.h"
#include "recordformat.h"
#include "recordstore.h"
#include "testsupport.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <unistd.h>
#endif

namespace {

// Set in the environment of this program run again as another writer: PATH|TAG|COUNT|MODE.
const char writerVariable[] = "TST_RECORDS_WRITE";

// Writes COUNT records whose reasons are TAG-0, TAG-1, ...; exits 1 with the store's error when
// one cannot be written. MODE "gate": says "ready" once the file is open, and writes on a line of
// input. MODE "nobody": run as root it first becomes nobody, for whom file modes count. A file it
// cannot write it first tries to read.
int writerMain()
{
    const QStringList args = qEnvironmentVariable(writerVariable).split(QLatin1Char('|'));
    const QString mode = args.value(3);
#ifdef Q_OS_UNIX
    if (mode == QLatin1String("nobody") && geteuid() == 0
        && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        return 3;
#endif
    RecordStore store(args.value(0));
    bool ok = store.open();
    if (ok && mode == QLatin1String("gate")) {
        std::puts("ready");
        std::fflush(stdout);
        std::getchar();
    } else if (ok && !store.writable()) {
        std::printf("read %d, not writable: %s\n", int(store.find({}).size()), qPrintable(store.error()));
    }
    for (int i = 0; ok && i < args.value(2).toInt(); ++i) {
        JobRecord record = JobRecord::begin(QStringLiteral("upload"), QStringLiteral("veltrano-cli"));
        record.finish(QLatin1String(JobRecord::succeeded), QStringLiteral("%1-%2").arg(args.value(1)).arg(i), 0);
        ok = store.add(record);
    }
    if (!ok)
        std::puts(qPrintable(store.error()));
    return ok ? 0 : 1;
}

// A connection of its own beside the store's, as another program has.
struct OtherProgram
{
    explicit OtherProgram(const QString &path)
        : m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other")))
    {
        m_db.setDatabaseName(path);
        m_db.open();
    }
    ~OtherProgram()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
    }
    // The statement's first value, true when it gives none, invalid when it fails.
    QVariant exec(const QString &sql)
    {
        QSqlQuery query(m_db);
        return !query.exec(sql) ? QVariant() : query.next() ? query.value(0) : QVariant(true);
    }
    QSqlDatabase m_db;
};

JobRecord record(const QString &job, const QString &reason, const QDateTime &started)
{
    JobRecord r = JobRecord::begin(job, QStringLiteral("manager"));
    r.started = started;
    r.finish(QLatin1String(JobRecord::succeeded), reason);
    return r;
}

QStringList reasons(const QList<JobRecord> &records)
{
    QStringList list;
    for (const JobRecord &r : records)
        list << r.reason;
    return list;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QDateTime t0 = QDateTime(QDate(2025, 3, 1), QTime(10, 0), Qt::UTC);

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name + QStringLiteral("/records.sqlite")); }

    // This program again, as another writer (see writerMain).
    QProcess *startWriter(const QString &file, const QString &tag, int count, const char *mode = "")
    {
        auto *process = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(writerVariable),
            QStringLiteral("%1|%2|%3|%4").arg(file, tag).arg(count).arg(QLatin1String(mode)));
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(QCoreApplication::applicationFilePath(), QStringList());
        return process;
    }
    // Its exit code (-2 when it crashed or did not end in time) and what it printed.
    static QPair<int, QString> finished(QProcess *process)
    {
        const bool ended = process->waitForFinished(60000) && process->exitStatus() == QProcess::NormalExit;
        const QPair<int, QString> result {ended ? process->exitCode() : -2, QString::fromLocal8Bit(process->readAll())};
        delete process;
        return result;
    }

private slots:
    // veltrano-cli and the windows go by other names, and keep one set of records.
    void oneDefaultFileForEveryProgram()
    {
        const QString windows = RecordStore::defaultPath();
        QCoreApplication::setApplicationName(QStringLiteral("veltrano-cli"));
        QCoreApplication::setOrganizationName(QString());
        QCOMPARE(RecordStore::defaultPath(), windows);
        QVERIFY(windows.endsWith(QStringLiteral("/Quorvane/Veltrano/records.sqlite")));
    }

    void everyFieldReadsBack()
    {
        RecordStore store(path(QStringLiteral("whole")));
        QVERIFY2(store.open(), qPrintable(store.error()));
        JobRecord full = JobRecord::begin(QStringLiteral("flash"), QStringLiteral("veltrano-cli"));
        full.port = "/dev/ttyUSB0", full.adapterKind = "ELS27", full.adapterId = "STN2120", full.transfer = "frames";
        full.role = "bootloader", full.boardId = "4B455331", full.uuid = "0011-22", full.description = "Kestrane 2.1";
        full.fileName = "fw 1.2.vpk", full.fileSize = 123456, full.sha256 = QStringLiteral("ab").repeated(32);
        full.dryRun = full.eraseSent = full.eraseConfirmed = full.finaliseConfirmed = full.launchAnswered = true;
        full.eraseRefused = true;
        full.bytesAcknowledged = 120000, full.voltageBefore = 12.6, full.voltageAfter = 12.25;
        full.finish(QLatin1String(JobRecord::failed), QStringLiteral("no answer"), 4);
        JobRecord unknown = JobRecord::begin(QStringLiteral("select"), QStringLiteral("updater"));
        QVERIFY(store.add(full) && store.add(unknown));
        QVERIFY(full.id > 0 && unknown.id > full.id);

        const QList<JobRecord> found = store.find({});
        QCOMPARE(found.size(), 2);
        for (const QString &column : JobRecord::columns()) {
            QCOMPARE(found[1].value(column), full.value(column));
            QCOMPARE(found[0].value(column), unknown.value(column));
        }
        QCOMPARE(found[1].started, full.started);
        QVERIFY(qIsNaN(found[0].voltageBefore) && found[0].fileSize == -1 && found[0].exitCode == -1);
        QCOMPARE(found[1].text(QStringLiteral("voltage_before")), QStringLiteral("12.6"));
        QCOMPARE(found[1].text(QStringLiteral("dry_run")), QStringLiteral("yes"));
        QCOMPARE(found[0].text(QStringLiteral("voltage_after")), QString());

        // A record begun, then written again as it ends.
        unknown.finish(QLatin1String(JobRecord::stopped), QStringLiteral("stopped by the user"));
        QVERIFY2(store.update(unknown), qPrintable(store.error()));
        QCOMPARE(store.find({}).first().status, QStringLiteral("stopped"));
        QCOMPARE(store.find({}).first().durationMs, unknown.durationMs);
    }

    void filtersNewestFirst()
    {
        RecordStore store(path(QStringLiteral("filters")));
        QVERIFY(store.open());
        QList<JobRecord> all;
        for (int i = 0; i < 6; ++i)
            all << record(QStringLiteral("flash"), QStringLiteral("r%1").arg(i), t0.addSecs(i));
        all[0].boardId = all[1].boardId = all[4].boardId = all[5].boardId = QStringLiteral("4B455331");
        all[1].uuid = all[2].uuid = QStringLiteral("AA-bb");
        all[2].dryRun = true;
        all[1].eraseSent = all[2].eraseSent = true;
        all[3].job = "upload", all[3].reason = "price 50%_off", all[4].reason = "50%Xoff, 50Q_off";
        all[4].started = all[5].started; // the same time: the later written comes first
        all[1].status = JobRecord::unfinished, all[5].status = JobRecord::failed;
        for (JobRecord &r : all)
            QVERIFY(store.add(r));

        const auto find = [&store](const std::function<void(RecordFilter &)> &set) {
            RecordFilter filter;
            set(filter);
            return reasons(store.find(filter));
        };
        QCOMPARE(
            find([](RecordFilter &) {}), QStringList({"r5", "50%Xoff, 50Q_off", "price 50%_off", "r2", "r1", "r0"}));
        QCOMPARE(find([](RecordFilter &f) { f.board = QStringLiteral("4b455331"); }),
            QStringList({"r5", "50%Xoff, 50Q_off", "r1", "r0"}));
        QCOMPARE(find([](RecordFilter &f) { f.uuid = QStringLiteral("aa-BB"); }), QStringList({"r2", "r1"}));
        QCOMPARE(find([](RecordFilter &f) { f.job = QStringLiteral("upload"); }), QStringList({"price 50%_off"}));
        QCOMPARE(find([](RecordFilter &f) { f.since = t0.addSecs(1), f.until = t0.addSecs(3).toLocalTime(); }),
            QStringList({"price 50%_off", "r2", "r1"}));
        QCOMPARE(find([](RecordFilter &f) { f.failedOnly = true; }), QStringList({"r5", "r1"}));
        QCOMPARE(find([](RecordFilter &f) { f.limit = 2; }), QStringList({"r5", "50%Xoff, 50Q_off"}));
        QCOMPARE(find([](RecordFilter &f) { f.text = QStringLiteral("50%_OFF"); }), QStringList({"price 50%_off"}));
        QCOMPARE(find([](RecordFilter &f) { f.text = QStringLiteral("'; DROP TABLE records; --"); }), QStringList());
        QVERIFY(store.error().isEmpty());

        // The newest flash that reached the device: the dry run after it does not count.
        QCOMPARE(store.latestFlash(QStringLiteral("aa-bb"))->reason, QStringLiteral("r1"));
        QVERIFY(!store.latestFlash(QStringLiteral("none")));
    }

    void csvJsonAndTexts()
    {
        JobRecord r = JobRecord::begin(QStringLiteral("flash"), QStringLiteral("updater"));
        r.fileName = QStringLiteral("a,b \"c\"\r\nd\ne.vpk");
        r.reason = QStringLiteral("Привет");
        const QList<QStringList> rows = RecordFormat::parseCsv(RecordFormat::toCsv({r, r}));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], JobRecord::columns());
        QCOMPARE(rows[2][JobRecord::columns().indexOf(QStringLiteral("file_name"))], r.fileName);
        QCOMPARE(rows[2][JobRecord::columns().indexOf(QStringLiteral("reason"))], r.reason);
        QVERIFY(RecordFormat::parseCsv("a,\"b\r\nc,d\r\n").isEmpty());
        QVERIFY(RecordFormat::parseCsv("a,b\"c\r\n").isEmpty());

        const QJsonObject json = RecordFormat::toJson({r}).at(0).toObject();
        QVERIFY(
            json.value(QLatin1String("voltage_before")).isNull() && json.value(QLatin1String("file_size")).isNull());
        QVERIFY(json.value(QLatin1String("erase_sent")).isBool());
        QVERIFY(json.value(QLatin1String("bytes_acknowledged")).isDouble());
        QCOMPARE(json.value(QLatin1String("file_name")).toString(), r.fileName);

        r.started = QDateTime(QDate(2024, 5, 6), QTime(7, 8)).toUTC();
        r.fileName = QStringLiteral("fw.vpk");
        r.eraseSent = true;
        QVERIFY(r.leftNoApplication());
        QCOMPARE(r.unfinishedFlashText(),
            QStringLiteral("The last flash of this device (2024-05-06 07:08, fw.vpk) did not finish: it has no "
                           "application."));
        r.dryRun = true;
        QVERIFY(!r.leftNoApplication());
    }

    void schemaVersions()
    {
        const QString old = m_dir.filePath(QStringLiteral("old.sqlite"));
        const QString newer = m_dir.filePath(QStringLiteral("newer.sqlite"));
        QVERIFY(OtherProgram(old).exec(QStringLiteral("CREATE TABLE notes (x)")).isValid());
        {
            RecordStore store(old);
            JobRecord r = record(QStringLiteral("erase"), QStringLiteral("x"), t0);
            QVERIFY2(store.open() && store.add(r), qPrintable(store.error()));
            OtherProgram other(old);
            QCOMPARE(other.exec(QStringLiteral("PRAGMA user_version")).toInt(), RecordStore::schemaVersion);
            QCOMPARE(other.exec(QStringLiteral("SELECT count(*) FROM notes")).toInt(), 0);
        }
        {
            OtherProgram other(newer);
            for (const char *sql :
                {"CREATE TABLE records (id INTEGER PRIMARY KEY, job TEXT, started TEXT, colour TEXT)",
                    "INSERT INTO records (job, colour) VALUES ('dfu', 'red')", "PRAGMA user_version=7"})
                QVERIFY(other.exec(QLatin1String(sql)).isValid());
        }
        const QByteArray before = contents(newer);
        {
            RecordStore store(newer);
            QVERIFY2(store.open(), qPrintable(store.error()));
            QCOMPARE(store.find({}).value(0).job, QStringLiteral("dfu"));
            JobRecord r = record(QStringLiteral("erase"), QStringLiteral("x"), t0);
            QVERIFY(!store.add(r) && !store.writable());
            QVERIFY2(store.error().contains(newer) && store.error().contains(QLatin1String("newer Veltrano")),
                qPrintable(store.error()));
        }
        QCOMPARE(contents(newer), before);
    }

    void manyWritersAtOnce()
    {
        const QString file = path(QStringLiteral("many"));
        const int perWriter = 100;
        QProcess *process = startWriter(file, QStringLiteral("process"), perWriter, "gate");
        std::atomic<bool> go {false};
        std::mutex mutex;
        QStringList errors;
        std::vector<std::thread> stations;
        for (int t = 0; t < 4; ++t) {
            stations.emplace_back([&, t] {
                // All open the new file at once, then all write once the other program has it open.
                RecordStore store(file);
                bool ok = store.open();
                for (QDeadlineTimer deadline(30000); !go && !deadline.hasExpired();)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                for (int i = 0; ok && i < perWriter; ++i) {
                    JobRecord r = record(QStringLiteral("flash"), QStringLiteral("station%1-%2").arg(t).arg(i),
                        QDateTime::currentDateTimeUtc());
                    ok = store.add(r);
                }
                std::lock_guard<std::mutex> lock(mutex);
                if (!ok)
                    errors << store.error();
            });
        }
        const bool ready = process->waitForReadyRead(30000);
        go = true;
        process->write("go\n");
        for (std::thread &station : stations)
            station.join();
        const auto [code, output] = finished(process);
        QVERIFY2(ready && code == 0, qPrintable(output));
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));

        RecordStore store(file);
        QVERIFY(store.open());
        const QList<JobRecord> all = store.find({});
        const QStringList written = reasons(all);
        QCOMPARE(all.size(), 5 * perWriter);
        QCOMPARE(QSet<QString>(written.begin(), written.end()).size(), 5 * perWriter);
        QVERIFY(written.contains(QStringLiteral("process-%1").arg(perWriter - 1)));
    }

    void readOnlyFile()
    {
        const QString folder = m_dir.filePath(QStringLiteral("readonly"));
        const QString wal = folder + QStringLiteral("/wal.sqlite"), plain = folder + QStringLiteral("/plain.sqlite");
        for (const QString &file : {wal, plain}) {
            RecordStore store(file);
            JobRecord r = record(QStringLiteral("reboot"), QStringLiteral("kept"), t0);
            QVERIFY(store.open() && store.add(r));
        }
        QVERIFY(OtherProgram(plain).exec(QStringLiteral("PRAGMA journal_mode=DELETE")).isValid());
        QVERIFY(!QFile::exists(wal + QStringLiteral("-wal")) && !QFile::exists(wal + QStringLiteral("-shm")));
        const auto readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        const auto open = readOnly | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(wal, readOnly) && QFile::setPermissions(plain, readOnly));
        QVERIFY(QFile::setPermissions(folder, open) && QFile::setPermissions(m_dir.path(), open));
        const QString fresh = folder + QStringLiteral("/fresh.sqlite");
        const auto [walCode, walOutput] = finished(startWriter(wal, QStringLiteral("x"), 1, "nobody"));
        const auto [plainCode, plainOutput] = finished(startWriter(plain, QStringLiteral("x"), 1, "nobody"));
        const auto [freshCode, freshOutput] = finished(startWriter(fresh, QStringLiteral("x"), 1, "nobody"));
        QFile::setPermissions(folder, open | QFile::WriteOwner);
        QFile::setPermissions(m_dir.path(), open | QFile::WriteOwner);

        if (walCode == 3)
            QSKIP("cannot become nobody, for whom file modes count");
        // WAL needs its -shm beside the file: without one, and a folder to make it in, not even a read.
        QCOMPARE(walCode, 1);
        QVERIFY2(walOutput.contains(QLatin1String("cannot open records ") + wal + QLatin1String(": it is read-only")),
            qPrintable(walOutput));
        // Without WAL the file is read; the write lock and the write are refused.
        QCOMPARE(plainCode, 1);
        QVERIFY2(plainOutput.startsWith(QLatin1String("read 1, not writable: cannot write records ") + plain)
                && plainOutput.count(QLatin1String("read-only")) == 2,
            qPrintable(plainOutput));
        QCOMPARE(freshCode, 1);
        QVERIFY2(freshOutput.contains(QLatin1String("cannot open records ") + fresh), qPrintable(freshOutput));
        RecordStore store(wal);
        QVERIFY(store.open());
        QCOMPARE(reasons(store.find({})), QStringList({"kept"}));
    }

    void lockedFile()
    {
        const QString file = path(QStringLiteral("locked"));
        RecordStore store(file, 200);
        QVERIFY(store.open());
        OtherProgram other(file);
        QVERIFY(other.exec(QStringLiteral("BEGIN EXCLUSIVE")).isValid());
        QElapsedTimer waited;
        waited.start();
        JobRecord r = record(QStringLiteral("launch"), QStringLiteral("x"), t0);
        QVERIFY(!store.writable());
        QVERIFY2(
            store.error().contains(file) && store.error().contains(QLatin1String("locked")), qPrintable(store.error()));
        QVERIFY(!store.add(r));
        QVERIFY2(store.error().contains(QLatin1String("locked")), qPrintable(store.error()));
        QVERIFY(waited.elapsed() < 3000);
        QVERIFY(other.exec(QStringLiteral("ROLLBACK")).isValid());
        QVERIFY(store.writable() && store.add(r));
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(writerVariable)) {
        QCoreApplication app(argc, argv);
        return writerMain();
    }
    testsupport::prepareHeadless();
    QCoreApplication app(argc, argv);
    testsupport::setApplicationIdentity();
    TestRecords tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_records.moc"
