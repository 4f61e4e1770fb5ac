// Window fault soak: the real manager and updater windows, offscreen, against kestrane-sim with
// one random fault per run. After every run the same window must still be usable: a second,
// fault-free upload or flash in it has to succeed, and the device has to hold exactly what was
// sent. A success shown over content the device does not hold is a false success; a window that
// cannot do the second job is a dead end. Both must stay at 0.
//
//   veltrano-window-soak [--uploads N] [--flashes N] [--seed N] [--fault "SIMULATOR OPTIONS"]
//
// --fault replaces the random draw, to look into one fault again.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <canworker.h>
#include <dfupackage.h>
#include <droparea.h>
#include <elmparams.h>
#include <hiddfu.h>
#include <launchdialog.h>
#include <managerwindow.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QCommandLinkButton>
#include <QMessageBox>
#include <QProgressDialog>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QToolButton>

#include <cstdio>
#include <memory>

namespace {

using namespace testfiles;

constexpr quint32 board = 0x4B455331;

template<typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

struct Fault
{
    QString name;
    QStringList options;
    bool lasting = false; // still there for a second job: the adapter or device is replaced first
};

// Answers every box and dialog the windows open and remembers what they said.
class Answerer : public QObject
{
public:
    Answerer()
    {
        connect(&m_timer, &QTimer::timeout, this, &Answerer::poll);
        m_timer.start(10);
    }
    QStringList titles;
    QStringList texts;
    int launchDialogs = 0;
    int parameterDialogs = 0;
    void clear()
    {
        titles.clear();
        texts.clear();
        launchDialogs = 0;
        parameterDialogs = 0;
    }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            titles << box->windowTitle();
            texts << box->text();
            QAbstractButton *answer = box->button(QMessageBox::Yes);
            if (!answer)
                answer = box->button(QMessageBox::Ok);
            if (answer)
                answer->click();
            else
                box->reject();
        } else if (auto *launch = qobject_cast<LaunchDialog *>(modal)) {
            ++launchDialogs;
            // Return keeps the updater open for the next flash.
            if (auto *back = child<QAbstractButton>(launch, "returnButton"))
                back->click();
        } else if (auto *params = qobject_cast<ELMParams *>(modal)) {
            ++parameterDialogs;
            params->accept();
        }
    }
    QTimer m_timer;
};

template<typename Done> bool waitFor(Done done, int timeoutMs)
{
    return testsupport::waitUntil(done, timeoutMs);
}

struct Tally
{
    int runs = 0;
    int verified = 0;
    int reported = 0;
    int falseSuccesses = 0;
    int deadEnds = 0;
};

class Soak
{
public:
    explicit Soak(quint32 seed)
        : m_random(seed)
    {
        QTemporaryDir &dir = m_files;
        for (int i = 0; i < 2; ++i) {
            QByteArray slice;
            QByteArray file = firmwareFile(&slice);
            // Two files with different content, so the second job's result cannot be the first's.
            for (int k = 0; k < 64; ++k)
                file[0x1C2000 + 0x2000 + k] = char(i * 31 + k);
            slice = file.mid(0x1C2000, 0x18EE0);
            m_slices << slice;
            m_firmware << writeFile(dir, QStringLiteral("FW_%1.bin").arg(QChar('A' + i)), file);
            QByteArray image(5000 + i * 1000, '\0');
            for (int k = 0; k < image.size(); ++k)
                image[k] = char(k * (7 + i) + 1);
            m_images << image;
            m_packages << writeFile(dir, QStringLiteral("app%1.dfu").arg(i),
                DfuPackage::build(board, QByteArray("Soak firmware ") + QByteArray::number(i), image));
        }
    }

    void upload(int run);
    void flash(int run);
    void always(const QStringList &options) { m_given = options; }
    const Tally &tally() const { return m_tally; }

private:
    int pick(int low, int high) { return int(m_random.bounded(low, high + 1)); }
    Fault appFault();
    Fault bootFault();
    void say(const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); }
    void deadEnd(const QString &what)
    {
        ++m_tally.deadEnds;
        say(QStringLiteral("window soak: DEAD END: ") + what);
    }

    QRandomGenerator m_random;
    QTemporaryDir m_files;
    QList<QByteArray> m_slices;
    QStringList m_firmware;
    QList<QByteArray> m_images;
    QStringList m_packages;
    QStringList m_given;
    Tally m_tally;
};

