// The manager window end to end: the real window, driven through its widgets, against the
// simulated adapter and Kestrane device on a pty.

#include "simharness.h"
#include "testfiles.h"
#include "testsupport.h"

#include <canworker.h>
#include <droparea.h>
#include <ecufilelistmodel.h>
#include <managerwindow.h>
#include <recordspage.h>
#include <recordstore.h>
#include <settingskeys.h>
#include <translations.h>
#include <veltranoversion.h>

#include <QAction>
#include <QCommandLinkButton>
#include <QCryptographicHash>
#include <QProgressBar>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QTextBrowser>
#include <QToolButton>

#include <memory>

#include <sys/stat.h>

namespace {

using namespace testfiles;
using testsupport::runLoop;
using testsupport::waitUntil;

using Boxes = testsupport::Modals;

// A simulated Kestrane device in its application firmware, with files stored beforehand.
struct Device
{
    Device(const QMap<QString, QByteArray> &files, const QStringList &faults, bool elm327)
        : sim(QStringList {"--adapter", elm327 ? "elm327" : "els27", "--device", "kestrane", "--mode", "app", "--state",
                  state.path()}
            + faults)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(file(it.key()), it.value());
    }
    QString file(const QString &name) const { return state.filePath(QStringLiteral("files/") + name); }

    QTemporaryDir state; // before the simulator, which is given its path
    SimHarness sim;
};

} // namespace

class TestManagerWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<Device> device;
    std::unique_ptr<ManagerWindow> window;
    QTemporaryDir files;
    QString records; // this test's store of job records
    int tests = 0;

    template<typename T> T *child(const char *name) const { return window->findChild<T *>(QLatin1String(name)); }
    int page() const { return child<QStackedWidget>("stackedWidget")->currentIndex(); }
    QString log() const { return child<QTextBrowser>("log")->toPlainText(); }
    QAbstractItemModel *model() const { return child<QTableView>("fileList")->model(); }
    QStringList names(bool tickedOnly = false) const
    {
        QStringList result;
        for (int row = 0; row < model()->rowCount(); ++row)
            if (!tickedOnly || model()->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked)
                result << model()->index(row, 1).data().toString();
        return result;
    }
    void drop(const QString &path) { emit child<DropArea>("dropLabel")->changed(path); }
    QStringList enabledTools() const
    {
        QStringList on;
        for (const char *name : {"addFileTool", "applySelTool", "removeFileTool", "eraseFilesTool", "dfuTool"})
            if (child<QToolButton>(name)->isEnabled())
                on << name;
        return on;
    }

    void openWindow()
    {
        window = std::make_unique<ManagerWindow>();
        QVERIFY(window->init());
        window->showWindow();
    }

    bool listed() const { return testsupport::managerListed(window.get()); }
    QString firmware(const QString &name, QByteArray *slice = nullptr) const
    {
        return writeFile(files.filePath(name), firmwareFile(slice));
    }

    // A device with these files and faults, its simulator started.
    void putDevice(const QMap<QString, QByteArray> &files = {}, const QStringList &faults = {}, bool elm327 = false)
    {
        device = std::make_unique<Device>(files, faults, elm327);
        QVERIFY(device->sim.start());
    }

    // Connects to such a device through the connect page and waits for the list and its ticks.
    void connectTo(const QMap<QString, QByteArray> &files = {}, const QStringList &faults = {}, bool elm327 = false,
        testsupport::Transfer transfer = testsupport::FrameTransfer)
    {
        putDevice(files, faults, elm327);
        openWindow();
        QVERIFY(testsupport::pressConnect(window.get(), device->sim.port(), elm327, transfer));
        QVERIFY2(listed(), qPrintable(log()));
    }

