// The manager window end to end: the real window, driven through its widgets, against the
// simulated adapter and Kestrane device on a pty.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <canworker.h>
#include <droparea.h>
#include <ecufilelistmodel.h>
#include <managerwindow.h>
#include <settingskeys.h>
#include <veltranoversion.h>

#include <QAction>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QTextBrowser>
#include <QToolButton>

#include <memory>

namespace {

using namespace testfiles;

struct Box
{
    QString title;
    QString text;
    bool seen = false;
};

// Answers the next message box with `button` and records what it said.
std::shared_ptr<Box> answerNextBox(QMessageBox::StandardButton button = QMessageBox::Ok)
{
    auto box = std::make_shared<Box>();
    testsupport::whenModalAppears(
        [box, button](QWidget *modal) {
            auto *message = qobject_cast<QMessageBox *>(modal);
            if (!message) {
                modal->close();
                return;
            }
            box->seen = true;
            box->title = message->windowTitle();
            box->text = message->text();
            if (QAbstractButton *answer = message->button(button))
                answer->click();
            else
                message->reject();
        },
        15000);
    return box;
}

// Answers the next `count` message boxes with Ok, one after the other, also when one opens
// while another is being closed.
std::shared_ptr<QList<Box>> answerBoxes(int count)
{
    auto boxes = std::make_shared<QList<Box>>();
    auto answer = std::make_shared<std::function<void(QWidget *)>>();
    *answer = [boxes, answer, count](QWidget *modal) {
        auto *message = qobject_cast<QMessageBox *>(modal);
        Box box;
        box.seen = true;
        if (message) {
            box.title = message->windowTitle();
            box.text = message->text();
        }
        boxes->append(box);
        if (boxes->size() < count)
            testsupport::whenModalAppears(*answer, 15000);
        else
            answer->operator=(nullptr); // breaks the cycle once the last box is answered
        if (message && message->button(QMessageBox::Ok))
            message->button(QMessageBox::Ok)->click();
        else
            modal->close();
    };
    testsupport::whenModalAppears(*answer, 15000);
    return boxes;
}

// A simulated Kestrane device in its application firmware, with files stored beforehand.
struct Device
{
    explicit Device(const QString &adapter = QStringLiteral("els27"), const QMap<QString, QByteArray> &files = {},
        const QStringList &faults = {})
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(state.filePath(QStringLiteral("files/") + it.key()), it.value());
        sim = std::make_unique<SimHarness>(
            QStringList {QStringLiteral("--adapter"), adapter, QStringLiteral("--device"), QStringLiteral("kestrane"),
                QStringLiteral("--mode"), QStringLiteral("app"), QStringLiteral("--state"), state.path()}
            + faults);
    }
    QString file(const QString &name) const { return state.filePath(QStringLiteral("files/") + name); }

    QTemporaryDir state;
    std::unique_ptr<SimHarness> sim;
};

// Collects the worker's reports so a test can wait for one command's end.
struct Finished
{
    explicit Finished(ManagerWindow &window)
        : spy(window.findChild<CanWorker *>(), &CanWorker::finished)
        , log(window.findChild<QTextBrowser *>(QStringLiteral("log")))
    { }

    bool waitFor(CanWorker::Commands cmd, int timeoutMs = 30000)
    {
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            for (; seen < spy.size(); ++seen) {
                if (spy.at(seen).at(0).value<CanWorker::Commands>() == cmd) {
                    status = spy.at(seen).at(1).toBool();
                    ++seen;
                    return true;
                }
            }
            if (waited.elapsed() > timeoutMs) {
                // What the window logged is the quickest clue to where the device stopped.
                qWarning().noquote() << "Waited in vain for" << cmd << "; the log says:\n" << log->toPlainText();
                return false;
            }
            spy.wait(100);
        }
    }

    QSignalSpy spy;
    QTextBrowser *log;
    int seen = 0;
    bool status = false;
};