Fault Soak::appFault()
{
    if (!m_given.isEmpty())
        return {"given", m_given, true};
    switch (pick(0, 8)) {
    case 0:
        return {"port vanishes", {"--vanish-after", QString::number(pick(300, 12000))}, true};
    case 1:
        return {"silent adapter", {"--silent-after", QString::number(pick(300, 12000))}, true};
    case 2:
        return {"lost write reply", {"--lose-write-reply", QString::number(pick(1, 100))}, false};
    case 3:
        return {"lost request", {"--silent-requests", QString::number(pick(3, 104))}, false};
    case 4:
        return {
            "CAN error burst", {"--can-error", QStringLiteral("%1:%2").arg(pick(40, 14000)).arg(pick(1, 6))}, false};
    case 5:
        return {"refused", {"--negative", pick(0, 1) ? "21:31" : "32:31"}, true};
    case 6:
        return {"malformed reply", {"--malformed", pick(0, 1) ? "32" : "20"}, true};
    case 7:
        return {"device stops mid-reply", {"--cut-reply", "32"}, true};
    default:
        return {"echoing adapter", {"--stuck-echo"}, false};
    }
}

Fault Soak::bootFault()
{
    if (!m_given.isEmpty())
        return {"given", m_given, true};
    switch (pick(0, 8)) {
    case 0:
        return {"port vanishes", {"--vanish-after", QString::number(pick(60, 700))}, true};
    case 1:
        return {"silent adapter", {"--silent-after", QString::number(pick(60, 700))}, true};
    case 2:
        return {"lost write reply", {"--lose-write-reply", QString::number(pick(1, 5))}, false};
    case 3:
        return {"lost erase reply", {"--busy-replies", "B100B2:1"}, false};
    case 4:
        return {"CAN error burst", {"--can-error", QStringLiteral("%1:%2").arg(pick(30, 600)).arg(pick(1, 6))}, false};
    case 5:
        return {"refused", {"--negative", pick(0, 1) ? "36:31" : "37:72"}, true};
    case 6:
        return {"malformed reply", {"--malformed", pick(0, 1) ? "37" : "34"}, true};
    case 7:
        return {"device stops answering",
            {"--silent-requests", QStringLiteral("%1:%2").arg(pick(4, 10)).arg(pick(1, 3))}, false};
    default:
        return {"echoing adapter", {"--stuck-echo"}, false};
    }
}

// The adapters of one run, one after the other on the same port; the first one's folder holds
// the port's link, so all of them live until the run ends.
class Simulators
{
public:
    explicit Simulators(const QStringList &arguments) { m_sims.push_back(std::make_unique<SimHarness>(arguments)); }
    bool start() { return m_sims.back()->start(); }
    QString port() const { return m_sims.front()->port(); }
    // A fresh adapter and device on the port the window already knows; the device keeps its state.
    bool replace(const QStringList &arguments)
    {
        m_sims.back()->stop();
        m_sims.push_back(std::make_unique<SimHarness>(arguments + QStringList {"--link", port()}));
        const bool started = m_sims.back()->start();
        qputenv("VELTRANO_EXTRA_PORTS", port().toLocal8Bit()); // start() named its own folder's path
        return started;
    }

private:
    std::vector<std::unique_ptr<SimHarness>> m_sims;
};

// Connects the manager through its connect page; true once the file list has been read.
bool connectManager(ManagerWindow &window, const QString &port)
{
    auto *combo = child<QComboBox>(&window, "portCombo");
    child<QToolButton>(&window, "rescanTool")->click();
    combo->setCurrentIndex(combo->findText(port));
    child<QSpinBox>(&window, "baudSpin")->setValue(38400);
    child<QRadioButton>(&window, "adapterELSRadio")->setChecked(true);
    child<QCommandLinkButton>(&window, "connectTool")->click();
    return waitFor(
        [&] {
            return child<QStackedWidget>(&window, "stackedWidget")->currentIndex() == 1
                && child<QWidget>(&window, "startPage")->isEnabled();
        },
        30000);
}

