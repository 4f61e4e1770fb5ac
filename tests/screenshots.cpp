// Renders the two windows, each connected to kestrane-sim, to PNG files for the README:
//   veltrano-screenshots OUTPUT_FOLDER
// writes manager.png and updater.png there. It drives the windows the way the window tests
// do, so the pictures show what a technician sees after connecting.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <hiddfu.h>
#include <managerwindow.h>

#include <QIcon>
#include <QTableView>
#include <QTextBrowser>

#include <cstdio>

namespace {

using testfiles::writeFile;
using testsupport::child;

bool fail(const char *what)
{
    std::fprintf(stderr, "veltrano-screenshots: %s\n", what);
    return false;
}

// Lets the window lay itself out and paint once more before it is grabbed.
bool save(QWidget &window, const QString &path)
{
    QCoreApplication::processEvents();
    QTest::qWait(200);
    if (!window.grab().save(path, "PNG"))
        return fail("cannot write the picture");
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The manager after Connect: a device holding a few firmware files, two of them active.
bool shootManager(const QString &path)
{
    QTemporaryDir state;
    const QMap<QString, QByteArray> files {{"engine.bin", QByteArray(18432, 'e')},
        {"gearbox.bin", QByteArray(9216, 'g')}, {"dash.bin", QByteArray(4096, 'd')},
        {"diag.bin", QByteArray(2048, 'x')}, {"active.cfg", "[\"engine.bin\",\"gearbox.bin\"]"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeFile(state.filePath(QStringLiteral("files/") + it.key()), it.value());
    SimHarness sim({"--adapter", "els27", "--device", "kestrane", "--mode", "app", "--state", state.path()});
    if (!sim.start())
        return fail("the simulator did not start");

    ManagerWindow window;
    if (!window.init())
        return fail("the manager did not initialise");
    // A little above the design size, so the file names fit their column.
    window.resize(480, 320);
    window.showWindow();
    if (!testsupport::pressConnect(&window, sim.port()))
        return fail("the manager does not list the simulator's port");
    if (!testsupport::managerListed(&window) || child<QTableView>(&window, "fileList")->model()->rowCount() != 5)
        return fail("the manager did not list the device's files");
    return save(window, path);
}

// The updater once it has found the simulated bootloader, its log showing the description
// and the device's UUID.
bool shootUpdater(const QString &path)
{
    QTemporaryDir state;
    SimHarness sim(
        {"--adapter", "els27", "--device", "kestrane", "--mode", "boot", "--state", state.path(), "--board-id", "7"});
    if (!sim.start())
        return fail("the simulator did not start");

    HIDDfu window;
    DFUParams params;
    params.port = params.lastPort = sim.port();
    params.baud = 38400; // the ELS27 and the bootloader's identifiers by default
    window.setup(params);
    // Wider than the design size, so the log's lines are not wrapped word by word.
    window.resize(680, 300);
    window.showWindow();
    if (!window.start())
        return fail("the updater did not start");

    // The updater runs inside the application's loop and leaves it itself; the picture is
    // taken from inside, then Restart ends the run as a user would.
    bool saved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!child<QTextBrowser>(&window, "elmLog")->toPlainText().contains(QLatin1String("UUID:")))
            return;
        poll.stop();
        saved = save(window, path);
        child<QAbstractButton>(&window, "restartTool")->click();
    });
    poll.start(20);
    const bool timedOut = testsupport::runLoop() == -1;
    window.shutdown();
    if (timedOut && !saved)
        return fail("the updater did not reach the bootloader");
    return saved;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::prepareHeadless();
    QApplication app(argc, argv);
    testsupport::setApplicationIdentity();
    QApplication::setWindowIcon(QIcon(QStringLiteral("://veltrano.ico")));

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: veltrano-screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir out(arguments.at(1));
    if (!QDir().mkpath(out.path())) {
        fail("cannot create the output folder");
        return 1;
    }

    const bool manager = shootManager(out.filePath(QStringLiteral("manager.png")));
    const bool updater = shootUpdater(out.filePath(QStringLiteral("updater.png")));
    return manager && updater ? 0 : 1;
}
