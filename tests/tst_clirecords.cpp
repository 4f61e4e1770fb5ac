// veltrano-cli's records, package digests and dry runs, end to end against the simulator.

#include "cliharness.h"

#include <dfupackage.h>
#include <recordformat.h>
#include <recordstore.h>

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>

using namespace clitest;

namespace {

// The device requests the simulator's device heard, as hex, in order.
QStringList requests(const SimHarness &sim)
{
    static const QRegularExpression request(QStringLiteral("request \\d+: ([0-9A-F]+)"));
    QStringList heard;
    for (const QString &event : sim.logged('#')) {
        const QRegularExpressionMatch match = request.match(event);
        if (match.hasMatch())
            heard << match.captured(1);
    }
    return heard;
}

// Only what reads: the bootloader's status, description and unique ID, the application's
// description, file list and selection.
bool onlyReads(const SimHarness &sim)
{
    static const QRegularExpression reading(QStringLiteral("^(B100B[013]|10|11|33)"));
    const QStringList heard = requests(sim);
    return !heard.isEmpty()
        && std::all_of(heard.begin(), heard.end(), [](const QString &r) { return reading.match(r).hasMatch(); });
}

QList<JobRecord> recordsIn(const QString &path, const RecordFilter &filter = {})
{
    RecordStore store(path);
    return store.open() ? store.find(filter) : QList<JobRecord>();
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestCliRecords : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString records(const QString &name) const { return m_dir.filePath(name + QStringLiteral(".sqlite")); }

private slots:
    // A damaged package is refused before the adapter hears anything; dry runs check and change
    // nothing; a package without a digest still flashes.
    void digestAndDryRuns()
    {
        const QString db = records("dry");
        const QByteArray firmware = image(6000);
        Station s("boot", {"--board-id", "7"});
        QVERIFY(s.sim.start());
        const QString package = s.pack(firmware, "7");
        QByteArray damaged = readFile(package);
        damaged[damaged.size() - 100] = char(damaged.at(damaged.size() - 100) ^ 0x01);
        const QString bad = s.file("bad.dfu", damaged);
        CliRun run = s.run({"flash", bad, "--records", db});
        QCOMPARE(run.status, 5);
        QVERIFY2(run.err.contains("bad.dfu is damaged: its image does not match the digest it carries"),
            run.err.constData());
        QVERIFY(s.sim.received().isEmpty());

        run = s.run({"flash", package, "--dry-run", "--min-voltage", "13", "--records", db});
        QCOMPARE(run.status, 8);
        QVERIFY(onlyReads(s.sim));
        run = s.run({"flash", package, "--dry-run", "--min-voltage", "12", "--records", db});
        QVERIFY2(run.status == 0, run.err.constData());
        QVERIFY(onlyReads(s.sim));
        QVERIFY2(run.out.contains("would flash fw.dfu onto board 7, UUID 4B53494D0102030405060708 (image SHA-256 "
                     + sha256(firmware).toLatin1()),
            run.out.constData());
        const QList<JobRecord> kept = recordsIn(db);
        QCOMPARE(kept.size(), 3);
        QVERIFY(kept[0].dryRun && kept[0].ok() && kept[0].boardId == "7" && !kept[0].uuid.isEmpty());
        QCOMPARE(kept[1].exitCode, 8);
        QCOMPARE(kept[2].exitCode, 5);

        // Written by hand, as packs were before they carried a digest.
        const QString plain = s.file("plain.dfu", DfuPackage::build(7, "FW 1", firmware));
        run = s.run({"flash", plain, "--records", db});
        QVERIFY2(run.status == 0, run.err.constData());
        QVERIFY(run.err.contains("no digest to check"));
        QCOMPARE(s.flashed(firmware.size()), firmware);

        Station app("app");
        QVERIFY(app.sim.start());
        QByteArray slice;
        const QString bin = app.file("fw.bin", firmwareFile(&slice));
        run = app.run({"upload", bin, "--dry-run", "--records", db});
        QVERIFY2(run.status == 0, run.err.constData());
        QVERIFY(run.out.contains("would upload fw.bin as fw.bin"));
        QVERIFY(onlyReads(app.sim));
        QVERIFY(!QFile::exists(app.state.filePath("files/fw.bin")));
        run = app.run({"upload", bin, "--dry-run", "--min-voltage", "13", "--records", db});
        QCOMPARE(run.status, 8);
    }

    // The filters, newest first; JSON and CSV, a name with a comma, a quote and a line break
    // surviving the CSV.
    void listingRecords()
    {
        const QString db = records("list");
        Station app("app");
        QVERIFY(app.sim.start());
        const QString odd = QStringLiteral("a,\"b\"\nc.bin");
        QCOMPARE(app.run({"remove", odd, "--records", db}).status, 5);
        QCOMPARE(app.run({"upload", app.file("fw.bin", firmwareFile()), "--records", db}).status, 0);
        Station boot("boot", {"--board-id", "0x4B455331"});
        QVERIFY(boot.sim.start());
        QCOMPARE(boot.run({"flash", boot.pack(image(3000), "0x4B455331"), "--records", db}).status, 0);

        const auto list = [&](const QStringList &filter) {
            const CliRun run = runCli({}, QStringList {"records", "--records", db, "--json"} + filter);
            QStringList jobs;
            for (const QJsonValue &record : run.json().value("result").toObject().value("records").toArray())
                jobs << record.toObject().value("job").toString();
            return jobs;
        };
        QCOMPARE(list({}), (QStringList {"flash", "upload", "remove"}));
        QCOMPARE(list({"--board", "4b455331"}), QStringList {"flash"});
        QCOMPARE(list({"--board", "0x004B455331"}), QStringList {"flash"});
        QCOMPARE(list({"--failed"}), QStringList {"remove"});
        QCOMPARE(list({"--job", "upload"}), QStringList {"upload"});
        QCOMPARE(list({"--limit", "2"}), (QStringList {"flash", "upload"}));
        const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
        QCOMPARE(list({"--since", tomorrow}), QStringList());
        QCOMPARE(list({"--until", tomorrow}).size(), 3);
        // A time of day counts, local or in its own zone.
        const QDateTime now = QDateTime::currentDateTime();
        QCOMPARE(list({"--since", now.addSecs(3600).toString("yyyy-MM-dd HH:mm")}), QStringList());
        QCOMPARE(list({"--until", now.addSecs(-3600).toUTC().toString(Qt::ISODate)}), QStringList());
        const QString uuid = recordsIn(db).first().uuid;
        QVERIFY(!uuid.isEmpty());
        QCOMPARE(list({"--uuid", uuid}), QStringList {"flash"});
        QCOMPARE(runCli({}, {"records", "--records", db, "--since", "yesterday"}).status, 1);

        const CliRun csv = runCli({}, {"records", "--records", db, "--csv"});
        QCOMPARE(csv.status, 0);
        const QList<QStringList> rows = RecordFormat::parseCsv(csv.out);
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows[0], JobRecord::columns());
        QCOMPARE(rows[3].at(rows[0].indexOf("file_name")), odd);
        QCOMPARE(rows[3].at(rows[0].indexOf("status")), QStringLiteral("failed"));
        QCOMPARE(rows[1].at(rows[0].indexOf("finalise_confirmed")), QStringLiteral("yes"));
    }