void Soak::upload(int run)
{
    const Fault fault = appFault();
    QTemporaryDir state;
    const QStringList device {"--adapter", "els27", "--device", "kestrane", "--mode", "app", "--state", state.path()};
    Simulators sims(device + fault.options);
    if (!sims.start()) {
        deadEnd(QStringLiteral("the simulator did not start"));
        return;
    }
    Answerer answers;
    ManagerWindow window;
    window.init();
    window.show();
    auto *worker = window.findChild<CanWorker *>();
    int ends = 0;
    TransferOutcome last = TransferOutcome::Succeeded;
    QObject::connect(worker, &CanWorker::uploadEnded, &window, [&](TransferOutcome outcome) {
        ++ends;
        last = outcome;
    });
    const QString label = QStringLiteral("upload %1 (%2: %3)").arg(run).arg(fault.name, fault.options.join(' '));

    // The job with the fault. A fault may already hit the connection; that is a failure told.
    for (int job = 0; job < 2; ++job) {
        ++m_tally.runs;
        const QString file = m_firmware.at(job);
        const QString stored = state.filePath(QStringLiteral("files/") + QFileInfo(file).fileName());
        const bool connected = child<QStackedWidget>(&window, "stackedWidget")->currentIndex() != 0
            || connectManager(window, sims.port());
        bool good = false;
        if (connected) {
            answers.clear();
            const int before = ends;
            emit child<DropArea>(&window, "dropLabel")->changed(file);
            if (!waitFor([&] { return ends > before; }, 120000)) {
                deadEnd(label + QStringLiteral(": the upload never ended (job %1)").arg(job + 1));
                return;
            }
            waitFor([&] { return !answers.texts.isEmpty(); }, 3000); // the box that tells the end
            good = last == TransferOutcome::Succeeded;
            const bool shownDone = answers.texts.contains(QStringLiteral("Done"));
            if (good != shownDone) {
                deadEnd(label + QStringLiteral(": the window said otherwise than the worker"));
                return;
            }
        }
        if (good) {
            if (readFile(stored) == m_slices.at(job)) {
                ++m_tally.verified;
            } else {
                ++m_tally.falseSuccesses;
                say(QStringLiteral("window soak: FALSE SUCCESS: ") + label);
            }
        } else if (job == 0) {
            ++m_tally.reported;
        } else {
            deadEnd(label + QStringLiteral(": the fault-free upload after it failed"));
            return;
        }
        if (job == 0 && fault.lasting) {
            if (!sims.replace(device)) {
                deadEnd(QStringLiteral("the simulator did not start again"));
                return;
            }
            // The window notices that the old port is gone (and the next job connects again), or
            // finds out on its next request.
            waitFor([&] { return child<QStackedWidget>(&window, "stackedWidget")->currentIndex() == 0; }, 3000);
        }
    }
}

