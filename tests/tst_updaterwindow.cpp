// The updater window end to end against kestrane-sim's Kestrane bootloader: port search,
// the connection dialog, package refusals, flashing and the result codes the run loop reads.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <dfupackage.h>
#include <droparea.h>
#include <elmparams.h>
#include <hiddfu.h>
#include <launchdialog.h>
#include <serialports.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QToolButton>

#include <functional>

namespace {

using namespace testfiles;

constexpr quint32 board = 7;

QStringList simArguments(const QTemporaryDir &state, const QStringList &extra = {})
{
    return QStringList {"--adapter", "els27", "--device", "kestrane", "--mode", "boot", "--state", state.path(),
               "--board-id", QString::number(board)}
    + extra;
}

DFUParams presetParams(const SimHarness &sim)
{
    DFUParams p;
    p.port = sim.port();
    p.lastPort = sim.port();
    p.baud = 38400;
    p.adapter = 1;
    p.canId = 0x747;
    p.pcId = 0x74F;
    return p;
}

template<typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

void click(QObject *parent, const char *name)
{
    if (auto *button = child<QAbstractButton>(parent, name))
        button->click();
}

// Answers every modal box and dialog the updater opens, remembers what it saw, and runs
// one-shot steps once the window reaches a given state.
class Responder : public QObject
{
public:
    Responder()
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &Responder::poll);
        timer.start();
    }

    void when(std::function<bool()> condition, std::function<void()> action)
    {
        steps.append({std::move(condition), std::move(action)});
    }

    QStringList warnings;
    QStringList questions;
    QStringList titles;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::function<void(ELMParams *)> onParams = [](ELMParams *dialog) { dialog->accept(); };
    std::function<void(LaunchDialog *)> onLaunch = [](LaunchDialog *dialog) { click(dialog, "launchButton"); };
    int paramsDialogs = 0;
    int launchDialogs = 0;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            titles << box->windowTitle();
            if (box->button(QMessageBox::Yes)) {
                questions << box->text();
                box->button(answer)->click();
            } else {
                warnings << box->text();
                box->button(QMessageBox::Ok)->click();
            }
            return;
        }
        if (auto *params = qobject_cast<ELMParams *>(modal)) {
            ++paramsDialogs;
            onParams(params);
            return;
        }
        if (auto *launch = qobject_cast<LaunchDialog *>(modal)) {
            ++launchDialogs;
            onLaunch(launch);
            return;
        }
        for (int i = 0; i < steps.size(); ++i) {
            if (steps[i].first()) {
                // Queued: an action that opens a box of its own must not block this timer, which
                // is the one that answers the box.
                QTimer::singleShot(0, this, steps.takeAt(i).second);
                return;
            }
        }
    }

    QTimer timer;
    QList<QPair<std::function<bool()>, std::function<void()>>> steps;
};

// Runs the updater as the run loop does; -1 when the safety time-out had to end it.
int runUpdater(HIDDfu &window, int safetyMs = 15000)
{
    bool timedOut = false;
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [&timedOut] {
        timedOut = true;
        QCoreApplication::exit(-1);
    });
    window.showWindow();
    if (!window.start())
        return -2;
    safety.start(safetyMs);
    QCoreApplication::exec();
    window.shutdown();
    return timedOut ? -1 : window.runResult();
}

QString logText(HIDDfu &window, const char *name)
{
    return child<QTextBrowser>(&window, name)->toPlainText();
}

bool deviceRunsApplication(const QTemporaryDir &state)
{
    return readFile(state.filePath("device.cfg")).contains("mode=app");
}

// The updater on a machine with the given serial ports.
class PortsStandIn : public HIDDfu
{
public:
    explicit PortsStandIn(const QStringList &ports)
        : m_ports(ports)
    { }

protected:
    QStringList listPorts() const override { return m_ports; }

private:
    QStringList m_ports;
};

} // namespace

