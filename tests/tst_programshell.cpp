#include "testfiles.h"
#include "testsupport.h"

#include <dfuparams.h>
#include <programshell.h>
#include <qmaterialicon.h>
#include <settingskeys.h>

namespace {

using testfiles::readFile;
using testfiles::writeFile;

// What the stand-in windows saw, shared across the runs of one loop.
struct Record
{
    std::deque<int> managerCodes; // event-loop code per manager run
    std::deque<int> updaterResults; // result per updater run
    bool managerInitOk = true;
    bool updaterStartOk = true;
    int managers = 0;
    int updaters = 0;
    QList<DFUParams> params;
    QStringList translatedAtShow; // a program text as the window saw it
    QList<bool> iconsDrew; // whether a font icon painted anything
    bool appAliveAtWindowDeath = true;
    QStringList started; // program and arguments of a restart
    QString warningText; // text of a message box the run showed
};

bool iconPaints()
{
    const QImage image = QMaterialIcon::icon(QStringLiteral("home"), Qt::black).pixmap(24, 24).toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return true;
    return false;
}

void exitSoon(int code)
{
    QTimer::singleShot(0, [code] { QCoreApplication::exit(code); });
}

class FakeManager : public ManagerView
{
public:
    explicit FakeManager(Record &r)
        : m_r(r)
    {
        ++m_r.managers;
    }
    ~FakeManager() override { m_r.appAliveAtWindowDeath &= QCoreApplication::instance() != nullptr; }
    bool init() override { return m_r.managerInitOk; }
    void showWindow() override
    {
        m_r.translatedAtShow << QCoreApplication::translate("DropArea", "Select DFU File");
        m_r.iconsDrew << iconPaints();
        exitSoon(m_r.managerCodes.empty() ? 0 : m_r.managerCodes.front());
        if (!m_r.managerCodes.empty())
            m_r.managerCodes.pop_front();
    }

private:
    Record &m_r;
};

class FakeUpdater : public UpdaterView
{
public:
    explicit FakeUpdater(Record &r)
        : m_r(r)
    {
        ++m_r.updaters;
    }
    ~FakeUpdater() override { m_r.appAliveAtWindowDeath &= QCoreApplication::instance() != nullptr; }
    void setup(const DFUParams &params) override { m_r.params << params; }
    void showWindow() override
    {
        m_r.translatedAtShow << QCoreApplication::translate("DropArea", "Select DFU File");
        m_r.iconsDrew << iconPaints();
    }
    bool start() override
    {
        if (!m_r.updaterStartOk) {
            Record *r = &m_r;
            testsupport::whenModalAppears([r](QWidget *modal) {
                auto *box = qobject_cast<QMessageBox *>(modal);
                if (box) {
                    r->warningText = box->windowTitle() + QLatin1Char('|') + box->text();
                    box->button(QMessageBox::Ok)->click();
                }
            });
            return false;
        }
        m_result = m_r.updaterResults.empty() ? 0 : m_r.updaterResults.front();
        if (!m_r.updaterResults.empty())
            m_r.updaterResults.pop_front();
        exitSoon(0);
        return true;
    }
    int runResult() const override { return m_result; }
    void shutdown() override { }

private:
    Record &m_r;
    int m_result = 0;
};

ProgramShell makeShell(Record &r, bool recordRestart = true)
{
    WindowFactory windows {
        [&r] { return std::make_unique<FakeManager>(r); }, [&r] { return std::make_unique<FakeUpdater>(r); }};
    if (!recordRestart)
        return ProgramShell(windows);
    return ProgramShell(windows, [&r](const QString &program, const QStringList &arguments) {
        r.started = QStringList {program} + arguments;
        return true;
    });
}

// Each shell stands for one process: it owns the command line and restart data.
void runProcess(Record &r, const QStringList &args = {QStringLiteral("veltrano")})
{
    testsupport::Arguments a(args);
    makeShell(r).run(a.argc, a.argv());
}

// The program's own store, as the shell's applications open it.
void store(const QString &key, const QVariant &value)
{
    QSettings(SettingsKeys::organisation, SettingsKeys::application).setValue(key, value);
}

} // namespace

class TestProgramShell : public QObject
{
    Q_OBJECT

    QTemporaryDir m_ports;

private slots:
    void init() { QSettings(SettingsKeys::organisation, SettingsKeys::application).clear(); }

