// Window fault soak: the real manager and updater windows, offscreen, against kestrane-sim with one
// random fault per run. After it, a fault-free upload or flash in the same window must succeed and
// the device must hold exactly what was sent. A success over content the device does not hold is a
// false success; a window that cannot do the second job is a dead end. Both must stay at 0.
//   veltrano-window-soak [--uploads N] [--flashes N] [--seed N] [--fault "SIMULATOR OPTIONS"] [--case N]
// --fault replaces the random draw, to look into one fault again; --case picks one kind of the draw.

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
#include <settingskeys.h>

#include <QAction>
#include <QProgressBar>
#include <QTextBrowser>

#include <cstdio>
#include <list>

namespace {

using namespace testfiles;
using testsupport::waitUntil;

constexpr quint32 board = 0x4B455331;

struct Fault
{
    QString name;
    QStringList options;
    bool lasting = false; // still there for a second job: the adapter or device is replaced first
    bool elm327 = false; // the adapter is an ELM327 (the windows are told so), not an ELS27
    // The first job's file is one the window must refuse before the device hears of it: a name
    // the device cannot store, or a package without an image.
    bool badFile = false;
    // What the technician does during the first job.
    enum Action {
        None,
        LeaveNo, // exit or close while the work runs, and answer No: the work goes on
        LeaveYes, // the same, answered Yes: the work stops between two steps and the window goes
        OtherTool, // Home, then another tool, while an upload runs: nothing may start
        DropWhileAsking, // the port goes away while a question about the file is open, then Yes
    } action
        = None;
};

// Answers every box (Yes to questions), returns from the launch dialog so the updater stays
// open for the next flash, and accepts the connection dialog.
struct Answerer : testsupport::Modals
{
    Answerer()
    {
        onDialog = [this](QWidget *modal) {
            if (auto *launch = qobject_cast<LaunchDialog *>(modal)) {
                ++launchDialogs;
                launch->findChild<QAbstractButton *>("returnButton")->click();
            } else if (auto *params = qobject_cast<ELMParams *>(modal)) {
                params->accept();
            }
            return qobject_cast<LaunchDialog *>(modal) || qobject_cast<ELMParams *>(modal);
        };
    }

    int launchDialogs = 0;
};

// One run's fault and device, and its adapters on one port: the first one's folder holds the link.
struct Run
{
    // Every other run goes frame by frame; the others as the ELS27 chooses (it segments).
    Run(const Fault &fault, const char *what, int number, const QStringList &mode)
        : fault(fault)
        , frames(number % 2 == 1)
        , device(QStringList {
                     "--adapter", fault.elm327 ? "elm327" : "els27", "--device", "kestrane", "--state", state.path()}
              + mode)
        , label(QStringLiteral("%1 %2 (%3: %4, %5)")
                    .arg(what, QString::number(number), fault.name, fault.options.join(' '),
                        frames ? QStringLiteral("frames") : QStringLiteral("automatic transfer")))
    {
        sims.emplace_back(device + fault.options);
        QSettings().setValue(SettingsKeys::transfer, frames ? QStringLiteral("frames") : QStringLiteral("auto"));
    }

    QString port() const { return sims.front().port(); }
    // A fresh adapter and device on the port the window already knows; the device keeps its state.
    bool replace()
    {
        sims.back().stop();
        sims.emplace_back(device + QStringList {"--link", port()});
        const bool started = sims.back().start();
        qputenv("VELTRANO_EXTRA_PORTS", port().toLocal8Bit()); // start() named its own folder's path
        return started;
    }