// Waits in a real event loop: QTRY_* sleeps between its event rounds, which would pace the
// adapter's replies and stretch an upload by minutes.
template<typename Predicate> bool waitUntil(Predicate done, int timeoutMs = 30000)
{
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || waited.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(10);
    if (!done())
        loop.exec();
    return done();
}

// Runs the application's event loop the way the program does and returns its exit code,
// after `trigger` has run inside it; -1 when nothing ended it within 15 s.
template<typename Trigger> int runLoop(Trigger trigger)
{
    QTimer::singleShot(0, trigger);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(15000);
    return QCoreApplication::exec();
}

} // namespace

class TestManagerWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<ManagerWindow> window;

    template<typename T> T *child(const char *name) const { return window->findChild<T *>(QLatin1String(name)); }
    int page() const { return child<QStackedWidget>("stackedWidget")->currentIndex(); }
    QAbstractItemModel *model() const { return child<QTableView>("fileList")->model(); }
    QStringList names() const
    {
        QStringList result;
        for (int row = 0; row < model()->rowCount(); ++row)
            result << model()->index(row, 1).data().toString();
        return result;
    }
    QStringList ticked() const
    {
        QStringList result;
        for (int row = 0; row < model()->rowCount(); ++row)
            if (model()->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked)
                result << model()->index(row, 1).data().toString();
        return result;
    }

    void openWindow()
    {
        window = std::make_unique<ManagerWindow>();
        QVERIFY(window->init());
        window->showWindow();
    }

    // Connects through the connect page and waits for the list and its ticks.
    void connectTo(const Device &device, bool elm327 = false)
    {
        QVERIFY(device.sim->start());
        openWindow();
        Finished finished(*window);
        auto *combo = child<QComboBox>("portCombo");
        child<QToolButton>("rescanTool")->click();
        combo->setCurrentIndex(combo->findText(device.sim->port()));
        QCOMPARE(combo->currentText(), device.sim->port());
        child<QSpinBox>("baudSpin")->setValue(38400);
        child<QRadioButton>(elm327 ? "adapterELMRadio" : "adapterELSRadio")->setChecked(true);
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Setup, 1));
        QVERIFY(finished.status);
        QVERIFY(finished.waitFor(CanWorker::Read));
        QVERIFY(finished.status);
        if (model()->rowCount() > 0)
            QVERIFY(finished.waitFor(CanWorker::Config));
        QCOMPARE(page(), 1);
        QVERIFY(child<QWidget>("startPage")->isEnabled());
    }

    // Drops a file on the drop area and, when it is accepted, waits for the upload and the
    // list read after it.
    void uploadAndWait(const QString &path)
    {
        Finished finished(*window);
        auto done = answerNextBox();
        emit child<DropArea>("dropLabel")->changed(path);
        QCOMPARE(page(), 3);
        QVERIFY(finished.waitFor(CanWorker::Write));
        QVERIFY(finished.status);
        QTRY_VERIFY(done->seen);
        QCOMPARE(done->title, QStringLiteral("File Upload"));
        QVERIFY(finished.waitFor(CanWorker::Read));
        QVERIFY(finished.waitFor(CanWorker::Config));
    }

