// The updater window end to end against kestrane-sim's Kestrane bootloader: port search,
// the connection dialog, package refusals, flashing, failures, and the result codes the run
// loop reads.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <dfupackage.h>
#include <droparea.h>
#include <elmparams.h>
#include <hiddfu.h>
#include <launchdialog.h>
#include <recordstore.h>
#include <serialports.h>
#include <settingskeys.h>

#include <QCryptographicHash>
#include <QProgressBar>
#include <QProgressDialog>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTimer>

#include <functional>
#include <utility>

#include <sys/stat.h>

namespace {

using namespace testfiles;

constexpr quint32 board = 7;
const QString noApplication = QStringLiteral("\n\nThe device has no application now and must be flashed again.");
const QString lowBattery = QStringLiteral("The vehicle's battery reads %1 V. A flash that stops halfway leaves the "
                                          "device without an application. Flash anyway?");

using testsupport::child;
using testsupport::waitUntil;

void click(QObject *parent, const char *name)
{
    if (auto *button = child<QAbstractButton>(parent, name))
        button->click();
}

// Hands a file to the window the way its drop area does after a drop.
void drop(QWidget *window, const QString &path)
{
    emit child<DropArea>(window, "dfuDropArea")->changed(path);
}

// Answers the updater's boxes, its connection dialog and its launch dialog.
struct Responder : testsupport::Modals
{
    Responder()
    {
        onDialog = [this](QWidget *modal) {
            if (auto *params = qobject_cast<ELMParams *>(modal)) {
                ++paramsDialogs;
                onParams(params);
            } else if (auto *launch = qobject_cast<LaunchDialog *>(modal)) {
                ++launchDialogs;
                onLaunch(launch);
            }
            return qobject_cast<ELMParams *>(modal) || qobject_cast<LaunchDialog *>(modal);
        };
    }

    std::function<void(ELMParams *)> onParams = [](ELMParams *dialog) { dialog->accept(); };
    std::function<void(LaunchDialog *)> onLaunch = [](LaunchDialog *dialog) { click(dialog, "launchButton"); };
    int paramsDialogs = 0;
    int launchDialogs = 0;
};

// A simulated bootloader, a package for it and an updater window set up for its port.
struct Bench
{
    // Frame by frame unless asked otherwise: most of these tests count the adapter's frame lines.
    explicit Bench(const QStringList &simExtra = {}, const QString &transfer = QStringLiteral("frames"))
        : sim(QStringList {"--adapter", "els27", "--device", "kestrane", "--mode", "boot", "--state", state.path(),
                  "--board-id", QString::number(board)}
            + simExtra)
    {
        QSettings().setValue(SettingsKeys::transfer, transfer);
        params.port = params.lastPort = sim.port();
        params.baud = 38400; // the ELS27 and the bootloader's identifiers by default
    }

    QString package(const QByteArray &firmware, const QString &info = QStringLiteral("Kestrane app 3.0"))
    {
        return writeFile(files, QStringLiteral("app.dfu"), DfuPackage::build(board, info.toLatin1(), firmware));
    }

    // Runs the updater as the run loop does; -1 when the safety time-out had to end it.
    int run(int safetyMs = 30000)
    {
        if (!sim.start())
            return -3;
        if (sim.port().startsWith(QLatin1String("tcp://"))) // named once it listens
            params.port = params.lastPort = sim.port();
        window.setup(params);
        window.showWindow();
        if (!window.start())
            return -2;
        const bool inTime = testsupport::runLoop({}, safetyMs) != -1;
        window.shutdown();
        return inTime ? window.runResult() : -1;
    }

    QString log(const char *name) { return child<QTextBrowser>(&window, name)->toPlainText(); }
    bool ready()
    {
        return !QApplication::activeModalWidget()
            && child<QStackedWidget>(&window, "stackedWidget")->currentIndex() == 0
            && child<QWidget>(&window, "controlWidget")->isEnabled()
            && !child<DropArea>(&window, "dfuDropArea")->hasFile();
    }
    bool flashed(const QByteArray &firmware) { return readFile(state.filePath("flash.bin")).startsWith(firmware); }
    bool runsApplication() { return readFile(state.filePath("device.cfg")).contains("mode=app"); }