    const Fault fault;
    const bool frames;
    QTemporaryDir state;
    const QStringList device;
    const QString label;
    std::list<SimHarness> sims;
    Answerer answers;
};

class Soak
{
public:
    Soak(quint32 seed, const QStringList &given, int drawn)
        : m_random(seed)
        , m_given(given)
        , m_case(drawn)
    {
        for (int i = 0; i < 2; ++i) {
            QByteArray file = firmwareFile();
            // Two files with different content, so the second job's result cannot be the first's.
            for (int k = 0; k < 64; ++k)
                file[0x1C2000 + 0x2000 + k] = char(i * 31 + k);
            m_slices << file.mid(0x1C2000, 0x18EE0);
            m_firmware << writeFile(m_files, QStringLiteral("FW_%1.bin").arg(QChar('A' + i)), file);
            QByteArray image(5000 + i * 1000, '\0');
            for (int k = 0; k < image.size(); ++k)
                image[k] = char(k * (7 + i) + 1);
            m_images << image;
            m_packages << writeFile(m_files, QStringLiteral("app%1.dfu").arg(i),
                DfuPackage::build(board, QByteArray("Soak firmware ") + QByteArray::number(i), image));
        }
        m_badName = writeFile(m_files, QStringLiteral("мотор.bin"), firmwareFile());
        m_renamed = writeFile(m_files, QStringLiteral("firmware.v2.bin"), firmwareFile());
        m_emptyPackage = writeFile(m_files, QStringLiteral("empty.dfu"), DfuPackage::build(board, "Empty", {}));
    }

    void upload(int number);
    void flash(int number);
    int runs = 0, verified = 0, reported = 0, falseSuccesses = 0, deadEnds = 0;

private:
    int pick(int low, int high) { return int(m_random.bounded(low, high + 1)); }
    Fault draw(bool boot);
    bool judge(int job, bool good, bool holds, const Run &run);
    void say(int &count, const QString &text)
    {
        ++count;
        std::fprintf(stderr, "window soak: %s\n", qPrintable(text));
    }
    // Says what was left undone, and what the windows' boxes said on the way.
    void deadEnd(const Run &run, const QString &what)
    {
        const QString said = run.answers.texts.isEmpty() ? QString() : ": " + run.answers.texts.join(" | ");
        say(deadEnds, QStringLiteral("DEAD END: %1: %2%3").arg(run.label, what, said));
    }