void Soak::flash(int run)
{
    const Fault fault = bootFault();
    QTemporaryDir state;
    const QStringList device {"--adapter", "els27", "--device", "kestrane", "--mode", "boot", "--state", state.path(),
        "--board-id", QString::number(board)};
    Simulators sims(device + fault.options);
    if (!sims.start()) {
        deadEnd(QStringLiteral("the simulator did not start"));
        return;
    }
    const QString label = QStringLiteral("flash %1 (%2: %3)").arg(run).arg(fault.name, fault.options.join(' '));
    Answerer answers;
    auto window = std::make_unique<HIDDfu>();
    DFUParams params;
    params.mode = HIDDfu::Slave; // ends by closing itself, not by quitting this program
    params.port = sims.port();
    params.lastPort = sims.port();
    params.baud = 38400;
    params.adapter = 1;
    params.canId = 0x747;
    params.pcId = 0x74F;
    window->setup(params);
    window->show();
    window->start();
    auto *log = child<QTextBrowser>(window.get(), "elmLog");
    auto *dfuLog = child<QTextBrowser>(window.get(), "dfuLog");
    auto *controls = child<QWidget>(window.get(), "controlWidget");
    auto *pages = child<QStackedWidget>(window.get(), "stackedWidget");
    const auto connectedTimes = [&] { return log->toPlainText().count(QStringLiteral("UUID: ")); };
    // After a failure the drop page comes back; after a success (Return in the launch dialog) the
    // flash log stays in view. Either way a package can be handed to the window.
    const auto ready = [&] { return controls->isEnabled() && pages->isEnabled(); };

    for (int job = 0; job < 2; ++job) {
        ++m_tally.runs;
        if (!waitFor([&] { return connectedTimes() > 0 && ready(); }, 30000) || !window->isVisible()) {
            if (job == 0 && !window->isVisible()) {
                ++m_tally.reported; // a fault during the connection ends the updater, as designed
                return;
            }
            deadEnd(label + QStringLiteral(": the updater is not ready for job %1").arg(job + 1));
            return;
        }
        answers.clear();
        window->on_dfuDropArea_changed(m_packages.at(job));
        // Ends in the launch dialog, or in one warning and the window ready again (or looking
        // for the adapter once more).
        const bool ended = waitFor(
            [&] {
                return answers.launchDialogs > 0
                    || (answers.titles.count(QStringLiteral("Firmware Update")) >= 2
                        && !qobject_cast<QMessageBox *>(QApplication::activeModalWidget())
                        && (ready() || !controls->isEnabled()));
            },
            120000);
        if (!ended) {
            deadEnd(label
                + QStringLiteral(": the flash never ended (job %1); the window %2 said: %3")
                      .arg(job + 1)
                      .arg(window->isVisible() ? QStringLiteral("still open") : QStringLiteral("closed"))
                      .arg(answers.texts.join(QStringLiteral(" | "))));
            return;
        }
        const bool good = answers.launchDialogs > 0;
        if (good != dfuLog->toPlainText().contains(QLatin1String("Flashed."))) {
            deadEnd(label + QStringLiteral(": the log and the launch dialog disagree"));
            return;
        }
        if (good) {
            if (readFile(state.filePath("flash.bin")).left(m_images.at(job).size()) == m_images.at(job)) {
                ++m_tally.verified;
            } else {
                ++m_tally.falseSuccesses;
                say(QStringLiteral("window soak: FALSE SUCCESS: ") + label);
            }
        } else if (job == 0) {
            ++m_tally.reported;
        } else {
            deadEnd(label + QStringLiteral(": the fault-free flash after it failed: ") + answers.texts.join(" | "));
            return;
        }
        if (job == 0 && (fault.lasting || !good)) {
            const int before = connectedTimes();
            const bool replaced = fault.lasting;
            if (replaced && !sims.replace(device)) {
                deadEnd(QStringLiteral("the simulator did not start again"));
                return;
            }
            // A lost link makes the window look for the adapter again; wait until it is back.
            if (replaced && !waitFor([&] { return connectedTimes() > before && ready(); }, 30000)) {
                deadEnd(label + QStringLiteral(": the updater did not connect again"));
                return;
            }
        }
    }
    window->shutdown();
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::isolateSettings();
    testsupport::useOffscreenPlatform();
    QApplication app(argc, argv);
    testsupport::setApplicationIdentity();
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption uploads("uploads", "Uploads in the manager window.", "n", "40");
    const QCommandLineOption flashes("flashes", "Flashes in the updater window.", "n", "20");
    const QCommandLineOption seed("seed", "Seed of the random faults.", "n", "1");
    const QCommandLineOption fault("fault", "Simulator options of one fault for every run.", "options");
    parser.addOptions({uploads, flashes, seed, fault});
    parser.process(app);

    Soak soak(parser.value(seed).toUInt());
    if (parser.isSet(fault))
        soak.always(parser.value(fault).split(QLatin1Char(' '), Qt::SkipEmptyParts));
    for (int i = 1; i <= parser.value(uploads).toInt(); ++i)
        soak.upload(i);
    for (int i = 1; i <= parser.value(flashes).toInt(); ++i)
        soak.flash(i);
    const Tally &t = soak.tally();
    std::printf("window soak: runs %d, successes verified %d, failures reported %d, false successes %d, dead ends %d "
                "(seed %s)\n",
        t.runs, t.verified, t.reported, t.falseSuccesses, t.deadEnds, qPrintable(parser.value(seed)));
    return t.falseSuccesses == 0 && t.deadEnds == 0 ? 0 : 1;
}