class TestUpdaterWindow : public QObject
{
    Q_OBJECT

private slots:
    void connectionDialogLoadsAndReturnsRecord_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("canId");
        QTest::addColumn<int>("pcId");
        QTest::addColumn<int>("outBaud");
        QTest::addColumn<int>("outCanId");
        QTest::addColumn<int>("outPcId");
        QTest::newRow("no stored rate") << -1 << 1 << 0x747 << 0x74F << 0 << 0x747 << 0x74F;
        QTest::newRow("no PC id") << 38400 << 0 << 0x747 << 0 << 38400 << 0x747 << 0x787;
        QTest::newRow("loading keeps PC id") << 115200 << 1 << 0x700 << 0x100 << 115200 << 0x700 << 0x100;
        QTest::newRow("clamped") << 2000000 << 1 << 0x900 << 0x74F << 1000000 << 0x7FF << 0x74F;
    }

    void connectionDialogLoadsAndReturnsRecord()
    {
        QFETCH(int, baud);
        QFETCH(int, adapter);
        QFETCH(int, canId);
        QFETCH(int, pcId);
        QFETCH(int, outBaud);
        QFETCH(int, outCanId);
        QFETCH(int, outPcId);
        ELMParams dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Connection"));
        dialog.setPorts({"ttyA", "ttyB", "ttyC"}, "ttyB");
        DFUParams in;
        in.baud = baud;
        in.adapter = adapter;
        in.canId = canId;
        in.pcId = pcId;
        in.file = QStringLiteral("kept.dfu");
        dialog.setParams(in);
        if (outBaud == 0)
            QCOMPARE(child<QSpinBox>(&dialog, "baudSpin")->text(), QStringLiteral("Automatic"));
        DFUParams out;
        out.file = QStringLiteral("kept.dfu");
        dialog.getParams(out);
        QCOMPARE(out.port, QStringLiteral("ttyB"));
        QCOMPARE(out.baud, outBaud);
        QCOMPARE(out.adapter, adapter == 0 ? 0 : 1);
        QCOMPARE(out.canId, outCanId);
        QCOMPARE(out.pcId, outPcId);
        QCOMPARE(out.file, QStringLiteral("kept.dfu"));
    }

    void connectionDialogPcIdFollowsDeviceId()
    {
        ELMParams dialog;
        auto *canSpin = child<QSpinBox>(&dialog, "canIDSpin");
        auto *pcSpin = child<QSpinBox>(&dialog, "pcIDSpin");
        QCOMPARE(canSpin->value(), 0x745);
        QCOMPARE(pcSpin->value(), 0x74D);
        QCOMPARE(canSpin->prefix(), QStringLiteral("0x"));
        QVERIFY(child<QRadioButton>(&dialog, "adapterELMRadio")->isChecked());
        canSpin->setValue(0x7E0);
        QCOMPARE(pcSpin->value(), 0x7E8);
        pcSpin->setValue(0x123);
        QCOMPARE(pcSpin->value(), 0x123);
        canSpin->setValue(0x7F8);
        QCOMPARE(pcSpin->value(), 0x7FF);

        dialog.setPorts({"ttyA", "ttyB"}, "elsewhere");
        DFUParams out;
        dialog.getParams(out);
        QCOMPARE(out.port, QStringLiteral("ttyA"));
        dialog.setPorts({}, "ttyA");
        dialog.getParams(out);
        QCOMPARE(out.port, QString());
    }

    void launchDialogAnswers()
    {
        LaunchDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Launch"));
        QVERIFY(child<QLabel>(&dialog, "label")->text().contains("The firwmare has been updated."));
        QTimer::singleShot(0, &dialog, [&dialog] { click(&dialog, "returnButton"); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QTimer::singleShot(0, &dialog, [&dialog] { click(&dialog, "launchButton"); });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    }

    void windowBeforeConnecting()
    {
        HIDDfu window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Updater"));
        QCOMPARE(window.result, 0);
        QVERIFY(child<QToolButton>(&window, "sdfuTool")->isHidden());
        QVERIFY(child<QToolButton>(&window, "eStorTool")->isHidden());
        QVERIFY(!child<QToolButton>(&window, "aboutTool")->isHidden());
        QCOMPARE(child<QToolButton>(&window, "launchTool")->toolTip(), QStringLiteral("Launch"));
        QVERIFY(child<QProgressBar>(&window, "progressBar")->isHidden());
        QVERIFY(!child<QWidget>(&window, "controlWidget")->isEnabled());
        QVERIFY(!child<QWidget>(&window, "stackedWidget")->isEnabled());
        QCOMPARE(child<QStackedWidget>(&window, "stackedWidget")->currentIndex(), 0);
        QVERIFY(child<DropArea>(&window, "dfuDropArea"));

        Responder responder;
        window.on_aboutTool_clicked();
        QCOMPARE(responder.titles, QStringList {"pelmorax"});
        QCOMPARE(responder.warnings.size(), 1);
        QVERIFY(responder.warnings.first().contains("Utility to flash Quorvane devices via CAN."));
        QVERIFY(responder.warnings.first().contains(
            "<a href=\"https://github.com/google/material-design-icons\">Material Icons</a> (Apache License 2.0)"));

        HIDDfu slave;
        DFUParams params;
        params.mode = HIDDfu::Slave;
        slave.setup(params);
        QVERIFY(child<QToolButton>(&slave, "aboutTool")->isHidden());
        QCOMPARE(slave.windowModality(), Qt::WindowModal);
    }

    void noUsablePortEnds_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<int>("leastMs");
        QTest::addColumn<int>("mostMs");
        // 1 s before the first scan, then ten scans 500 ms apart.
        QTest::newRow("this machine") << "real" << false << 5500 << 9000;
        QTest::newRow("only COM1") << "COM1" << false << 5500 << 9000;
        // The search dialog shows once its progress looks slow; cancelling it ends at the next scan.
        QTest::newRow("search cancelled") << "COM1" << true << 1000 << 5400;
    }

    void noUsablePortEnds()
    {
        QFETCH(QString, machine);
        QFETCH(bool, cancel);
        QFETCH(int, leastMs);
        QFETCH(int, mostMs);
        qputenv("VELTRANO_EXTRA_PORTS", "/nonexistent/veltrano-port");
        QStringList ports = availableSerialPortNames();
        ports.removeAll(QStringLiteral("COM1"));
        if (machine == "real" && !ports.isEmpty())
            QSKIP("this machine has serial ports of its own");
        PortsStandIn window(machine == "real" ? availableSerialPortNames() : QStringList {"COM1"});
        Responder responder;
        if (cancel) {
            responder.when(
                [&] {
                    auto *search = window.findChild<QProgressDialog *>();
                    return search && search->isVisible();
                },
                [&] { window.findChild<QProgressDialog *>()->cancel(); });
        }
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(runUpdater(window), 0);
        QVERIFY2(elapsed.elapsed() >= leastMs && elapsed.elapsed() <= mostMs,
            qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(responder.warnings, QStringList {"No IO ports available"});
        QCOMPARE(responder.titles, QStringList {"Firmware Update"});
        QCOMPARE(responder.paramsDialogs, 0);
    }

    void presetPortConnectsWithoutAsking()
    {
        QTemporaryDir state;
        SimHarness sim(simArguments(state));
        QVERIFY(sim.start());
        HIDDfu window;
        window.setup(presetParams(sim));
        Responder responder;
        responder.when(
            [&] { return logText(window, "elmLog").contains("UUID:"); }, [&] { click(&window, "restartTool"); });
        QCOMPARE(runUpdater(window), 2);
        const QString log = logText(window, "elmLog");
        QVERIFY2(log.contains(QStringLiteral("Connecting to %1@38400...").arg(sim.port())), qPrintable(log));
        QVERIFY(log.contains("DFU device discovered"));
        QVERIFY(log.contains("Kestrane bootloader 2.1"));
        QVERIFY(log.contains("UUID: 4B53494D0102030405060708"));
        QCOMPARE(responder.paramsDialogs, 0);
        QVERIFY(responder.warnings.isEmpty());
        QVERIFY(!deviceRunsApplication(state));
    }

    void unknownRateAsksForParameters_data()
    {
        QTest::addColumn<int>("chosenRate");
        QTest::addColumn<QString>("shownRate");
        QTest::newRow("fixed rate") << 38400 << "38400";
        QTest::newRow("automatic") << 0 << "auto";
    }

    void unknownRateAsksForParameters()
    {
        QFETCH(int, chosenRate);
        QFETCH(QString, shownRate);
        QTemporaryDir state;
        SimHarness sim(simArguments(state));
        QVERIFY(sim.start());
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.baud = -1;
        window.setup(params);
        Responder responder;
        QStringList shown;
        responder.onParams = [&](ELMParams *dialog) {
            auto *baud = child<QSpinBox>(dialog, "baudSpin");
            shown << child<QComboBox>(dialog, "portCombo")->currentText() << baud->text()
                  << QString::number(child<QRadioButton>(dialog, "adapterELSRadio")->isChecked())
                  << QString::number(child<QSpinBox>(dialog, "canIDSpin")->value(), 16)
                  << QString::number(child<QSpinBox>(dialog, "pcIDSpin")->value(), 16);
            baud->setValue(chosenRate);
            dialog->accept();
        };
        responder.when(
            [&] { return logText(window, "elmLog").contains("UUID:"); }, [&] { click(&window, "launchTool"); });
        QCOMPARE(runUpdater(window, 30000), 1);
        QCOMPARE(shown, (QStringList {sim.port(), "Automatic", "1", "747", "74f"}));
        QVERIFY(
            logText(window, "elmLog").contains(QStringLiteral("Connecting to %1@%2...").arg(sim.port(), shownRate)));
        // The factory application is finalised, so the device starts it.
        QTRY_VERIFY(deviceRunsApplication(state));
    }

    void cancellingParametersEnds()
    {
        QTemporaryDir state;
        SimHarness sim(simArguments(state));
        QVERIFY(sim.start());
        HIDDfu window;
        window.setup(DFUParams());
        Responder responder;
        responder.onParams = [](ELMParams *dialog) { dialog->reject(); };
        QCOMPARE(runUpdater(window), 0);
        QCOMPARE(responder.paramsDialogs, 1);
        QVERIFY(responder.warnings.isEmpty());
        QVERIFY(logText(window, "elmLog").isEmpty());
    }

    void packageRefusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("simExtra");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("question");
        const QStringList none;
        QTest::newRow("short") << "short.dfu" << QByteArray(15, 'x') << none << "Firmware package is invalid"
                               << "";
        QTest::newRow("no package") << "junk.dfu" << QByteArray(64, 'x') << none << "junk.dfu is not a firmware package"
                                    << "";
        QTest::newRow("other board")
            << "other.dfu" << DfuPackage::build(board + 1, "x", image(64)) << none
            << "Incompatible hardware detected.\nother.dfu firmware package is designed for a different board"
            << "";
        QTest::newRow("too big") << "big.dfu" << DfuPackage::build(board, "big", image(4097))
                                 << QStringList {"--flash-size", "4096"}
                                 << "Cannot flash this firmware - it is 1 bytes bigger than maximum flash space "
                                    "available"
                                 << "";
        QTest::newRow("declined") << "plain.dfu" << DfuPackage::build(board, "", image(16)) << none << ""
                                  << "Update firmware to <no info>?";
        QTest::newRow("unreadable") << "missing.dfu" << QByteArray() << none << "Cannot read firmware file"
                                    << "";
    }

    void packageRefusals()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, simExtra);
        QFETCH(QString, warning);
        QFETCH(QString, question);
        QTemporaryDir state;
        SimHarness sim(simArguments(state, simExtra));
        QVERIFY(sim.start());
        QTemporaryDir files;
        const QString path = content.isEmpty() ? files.filePath(name) : writeFile(files, name, content);
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.file = path;
        window.setup(params);
        Responder responder;
        responder.answer = QMessageBox::No;
        bool backToDropPage = false;
        auto *stack = child<QStackedWidget>(&window, "stackedWidget");
        auto *controls = child<QWidget>(&window, "controlWidget");
        responder.when(
            [&] {
                return !(responder.warnings + responder.questions).isEmpty() && !QApplication::activeModalWidget()
                    && stack->currentIndex() == 0 && controls->isEnabled();
            },
            [&] {
                backToDropPage = !child<DropArea>(&window, "dfuDropArea")->hasFile();
                click(&window, "restartTool");
            });
        QCOMPARE(runUpdater(window), 2);
        QVERIFY(backToDropPage);
        QCOMPARE(responder.questions, question.isEmpty() ? QStringList() : QStringList {question});
        QCOMPARE(responder.warnings.size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QVERIFY2(responder.warnings.first().startsWith(warning), qPrintable(responder.warnings.first()));
        QVERIFY(!logText(window, "dfuLog").contains("Erasing"));
    }

    void flashes_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("launch") << "launch";
        QTest::newRow("return, then launch tool") << "return";
        QTest::newRow("automatic launch") << "auto";
    }

    void flashes()
    {
        QFETCH(QString, ending);
        QTemporaryDir state;
        SimHarness sim(simArguments(state));
        QVERIFY(sim.start());
        QTemporaryDir files;
        const QByteArray firmware = image(5000);
        const QString path = writeFile(files, "app.dfu", DfuPackage::build(board, "Kestrane app 3.0", firmware));
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.file = path;
        params.autoLaunch = ending == "auto";
        window.setup(params);

        // Every line the flash log ever held; a second package attempt clears the log.
        QSet<QString> seen;
        auto *dfuLog = child<QTextBrowser>(&window, "dfuLog");
        connect(dfuLog, &QTextBrowser::textChanged, dfuLog, [&] {
            for (const QString &line : dfuLog->toPlainText().split('\n'))
                seen.insert(line);
        });
        int highestProgress = 0;
        connect(child<QProgressBar>(&window, "progressBar"), &QProgressBar::valueChanged, dfuLog,
            [&](int value) { highestProgress = qMax(highestProgress, value); });

        Responder responder;
        bool flashedBeforeDialog = false;
        responder.onLaunch = [&](LaunchDialog *dialog) {
            flashedBeforeDialog = seen.contains("Flashed.");
            click(dialog, ending == "return" ? "returnButton" : "launchButton");
        };
        if (ending == "launch") {
            // A second package while the first is being written is turned away.
            responder.when([&] { return seen.contains("Flashing"); }, [&] { window.on_dfuDropArea_changed(path); });
        }
        bool keptOpen = false;
        if (ending == "return") {
            responder.when([&] { return responder.launchDialogs == 1 && !QApplication::activeModalWidget(); },
                [&] {
                    keptOpen = window.isVisible()
                        && child<QStackedWidget>(&window, "stackedWidget")->currentIndex() == 1
                        && child<QWidget>(&window, "controlWidget")->isEnabled()
                        && !child<DropArea>(&window, "dfuDropArea")->hasFile() && window.result == 0;
                    click(&window, "launchTool");
                });
        }
        QCOMPARE(runUpdater(window, 30000), 1);

        QCOMPARE(responder.questions,
            ending == "auto" ? QStringList() : QStringList {"Update firmware to Kestrane app 3.0?"});
        QCOMPARE(responder.warnings, ending == "launch" ? QStringList {"Busy flashing. Please wait"} : QStringList());
        for (const char *line : {"Opened firmware file Kestrane app 3.0", "Erasing", "Flashing", "Finalizing",
                 "Flashed.", "Press 'Launch' to start using new firmware"})
            QVERIFY2(seen.contains(QLatin1String(line)), line);
        QCOMPARE(highestProgress, 100);
        QCOMPARE(responder.launchDialogs, ending == "auto" ? 0 : 1);
        if (ending != "auto")
            QVERIFY(flashedBeforeDialog);
        if (ending == "return")
            QVERIFY(keptOpen);
        QCOMPARE(readFile(state.filePath("flash.bin")).left(firmware.size()), firmware);
        QTRY_VERIFY(deviceRunsApplication(state));
    }

    void failedFlashLeavesTheUpdaterReady_data()
    {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("secondFlashes");
        QTest::newRow("write refused") << QStringList {"--negative", "36:31"}
                                       << "Communication error: Device error 49 at command 36" << false;
        QTest::newRow("finalise refused")
            << QStringList {"--negative", "37:72"} << "Communication error: Device error 114 at command 37" << false;
        // Requests 1-3 are the description, UUID and status; from the address on, four requests
        // go unanswered: the flash starts again three times, then gives up.
        QTest::newRow("device silent for a while")
            << QStringList {"--silent-requests", "5:4"}
            << "Communication error: The device did not recover from lost replies" << true;
    }

    // Whatever ended the flash, the window says so once, lets the package go and takes the next.
    void failedFlashLeavesTheUpdaterReady()
    {
        QFETCH(QStringList, fault);
        QFETCH(QString, warning);
        QFETCH(bool, secondFlashes);
        QTemporaryDir state;
        SimHarness sim(simArguments(state, fault));
        QVERIFY(sim.start());
        QTemporaryDir files;
        const QByteArray firmware = image(3000);
        const QString path = writeFile(files, "app.dfu", DfuPackage::build(board, "Kestrane app 3.0", firmware));
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.file = path;
        window.setup(params);
        Responder responder;
        bool ready = false;
        responder.when([&] { return responder.warnings.size() == 1 && !QApplication::activeModalWidget(); },
            [&] {
                ready = window.isVisible() && child<QStackedWidget>(&window, "stackedWidget")->currentIndex() == 0
                    && child<QWidget>(&window, "controlWidget")->isEnabled()
                    && !child<DropArea>(&window, "dfuDropArea")->hasFile();
                if (secondFlashes)
                    window.on_dfuDropArea_changed(path);
                else
                    window.close();
            });
        QCOMPARE(runUpdater(window, 40000), secondFlashes ? 1 : 0);
        QVERIFY(ready);
        QCOMPARE(responder.warnings.value(0), warning);
        QCOMPARE(responder.warnings.size(), 1);
        QCOMPARE(responder.launchDialogs, secondFlashes ? 1 : 0);
        QCOMPARE(responder.questions.size(), secondFlashes ? 2 : 1);
        if (secondFlashes) {
            QCOMPARE(readFile(state.filePath("flash.bin")).left(firmware.size()), firmware);
            QTRY_VERIFY(deviceRunsApplication(state));
        } else {
            QVERIFY(!deviceRunsApplication(state));
        }
    }

    // The port goes away in the middle of a flash. The window says so once and looks for the
    // adapter again; once it is back, the package dropped again is flashed.
    void linkLostDuringAFlash()
    {
        QTemporaryDir state;
        SimHarness sim(simArguments(state, {"--vanish-after", "80"}));
        QVERIFY(sim.start());
        SimHarness again(simArguments(state, {"--link", sim.port()}));
        QTemporaryDir files;
        const QByteArray firmware = image(5000);
        const QString path = writeFile(files, "app.dfu", DfuPackage::build(board, "Kestrane app 3.0", firmware));
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.file = path;
        window.setup(params);
        Responder responder;
        responder.when([&] { return responder.warnings.size() == 1; },
            [&] {
                QVERIFY(again.start());
                qputenv("VELTRANO_EXTRA_PORTS", sim.port().toLocal8Bit()); // the port it took over
            });
        responder.when(
            [&] {
                return responder.warnings.size() == 1 && child<QWidget>(&window, "controlWidget")->isEnabled()
                    && logText(window, "elmLog").count(QStringLiteral("UUID: ")) == 2;
            },
            [&] { window.on_dfuDropArea_changed(path); });
        QCOMPARE(runUpdater(window, 40000), 1);
        QCOMPARE(responder.warnings, QStringList {"Communication error: Transport unexpectedly closed"});
        QCOMPARE(responder.paramsDialogs, 0);
        QVERIFY(logText(window, "elmLog").contains("The connection to the adapter was lost; looking for it again"));
        QCOMPARE(readFile(state.filePath("flash.bin")).left(firmware.size()), firmware);
        QTRY_VERIFY(deviceRunsApplication(state));
    }

    // The package waits for the device's board and flash size; when the status never comes, the
    // window says so and lets the package go instead of waiting for ever.
    void packageHeldForAStatusThatNeverComes()
    {
        QTemporaryDir state;
        SimHarness sim(simArguments(state, {"--silent-requests", "3:40"})); // the status and all after it
        QVERIFY(sim.start());
        QTemporaryDir files;
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.file = writeFile(files, "app.dfu", DfuPackage::build(board, "Kestrane app 3.0", image(3000)));
        window.setup(params);
        Responder responder;
        responder.when([&] { return !responder.warnings.isEmpty() && !QApplication::activeModalWidget(); },
            [&] { window.close(); });
        QCOMPARE(runUpdater(window, 40000), 0);
        QCOMPARE(responder.warnings,
            QStringList {QStringLiteral("The device did not report its status; %1 was not checked and not flashed")
                             .arg(params.file)});
        QVERIFY(responder.questions.isEmpty());
        QCOMPARE(child<QStackedWidget>(&window, "stackedWidget")->currentIndex(), 0);
        QVERIFY(child<QWidget>(&window, "controlWidget")->isEnabled());
    }

    // Outside a flash a communication error still ends the updater: here the status the package
    // waits for comes back unusable.
    void malformedStatusEndsTheUpdater()
    {
        QTemporaryDir state;
        SimHarness sim(simArguments(state, {"--malformed", "B100B0"}));
        QVERIFY(sim.start());
        QTemporaryDir files;
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.file = writeFile(files, "app.dfu", DfuPackage::build(board, "Kestrane app 3.0", image(3000)));
        window.setup(params);
        Responder responder;
        QCOMPARE(runUpdater(window, 30000), 0);
        QCOMPARE(responder.warnings, QStringList {"Communication error: Invalid 'STATUS' reply"});
        QVERIFY(responder.questions.isEmpty());
        QVERIFY(!logText(window, "dfuLog").contains("Erasing"));
    }

    void slaveModeClosesInsteadOfQuitting()
    {
        QTemporaryDir state;
        SimHarness sim(simArguments(state));
        QVERIFY(sim.start());
        HIDDfu window;
        DFUParams params = presetParams(sim);
        params.mode = HIDDfu::Slave;
        window.setup(params);
        QSignalSpy finished(&window, &HIDDfu::finished);
        // Only the window closes; the test ends its own loop once that has happened.
        connect(&window, &HIDDfu::finished, &window,
            [] { QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection); });
        Responder responder;
        responder.when(
            [&] { return logText(window, "elmLog").contains("UUID:"); }, [&] { click(&window, "restartTool"); });
        QCOMPARE(runUpdater(window), 2);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toBool(), true);
        QVERIFY(!window.isVisible());
    }
};

VELTRANO_TEST_MAIN(TestUpdaterWindow)
#include "tst_updaterwindow.moc"