    QRandomGenerator m_random;
    QStringList m_given;
    int m_case; // the kind of fault every run gets, or -1 to draw one
    QTemporaryDir m_files;
    QList<QByteArray> m_slices, m_images; // what the device must hold after each job
    QStringList m_firmware, m_packages;
    QString m_badName, m_emptyPackage; // files a window must refuse before the device hears of them
    QString m_renamed; // a firmware file the manager asks about before it uploads it
};

Fault Soak::draw(bool boot)
{
    if (!m_given.isEmpty())
        return {"given", m_given, true};
    const auto number = [&](int low, int high) { return QString::number(pick(low, high)); };
    const auto burst
        = [&](int low, int high, int most) { return QStringLiteral("%1:%2").arg(pick(low, high)).arg(pick(1, most)); };
    const auto acting = [](const char *name, Fault::Action action, QStringList options = {}) {
        Fault fault {name, options, action == Fault::DropWhileAsking};
        fault.action = action;
        return fault;
    };
    switch (m_case >= 0 ? m_case : pick(0, 21)) {
    case 18:
        return acting("leave during the work, answered No", Fault::LeaveNo);
    case 19:
        return acting("leave during the work, answered Yes", Fault::LeaveYes);
    case 20:
        return boot ? acting("leave during a long erase, answered Yes", Fault::LeaveYes, {"--erase-ms", "3000"})
                    : acting("Home and another tool during an upload", Fault::OtherTool);
    case 21:
        return acting("port gone while a question is open", Fault::DropWhileAsking);
    case 0:
        return {"port vanishes", {"--vanish-after", boot ? number(60, 700) : number(300, 12000)}, true};
    case 1:
        return {"silent adapter", {"--silent-after", boot ? number(60, 700) : number(300, 12000)}, true};
    case 2:
        return {"lost write reply", {"--lose-write-reply", number(1, boot ? 5 : 100)}};
    case 3:
        return boot ? Fault {"lost erase reply", {"--busy-replies", "B100B2:1"}}
                    : Fault {"lost request", {"--silent-requests", number(3, 104)}};
    case 4:
        return {"CAN error burst", {"--can-error", boot ? burst(30, 600, 6) : burst(40, 14000, 6)}};
    case 5:
        return {"refused", {"--negative", pick(0, 1) ? (boot ? "36:31" : "21:31") : (boot ? "37:72" : "32:31")}, true};
    case 6:
        return {"malformed reply", {"--malformed", pick(0, 1) ? (boot ? "37" : "32") : (boot ? "34" : "20")}, true};
    case 7:
        // From the flash on: requests 1 to 4 are the description, the UUID, the status on
        // connecting and the status the package is checked against.
        return boot ? Fault {"device stops answering", {"--silent-requests", burst(5, 11, 3)}}
                    : Fault {"device stops mid-reply", {"--cut-reply", "32"}, true};
    case 8:
        return {"echoing adapter", {"--stuck-echo"}};
    case 9:
        return boot ? Fault {"long erase", {"--erase-ms", number(2000, 8000)}}
                    : Fault {"garbled selection reply", {"--malformed", "33"}, true};
    case 10:
        return {"noise in place of a frame", {"--word", number(20, boot ? 400 : 12000) + ":HELLO"}};
    case 11:
        return {"flow control stops the request",
            {"--flow-control",
                QStringLiteral("%1:%2").arg(pick(0, 1) ? "wait" : "overflow").arg(pick(1, boot ? 5 : 100))}};
    case 12:
        return {"every frame line gets CAN ERROR", {"--can-error-every", "1"}, true};
    case 13:
        return {"a port that streams text", {"--stream-text"}, true};
    case 14:
        return {"ELM327 left at a raised rate", {"--raised-rate", "500000"}, false, true};
    case 15:
        return boot ? Fault {"status refused", {"--negative", "B100B0:22"}, true}
                    : Fault {"name the device cannot store", {}, false, false, true};
    case 16:
        return boot ? Fault {"package without an image", {}, false, false, true}
                    : Fault {"name the device cannot store", {}, false, false, true};
    default:
        return boot ? Fault {"board swapped", {"--board-swap", "1:0x12345678"}, true}
                    : Fault {"noise in place of a frame", {"--word", number(1, 60) + ":HELLO"}};
    }
}

// The question asked before leaving during the work gets the answer the fault says; every other
// question a Yes.
void leaveAnswer(Answerer &answers, Fault::Action action)
{
    answers.answer = QMessageBox::Yes;
    answers.beforeAnswer = [&answers, action](const QString &question) {
        const bool leaving = question.endsWith(QLatin1String("Stop and quit?"));
        answers.answer = leaving && action == Fault::LeaveNo ? QMessageBox::No : QMessageBox::Yes;
    };
}

// A success must be backed by what the device holds, and only the job with the fault may fail.
bool Soak::judge(int job, bool good, bool holds, const Run &run)
{
    if (good && holds) {
        ++verified;
    } else if (good) {
        say(falseSuccesses, QStringLiteral("FALSE SUCCESS: ") + run.label);
    } else if (job == 0) {
        ++reported;
    } else {
        deadEnd(run, "the fault-free job after it failed");
        return false;
    }
    return true;
}

void Soak::upload(int number)
{
    Run run(draw(false), "upload", number, {"--mode", "app"});
    if (!run.sims.back().start())
        return deadEnd(run, "the simulator did not start");
    std::unique_ptr<ManagerWindow> window;
    QStackedWidget *pages = nullptr;
    CanWorker *worker = nullptr;
    int ends = 0, percent = 0;
    TransferOutcome last = TransferOutcome::Succeeded;
    const auto open = [&] {
        window = std::make_unique<ManagerWindow>();
        window->init();
        window->show();
        pages = window->findChild<QStackedWidget *>("stackedWidget");
        worker = window->findChild<CanWorker *>();
        QObject::connect(worker, &CanWorker::completed, window.get(), [&](const Completion &completion) {
            if (completion.command != CanWorker::Write)
                return;
            ++ends;
            last = completion.outcome;
        });
        QObject::connect(worker, &CanWorker::progress, window.get(), [&](int value) { percent = value; });
    };
    open();
    // Through the connect page; connected once the file list has been read.
    const auto connectManager = [&] {
        return testsupport::pressConnect(window.get(), run.port(), run.fault.elm327,
                   run.frames ? testsupport::FrameTransfer : testsupport::AutomaticTransfer)
            && testsupport::managerListed(window.get());
    };
    const auto dropFile = [&](const QString &path) { emit window->findChild<DropArea *>("dropLabel")->changed(path); };

    // The job with the fault, then a fault-free one; a fault may already hit the connection.
    bool acted = false;
    for (int job = 0; job < 2; ++job) {
        ++runs;
        bool good = false, left = false;
        acted = false;
        const Fault::Action action = job == 0 ? run.fault.action : Fault::None;
        if (job == 0 && run.fault.badFile && (pages->currentIndex() != 0 || connectManager())) {
            // Refused at the drop: the device never hears of it and stores nothing.
            run.answers.texts.clear();
            dropFile(m_badName);
            if (!waitUntil([&] { return !run.answers.texts.isEmpty(); }, 5000) || ends != 0
                || !QDir(run.state.filePath("files")).entryList(QDir::Files).isEmpty())
                return deadEnd(run, "a name the device cannot store was not refused");
            ++reported;
            continue;
        }
        if (action == Fault::DropWhileAsking && (pages->currentIndex() != 0 || connectManager())) {
            // The port goes while the rename question is open; the Yes that follows must lead to
            // the connect page, not to an upload on the closed port.
            run.answers.beforeAnswer = [&](const QString &) {
                run.sims.back().stop();
                waitUntil([&] { return !worker->link().isOpen(); }, 3000);
            };
            dropFile(m_renamed);
            const bool ended
                = waitUntil([&] { return !run.answers.questions.isEmpty() && pages->currentIndex() == 0; });
            run.answers.beforeAnswer = [](const QString &) {};
            waitUntil([&] { return ends > 0; }, 1000); // an upload that started anyway would end now
            if (!ended || ends != 0)
                return deadEnd(run, "the question answered after the port went did not lead to the connect page");
            ++reported;
            if (!run.replace())
                return deadEnd(run, "the simulator did not start again");
            continue;
        }
        if (pages->currentIndex() != 0 || connectManager()) {
            // As a technician would: the next file goes in once Add file can be pressed again,
            // after the list the last upload brought back.
            const auto *addFile = window->findChild<QAbstractButton *>("addFileTool");
            if (!waitUntil([&] { return addFile->isEnabled(); }, 30000))
                return deadEnd(run, QStringLiteral("Add file never came back (job %1)").arg(job + 1));
            run.answers.texts.clear();
            run.answers.questions.clear();
            const int before = ends;
            const int at = pick(1, 90); // the percentage at which the technician acts
            if (action == Fault::LeaveNo || action == Fault::LeaveYes) {
                leaveAnswer(run.answers, action);
                run.answers.when([&, at, before] { return percent >= at && ends == before; },
                    [&, before] {
                        if (ends != before)
                            return; // ended meanwhile: leaving now would simply leave
                        acted = true;
                        if (pick(0, 1))
                            window->close();
                        else
                            window->findChild<QAction *>("actionExit")->trigger();
                    });
            } else if (action == Fault::OtherTool) {
                run.answers.when([&, at, before] { return percent >= at && ends == before; },
                    [&] {
                        acted = true;
                        window->findChild<QAction *>("actionHome")->trigger();
                        const char *tools[] {
                            "addFileTool", "applySelTool", "removeFileTool", "eraseFilesTool", "dfuTool"};
                        window->findChild<QAbstractButton *>(tools[pick(0, 4)])->click();
                        window->findChild<QAction *>("actionFirmware_Update")->trigger();
                    });
            }
            dropFile(m_firmware.at(job));
            if (action == Fault::LeaveYes) {
                // The window ends the program's event loop once the upload has stopped, as it
                // does in the program; a loop that never ends is a dead end.
                const int code = testsupport::runLoop({}, 120000);
                leaveAnswer(run.answers, Fault::None);
                if (code != 0 || ends != before + 1)
                    return deadEnd(run, "the window did not leave after the upload stopped");
                good = last == TransferOutcome::Succeeded; // it may have ended before the question
                if (acted && last != TransferOutcome::Stopped && !good)
                    return deadEnd(run, "a stopped upload did not end as stopped");
                left = true;
            } else {
                if (!waitUntil([&] { return ends > before; }, 120000))
                    return deadEnd(run, QStringLiteral("the upload never ended (job %1)").arg(job + 1));
                leaveAnswer(run.answers, Fault::None);
                good = last == TransferOutcome::Succeeded;
                // The box that tells the end; on a loaded machine it may take a while to be shown.
                waitUntil([&] { return run.answers.texts.contains(QLatin1String(good ? "Done" : "Upload failed")); },
                    good ? 10000 : 3000);
                if (good != run.answers.texts.contains(QStringLiteral("Done")))
                    return deadEnd(run, "the window said otherwise than the worker");
                // Neither the question nor the other tool may cut the upload short.
                if (acted && !good)
                    return deadEnd(run, "the upload failed although it was not stopped");
            }
        }
        const QString stored = run.state.filePath("files/" + QFileInfo(m_firmware.at(job)).fileName());
        if (!judge(job, good, good && readFile(stored) == m_slices.at(job), run))
            return;
        if (left) { // the technician starts the program again
            window.reset();
            open();
        } else if (job == 0 && run.fault.lasting) {
            if (!run.replace())
                return deadEnd(run, "the simulator did not start again");
            // The window notices the old port is gone, or finds out on its next request.
            waitUntil([&] { return pages->currentIndex() == 0; }, 3000);
        }
    }
}

void Soak::flash(int number)
{
    // Each run's device is another one: an earlier run's unfinished flash is not its own.
    Run run(draw(true), "flash", number,
        {"--mode", "boot", "--board-id", QString::number(board), "--uuid",
            QStringLiteral("%1").arg(number + 1, 24, 10, QLatin1Char('0'))});
    if (!run.sims.back().start())
        return deadEnd(run, "the simulator did not start");
    std::unique_ptr<HIDDfu> window;
    QWidget *controls = nullptr;
    QTextBrowser *flashLog = nullptr;
    bool ended = false; // the window has finished: it is closing, whatever it still shows
    int percent = 0;
    const auto open = [&] {
        if (window)
            window->shutdown();
        window = std::make_unique<HIDDfu>();
        DFUParams params;
        params.mode = HIDDfu::Slave; // ends by closing itself, not by quitting this program
        params.port = params.lastPort = run.port();
        params.baud = 38400; // the default identifiers
        params.adapter = run.fault.elm327 ? 0 : 1;
        window->setup(params);
        window->show();
        window->start();
        ended = false;
        controls = window->findChild<QWidget *>("controlWidget");
        flashLog = window->findChild<QTextBrowser *>("dfuLog");
        QObject::connect(window.get(), &HIDDfu::finished, [&] { ended = true; });
        QObject::connect(window->findChild<QProgressBar *>("progressBar"), &QProgressBar::valueChanged, window.get(),
            [&](int value) { percent = value; });
    };
    open();
    const auto connectedTimes
        = [&] { return window->findChild<QTextBrowser *>("elmLog")->toPlainText().count(QStringLiteral("UUID: ")); };
    // After a failure the drop page comes back; after a success (Return in the launch dialog) the
    // flash log stays in view. Either way a package can be handed to the window.
    const auto ready
        = [&] { return !ended && controls->isEnabled() && window->findChild<QWidget *>("stackedWidget")->isEnabled(); };
    const auto dropPackage = [&](const QString &path) {
        emit window->findChild<DropArea *>(QStringLiteral("dfuDropArea"))->changed(path);
    };

    int jobNow = 0; // a step planned for one job never acts in another
    bool acted = false;
    for (int job = 0; job < 2; ++job) {
        ++runs;
        jobNow = job;
        acted = false;
        const Fault::Action action = job == 0 ? run.fault.action : Fault::None;
        if (!waitUntil([&] { return (connectedTimes() > 0 && ready()) || ended; }, 30000) || ended) {
            if (job == 0 && ended) {
                ++reported; // a fault during the connection ends the updater, as designed
                return;
            }
            return deadEnd(run, QStringLiteral("the updater is not ready for job %1").arg(job + 1));
        }
        run.answers.titles = run.answers.texts = run.answers.warnings = run.answers.questions = QStringList();
        run.answers.launchDialogs = 0;
        if (job == 0 && run.fault.badFile) {
            // Refused before anything is sent: the device keeps its application.
            dropPackage(m_emptyPackage);
            if (!waitUntil([&] { return !run.answers.texts.isEmpty() && ready(); }, 10000)
                || !readFile(run.state.filePath("device.cfg")).contains("image=final"))
                return deadEnd(run, "a package without an image was not refused");
            ++reported;
            continue;
        }
        const Answerer &answers = run.answers;
        if (action == Fault::DropWhileAsking) {
            // The port goes while "Update firmware to ...?" is open; the Yes that follows must lead
            // to the adapter search, never to a flash on the closed port.
            const int before = connectedTimes();
            run.answers.beforeAnswer = [&](const QString &) {
                run.sims.back().stop();
                waitUntil([] { return false; }, 1500); // the window hears of the loss
            };
            dropPackage(m_packages.at(job));
            const bool asked = waitUntil([&] { return !answers.questions.isEmpty(); }, 10000);
            run.answers.beforeAnswer = [](const QString &) {};
            if (!asked || !run.replace())
                return deadEnd(run, "no question, or the simulator did not start again");
            if (!waitUntil([&] { return (connectedTimes() > before && ready()) || ended; }, 30000) || ended
                || answers.launchDialogs > 0)
                return deadEnd(run, "the updater did not look for the adapter again");
            ++reported;
            continue;
        }
        if (action == Fault::LeaveNo || action == Fault::LeaveYes) {
            // During the erase when it is a long one, else at some point of the writes.
            const bool duringErase = run.fault.options.contains(QStringLiteral("--erase-ms"));
            const int at = pick(1, 90);
            leaveAnswer(run.answers, action);
            run.answers.when(
                [&, duringErase, at, job] {
                    return jobNow == job
                        && (duringErase ? flashLog->toPlainText().contains(QLatin1String("Erasing")) : percent >= at);
                },
                [&] {
                    acted = answers.launchDialogs == 0 && answers.warnings.isEmpty();
                    if (acted)
                        window->close();
                });
        }
        dropPackage(m_packages.at(job));
        // Ends in the launch dialog, or in a warning (after the question, or instead of it when the
        // package could not be checked) and the window ready or looking for the adapter, or, when
        // the technician left, with the window finished.
        if (!waitUntil(
                [&] {
                    return answers.launchDialogs > 0 || ended
                        || (!answers.warnings.isEmpty()
                            && !qobject_cast<QMessageBox *>(QApplication::activeModalWidget())
                            && (ready() || !controls->isEnabled()));
                },
                120000))
            return deadEnd(run, QStringLiteral("the flash never ended (job %1)").arg(job + 1));
        leaveAnswer(run.answers, Fault::None);
        const bool good = answers.launchDialogs > 0;
        if (good != flashLog->toPlainText().contains(QLatin1String("Flashed.")))
            return deadEnd(run, "the log and the launch dialog disagree");
        if (acted && !good && (action == Fault::LeaveNo || !ended))
            return deadEnd(run, "the flash did not go on, or did not stop and leave: " + flashLog->toPlainText());
        const QByteArray &image = m_images.at(job);
        if (!judge(job, good, good && readFile(run.state.filePath("flash.bin")).left(image.size()) == image, run))
            return;
        if (ended && action == Fault::LeaveYes) {
            open(); // the technician starts the updater again
            continue;
        }
        if (job == 0 && run.fault.lasting) {
            const int before = connectedTimes();
            if (!run.replace())
                return deadEnd(run, "the simulator did not start again");
            // A lost link makes the window look for the adapter again; wait until it is back. A
            // refusal outside a flash ends the updater, as it is meant to.
            if (!waitUntil([&] { return (connectedTimes() > before && ready()) || ended; }, 30000))
                return deadEnd(run, "the updater did not connect again");
            if (ended)
                return;
        }
    }
    window->shutdown();
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::prepareHeadless();
    QApplication app(argc, argv);
    testsupport::setApplicationIdentity();
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"uploads", "Uploads in the manager window.", "n", "40"},
        {"flashes", "Flashes in the updater window.", "n", "20"}, {"seed", "Seed of the random faults.", "n", "1"},
        {"fault", "Simulator options of one fault for every run.", "options"},
        {"case", "The kind of fault every run gets, by its number in the draw.", "n", "-1"}});
    parser.process(app);

    Soak soak(parser.value("seed").toUInt(), parser.value("fault").split(QLatin1Char(' '), Qt::SkipEmptyParts),
        parser.value("case").toInt());
    for (int i = 1; i <= parser.value("uploads").toInt(); ++i)
        soak.upload(i);
    for (int i = 1; i <= parser.value("flashes").toInt(); ++i)
        soak.flash(i);
    std::printf("window soak: runs %d, successes verified %d, failures reported %d, false successes %d, dead ends %d "
                "(seed %s)\n",
        soak.runs, soak.verified, soak.reported, soak.falseSuccesses, soak.deadEnds, qPrintable(parser.value("seed")));
    return soak.falseSuccesses == 0 && soak.deadEnds == 0 ? 0 : 1;
}