    QTemporaryDir state;
    QTemporaryDir files;
    SimHarness sim;
    DFUParams params;
    HIDDfu window;
    Responder responder;
};

// The updater on a machine whose only serial port is COM1.
class OnlyCom1 : public HIDDfu
{
    QStringList listPorts() const override { return {QStringLiteral("COM1")}; }
};

} // namespace

class TestUpdaterWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_records;
    QString m_recordsPath; // this test's store of job records
    int m_tests = 0;

private slots:
    void init()
    {
        m_recordsPath = m_records.filePath(QStringLiteral("records-%1.sqlite").arg(++m_tests));
        qputenv("VELTRANO_RECORDS", QFile::encodeName(m_recordsPath));
    }

    void connectionDialog_data()
    {
        // The rate, the device's identifier and the PC's, set and read back.
        QTest::addColumn<QList<int>>("set");
        QTest::addColumn<QList<int>>("read");
        QTest::newRow("no stored rate") << QList<int> {-1, 0x747, 0x74F} << QList<int> {0, 0x747, 0x74F};
        QTest::newRow("no PC id follows the device's")
            << QList<int> {38400, 0x747, 0} << QList<int> {38400, 0x747, 0x787};
        QTest::newRow("loading keeps PC id") << QList<int> {115200, 0x700, 0x100} << QList<int> {115200, 0x700, 0x100};
        QTest::newRow("clamped") << QList<int> {2000000, 0x900, 0x74F} << QList<int> {1000000, 0x7FF, 0x74F};
    }

    void connectionDialog()
    {
        QFETCH(QList<int>, set);
        ELMParams dialog;
        dialog.setPorts({"ttyA", "ttyB"}, "ttyB");
        DFUParams in;
        in.baud = set[0];
        in.canId = set[1];
        in.pcId = set[2];
        dialog.setParams(in);
        DFUParams out;
        out.file = QStringLiteral("kept.dfu");
        dialog.getParams(out);
        QCOMPARE(out.port, QStringLiteral("ttyB"));
        QTEST((QList<int> {out.baud, out.canId, out.pcId}), "read");
        QCOMPARE(out.file, QStringLiteral("kept.dfu"));

        // The PC's identifier follows the device's by +8 until set by hand; an unknown port
        // falls back to the first one listed.
        auto *canSpin = child<QSpinBox>(&dialog, "canIDSpin");
        auto *pcSpin = child<QSpinBox>(&dialog, "pcIDSpin");
        canSpin->setValue(0x7E0);
        QCOMPARE(pcSpin->value(), 0x7E8);
        canSpin->setValue(0x7F8);
        QCOMPARE(pcSpin->value(), 0x7FF);
        dialog.setPorts({"ttyA", "ttyB"}, "elsewhere");
        dialog.getParams(out);
        QCOMPARE(out.port, QStringLiteral("ttyA"));
    }

    void noUsablePortEnds_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("ten scans") << false;
        // The search dialog shows once its progress looks slow; cancelling it ends at the next scan.
        QTest::newRow("search cancelled") << true;
    }

    void noUsablePortEnds()
    {
        QFETCH(bool, cancel);
        qputenv("VELTRANO_EXTRA_PORTS", "/nonexistent/veltrano-port");
        OnlyCom1 window;
        Responder responder;
        if (cancel)
            responder.when(
                [&] {
                    auto *search = window.findChild<QProgressDialog *>();
                    return search && search->isVisible();
                },
                [&] { window.findChild<QProgressDialog *>()->cancel(); });
        window.showWindow();
        QVERIFY(window.start());
        QCOMPARE(testsupport::runLoop(), 0);
        window.shutdown();
        QCOMPARE(responder.warnings, QStringList {"No IO ports available"});
        QCOMPARE(responder.paramsDialogs, 0);
    }

    void connects_data()
    {
        QTest::addColumn<int>("storedRate"); // -1: none stored, the dialog asks
        QTest::addColumn<int>("chosenRate");
        QTest::addColumn<bool>("slave");
        QTest::addColumn<QString>("shownRate");
        QTest::addColumn<QStringList>("simExtra");
        QTest::newRow("stored rate, no dialog") << 38400 << 0 << false << "38400" << QStringList();
        QTest::newRow("asked, fixed rate") << -1 << 38400 << false << "38400" << QStringList();
        QTest::newRow("asked, automatic") << -1 << 0 << false << "auto" << QStringList();
        QTest::newRow("slave window") << 38400 << 0 << true << "38400" << QStringList();
        QTest::newRow("asked, cancelled") << -1 << -1 << false << "" << QStringList();
        // A Wi-Fi adapter named tcp://HOST:PORT, as the manager hands it over.
        QTest::newRow("network adapter") << 38400 << 0 << false << "38400" << QStringList {"--tcp", "0"};
    }

    void connects()
    {
        QFETCH(int, storedRate);
        QFETCH(int, chosenRate);
        QFETCH(bool, slave);
        QFETCH(QString, shownRate);
        QFETCH(QStringList, simExtra);
        Bench b(simExtra);
        b.params.baud = storedRate;
        b.params.mode = slave ? HIDDfu::Slave : HIDDfu::Standalone;
        QStringList shown;
        b.responder.onParams = [&](ELMParams *dialog) {
            auto *baud = child<QSpinBox>(dialog, "baudSpin");
            shown << baud->text() << QString::number(child<QRadioButton>(dialog, "adapterELSRadio")->isChecked());
            baud->setValue(chosenRate);
            chosenRate < 0 ? dialog->reject() : dialog->accept();
        };
        // A slave window only closes; the test ends its own loop once that has happened.
        QSignalSpy finished(&b.window, &HIDDfu::finished);
        if (slave)
            connect(&b.window, &HIDDfu::finished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        b.responder.when([&] { return b.log("elmLog").contains("UUID:"); }, [&] { click(&b.window, "restartTool"); });
        QCOMPARE(b.run(), chosenRate < 0 ? 0 : 2);
        const QString log = b.log("elmLog");
        QCOMPARE(log.isEmpty(), chosenRate < 0); // cancelling the dialog ends the updater
        if (chosenRate < 0)
            return;
        QVERIFY2(log.contains(QStringLiteral("Connecting to %1@%2...").arg(b.sim.port(), shownRate)), qPrintable(log));
        QVERIFY(log.contains("Kestrane bootloader 2.1"));
        QVERIFY(log.contains("UUID: 4B53494D0102030405060708"));
        QCOMPARE(log.count("Vehicle voltage: 12.6 V"), 1); // read at the set-up
        QCOMPARE(shown, storedRate < 0 ? (QStringList {"Automatic", "1"}) : QStringList());
        QVERIFY(b.responder.warnings.isEmpty());
        QCOMPARE(finished.count(), slave ? 1 : 0);
        QCOMPARE(b.window.isVisible(), !slave);
    }

    // A command button ends the updater; whoever handed it over hears success only when the device
    // answered the command itself, not when the link merely fell quiet after it.
    void commandEndings_data()
    {
        QTest::addColumn<QStringList>("simExtra");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("result");
        QTest::newRow("restart answered") << QStringList() << true << 2;
        QTest::newRow("restart put off, never carried out") << QStringList {"--busy-replies", "10:1"} << false << 2;
        QTest::newRow("restart refused") << QStringList {"--negative", "10:22"} << false << 0;
    }

    void commandEndings()
    {
        QFETCH(QStringList, simExtra);
        Bench b(simExtra);
        b.params.mode = HIDDfu::Slave;
        QSignalSpy finished(&b.window, &HIDDfu::finished);
        connect(&b.window, &HIDDfu::finished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        b.responder.when([&] { return b.log("elmLog").contains("UUID:"); }, [&] { click(&b.window, "restartTool"); });
        QTEST(b.run(), "result");
        QCOMPARE(finished.count(), 1);
        QTEST(finished.first().first().toBool(), "answered");
        QCOMPARE(b.responder.warnings.isEmpty(), b.window.runResult() != 0);
    }

    void packageRefusals_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QStringList>("simExtra");
        const auto row = [](const char *name, const QByteArray &content, const char *warning, const char *question = "",
                             const QStringList &simExtra = {}) {
            QTest::newRow(name) << content << QString(warning) << QString(question) << simExtra;
        };
        row("short", QByteArray(15, 'x'), "Firmware package is invalid");
        row("no package", QByteArray(64, 'x'), "app.dfu is not a firmware package");
        row("other board", DfuPackage::build(board + 1, "x", image(64)),
            "Incompatible hardware detected.\napp.dfu firmware package is designed for a different board");
        row("too big", DfuPackage::build(board, "big", image(4097)),
            "Cannot flash this firmware - it is 1 bytes bigger than maximum flash space available", "",
            {"--flash-size", "4096"});
        row("no image", DfuPackage::build(board, "empty", {}), "app.dfu holds no firmware image");
        row("declined", DfuPackage::build(board, "", image(16)), "", "Update firmware to <no info>?");
        row("low battery, declined", DfuPackage::build(board, "", image(16)), "", qPrintable(lowBattery.arg("11.2")),
            {"--voltage", "11.2"});
        // Opening a named pipe would wait for a writer for ever.
        row("named pipe", "fifo", "Cannot read firmware file");
        row("unreadable", {}, "Cannot read firmware file");
    }

    void packageRefusals()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, warning);
        QFETCH(QString, question);
        QFETCH(QStringList, simExtra);
        Bench b(simExtra);
        b.params.file = content.isEmpty() ? b.files.filePath("app.dfu") : writeFile(b.files, "app.dfu", content);
        if (content == "fifo")
            QVERIFY(QFile::remove(b.params.file) && mkfifo(QFile::encodeName(b.params.file).constData(), 0600) == 0);
        b.responder.answer = QMessageBox::No;
        bool backToDropPage = false;
        b.responder.when([&] { return !(b.responder.warnings + b.responder.questions).isEmpty() && b.ready(); },
            [&] {
                backToDropPage = true;
                click(&b.window, "restartTool");
            });
        QCOMPARE(b.run(), 2);
        QVERIFY(backToDropPage);
        QCOMPARE(b.responder.questions, question.isEmpty() ? QStringList() : QStringList {question});
        QCOMPARE(b.responder.warnings.size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QVERIFY2(b.responder.warnings.first().startsWith(warning), qPrintable(b.responder.warnings.first()));
        QVERIFY(!b.log("dfuLog").contains("Erasing"));
        QVERIFY(b.sim.received().filter(QStringLiteral("b100b2")).isEmpty()); // nothing erased
    }

    void flashes_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QStringList>("simExtra");
        QTest::addColumn<QString>("volts"); // as the flash log shows them
        QTest::addColumn<QString>("transfer");
        const QString frames = QStringLiteral("frames");
        QTest::newRow("launch") << "launch" << QStringList() << "12.6" << frames;
        QTest::newRow("segmented by the adapter") << "launch" << QStringList() << "12.6"
                                                  << "auto";
        QTest::newRow("return, then launch tool") << "return" << QStringList() << "12.6" << frames;
        QTest::newRow("automatic launch") << "auto" << QStringList() << "12.6" << frames;
        // The device erases for 20 s: waited for, never asked to erase again.
        QTest::newRow("20 s erase") << "auto" << QStringList {"--erase-ms", "20000"} << "12.6" << frames;
        // A weak battery is asked about, even with the launch automatic; an unknown voltage is not.
        QTest::newRow("low battery, flashed anyway") << "auto" << QStringList {"--voltage", "11.2"} << "11.2" << frames;
        QTest::newRow("voltage unknown") << "auto" << QStringList {"--voltage", "none"} << "" << frames;
    }

    void flashes()
    {
        QFETCH(QString, ending);
        QFETCH(QStringList, simExtra);
        QFETCH(QString, volts);
        QFETCH(QString, transfer);
        Bench b(simExtra, transfer);
        const QByteArray firmware = image(5000);
        // What the package says is text, markup or not.
        b.params.file = b.package(firmware, QStringLiteral("<b>Kestrane</b> app 3.0"));
        b.params.autoLaunch = ending == "auto";

        // Every line the flash log ever held; a second package attempt clears the log.
        QSet<QString> seen;
        // Runs once, as soon as the log says the image is being written: a polled step could come
        // too late for a small image that the adapter segments itself.
        std::function<void()> whileFlashing;
        auto *dfuLog = child<QTextBrowser>(&b.window, "dfuLog");
        connect(dfuLog, &QTextBrowser::textChanged, dfuLog, [&] {
            for (const QString &line : dfuLog->toPlainText().split('\n'))
                seen.insert(line);
            if (whileFlashing && seen.contains("Flashing"))
                QTimer::singleShot(0, dfuLog, std::exchange(whileFlashing, nullptr));
        });
        int highestProgress = 0;
        connect(child<QProgressBar>(&b.window, "progressBar"), &QProgressBar::valueChanged, dfuLog,
            [&](int value) { highestProgress = qMax(highestProgress, value); });
        bool flashedBeforeDialog = false;
        b.responder.onLaunch = [&](LaunchDialog *dialog) {
            flashedBeforeDialog = seen.contains("Flashed.");
            click(dialog, ending == "return" ? "returnButton" : "launchButton");
        };
        // What was checked is flashed: a package replaced while the technician is asked, or cut
        // short while it is being written, changes nothing for the device.
        b.responder.beforeAnswer = [&](const QString &question) {
            if (question.startsWith("Update firmware"))
                b.package(image(5001).mid(1));
        };
        if (ending == "auto")
            whileFlashing = [&] { QFile::resize(b.params.file, 100); };
        // A second package while the first is being written is turned away.
        if (ending == "launch")
            whileFlashing = [&] { drop(&b.window, b.params.file); };
        bool keptOpen = false;
        if (ending == "return")
            b.responder.when([&] { return b.responder.launchDialogs == 1 && !QApplication::activeModalWidget(); },
                [&] {
                    keptOpen = b.window.isVisible() && child<QWidget>(&b.window, "controlWidget")->isEnabled()
                        && b.window.result == 0;
                    click(&b.window, "launchTool");
                });
        QCOMPARE(b.run(60000), 1);

        QStringList questions;
        if (volts == "11.2")
            questions << lowBattery.arg(volts);
        if (ending != "auto")
            questions << "Update firmware to <b>Kestrane</b> app 3.0?";
        QCOMPARE(b.responder.questions, questions);
        QVERIFY(seen.contains("Opened firmware file <b>Kestrane</b> app 3.0"));
        // The link's log says each reading once: the set-up's, the status's for the package, and
        // those before and after the flash.
        const QString voltage = volts.isEmpty() ? "Vehicle voltage unknown" : "Vehicle voltage: " + volts + " V";
        QVERIFY2(b.log("elmLog").count(voltage) == 4, qPrintable(b.log("elmLog")));
        QCOMPARE(b.sim.received().filter(QStringLiteral("b100b2ff")).size(), 1);
        QCOMPARE(b.log("elmLog").contains("Transfers: segmented"), transfer == "auto");
        QCOMPARE(b.responder.warnings, ending == "launch" ? QStringList {"Busy flashing. Please wait"} : QStringList());
        for (const char *line : {"Erasing", "Flashing", "Finalizing", "Flashed."})
            QVERIFY2(seen.contains(QLatin1String(line)), line);
        QCOMPARE(highestProgress, 100);
        QCOMPARE(b.responder.launchDialogs, ending == "auto" ? 0 : 1);
        QCOMPARE(flashedBeforeDialog, ending != "auto");
        QCOMPARE(keptOpen, ending == "return");
        QVERIFY(b.flashed(firmware));
        QTRY_VERIFY_WITH_TIMEOUT(b.runsApplication(), 15000);
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("questionAsked");
        QTest::addColumn<bool>("dropAgain"); // once the window is ready again, with a fault-free device
        const auto row
            = [](const char *name, const QStringList &fault, const QString &warning, bool questionAsked = false,
                  bool dropAgain = false) { QTest::newRow(name) << fault << warning << questionAsked << dropAgain; };
        row("write refused", {"--negative", "36:31"},
            "Communication error: Device error 49 at command 36" + noApplication, true);
        row("finalise refused", {"--negative", "37:72"},
            "Communication error: Device error 114 at command 37" + noApplication, true);
        // The first write's reply is lost and the device stays busy past the step's time; the
        // next package finds it well.
        row("device busy too long", {"--lose-write-reply", "1", "--busy-status", "20"},
            "Communication error: The device did not finish a step of the flash within 5 s" + noApplication, true,
            true);
        // The package waits for the board and flash size; a status that never comes lets it go.
        const QString noStatus = "The device did not report its status; %1 was not checked and not flashed";
        row("status never comes", {"--silent-requests", "3:40"}, noStatus);
        // The status is asked again for the package: the board may have been swapped since the
        // connection. Requests 1-3 are the description, UUID and status.
        row("no status for the package", {"--silent-requests", "4:40"}, noStatus);
        // Outside a flash a communication error still ends the updater.
        row("malformed status", {"--malformed", "B100B0"}, "Communication error: Invalid 'STATUS' reply");
        // The set-up fails with the link's own reason.
        row("silent adapter", {"--silent"}, "No adapter answers on %2 at 38400 bit/s");
        row("ELS27 chosen for an ELM327", {"--adapter", "elm327"},
            "The adapter on %2 is an ELM327 (ELM327 v1.5), not an ELS27: choose ELM327");
    }

    // Whatever ended the flash, the window says so once, lets the package go and takes the next.
    void failures()
    {
        QFETCH(QStringList, fault);
        QFETCH(QString, warning);
        QFETCH(bool, questionAsked);
        QFETCH(bool, dropAgain);
        Bench b(fault);
        // Whatever else ends while the technician reads the warning belongs to the same failure.
        b.responder.readingMs = 500;
        const QByteArray firmware = image(3000);
        b.params.file = b.package(firmware);
        bool ready = false;
        b.responder.when([&] { return b.responder.warnings.size() == 1 && !QApplication::activeModalWidget(); },
            [&] {
                ready = b.ready();
                dropAgain ? drop(&b.window, b.params.file) : void(b.window.close());
            });
        QCOMPARE(b.run(40000), dropAgain ? 1 : 0);
        // These end the updater.
        QVERIFY(ready || fault.contains("--malformed") || fault.contains("--silent") || fault.contains("--adapter"));
        QCOMPARE(b.responder.warnings,
            QStringList {QString(warning).replace("%1", b.params.file).replace("%2", b.sim.port())});
        QCOMPARE(b.responder.questions.size(), (questionAsked ? 1 : 0) + (dropAgain ? 1 : 0));
        QCOMPARE(b.responder.launchDialogs, dropAgain ? 1 : 0);
        if (dropAgain)
            QVERIFY(b.flashed(firmware));
        QTRY_COMPARE_WITH_TIMEOUT(b.runsApplication(), dropAgain, 15000);
    }

    void leavingDuringAFlash_data()
    {
        QTest::addColumn<QString>("how"); // the close button answered "no" or "yes", or the loop ends ("loop")
        QTest::addColumn<QStringList>("simExtra");
        QTest::addColumn<QString>("when"); // the flash log's line that starts it
        QTest::newRow("carry on") << "no" << QStringList() << "Flashing";
        QTest::newRow("stop between writes") << "yes" << QStringList() << "Flashing";
        // The device erases for 3 s: the stop waits for it and sends no address after it.
        QTest::newRow("stop during the erase") << "yes" << QStringList {"--erase-ms", "3000"} << "Erasing";
        QTest::newRow("loop ended") << "loop" << QStringList() << "Flashing";
        // Only the finalise is left: the flash ends as the device answers it, and is said so.
        QTest::newRow("stop with the finalise sent") << "yes" << QStringList {"--slow-reply", "37:500"} << "finalise";
    }

    // Leaving during a flash asks first; a stop ends the flash between two steps, never inside one.
    void leavingDuringAFlash()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, simExtra);
        QFETCH(QString, when);
        Bench b(simExtra);
        const QByteArray firmware = image(5000);
        b.params.file = b.package(firmware);
        bool controlsHeld = how == "loop";
        const auto started = [&] {
            return when == "finalise" ? !b.sim.received().filter(QRegularExpression("^0137")).isEmpty()
                                      : b.log("dfuLog").contains(when);
        };
        b.responder.when(started, [&] {
            if (how == "loop")
                return QCoreApplication::exit(0);
            b.responder.answer = how == "no" ? QMessageBox::No : QMessageBox::Yes;
            b.window.close();
            b.window.close();
            controlsHeld = b.window.isVisible() && !child<QWidget>(&b.window, "launchTool")->isEnabled()
                && !child<QWidget>(&b.window, "restartTool")->isEnabled();
        });
        QCOMPARE(b.run(60000), how == "no" ? 1 : 0);
        QVERIFY(controlsHeld);
        // Each close asks while nothing stops the flash; once the stop is under way, none does.
        const QString leave
            = "A flash is running. Stopping now leaves the device without an application. Stop and quit?";
        QCOMPARE(b.responder.questions.count(leave), how == "no" ? 2 : how == "yes");
        QCOMPARE(b.responder.questions.size(), 1 + b.responder.questions.count(leave));
        QVERIFY2(b.responder.warnings.isEmpty(), qPrintable(b.responder.warnings.join('|') + b.log("dfuLog")));
        QCOMPARE(b.responder.launchDialogs, how == "no" ? 1 : 0);
        QCOMPARE(b.flashed(firmware), how == "no" || when == "finalise");
        if (when == "finalise")
            QVERIFY2(b.log("dfuLog").endsWith("The flash ended before it could be stopped: the new firmware is on the "
                                              "device."),
                qPrintable(b.log("dfuLog")));
        if (how == "no" || when == "finalise")
            return;
        // The stop waited for every request on the link: the bus's last frame is a reply of the device's,
        // no flow control; after the erase, no address went out.
        const QStringList frames = b.sim.logged('#').filter(QRegularExpression("^can "));
        QVERIFY2(frames.last().startsWith("can 747 ") && frames.last().at(8) != '3', qPrintable(frames.last()));
        QVERIFY(frames.contains("can 747 03 F1 00 B2"));
        QCOMPARE(frames.filter("can 74F 10 09 34").isEmpty(), when == "Erasing");
        const QString log = b.log("dfuLog");
        QVERIFY2(log.endsWith("Stopping the flash after the current step\nFlash stopped; the device has no "
                              "application now and must be flashed again."),
            qPrintable(log));
    }

    void linkLost_data()
    {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QString>("warning");
        // The flash cut short after its erase is recognised at the next connection by its record,
        // and its package, unchanged, offered again.
        QTest::newRow("during a flash") << QStringList {"--vanish-after", "80"}
                                        << "Communication error: Transport unexpectedly closed" + noApplication;
        // The port goes while the technician is asked whether to flash: the answer must not send
        // the flash to the port that is gone.
        QTest::newRow("while asking") << QStringList() << "Communication error: Transport unexpectedly closed";
        // The port goes while the status for the dropped package is on its way (never answered):
        // the drop area is back for the package once the adapter is found again.
        QTest::newRow("during the status read")
            << QStringList {"--silent-requests", "4"} << "Communication error: Transport unexpectedly closed";
    }

    // The port goes away. The window says so once and looks for the adapter again; once it is
    // back, the package dropped again, or offered again, is flashed.
    void linkLost()
    {
        QFETCH(QStringList, fault);
        QFETCH(QString, warning);
        const bool offered = fault.contains("--vanish-after");
        Bench b(fault);
        SimHarness again({"--adapter", "els27", "--device", "kestrane", "--mode", "boot", "--state", b.state.path(),
            "--board-id", QString::number(board), "--link", b.sim.port()});
        const QByteArray firmware = image(5000);
        const QString package = b.package(firmware);
        // Dropped by hand there: a package named at the start would be dropped again at the next
        // connection, before anything could be offered.
        if (offered)
            b.responder.when(
                [&] { return b.log("elmLog").contains("UUID: ") && b.ready(); }, [&] { drop(&b.window, package); });
        else
            b.params.file = package;
        auto *dfuLog = child<QTextBrowser>(&b.window, "dfuLog");
        // What a program killed as the image begins to be written would leave behind.
        QString duringFlash;
        if (offered)
            connect(dfuLog, &QTextBrowser::textChanged, dfuLog, [&] {
                if (!duringFlash.isEmpty() || !dfuLog->toPlainText().endsWith("Flashing"))
                    return;
                RecordStore during(m_recordsPath);
                const QList<JobRecord> now = during.open() ? during.find({}) : QList<JobRecord>();
                duringFlash = now.isEmpty() ? "none" : now.first().status + " " + now.first().text("erase_sent");
            });
        QTimer statusWatch;
        if (fault.contains("--silent-requests")) {
            connect(&statusWatch, &QTimer::timeout, &statusWatch, [&] {
                if (b.sim.received().filter("03b100b01").size() < 2 || !QFileInfo::exists(b.sim.port()))
                    return;
                statusWatch.stop();
                b.sim.signal(SIGUSR1);
            });
            statusWatch.start(20);
        }
        bool cut = false; // once: a signal to a simulator that has ended would reach this process
        if (fault.isEmpty())
            connect(dfuLog, &QTextBrowser::textChanged, dfuLog, [&] {
                if (cut || !dfuLog->toPlainText().startsWith("Opened firmware file") || !again.received().isEmpty()
                    || !QFileInfo::exists(b.sim.port()))
                    return;
                cut = true;
                b.sim.signal(SIGUSR1);
                QVERIFY(waitUntil([&] { return !QFileInfo::exists(b.sim.port()); }));
                QTest::qWait(200); // the window may hear of it before the answer, or not
            });
        b.responder.when([&] { return b.responder.warnings.size() == 1; },
            [&] {
                QVERIFY(again.start());
                qputenv("VELTRANO_EXTRA_PORTS", b.sim.port().toLocal8Bit()); // the port it took over
            });
        if (!offered)
            b.responder.when(
                [&] {
                    return child<QWidget>(&b.window, "controlWidget")->isEnabled()
                        && b.log("elmLog").count("UUID: ") == 2;
                },
                [&] {
                    QCOMPARE(child<QStackedWidget>(&b.window, "stackedWidget")->currentIndex(), 0);
                    drop(&b.window, package);
                });
        QCOMPARE(b.run(40000), 1);
        QCOMPARE(b.responder.warnings, QStringList {warning});
        QCOMPARE(b.responder.paramsDialogs, 0);
        QVERIFY(b.flashed(firmware));
        QCOMPARE(again.received().filter("04b100b2ff").size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(b.runsApplication(), 15000);

        QCOMPARE(b.responder.questions.filter(" again?"),
            offered ? QStringList {"Flash " + QFileInfo(package).absoluteFilePath() + " again?"} : QStringList());
        QCOMPARE(b.log("elmLog").contains("did not finish: it has no application."), offered);
        RecordStore store(m_recordsPath);
        QVERIFY2(store.open(), qPrintable(store.error()));
        const QList<JobRecord> kept = store.find({});
        QStringList jobs;
        for (const JobRecord &record : kept)
            jobs << record.job + " " + record.status;
        QStringList expected {"launch succeeded", "flash succeeded"};
        if (offered)
            expected << "flash failed";
        QCOMPARE(jobs, expected);
        const QString sha256 = QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();
        for (const JobRecord &flash : kept.mid(1)) {
            QCOMPARE(QStringList({flash.program, flash.role, flash.fileName, flash.sha256, flash.uuid, flash.boardId}),
                QStringList({"updater", "bootloader", QFileInfo(package).absoluteFilePath(), sha256,
                    "4B53494D0102030405060708", "7"}));
        }
        QVERIFY(kept[1].finaliseConfirmed && kept[1].launchAnswered);
        if (offered) {
            QVERIFY(kept[2].eraseSent && !kept[2].finaliseConfirmed && kept[2].leftNoApplication());
            QCOMPARE(duringFlash, QStringLiteral("unfinished yes"));
        }
    }
};

VELTRANO_TEST_MAIN(TestUpdaterWindow)
#include "tst_updaterwindow.moc"