private slots:
    void cleanup() { window.reset(); }

    void modelFollowsTheDeviceLists()
    {
        ECUFileListModel model;
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("On"));
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Name"));
        QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
        QVERIFY(!model.setHeaderData(0, Qt::Horizontal, QStringLiteral("x")));
        model.addItems({"a.bin", "b.bin", "a.bin", "c.bin"});
        QCOMPARE(model.rowCount(), 4);
        QCOMPARE(model.columnCount(), 2);
        QCOMPARE(model.rowCount(model.index(0, 0)), 0);
        QCOMPARE(int(model.flags(model.index(0, 0))), 50);
        QCOMPARE(int(model.flags(model.index(0, 1))), 32);
        QCOMPARE(int(model.flags(QModelIndex())), 0);

        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.select({"c.bin", "A.BIN", "missing.bin"});
        QCOMPARE(model.tickedNames(), QStringList {"c.bin"});
        QCOMPARE(changed.count(), 1);
        QVERIFY(!model.setData(model.index(3, 0), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(!model.setData(model.index(1, 1), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(model.tickedNames(), (QStringList {"b.bin", "c.bin"}));

        model.deselectAll();
        QCOMPARE(model.tickedNames(), (QStringList {"b.bin", "c.bin"}));
        model.remove(QStringLiteral("a.bin"));
        QCOMPARE(model.rowCount(), 2);
        model.clear();
        QCOMPARE(model.rowCount(), 0);
    }

    void settingsAtStartUp()
    {
        QSettings settings;
        settings.clear();
        openWindow();
        QCOMPARE(page(), 0);
        QVERIFY(child<QRadioButton>("adapterELSRadio")->isChecked());
        QCOMPARE(child<QSpinBox>("baudSpin")->text(), QStringLiteral("Automatic"));
        window.reset();

        settings.setValue(SettingsKeys::mode, "ELM327");
        settings.setValue(SettingsKeys::baud, 115200);
        settings.setValue(SettingsKeys::hostAddress, 1);
        settings.setValue(SettingsKeys::deviceAddress, 0x7E8);
        openWindow();
        QVERIFY(child<QRadioButton>("adapterELMRadio")->isChecked());
        QCOMPARE(child<QSpinBox>("baudSpin")->value(), 115200);
        QCOMPARE(settings.value(SettingsKeys::hostAddress).toUInt(), 0x74Eu);
        QCOMPARE(settings.value(SettingsKeys::deviceAddress).toUInt(), 0x746u);
        QVERIFY(child<QAction>("actionFirmware_Update")->isEnabled());

        // Without a port the connect button only warns.
        child<QComboBox>("portCombo")->clear();
        auto box = answerNextBox();
        child<QCommandLinkButton>("connectTool")->click();
        QTRY_VERIFY(box->seen);
        QCOMPARE(box->title, QStringLiteral("Connect"));
        QCOMPARE(box->text, QStringLiteral("No serial port"));
        QCOMPARE(page(), 0);
    }

    void connectListsFilesWithTheirTicks_data()
    {
        QTest::addColumn<bool>("elm327");
        QTest::newRow("elm327") << true;
        QTest::newRow("els27") << false;
    }

    void connectListsFilesWithTheirTicks()
    {
        QFETCH(bool, elm327);
        Device device(elm327 ? QStringLiteral("elm327") : QStringLiteral("els27"),
            {{"b.bin", "bb"}, {"a.bin", "a"}, {"c.txt", "c"}, {"active.cfg", "[\"c.txt\",\"a.bin\"]"}});
        connectTo(device, elm327);
        QCOMPARE(names(), (QStringList {"a.bin", "active.cfg", "b.bin", "c.txt"}));
        QCOMPARE(ticked(), (QStringList {"a.bin", "c.txt"}));
        QVERIFY(!child<QAction>("actionFirmware_Update")->isEnabled());
        QVERIFY(child<QTextBrowser>("log")->toPlainText().contains("Connecting to " + device.sim->port()));

        QSettings settings;
        QCOMPARE(settings.value(SettingsKeys::port).toString(), device.sim->port());
        QCOMPARE(settings.value(SettingsKeys::baud).toInt(), 38400);
        QCOMPARE(
            settings.value(SettingsKeys::mode).toString(), elm327 ? QStringLiteral("elm327") : QStringLiteral("els27"));
        QVERIFY(!settings.value(SettingsKeys::geometry).toByteArray().isEmpty());
    }

    void emptyDeviceShowsNoFiles()
    {
        Device device;
        connectTo(device);
        QCOMPARE(model()->rowCount(), 0);
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("No Files"));
    }

    void uploadStoresTheSlice()
    {
        Device device;
        connectTo(device);
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files.filePath("FW.BIN"), firmwareFile(&slice));
        uploadAndWait(path);
        QCOMPARE(readFile(device.file("FW.BIN")), slice);
        QCOMPARE(names(), QStringList {"FW.BIN"});
        QCOMPARE(page(), 1);
        QCOMPARE(child<QProgressBar>("progress")->value(), 100);
        const QString log = child<QTextBrowser>("log")->toPlainText();
        QVERIFY(log.contains("Start uploading " + path));
        QVERIFY(log.contains("File uploaded"));
    }

    void longNameIsAskedAbout_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("accepted") << true;
        QTest::newRow("declined") << false;
    }

    void longNameIsAskedAbout()
    {
        QFETCH(bool, accept);
        Device device;
        connectTo(device);
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files.filePath("my_firmware_2020.bin"), firmwareFile(&slice));
        auto question = answerNextBox(accept ? QMessageBox::Yes : QMessageBox::No);
        if (accept) {
            Finished finished(*window);
            auto done = answerNextBox();
            emit child<DropArea>("dropLabel")->changed(path);
            QVERIFY(finished.waitFor(CanWorker::Write));
            QTRY_VERIFY(done->seen);
            QCOMPARE(readFile(device.file("my_firmware_.bin")), slice);
        } else {
            child<QToolButton>("addFileTool")->click();
            QCOMPARE(page(), 2);
            emit child<DropArea>("dropLabel")->changed(path);
            QCOMPARE(page(), 2);
            QVERIFY(!child<DropArea>("dropLabel")->hasFile());
            QVERIFY(!QFile::exists(device.file("my_firmware_.bin")));
        }
        QCOMPARE(question->title, QStringLiteral("Firmware Update"));
        QCOMPARE(
            question->text, QStringLiteral("File my_firmware_2020.bin will be uploaded as my_firmware_.bin. Proceed?"));
    }

    void badFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("text");
        QTest::newRow("wrong size") << QByteArray(1000, 'x') << QStringLiteral("%1 is not a firmware file");
        QTest::newRow("no markers") << QByteArray(0x200000, '\0') << QStringLiteral("Firmware file is corrupted");
    }

    void badFilesAreRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        openWindow();
        QTemporaryDir files;
        const QString path = writeFile(files.filePath("fw.bin"), content);
        auto box = answerNextBox();
        emit child<DropArea>("dropLabel")->changed(path);
        QVERIFY(box->seen);
        QCOMPARE(box->title, QStringLiteral("File Upload"));
        QCOMPARE(box->text, text.contains("%1") ? text.arg(path) : text);
        QCOMPARE(page(), 1);
        // Nothing stays busy: the next file is checked again.
        auto again = answerNextBox();
        emit child<DropArea>("dropLabel")->changed(files.filePath("missing.bin"));
        QVERIFY(again->text.startsWith("Cannot read file " + files.filePath("missing.bin") + ": "));
    }

    void secondUploadIsRefusedWhileBusy()
    {
        Device device;
        connectTo(device);
        QTemporaryDir files;
        const QString path = writeFile(files.filePath("fw.bin"), firmwareFile(nullptr));
        Finished finished(*window);
        emit child<DropArea>("dropLabel")->changed(path);
        QCOMPARE(page(), 3);
        for (int i = 0; i < 2; ++i) {
            auto busy = answerNextBox();
            if (i == 0)
                emit child<DropArea>("dropLabel")->changed(path);
            else
                child<QToolButton>("applySelTool")->click();
            QVERIFY(busy->seen);
            QCOMPARE(busy->title, QStringLiteral("Firmware Update"));
            QCOMPARE(busy->text, QStringLiteral("Busy flashing. Please wait"));
        }
        auto done = answerNextBox();
        QVERIFY(finished.waitFor(CanWorker::Write));
        QVERIFY(finished.status);
        QTRY_VERIFY(done->seen);
        QVERIFY(finished.waitFor(CanWorker::Read));
    }

    void failedUploadLeavesTheWindowReady_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logged");
        QTest::newRow("hash mismatch") << QStringList {"--malformed", "32"} << QStringList {"File Upload"}
                                       << QStringLiteral("Upload failed") << QStringLiteral("File upload failed");
        QTest::newRow("select refused") << QStringList {"--negative", "20:10"}
                                        << QStringList {"Veltrano Manager", "Upload File"}
                                        << QStringLiteral("Cannot upload file: Device reply processing error")
                                        << QStringLiteral("Cannot setup file upload");
        // Requests 1 and 2 read the list; each upload is the select, 100 writes and the MD5.
        QTest::newRow("MD5 reply missing")
            << QStringList {"--silent-requests", "104", "--silent-requests", "206"} << QStringList {"File Upload"}
            << QStringLiteral("Upload failed") << QStringLiteral("File upload failed");
    }

    void failedUploadLeavesTheWindowReady()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, titles);
        QFETCH(QString, text);
        QFETCH(QString, logged);
        Device device(QStringLiteral("els27"), {}, faults);
        connectTo(device);
        QTemporaryDir files;
        const QString path = writeFile(files.filePath("fw.bin"), firmwareFile(nullptr));
        // Twice: a failed upload must not leave the window refusing the next one as busy.
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto boxes = answerBoxes(titles.size());
            emit child<DropArea>("dropLabel")->changed(path);
            QVERIFY(waitUntil([&] { return boxes->size() == titles.size(); }));
            QStringList seen;
            for (const Box &box : *boxes)
                seen << box.title;
            QCOMPARE(seen, titles);
            QCOMPARE(boxes->last().text, text);
            QCOMPARE(page(), 1);
        }
        QCOMPARE(child<QTextBrowser>("log")->toPlainText().count(logged), 2);
    }

    void applySelectionWritesTheTickedNames_data()
    {
        QTest::addColumn<QStringList>("tick");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("none") << QStringList() << QByteArray("[]");
        QTest::newRow("some") << QStringList {"c.bin", "a.bin"} << QByteArray("[\"a.bin\",\"c.bin\"]");
    }

    void applySelectionWritesTheTickedNames()
    {
        QFETCH(QStringList, tick);
        QFETCH(QByteArray, stored);
        Device device(
            QStringLiteral("els27"), {{"a.bin", "a"}, {"b.bin", "b"}, {"c.bin", "c"}, {"active.cfg", "[\"b.bin\"]"}});
        connectTo(device);
        QCOMPARE(ticked(), QStringList {"b.bin"});
        for (int row = 0; row < model()->rowCount(); ++row)
            model()->setData(
                model()->index(row, 0), tick.contains(model()->index(row, 1).data().toString()), Qt::CheckStateRole);
        Finished finished(*window);
        auto done = answerNextBox();
        child<QToolButton>("applySelTool")->click();
        QCOMPARE(page(), 3);
        QVERIFY(finished.waitFor(CanWorker::Write));
        QVERIFY(finished.status);
        QTRY_VERIFY(done->seen);
        QCOMPARE(readFile(device.file("active.cfg")), stored);
        QVERIFY(finished.waitFor(CanWorker::Config));
        tick.sort();
        QCOMPARE(ticked(), tick);
        QVERIFY(child<QTextBrowser>("log")->toPlainText().contains("Start uploading active.cfg"));
    }

    void removeAndErase()
    {
        Device device(QStringLiteral("els27"), {{"a.bin", "a"}, {"b.bin", "b"}});
        connectTo(device);
        auto box = answerNextBox();
        child<QToolButton>("removeFileTool")->click();
        QTRY_VERIFY(box->seen);
        QCOMPARE(box->title, QStringLiteral("Remove File"));
        QCOMPARE(box->text, QStringLiteral("Select a file to remove"));

        Finished finished(*window);
        child<QTableView>("fileList")->setCurrentIndex(model()->index(1, 1));
        child<QToolButton>("removeFileTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Remove));
        QVERIFY(finished.status);
        QCOMPARE(names(), QStringList {"a.bin"});
        QVERIFY(!QFile::exists(device.file("b.bin")));
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Removed"));
        QVERIFY(child<QTextBrowser>("log")->toPlainText().contains("Removing file b.bin"));

        child<QToolButton>("eraseFilesTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Erase));
        QVERIFY(finished.status);
        QCOMPARE(model()->rowCount(), 0);
        QVERIFY(!QFile::exists(device.file("a.bin")));
        QVERIFY(child<QTextBrowser>("log")->toPlainText().contains("Erased"));
    }

    void firmwareUpgradeHandsOverToTheUpdater()
    {
        Device device;
        connectTo(device);
        std::shared_ptr<Box> question;
        const int code = runLoop([&] {
            question = answerNextBox(QMessageBox::Yes);
            child<QToolButton>("dfuTool")->click();
        });
        QCOMPARE(code, 255);
        QCOMPARE(question->title, QStringLiteral("Firmware Upgrade"));
        QVERIFY(question->text.startsWith("Are you sure you want to update the firmware?<br>"));
        QTRY_VERIFY(readFile(device.state.filePath("device.cfg")).contains("mode=boot"));
    }

    void upgradeUtilityTellsWhetherConnected()
    {
        openWindow();
        QCOMPARE(runLoop([&] { child<QAction>("actionFirmware_Update")->trigger(); }), 254);
        window.reset();

        // Connected, the menu item is disabled; its slot still tells the updater to reuse the link.
        Device device;
        connectTo(device);
        QVERIFY(!child<QAction>("actionFirmware_Update")->isEnabled());
        QCOMPARE(runLoop([&] { QMetaObject::invokeMethod(window.get(), "on_actionFirmware_Update_triggered"); }), 255);
    }

    // A stable link (by-id, by-path, udev) stored as the port selects the port it leads to, and
    // stays what is stored and handed over, so the adapter is found under its next name too.
    void storedLinkNamesThePort()
    {
        Device device;
        QVERIFY(device.sim->start());
        QTemporaryDir links;
        const QString link = links.filePath(QStringLiteral("usb-Kestrane_ELS27-if00-port0"));
        QVERIFY(QFile::link(device.sim->port(), link));
        QSettings().setValue("IO/Port", link);
        openWindow();
        QCOMPARE(child<QComboBox>("portCombo")->currentText(), device.sim->port());
        child<QSpinBox>("baudSpin")->setValue(38400);
        Finished finished(*window);
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Setup, 1));
        QVERIFY(finished.status);
        QVERIFY(finished.waitFor(CanWorker::Read));
        QCOMPARE(QSettings().value("IO/Port").toString(), link);
        QCOMPARE(runLoop([&] { QMetaObject::invokeMethod(window.get(), "on_actionFirmware_Update_triggered"); }), 255);
        QCOMPARE(QSettings().value("port").toString(), link);
    }

    void connectionLossReturnsToTheConnectPage()
    {
        Device device;
        connectTo(device);
        auto box = answerNextBox();
        device.sim->signal(SIGUSR1);
        QTRY_VERIFY_WITH_TIMEOUT(box->seen, 10000);
        QCOMPARE(box->title, QStringLiteral("Connection Aborted"));
        QCOMPARE(box->text, QStringLiteral("Transport unexpectedly closed"));
        QCOMPARE(page(), 0);
    }

    void silentAdapterLeavesTheConnectPageUsable()
    {
        Device device(QStringLiteral("els27"), {}, {"--silent"});
        QVERIFY(device.sim->start());
        openWindow();
        auto *combo = child<QComboBox>("portCombo");
        child<QToolButton>("rescanTool")->click();
        combo->setCurrentIndex(combo->findText(device.sim->port()));
        child<QSpinBox>("baudSpin")->setValue(38400);
        auto box = answerNextBox();
        QElapsedTimer clock;
        clock.start();
        child<QCommandLinkButton>("connectTool")->click();
        QTRY_VERIFY_WITH_TIMEOUT(box->seen, 30000);
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(box->title, QStringLiteral("Connect"));
        QCOMPARE(box->text, QStringLiteral("No adapter answers on %1 at 38400 bit/s").arg(device.sim->port()));
        QCOMPARE(page(), 0);
        QVERIFY(child<QStackedWidget>("stackedWidget")->isEnabled());
        QVERIFY(child<QAction>("actionFirmware_Update")->isEnabled());
    }

    // The port goes away during an upload; once the adapter is back, the same window connects
    // again and uploads: the broken upload left nothing behind that would refuse the next.
    void linkLostDuringAnUpload()
    {
        Device device(QStringLiteral("els27"), {}, {"--vanish-after", "60"});
        connectTo(device);
        QTemporaryDir files;
        QByteArray slice;
        const QString path = writeFile(files.filePath("fw.bin"), firmwareFile(&slice));
        auto box = answerNextBox();
        emit child<DropArea>("dropLabel")->changed(path);
        QTRY_VERIFY_WITH_TIMEOUT(box->seen, 15000);
        QCOMPARE(box->title, QStringLiteral("Connection Aborted")); // one box says it all
        QCOMPARE(page(), 0);
        QVERIFY(child<QTextBrowser>("log")->toPlainText().contains(QLatin1String("File upload failed")));

        // The adapter comes back on a port of its own, with the device as it was.
        SimHarness again({"--adapter", "els27", "--device", "kestrane", "--state", device.state.path()});
        QVERIFY(again.start());
        Finished finished(*window);
        auto *combo = child<QComboBox>("portCombo");
        child<QToolButton>("rescanTool")->click();
        combo->setCurrentIndex(combo->findText(again.port()));
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Read));
        uploadAndWait(path);
        QCOMPARE(readFile(device.file("fw.bin")), slice);
    }

    // The device does not answer the first list read: the window says so and goes back to the
    // connect page, from where connecting again works.
    void failedListReadLeavesAWayOn()
    {
        Device device(QStringLiteral("els27"), {{"a.bin", "A"}}, {"--silent-requests", "1"});
        QVERIFY(device.sim->start());
        openWindow();
        Finished finished(*window);
        auto box = answerNextBox();
        auto *combo = child<QComboBox>("portCombo");
        child<QToolButton>("rescanTool")->click();
        combo->setCurrentIndex(combo->findText(device.sim->port()));
        child<QSpinBox>("baudSpin")->setValue(38400);
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Read));
        QVERIFY(!finished.status);
        QTRY_VERIFY(box->seen);
        QCOMPARE(box->title, QStringLiteral("Read File List"));
        QCOMPARE(page(), 0);
        QVERIFY(child<QStackedWidget>("stackedWidget")->isEnabled());
        QVERIFY(child<QAction>("actionFirmware_Update")->isEnabled());
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(finished.waitFor(CanWorker::Read));
        QVERIFY(finished.status);
        QTRY_COMPARE(names(), QStringList {"a.bin"});
        QVERIFY(child<QWidget>("startPage")->isEnabled());
    }

    void exitAndAbout()
    {
        openWindow();
        auto about = answerNextBox();
        child<QAction>("actionAbout")->trigger();
        QVERIFY(about->seen);
        QCOMPARE(about->title, QStringLiteral("Veltrano Manager v" VELTRANO_VERSION));
        QVERIFY(about->text.startsWith("Utility to manage the Kestrane devices via CAN.<br>"));
        QVERIFY(about->text.contains("Material Icons"));
        child<QAction>("actionLog")->trigger();
        QCOMPARE(page(), 3);
        child<QAction>("actionHome")->trigger();
        QCOMPARE(page(), 1);
        QCOMPARE(runLoop([&] { child<QAction>("actionExit")->trigger(); }), 0);
    }
};

VELTRANO_TEST_MAIN(TestManagerWindow)
#include "tst_managerwindow.moc"