private slots:
    void init()
    {
        records = files.filePath(QStringLiteral("records-%1.sqlite").arg(++tests));
        qputenv("VELTRANO_RECORDS", QFile::encodeName(records));
    }

    void cleanup()
    {
        window.reset();
        device.reset();
    }

    void modelFollowsTheDeviceLists()
    {
        ECUFileListModel model;
        model.addItems({"a.bin", "b.bin", "a.bin", "c.bin"});
        QCOMPARE(model.rowCount(), 4);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.select({"c.bin", "A.BIN", "missing.bin"});
        QCOMPARE(model.tickedNames(), QStringList {"c.bin"});
        QCOMPARE(changed.count(), 1);
        QVERIFY(!model.setData(model.index(3, 0), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(!model.setData(model.index(1, 1), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(model.tickedNames(), (QStringList {"b.bin", "c.bin"}));
        model.remove(QStringLiteral("a.bin"));
        QCOMPARE(model.rowCount(), 2);
    }

    // Before any device: the stored settings, a missing port, About and Exit.
    void withoutADevice()
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

        // Without a port the connect button only warns.
        child<QComboBox>("portCombo")->clear();
        Boxes boxes;
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(boxes.waitFor(1));
        QCOMPARE(boxes.texts, QStringList {"No serial port"});
        QCOMPARE(page(), 0);
        child<QAction>("actionAbout")->trigger();
        QVERIFY(boxes.waitFor(2));
        QCOMPARE(boxes.titles.last(), QStringLiteral("Veltrano Manager v" VELTRANO_VERSION));
        QCOMPARE(runLoop([&] { child<QAction>("actionExit")->trigger(); }), 0);
    }

    void connectListsFilesWithTheirTicks_data()
    {
        QTest::addColumn<bool>("elm327");
        QTest::addColumn<bool>("empty");
        QTest::addColumn<QStringList>("faults");
        QTest::newRow("elm327") << true << false << QStringList();
        QTest::newRow("els27") << false << false << QStringList();
        QTest::newRow("no files") << false << true << QStringList();
        // Requests 1 and 2 read the list, 3 the active selection.
        QTest::newRow("selection not read") << false << false << QStringList {"--silent-requests", "3"};
        // A Wi-Fi adapter, listed from VELTRANO_EXTRA_PORTS, stored and handed over as tcp://HOST:PORT.
        QTest::newRow("network adapter") << false << false << QStringList {"--tcp", "0"};
    }

    void connectListsFilesWithTheirTicks()
    {
        QFETCH(bool, elm327);
        QFETCH(bool, empty);
        QFETCH(QStringList, faults);
        Boxes boxes;
        connectTo(empty ? QMap<QString, QByteArray>()
                        : QMap<QString, QByteArray> {{"b.bin", "bb"}, {"a.bin", "a"}, {"c.txt", "c"},
                            {"active.cfg", "[\"c.txt\",\"a.bin\"]"}},
            faults, elm327);
        // The set-up's reading of the vehicle's voltage, said once.
        QCOMPARE(log().count("Vehicle voltage: 12.6 V"), 1);
        const bool network = faults.contains("--tcp");
        // A selection never read must not be written over: Apply Selection waits for one.
        QCOMPARE(child<QToolButton>("applySelTool")->isEnabled(), faults.isEmpty() || network);
        if (!faults.isEmpty() && !network) {
            QVERIFY(boxes.waitFor(1));
            QCOMPARE(boxes.titles.first() + ": " + boxes.texts.first(),
                "Read Selection: Cannot read the active files: No responce from the device");
            QCOMPARE(names(true), QStringList());
            return;
        }
        if (empty) {
            QCOMPARE(model()->rowCount(), 0);
            QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("No Files"));
            return;
        }
        QCOMPARE(names(), (QStringList {"a.bin", "active.cfg", "b.bin", "c.txt"}));
        QCOMPARE(names(true), (QStringList {"a.bin", "c.txt"}));
        QVERIFY(!child<QAction>("actionFirmware_Update")->isEnabled());
        QSettings settings;
        QCOMPARE(settings.value(SettingsKeys::port).toString(), device->sim.port());
        QCOMPARE(settings.value(SettingsKeys::baud).toInt(), 38400);
        QCOMPARE(settings.value(SettingsKeys::mode).toString(), QString(elm327 ? "elm327" : "els27"));
        if (!network)
            return;
        QCOMPARE(runLoop([&] { QMetaObject::invokeMethod(window.get(), "on_actionFirmware_Update_triggered"); }), 255);
        QCOMPARE(settings.value(SettingsKeys::handoverPort).toString(), device->sim.port());
        window.reset();
        openWindow(); // the stored port is selected again
        QCOMPARE(child<QComboBox>("portCombo")->currentText(), device->sim.port());
    }

    // A name the device would store otherwise is asked about first.
    void uploadStoresTheSlice_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("stored"); // empty: nothing uploaded
        QTest::addColumn<bool>("segmented"); // the adapter segments the messages, as it chooses
        QTest::newRow("short name") << "FW.BIN" << true << "FW.BIN" << false;
        QTest::newRow("segmented by the adapter") << "FW.BIN" << true << "FW.BIN" << true;
        QTest::newRow("long name accepted") << "my_firmware_2020.bin" << true << "my_firmware_.bin" << false;
        QTest::newRow("long name declined") << "my_firmware_2020.bin" << false << QString() << false;
    }

    void uploadStoresTheSlice()
    {
        QFETCH(QString, name);
        QFETCH(bool, accept);
        QFETCH(QString, stored);
        QFETCH(bool, segmented);
        connectTo({}, {}, false, segmented ? testsupport::AutomaticTransfer : testsupport::FrameTransfer);
        QCOMPARE(log().contains("Transfers: segmented"), segmented);
        QByteArray slice;
        const QString path = firmware(name, &slice);
        Boxes boxes;
        boxes.answer = accept ? QMessageBox::Yes : QMessageBox::No;
        drop(path);
        QVERIFY(stored == name || boxes.waitFor(1));
        QCOMPARE(boxes.questions,
            stored == name ? QStringList()
                           : QStringList {"File my_firmware_2020.bin will be uploaded as my_firmware_.bin. Proceed?"});
        if (stored.isEmpty()) {
            QVERIFY(!child<DropArea>("dropLabel")->hasFile());
            QVERIFY(!QFile::exists(device->file("my_firmware_.bin")));
            QVERIFY(!QFile::exists(records)); // nothing was sent, so there is no job to record
            return;
        }
        QCOMPARE(page(), 3);
        QVERIFY(boxes.waitFor(boxes.questions.size() + 1));
        QCOMPARE(boxes.titles.last() + ": " + boxes.texts.last(), QStringLiteral("File Upload: Done"));
        QVERIFY(listed());
        QCOMPARE(readFile(device->file(stored)), slice);
        QCOMPARE(names(), QStringList {stored});
        QCOMPARE(child<QProgressBar>("progress")->value(), 100);
        QVERIFY(log().contains("File uploaded"));
        // Read at the set-up and again before the upload.
        QCOMPARE(log().count("Vehicle voltage: 12.6 V"), 2);

        // One record of the upload, with the file and the bytes sent, also on Go -> Records.
        RecordStore store(records);
        QVERIFY2(store.open(), qPrintable(store.error()));
        const QList<JobRecord> kept = store.find({});
        QCOMPARE(kept.size(), 1);
        const JobRecord &record = kept.first();
        QCOMPARE(QStringList({record.program, record.job, record.status, record.role}),
            QStringList({"manager", "upload", "succeeded", "application"}));
        QCOMPARE(record.fileName, QFileInfo(path).absoluteFilePath());
        QCOMPARE(record.fileSize, qint64(slice.size()));
        QCOMPARE(record.sha256, QString(QCryptographicHash::hash(slice, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(record.transfer, QString(segmented ? "segmented" : "frames"));
        QCOMPARE(QStringList({record.port, record.adapterKind}), QStringList({device->sim.port(), "ELS27"}));
        QVERIFY2(record.description.startsWith("Device reports: SDK 1.22.2, FW 2.4.0"), qPrintable(record.description));
        QCOMPARE(record.voltageBefore, 12.6);
        child<QAction>("actionRecords")->trigger();
        QCOMPARE(page(), 4);
        const QAbstractItemModel *shown = child<QTableView>("recordsTable")->model();
        QCOMPARE(shown->rowCount(), 1);
        QCOMPARE(shown->index(0, RecordsPage::shownColumns().indexOf("file_name")).data().toString(), record.fileName);
    }

    // While an upload runs nothing may take the link from it: the tools that would are disabled and
    // refuse when called all the same; leaving asks first, and a stop ends it between two blocks.
    void leavingDuringAnUploadAsks_data()
    {
        QTest::addColumn<bool>("closeButton");
        QTest::addColumn<bool>("stop");
        QTest::newRow("Exit, stopped") << false << true;
        QTest::newRow("close button, stopped") << true << true;
        QTest::newRow("Exit, declined") << false << false;
    }

    void leavingDuringAnUploadAsks()
    {
        QFETCH(bool, closeButton);
        QFETCH(bool, stop);
        connectTo({{"a.bin", "a"}});
        child<QTableView>("fileList")->setCurrentIndex(model()->index(0, 1));
        QByteArray slice;
        const QString path = firmware("fw.bin", &slice);
        Boxes boxes;
        boxes.answer = stop ? QMessageBox::Yes : QMessageBox::No;
        boxes.when([&] { return log().contains("File uploaded"); }, [] { QCoreApplication::exit(9); });
        QStringList enabledDuring;
        QCOMPARE(runLoop([&] {
            drop(path);
            child<QAction>("actionHome")->trigger();
            enabledDuring = enabledTools();
            for (const char *slot : {"on_removeFileTool_clicked", "on_eraseFilesTool_clicked", "on_dfuTool_clicked",
                     "on_applySelTool_clicked", "on_actionFirmware_Update_triggered"})
                QMetaObject::invokeMethod(window.get(), slot);
            // Asked again while the stop is under way, it neither asks nor stops twice.
            for (int i = 0; i < 2; ++i)
                closeButton ? void(window->close()) : child<QAction>("actionExit")->trigger();
        }),
            stop ? 0 : 9);
        QCOMPARE(enabledDuring, QStringList());
        QCOMPARE(boxes.texts.count("Busy flashing. Please wait"), 5);
        QCOMPARE(boxes.questions.count(
                     "An upload is running. Stopping now leaves a partial file on the device. Stop and quit?"),
            stop ? 1 : 2);
        const QByteArray stored = readFile(device->file("fw.bin"));
        if (!stop) {
            QCOMPARE(stored, slice);
            // Back once the list is read again; no row is current then.
            QTRY_COMPARE(enabledTools(), (QStringList {"addFileTool", "applySelTool", "eraseFilesTool", "dfuTool"}));
            return;
        }
        QCOMPARE(log().count("Stopping the upload after the current block"), 1);
        QVERIFY(log().contains("Upload stopped; fw.bin on the device is incomplete"));
        QVERIFY(stored.size() < slice.size() && stored.size() % 1024 == 0 && slice.startsWith(stored));
    }

    void badFilesAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // null: a named pipe, which no writer feeds
        QTest::addColumn<QString>("text"); // how the box begins
        const auto row = [](const char *name, const char *file, const QByteArray &content, const char *text) {
            QTest::newRow(name) << QString(file) << content << QString(text);
        };
        row("wrong size", "fw.bin", QByteArray(1000, 'x'), "%1 is not a firmware file");
        row("no markers", "fw.bin", QByteArray(0x200000, '\0'), "Firmware file is corrupted");
        row("named pipe", "pipe.bin", QByteArray(), "%1 is not a regular file");
        QTest::newRow("name not in ASCII")
            << QString::fromUtf8("мотор.bin") << firmwareFile()
            << QString::fromUtf8("The device cannot store the name мотор.bin exactly: it holds \"м\" (U+043C), ");
    }

    void badFilesAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        connectTo();
        const QString path = files.filePath(name);
        if (content.isNull())
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            writeFile(path, content);
        Boxes boxes;
        drop(path);
        // Nothing stays busy: the next file is checked again.
        drop(files.filePath("missing.bin"));
        QVERIFY(boxes.waitFor(2));
        QVERIFY2(boxes.texts.first().startsWith(text.contains("%1") ? text.arg(path) : text),
            qPrintable(boxes.texts.first()));
        QVERIFY(boxes.texts.last().startsWith("Cannot read file " + files.filePath("missing.bin") + ": "));
        QCOMPARE(page(), 1);
    }

    void failedUploadLeavesTheWindowReady_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logged");
        const auto row
            = [](const char *name, const QStringList &faults, const QStringList &titles, const char *text,
                  const char *logged) { QTest::newRow(name) << faults << titles << QString(text) << QString(logged); };
        row("hash mismatch", {"--malformed", "32"}, {"File Upload"}, "Upload failed", "File upload failed");
        row("select refused", {"--negative", "20:10"}, {"Veltrano Manager", "Upload File"},
            "Cannot upload file: Device reply processing error", "Cannot setup file upload");
        // Requests 1 and 2 read the list; each upload is the select, 100 writes and the MD5.
        row("MD5 reply missing", {"--silent-requests", "104", "--silent-requests", "206"}, {"File Upload"},
            "Upload failed", "File upload failed");
        // Adapter data lines 1 to 3 read the list (the description takes a flow control); lines 4
        // and 5 are the two uploads' selects.
        row("noise for the select", {"--word", "4:HELLO", "--word", "5:HELLO"}, {"Upload File"},
            "Cannot upload file: The reply broke the protocol (non-hex reply)", "Cannot setup file upload");
    }

    void failedUploadLeavesTheWindowReady()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, titles);
        QFETCH(QString, logged);
        connectTo({}, faults);
        const QString path = firmware("fw.bin");
        // Twice: a failed upload must not leave the window refusing the next one as busy.
        for (int attempt = 1; attempt <= 2; ++attempt) {
            Boxes boxes;
            drop(path);
            QVERIFY(boxes.waitFor(titles.size()));
            QVERIFY(waitUntil([&] { return log().count(logged) == attempt; }));
            QCOMPARE(boxes.titles, titles);
            QTEST(boxes.texts.last(), "text");
            QCOMPARE(page(), 1);
        }
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
        connectTo({{"a.bin", "a"}, {"b.bin", "b"}, {"c.bin", "c"}, {"active.cfg", "[\"b.bin\"]"}});
        QCOMPARE(names(true), QStringList {"b.bin"});
        for (int row = 0; row < model()->rowCount(); ++row)
            model()->setData(
                model()->index(row, 0), tick.contains(model()->index(row, 1).data().toString()), Qt::CheckStateRole);
        Boxes boxes;
        child<QToolButton>("applySelTool")->click();
        QCOMPARE(page(), 3);
        QVERIFY(boxes.waitFor(1));
        QCOMPARE(boxes.texts, QStringList {"Done"});
        QTEST(readFile(device->file("active.cfg")), "stored");
        QVERIFY(listed());
        tick.sort();
        QCOMPARE(names(true), tick);
    }

    void removeAndErase()
    {
        connectTo({{"a.bin", "a"}, {"b.bin", "b"}});
        auto *view = child<QTableView>("fileList");
        auto *remove = child<QToolButton>("removeFileTool");
        QVERIFY(!remove->isEnabled());
        Boxes boxes;
        for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
            view->setCurrentIndex(model()->index(1, 1));
            QVERIFY(view->selectionModel()->isRowSelected(1, {})); // the row Remove acts on shows
            boxes.answer = answer;
            remove->click();
        }
        QTRY_COMPARE(names(), QStringList {"a.bin"});
        QCOMPARE(boxes.questions, (QStringList {"Remove b.bin from the device?", "Remove b.bin from the device?"}));
        QVERIFY(!QFile::exists(device->file("b.bin")));
        QVERIFY(!remove->isEnabled()); // no row is current until one is picked again

        child<QToolButton>("eraseFilesTool")->click();
        QTRY_COMPARE(model()->rowCount(), 0);
        QVERIFY(!QFile::exists(device->file("a.bin")));
    }

    void firmwareUpgradeHandsOverToTheUpdater_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::newRow("switched") << QStringList();
        // Adapter data lines 1 to 3 read the list; the switch request, line 4, never reaches the bus.
        QTest::newRow("bus error") << QStringList {"--word", "4:BUS ERROR"};
        // The device drops the switch request (the third: info and list come first): the same silence
        // as a switch, but the bootloader never answers.
        QTest::newRow("dropped by the device") << QStringList {"--silent-requests", "3"};
    }

    // Only a device that switched is handed over; one that did not is a warning, and the manager
    // stays with it.
    void firmwareUpgradeHandsOverToTheUpdater()
    {
        QFETCH(QStringList, faults);
        connectTo({}, faults);
        Boxes boxes;
        boxes.when([&] { return !boxes.warnings.isEmpty(); }, [] { QCoreApplication::exit(0); });
        QCOMPARE(runLoop([&] { child<QToolButton>("dfuTool")->click(); }), faults.isEmpty() ? 255 : 0);
        if (faults.value(0) == "--silent-requests") {
            QCOMPARE(boxes.warnings,
                QStringList {"The device did not switch to its bootloader: the bootloader did not answer within 5 s"});
            QCOMPARE(page(), 0); // the link was let go: connect again, or try the updater
            QVERIFY(child<QAction>("actionFirmware_Update")->isEnabled());
            QVERIFY(!readFile(device->state.filePath("device.cfg")).contains("mode=boot"));
            return;
        }
        if (!faults.isEmpty()) {
            QCOMPARE(boxes.warnings,
                QStringList {"The device did not switch to its bootloader: The request did not reach the device "
                             "(the adapter reports BUS ERROR)"});
            QCOMPARE(page(), 1);
            QVERIFY(child<QWidget>("startPage")->isEnabled());
            QVERIFY(!readFile(device->state.filePath("device.cfg")).contains("mode=boot"));
            return;
        }
        QCOMPARE(boxes.titles, QStringList {"Firmware Upgrade"});
        QTRY_VERIFY(readFile(device->state.filePath("device.cfg")).contains("mode=boot"));
        QVERIFY(!child<QAction>("actionFirmware_Update")->isEnabled()); // connected
        window.reset();
        openWindow();
        QCOMPARE(runLoop([&] { child<QAction>("actionFirmware_Update")->trigger(); }), 254);
    }

    // A stable link (by-id, by-path, udev) stored as the port selects the port it leads to, and
    // stays what is stored and handed over, so the adapter is found under its next name too.
    void storedLinkNamesThePort()
    {
        putDevice();
        QTemporaryDir links;
        const QString link = links.filePath(QStringLiteral("usb-Kestrane_ELS27-if00-port0"));
        QVERIFY(QFile::link(device->sim.port(), link));
        QSettings().setValue(SettingsKeys::port, link);
        openWindow();
        QCOMPARE(child<QComboBox>("portCombo")->currentText(), device->sim.port());
        child<QSpinBox>("baudSpin")->setValue(38400);
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(listed());
        QCOMPARE(QSettings().value(SettingsKeys::port).toString(), link);
        QCOMPARE(runLoop([&] { QMetaObject::invokeMethod(window.get(), "on_actionFirmware_Update_triggered"); }), 255);
        // What the updater reads to take the connection over without asking.
        QCOMPARE(QSettings().value(SettingsKeys::handoverPort).toString(), link);
        QCOMPARE(QSettings().value(SettingsKeys::handoverBaud).toInt(), 38400);
        QCOMPARE(QSettings().value(SettingsKeys::handoverAdapter).toString(), QStringLiteral("els27"));
    }

    // What the device says is shown as the characters it is, in the log and in a box.
    void deviceTextIsShownAsText()
    {
        const QByteArray markup = "<h1><font color=green>UPLOAD VERIFIED</font></h1>";
        const auto reply = [](const QByteArray &bytes) { return QString::fromLatin1(bytes.toHex()); };
        SimHarness sim({"--adapter", "els27"});
        sim.useScript(QStringLiteral("10 => isotp %1\n11 => isotp %2\n33 => isotp %3\n")
                          .arg(reply("\x50{\"sdk\":\"1\",\"fw\":\"" + markup + "\",\"mpy\":1,\"ver\":\"v\"}"),
                              reply("\x51[\"a.bin\"]"), reply("\x7f{\"cmd\":9,\"error\":\"" + markup + "\"}")));
        QVERIFY(sim.start());
        openWindow();
        Boxes boxes;
        QVERIFY(testsupport::pressConnect(window.get(), sim.port()));
        // The refusal ends the selection read, which says so in a box of its own.
        QVERIFY(boxes.waitFor(2));
        QCOMPARE(boxes.titles.last(), QStringLiteral("Read Selection"));
        QVERIFY(log().contains("FW " + markup + ","));
        QVERIFY(!child<QTextBrowser>("log")->toHtml().contains("<h1>"));
        QCOMPARE(boxes.texts.first(), "Communication error: Device reply processing error at cfg: " + markup);
        QCOMPARE(boxes.formats.first(), Qt::PlainText);
    }

    // A refusal whose words cannot be read, or one given under another command's number, ends the
    // list read as any failed reading does: the connect page is the way on, never a window with
    // every tool greyed, nor "No Files".
    void refusedListLeavesAWayOn_data()
    {
        QTest::addColumn<QByteArray>("refusal");
        QTest::newRow("unreadable") << QByteArray("\x7f{\"cmd\":1,\"err");
        QTest::newRow("another command's number") << QByteArray("\x7f{\"cmd\":5,\"error\":\"busy\"}");
    }

    void refusedListLeavesAWayOn()
    {
        QFETCH(QByteArray, refusal);
        SimHarness sim({"--adapter", "els27"});
        sim.useScript(QStringLiteral("10 => isotp %1\n11 => isotp %2\n")
                          .arg(QString::fromLatin1(QByteArray("\x50{\"sdk\":\"1\",\"fw\":\"2\",\"mpy\":1}").toHex()),
                              QString::fromLatin1(refusal.toHex())));
        QVERIFY(sim.start());
        openWindow();
        Boxes boxes;
        QVERIFY(testsupport::pressConnect(window.get(), sim.port()));
        QVERIFY(boxes.waitFor(1));
        QVERIFY(waitUntil([&] { return boxes.titles.contains("Read File List"); }, 5000));
        QTRY_COMPARE(page(), 0);
        QVERIFY(child<QStackedWidget>("stackedWidget")->isEnabled());
        QVERIFY(child<QAction>("actionFirmware_Update")->isEnabled());
        QVERIFY(!log().contains("No Files") && window->statusBar()->currentMessage() != "No Files");
    }

    // After the port is lost the connect page is the way on, also from Home; a question answered
    // after the loss leads there, never to a request queued on the closed port.
    void connectionLossReturnsToTheConnectPage_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("rename question") << "drop";
        QTest::newRow("remove question") << "removeFileTool";
        QTest::newRow("upgrade question") << "dfuTool";
    }

    void connectionLossReturnsToTheConnectPage()
    {
        QFETCH(QString, action);
        connectTo({{"a.bin", "a"}});
        child<QTableView>("fileList")->setCurrentIndex(model()->index(0, 1));
        QStringList boxes;
        bool lost = false;
        QTimer answer;
        connect(&answer, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && !box->button(QMessageBox::Yes)) {
                boxes << box->windowTitle() + ": " + box->text();
                box->button(QMessageBox::Ok)->click();
            } else if (box && !lost) {
                lost = true;
                device->sim.signal(SIGUSR1);
            } else if (box && page() == 0 && !boxes.isEmpty()) { // the loss said, as the window queues it
                box->button(QMessageBox::Yes)->click();
            }
        });
        answer.start(10);
        if (action == "drop")
            drop(firmware("my_firmware_2020.bin"));
        else
            child<QToolButton>(qPrintable(action))->click();
        QCOMPARE(boxes, QStringList {"Connection Aborted: Transport unexpectedly closed"});
        child<QAction>("actionHome")->trigger();
        QCOMPARE(page(), 0);
        QVERIFY2(!log().contains("Start uploading") && !log().contains("Removing file"), qPrintable(log()));
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Not connected: connect to the adapter again"));
    }

    // A silent adapter, or a device that does not answer the first list read: the window says so
    // and stays on the connect page, from where connecting again works.
    void failedConnectLeavesAWayOn_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("elm327"); // the kind chosen
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("reason"); // %1: the port; empty: not the connect box
        const QString silent = "No adapter answers on %1 at 38400 bit/s";
        QTest::newRow("silent adapter") << "en" << QStringList {"--silent"} << false << "Connect" << silent;
        QTest::newRow("silent adapter, in Russian") << "ru" << QStringList {"--silent"} << false << "Подключиться"
                                                    << "Адаптер на %1 не отвечает на скорости 38400 бит/с";
        QTest::newRow("list not read") << "en" << QStringList {"--silent-requests", "1"} << false << "Read File List"
                                       << "";
        // The wrong kind chosen is said as such, not as a silent device.
        QTest::newRow("ELS27 chosen for an ELM327")
            << "en" << QStringList {"--adapter", "elm327"} << false << "Connect"
            << "The adapter on %1 is an ELM327 (ELM327 v1.5), not an ELS27: choose ELM327";
    }

    // The reason is the link's, put in the technician's language.
    void failedConnectLeavesAWayOn()
    {
        QFETCH(QString, language);
        QFETCH(QStringList, faults);
        QFETCH(bool, elm327);
        QFETCH(QString, title);
        QFETCH(QString, reason);
        QSettings().setValue(SettingsKeys::language, language);
        QList<QTranslator *> translators = loadTranslations(QStringLiteral("lang"));
        const auto untranslated = qScopeGuard([&] { unloadTranslations(translators); });
        putDevice({{"a.bin", "A"}}, faults);
        openWindow();
        Boxes boxes;
        QVERIFY(testsupport::pressConnect(window.get(), device->sim.port(), elm327));
        QVERIFY(boxes.waitFor(1));
        QCOMPARE(boxes.titles, QStringList {title});
        if (!reason.isEmpty()) {
            QCOMPARE(boxes.texts.first(), reason.arg(device->sim.port()));
            QVERIFY2(log().contains(reason.arg(device->sim.port())), qPrintable(log()));
        }
        QCOMPARE(page(), 0);
        QVERIFY(child<QStackedWidget>("stackedWidget")->isEnabled());
        QVERIFY(child<QAction>("actionFirmware_Update")->isEnabled());
        if (faults.contains("--silent"))
            return;
        // The same window connects once the fault is gone or the right kind chosen.
        child<QAbstractButton>(faults.contains("elm327") ? "adapterELMRadio" : "adapterELSRadio")->setChecked(true);
        child<QCommandLinkButton>("connectTool")->click();
        QVERIFY(listed());
        QCOMPARE(names(), QStringList {"a.bin"});
    }

    // The port goes away during an upload; once the adapter is back, the same window connects
    // again and uploads: the broken upload left nothing behind that would refuse the next.
    void linkLostDuringAnUpload()
    {
        connectTo({}, {"--vanish-after", "60"});
        QByteArray slice;
        const QString path = firmware("fw.bin", &slice);
        Boxes boxes;
        drop(path);
        QVERIFY(boxes.waitFor(1, 15000));
        QVERIFY(!waitUntil([&] { return boxes.titles.size() > 1; }, 500));
        QCOMPARE(boxes.titles, QStringList {"Connection Aborted"}); // one box says it all
        QCOMPARE(page(), 0);

        // The adapter comes back on a port of its own, with the device as it was.
        SimHarness again({"--adapter", "els27", "--device", "kestrane", "--state", device->state.path()});
        QVERIFY(again.start());
        QVERIFY(testsupport::pressConnect(window.get(), again.port()));
        QVERIFY(listed());
        drop(path);
        QCOMPARE(page(), 3);
        QVERIFY(boxes.waitFor(2));
        QCOMPARE(boxes.titles, (QStringList {"Connection Aborted", "File Upload"}));
        QCOMPARE(boxes.texts.last(), QStringLiteral("Done"));
        QVERIFY(listed());
        QCOMPARE(readFile(device->file("fw.bin")), slice);
    }
};

VELTRANO_TEST_MAIN(TestManagerWindow)
#include "tst_managerwindow.moc"
