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
#include <QCommandLinkButton>
#include <QMessageBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QToolButton>

namespace {

// Runs `step` every 20 ms until it returns true; after `limitMs` ends the window's run instead,
// so that a window that never gets there fails the test rather than hang it.
void repeatUntil(QObject *context, std::function<bool()> step, int limitMs = 30000)
{
    auto *timer = new QTimer(context);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, context, [timer, clock, step, limitMs] {
        if (step()) {
            timer->stop();
        } else if (clock->elapsed() > limitMs) {
            timer->stop();
            QCoreApplication::exit(-1);
        }
    });
    timer->start(20);
}

struct Seen
{
    QString port;
    bool connected = false;
    bool askedForParameters = false;
    QString updaterLog;
};

// The manager as a technician uses it: connect on the simulator's port, then Firmware Upgrade.
class DrivenManager : public ManagerWindow
{
public:
    explicit DrivenManager(Seen &seen)
        : m_seen(seen)
    { }

    void showWindow() override
    {
        ManagerWindow::showWindow();
        auto *combo = findChild<QComboBox *>("portCombo");
        findChild<QToolButton *>("rescanTool")->click();
        combo->setCurrentIndex(combo->findText(m_seen.port));
        findChild<QSpinBox *>("baudSpin")->setValue(38400);
        findChild<QRadioButton *>("adapterELSRadio")->setChecked(true);
        findChild<QCommandLinkButton *>("connectTool")->click();
        // The start page comes back once the file list has been read.
        repeatUntil(this, [this] {
            if (!findChild<QWidget *>("startPage")->isEnabled()
                || findChild<QStackedWidget *>("stackedWidget")->currentIndex() != 1)
                return false;
            m_seen.connected = true;
            testsupport::whenModalAppears([](QWidget *box) {
                if (auto *question = qobject_cast<QMessageBox *>(box))
                    question->button(QMessageBox::Yes)->click();
            });
            findChild<QToolButton *>("dfuTool")->click();
            return true;
        });
    }

private:
    Seen &m_seen;
};

// The updater, watched: it must not ask for the connection, and must reach the bootloader.
class WatchedUpdater : public HIDDfu
{
public:
    explicit WatchedUpdater(Seen &seen)
        : m_seen(seen)
    { }

    void showWindow() override
    {
        HIDDfu::showWindow();
        repeatUntil(this, [this] {
            if (auto *dialog = qobject_cast<ELMParams *>(QApplication::activeModalWidget())) {
                m_seen.askedForParameters = true;
                dialog->reject();
                return true;
            }
            const QString log = findChild<QTextBrowser *>("elmLog")->toPlainText();
            if (!log.contains(QLatin1String("UUID: ")))
                return false;
            m_seen.updaterLog = log;
            close();
            return true;
        });
    }

private:
    Seen &m_seen;
};

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
        Seen seen;
        seen.port = sim.port();
        int updaters = 0;
        ProgramShell shell({[&] { return std::make_unique<DrivenManager>(seen); },
            [&] {
                ++updaters;
                return std::make_unique<WatchedUpdater>(seen);
            }});
        testsupport::Arguments arguments({QStringLiteral("veltrano")});
        shell.run(arguments.argc, arguments.argv());

        QVERIFY(seen.connected);
        QCOMPARE(updaters, 1);
        QVERIFY(!seen.askedForParameters);
        QVERIFY2(seen.updaterLog.contains(QStringLiteral("Connecting to %1@38400...").arg(sim.port())),
            qPrintable(seen.updaterLog));
        QVERIFY(seen.updaterLog.contains("DFU device discovered"));
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
