// The hand-over from the manager to the updater through the real run loop and windows: the updater
// takes over the manager's port, rate and adapter and reaches the bootloader without asking.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <elmparams.h>
#include <hiddfu.h>
#include <managerwindow.h>
#include <programshell.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QMessageBox>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTextBrowser>

namespace {

// Runs `step` every 20 ms until it returns true; after `limitMs` ends the window's run instead,
// so that a window that never gets there fails the test rather than hang it.
void repeatUntil(QObject *context, std::function<bool()> step, int limitMs = 30000)
{
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [timer, step, ticks = limitMs / 20]() mutable {
        if (step()) {
            timer->stop();
        } else if (--ticks < 0) {
            timer->stop();
            QCoreApplication::exit(-1);
        }
    });
    timer->start(20);
}

// Builds the window and hands it to `drive` once the run loop is going and the window is shown.
template<typename Window> std::unique_ptr<Window> driven(const std::function<void(Window *)> &drive)
{
    auto window = std::make_unique<Window>();
    QTimer::singleShot(0, window.get(), [w = window.get(), drive] { drive(w); });
    return window;
}

} // namespace

class TestHandover : public QObject
{
    Q_OBJECT

private slots:
    void updaterTakesOverTheManagersPort()
    {
        QTemporaryDir state;
        SimHarness sim({"--adapter", "els27", "--device", "kestrane", "--mode", "app", "--state", state.path(),
            "--reset-ms", "300"});
        QVERIFY(sim.start());
        bool connected = false, askedForParameters = false;
        QString updaterLog;
        int updaters = 0;
        // The manager as a technician uses it: connect on the simulator's port, then Firmware Upgrade.
        const auto manage = [&](ManagerWindow *w) {
            auto *combo = w->findChild<QComboBox *>("portCombo");
            w->findChild<QAbstractButton *>("rescanTool")->click();
            combo->setCurrentIndex(combo->findText(sim.port()));
            w->findChild<QSpinBox *>("baudSpin")->setValue(38400);
            w->findChild<QAbstractButton *>("adapterELSRadio")->setChecked(true);
            w->findChild<QAbstractButton *>("connectTool")->click();
            // The start page comes back once the file list has been read.
            repeatUntil(w, [&, w] {
                if (!w->findChild<QWidget *>("startPage")->isEnabled()
                    || w->findChild<QStackedWidget *>("stackedWidget")->currentIndex() != 1)
                    return false;
                connected = true;
                testsupport::whenModalAppears([](QWidget *box) {
                    if (auto *question = qobject_cast<QMessageBox *>(box))
                        question->button(QMessageBox::Yes)->click();
                });
                w->findChild<QAbstractButton *>("dfuTool")->click();
                return true;
            });
        };
        // The updater must not ask for the connection, and must reach the bootloader.
        const auto watch = [&](HIDDfu *w) {
            repeatUntil(w, [&, w] {
                if (auto *dialog = qobject_cast<ELMParams *>(QApplication::activeModalWidget())) {
                    askedForParameters = true;
                    dialog->reject();
                    return true;
                }
                const QString log = w->findChild<QTextBrowser *>("elmLog")->toPlainText();
                if (!log.contains("UUID: "))
                    return false;
                updaterLog = log;
                w->close();
                return true;
            });
        };
        ProgramShell shell({[&] { return driven<ManagerWindow>(manage); },
            [&] {
                ++updaters;
                return driven<HIDDfu>(watch);
            }});
        testsupport::Arguments arguments({QStringLiteral("veltrano")});
        shell.run(arguments.argc, arguments.argv());

        QVERIFY(connected);
        QCOMPARE(updaters, 1);
        QVERIFY(!askedForParameters);
        QVERIFY2(
            updaterLog.contains(QStringLiteral("Connecting to %1@38400...").arg(sim.port())), qPrintable(updaterLog));
        QVERIFY(updaterLog.contains("DFU device discovered"));
        QVERIFY(testfiles::readFile(state.filePath("device.cfg")).contains("mode=boot"));
    }
};

int main(int argc, char *argv[])
{
    // No application object here: the shell builds one per run.
    testsupport::isolateSettings();
    testsupport::useOffscreenPlatform();
    TestHandover tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_handover.moc"