    // Which windows run, in which order, and whether the program restarts: decided by the
    // manager's exit code and each updater's result.
    void runs_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("managerCode"); // -1: the manager fails to initialise
        QTest::addColumn<QList<int>>("results");
        QTest::addColumn<int>("managers");
        QTest::addColumn<bool>("reuse");
        QTest::addColumn<bool>("restarted");
        const QStringList none;
        QTest::newRow("253 restarts") << none << 253 << QList<int>() << 1 << false << true;
        QTest::newRow("253 restarts with the same arguments")
            << QStringList {"--lang", "de", "extra"} << 253 << QList<int>() << 1 << false << true;
        QTest::newRow("254 updater without connection") << none << 254 << QList<int> {0} << 1 << false << false;
        QTest::newRow("255 updater reusing the connection") << none << 255 << QList<int> {0} << 1 << true << false;
        QTest::newRow("0 ends") << none << 0 << QList<int>() << 1 << false << false;
        QTest::newRow("252 ends") << none << 252 << QList<int>() << 1 << false << false;
        QTest::newRow("256 ends") << none << 256 << QList<int>() << 1 << false << false;
        QTest::newRow("failed init ends") << none << -1 << QList<int>() << 1 << false << false;
        QTest::newRow("updater 1 restarts") << none << 254 << QList<int> {1} << 1 << false << true;
        QTest::newRow("updater 2 runs it again") << none << 255 << QList<int> {2, 2, 0} << 1 << true << false;
        QTest::newRow("again, then restart") << none << 255 << QList<int> {2, 1} << 1 << true << true;
        // No manager reached its event loop, so there is nothing to restart with.
        QTest::newRow("--dfu skips the manager") << QStringList {"--dfu"} << 0 << QList<int> {1} << 0 << false << false;
    }

    void runs()
    {
        QFETCH(QStringList, options);
        QFETCH(int, managerCode);
        QFETCH(QList<int>, results);
        QFETCH(bool, reuse);
        QFETCH(bool, restarted);
        store(SettingsKeys::handoverPort, QStringLiteral("/dev/ttyUSB7"));
        Record r;
        r.managerInitOk = managerCode >= 0;
        r.managerCodes = {managerCode};
        r.updaterResults.assign(results.begin(), results.end());
        const QStringList args = QStringList {QStringLiteral("/opt/veltrano/veltrano")} + options;
        runProcess(r, args);
        QTEST(r.managers, "managers");
        QCOMPARE(r.updaters, results.size());
        // Every repeated updater run keeps the connection choice of the manager.
        for (const DFUParams &p : qAsConst(r.params)) {
            QCOMPARE(p.lastPort, QStringLiteral("/dev/ttyUSB7"));
            QCOMPARE(p.port, reuse ? QStringLiteral("/dev/ttyUSB7") : QString());
        }
        // A restart repeats the program path as the first argument, which the new copy ignores.
        QCOMPARE(r.started, restarted ? QStringList {args.first()} + args : QStringList());
        QVERIFY(r.appAliveAtWindowDeath);
    }

    void updaterParameters_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<int>("managerCode");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("lastPort");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("adapter");
        QTest::newRow("nothing stored, reusing") << QVariantMap {} << 255 << QString() << QString() << -1 << 1;
        const QString &portKey = SettingsKeys::handoverPort;
        const QString &baudKey = SettingsKeys::handoverBaud;
        const QString &adapterKey = SettingsKeys::handoverAdapter;
        QTest::newRow("all stored, reusing")
            << QVariantMap {{portKey, "COM4"}, {baudKey, 38400}, {adapterKey, "elm327"}} << 255 << QString("COM4")
            << QString("COM4") << 38400 << 0;
        QTest::newRow("all stored, not reusing")
            << QVariantMap {{portKey, "COM4"}, {baudKey, 115200}, {adapterKey, "els27"}} << 254 << QString()
            << QString("COM4") << 115200 << 1;
        // The manager hands over the link it stores; the updater's list shows the port it leads to.
        const QString adapterPort = m_ports.filePath(QStringLiteral("sim0"));
        const QString link = m_ports.filePath(QStringLiteral("station-1"));
        QFile(adapterPort).open(QIODevice::WriteOnly);
        QFile::link(adapterPort, link);
        qputenv("VELTRANO_EXTRA_PORTS", adapterPort.toLocal8Bit());
        QTest::newRow("a link to the adapter's port, reusing")
            << QVariantMap {{portKey, link}, {baudKey, 38400}} << 255 << adapterPort << adapterPort << 38400 << 1;
        QTest::newRow("adapter name is case-sensitive")
            << QVariantMap {{adapterKey, "ELM327"}} << 254 << QString() << QString() << -1 << 1;
        QTest::newRow("a rate that is no number reads 0")
            << QVariantMap {{baudKey, "fast"}} << 254 << QString() << QString() << 0 << 1;
    }

    void updaterParameters()
    {
        QFETCH(QVariantMap, settings);
        QFETCH(int, managerCode);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            store(it.key(), it.value());
        Record r;
        r.managerCodes = {managerCode};
        runProcess(r);
        QCOMPARE(r.params.size(), 1);
        const DFUParams &p = r.params.first();
        QTEST(p.port, "port");
        QTEST(p.lastPort, "lastPort");
        QTEST(p.baud, "baud");
        QTEST(p.adapter, "adapter");
        QCOMPARE(p.canId, 0x747);
        QCOMPARE(p.pcId, 0x74F);
    }

    void languageOption_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("after");
        const QString system = QLocale::system().name();
        QTest::newRow("lang stored unchanged") << "ru_RU" << QStringList {"--lang", "xx"} << "xx";
        QTest::newRow("invalid stored replaced") << "q" << QStringList {} << system;
        QTest::newRow("empty stored replaced") << "" << QStringList {} << system;
        QTest::newRow("pt_BR kept") << "pt_BR" << QStringList {} << "pt_BR";
    }

    void languageOption()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, options);
        if (!before.isEmpty())
            store(SettingsKeys::language, before);
        Record r;
        runProcess(r, QStringList {QStringLiteral("veltrano")} + options);
        QTEST(QSettings(SettingsKeys::organisation, SettingsKeys::application).value(SettingsKeys::language).toString(),
            "after");
    }

    // The first run stores the language and nothing later in the process reads the command line
    // again, yet every run has the catalogue and the icon font in its own application.
    void eachRunIsTranslatedAndHasIcons()
    {
        Record r;
        r.managerCodes = {255};
        r.updaterResults = {2, 0};
        runProcess(r, {QStringLiteral("veltrano"), QStringLiteral("--lang"), QStringLiteral("ru")});
        QCOMPARE(r.managers, 1);
        QCOMPARE(r.updaters, 2);
        QCOMPARE(r.iconsDrew, (QList<bool> {true, true, true}));
        for (const QString &text : qAsConst(r.translatedAtShow))
            QVERIFY(text != QLatin1String("Select DFU File"));
    }

    void failedUpdaterStartWarnsAndRestarts()
    {
        Record r;
        r.managerCodes = {254};
        r.updaterStartOk = false;
        // The warning is shown untranslated even with a translated UI.
        runProcess(r, {QStringLiteral("veltrano"), QStringLiteral("--lang"), QStringLiteral("ru")});
        QCOMPARE(r.warningText,
            QStringLiteral("Updater|A problem with the Updater application has been detected. "
                           "The applictaion will be closed."));
        QCOMPARE(r.started.value(0), QStringLiteral("veltrano"));
    }

    void restartStartsANewProcess()
    {
        // A stand-in program that notes how it was started.
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("started"));
        const QString program = writeFile(dir, QStringLiteral("veltrano-copy"),
            QStringLiteral("#!/bin/sh\necho \"$@\" > '%1.tmp' && mv '%1.tmp' '%1'\n").arg(marker).toLocal8Bit());
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        Record r;
        r.managerCodes = {253};
        testsupport::Arguments a({program, QStringLiteral("--lang"), QStringLiteral("de")});
        QCOMPARE(makeShell(r, false).run(a.argc, a.argv()), 0);
        for (int waited = 0; waited < 10000 && !QFile::exists(marker); waited += 20)
            QThread::msleep(20);
        QCOMPARE(QString::fromLocal8Bit(readFile(marker)).trimmed(), program + QStringLiteral(" --lang de"));
    }
};

int main(int argc, char *argv[])
{
    // No application object here: the shell builds one per run.
    testsupport::prepareHeadless();
    TestProgramShell tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_programshell.moc"