    // Four stations in one process and a fifth in another flash at once into one file: each
    // flash has its record, once.
    void manyWriters()
    {
        const QString db = records("many");
        std::vector<std::unique_ptr<Station>> stations;
        QStringList ports;
        for (int i = 0; i < 5; ++i) {
            stations.push_back(std::make_unique<Station>("boot", QStringList {"--board-id", "7"}));
            QVERIFY(stations.back()->sim.start());
            ports << stations.back()->sim.port();
        }
        const QString package = stations[0]->pack(image(4000), "7");
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VELTRANO_EXTRA_PORTS"), ports.join(QDir::listSeparator()));
        second.setProcessEnvironment(env);
        second.start(QStringLiteral(VELTRANO_CLI),
            {"flash", package, "--port", ports[4], "--baud", "38400", "--records", db, "--require-records"});
        QStringList first {"flash", package, "--records", db, "--require-records"};
        for (const QString &port : ports.mid(0, 4))
            first << "--port" << port;
        const CliRun run = runCli(ports, first, 120000);
        QVERIFY(second.waitForFinished(120000));
        QVERIFY2(run.status == 0, run.err.constData());
        QCOMPARE(second.exitCode(), 0);
        const QList<JobRecord> kept = recordsIn(db);
        QCOMPARE(kept.size(), 5);
        QStringList seen;
        for (const JobRecord &record : kept) {
            QVERIFY(record.ok() && record.finaliseConfirmed);
            seen << record.port;
        }
        seen.sort();
        ports.sort();
        QCOMPARE(seen, ports);
    }

    // A file that cannot be opened or written gives one warning and a verified job; with --require-records
    // the job is refused before the adapter hears anything.
    void recordsUnavailable()
    {
        Station app("app"), boot("boot", {"--board-id", "7"});
        QVERIFY(app.sim.start() && boot.sim.start());
        const QString bin = app.file("fw.bin", firmwareFile());
        const QByteArray firmware = image(5000);
        const QString package = boot.pack(firmware, "7");
        const QString locked = records("locked");
        RecordStore(locked).open();
        {
            QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
            holder.setDatabaseName(locked);
            QVERIFY(holder.open());
            QSqlQuery(holder).exec(QStringLiteral("BEGIN EXCLUSIVE"));
            // Under a file rather than a folder: no permission lets it be made, root's neither.
            const QString unopenable
                = writeFile(m_dir, QStringLiteral("plain"), "x") + QStringLiteral("/records.sqlite");
            // A flash writes a step at its erase too; waiting for the lock is not the device's silence
            // (--timeout 3, shorter than the 5 s the lock is waited for as the job begins).
            CliRun run = boot.run({"flash", package, "--records", locked, "--timeout", "3"});
            QVERIFY2(run.status == 0, run.err.constData());
            QCOMPARE(run.err.count("warning: The job goes on without its record"), 1);
            QCOMPARE(boot.flashed(firmware.size()), firmware);
            for (const QString &db : {locked, unopenable}) {
                run = app.run({"upload", bin, "--records", db});
                QVERIFY2(run.status == 0, run.err.constData());
                QCOMPARE(run.err.count("warning: The job goes on without its record"), 1);
                // The simulator logs the last upload's closing lines after it has ended.
                const auto settled = [&app] {
                    int lines = -1;
                    while (lines != app.sim.received().size()) {
                        lines = app.sim.received().size();
                        QTest::qWait(300);
                    }
                    return lines;
                };
                const int heard = settled();
                run = app.run({"upload", bin, "--records", db, "--require-records"});
                QCOMPARE(run.status, 9);
                QVERIFY2(run.err.contains("nothing was sent"), run.err.constData());
                QCOMPARE(settled(), heard);
            }
            QSqlQuery(holder).exec(QStringLiteral("ROLLBACK"));
            holder.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    }

    // A flash stopped after its erase is recognised at the next connection, and a flash that
    // then completes ends it.
    void unfinishedFlash()
    {
        const QString db = records("unfinished");
        const QByteArray firmware = image(30000);
        Station s("boot", {"--board-id", "7"});
        QVERIFY(s.sim.start());
        const QString package = s.pack(firmware, "7");
        CliRun run = s.run({"flash", package, "--records", db}, [&](QProcess &cli) {
            QVERIFY(
                QTest::qWaitFor([&] { return requests(s.sim).filter(QRegularExpression("^36")).size() > 3; }, 20000));
            ::kill(pid_t(cli.processId()), SIGTERM);
        });
        QCOMPARE(run.status, 143);
        const JobRecord stopped = recordsIn(db).first();
        QVERIFY(stopped.leftNoApplication() && stopped.status == "stopped");
        QCOMPARE(stopped.sha256, sha256(firmware));

        const QByteArray words = "did not finish: it has no application";
        // An erase the device refused left its application as it was.
        Station refusing("boot", {"--board-id", "7", "--uuid", "000000000000000000000001", "--negative", "B100B2:22"});
        QVERIFY(refusing.sim.start());
        QCOMPARE(refusing.run({"flash", package, "--records", db}).status, 3);
        run = refusing.run({"bootloader", "--records", db});
        QVERIFY2(run.status == 0 && !run.err.contains(words), run.err.constData());

        run = s.run({"bootloader", "--records", db, "--json"});
        QCOMPARE(run.status, 0);
        QVERIFY(run.json().value("result").toObject().value("unfinishedFlash").toString().contains(words));
        run = s.run({"flash", package, "--records", db});
        QVERIFY2(run.status == 0 && run.err.contains(words), run.err.constData());
        QCOMPARE(s.flashed(firmware.size()), firmware);
        run = s.run({"bootloader", "--records", db});
        QVERIFY(!run.err.contains(words));
    }
};

VELTRANO_TEST_MAIN(TestCliRecords)
#include "tst_clirecords.moc"
