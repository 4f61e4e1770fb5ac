#include "hiddfu.h"

#include "elmparams.h"
#include "launchdialog.h"
#include "ui_hiddfu.h"
#include "updaterrecords.h"

#include <canids.h>
#include <darktheme.h>
#include <dfupackage.h>
#include <elmconninfo.h>
#include <plaintextlog.h>
#include <qmaterialicon.h>
#include <recordspage.h>
#include <serialports.h>
#include <settingskeys.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSettings>
#include <QTextCursor>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int searchIntervalMs = 500;
constexpr int searchDelayMs = 1000; // gives a freshly plugged adapter time to appear
constexpr int searchLimit = 10; // empty scans before giving up
constexpr int threadWaitMs = 10000;
constexpr int readyWaitMs = 2000; // a device that never answers must not keep the updater open
// The longest a flash takes to stop: the worker bounds the step on the link (an erase by 30 s).
constexpr int stopWaitMs = 40000;

// Windows lists a legacy on-board port there; it is never the adapter.
const QString legacyPort = QStringLiteral("COM1");

} // namespace

HIDDfu::HIDDfu(QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::HIDDfu>())
    , searchTimer(this)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/dfu/dfu_images/dfu_icon.png")));

    const QColor iconColor = isDarkTheme() ? Qt::white : Qt::black;
    ui->restartTool->setIcon(QMaterialIcon::icon(QStringLiteral("sync"), iconColor));
    ui->sdfuTool->setIcon(QMaterialIcon::icon(QStringLiteral("memory"), iconColor));
    ui->eStorTool->setIcon(QMaterialIcon::icon(QStringLiteral("sd_card"), iconColor));
    ui->aboutTool->setIcon(QMaterialIcon::icon(QStringLiteral("info"), iconColor));
    ui->launchTool->setIcon(QMaterialIcon::icon(QStringLiteral("launch"), iconColor));
    ui->sdfuTool->hide();
    ui->eStorTool->hide();

    params.mode = Standalone;
    params.baud = -1;
    params.adapter = 1;
    params.canId = CanIds::unsetCanId;

    ui->progressBar->setRange(0, 100);
    ui->progressBar->hide();
    ui->stackedWidget->setCurrentIndex(0);

    worker = new hiddfu_worker;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    // The session reaches the worker's thread through queued calls; its reports come here directly.
    session = new BootloaderSession(worker, this);
    connect(session, &BootloaderSession::ended, this, &HIDDfu::thread_ended);
    connect(session, &BootloaderSession::message, this, &HIDDfu::thread_error);
    connect(session, &BootloaderSession::progress, this, &HIDDfu::thread_progress);
    connect(session, &BootloaderSession::flashStageBegun, this, &HIDDfu::flashStageBegun);
    // After the window's own connection: a lost link is noted there before the flash job ends with it.
    packageFlash = new PackageFlash(*session, *this, this);
    // Before the window's answer to a flash's ending, which may keep a dialog open: the record is
    // written first.
    records = new UpdaterRecords(*session, *packageFlash, this);
    connect(
        records, &UpdaterRecords::warning, this, [this](const QString &text) { appendPlainText(ui->elmLog, text); });
    connect(records, &UpdaterRecords::unfinishedFlash, this, &HIDDfu::offerUnfinished);
    connect(packageFlash, &PackageFlash::ended, this, &HIDDfu::packageFlashEnded);
    connect(packageFlash, &PackageFlash::note, this, [this](const QString &text) {
        if (!ending)
            appendPlainText(ui->dfuLog, text);
    });
    connect(packageFlash, &PackageFlash::checked, this, [this] {
        ui->stackedWidget->setCurrentIndex(1);
        ui->controlWidget->setEnabled(false);
        ui->progressBar->setValue(0);
        ui->progressBar->show();
        lostWhileAsking.clear();
        flashRunning = true;
    });

    ui->controlWidget->setEnabled(false);
    ui->stackedWidget->setEnabled(false);

    searchTimer.setInterval(searchIntervalMs);
    searchTimer.setSingleShot(false);
    connect(&searchTimer, &QTimer::timeout, this, &HIDDfu::connectDfu);

    thread.start(QThread::InheritPriority);
}

HIDDfu::~HIDDfu()
{
    // A window destroyed without shutdown() must still not leave a running thread behind.
    if (thread.isRunning()) {
        thread.quit();
        thread.wait(threadWaitMs);
    }
}

void HIDDfu::setup(const DFUParams &p)
{
    params = p;
    if (params.mode == Slave) {
        ui->aboutTool->hide();
        setWindowModality(Qt::WindowModal);
    }
}

bool HIDDfu::start()
{
    searchTimer.stop();
    if (searchDialog) {
        searchDialog->close();
        delete searchDialog;
        searchDialog = nullptr;
    }
    searchDialog = new QProgressDialog(tr("Search DFU Devices"), tr("Cancel"), 0, searchLimit, this);
    searchDialog->setWindowModality(Qt::WindowModal);
    QTimer::singleShot(searchDelayMs, &searchTimer, qOverload<>(&QTimer::start));
    return true;
}

void HIDDfu::shutdown()
{
    // However the loop ended, a running flash is stopped between two steps before its thread goes.
    if (flashRunning && !ending) {
        QEventLoop loop;
        stopWait = &loop;
        QTimer::singleShot(stopWaitMs, &loop, &QEventLoop::quit);
        if (!stopAsked)
            stopFlash();
        loop.exec();
        stopWait = nullptr;
    }
    if (thread.isRunning()) {
        thread.quit();
        thread.wait(threadWaitMs);
    }
    QCoreApplication::processEvents();
}

void HIDDfu::dropSearchDialog()
{
    if (searchDialog) {
        searchDialog->deleteLater();
        searchDialog = nullptr;
    }
}

void HIDDfu::warn(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, tr("Firmware Update"), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool HIDDfu::ask(const QString &text)
{
    QMessageBox box(QMessageBox::Question, tr("Firmware Update"), text, QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

QStringList HIDDfu::listPorts() const
{
    return availableSerialPortNames();
}

void HIDDfu::connectDfu()
{
    QStringList ports = listPorts();
    ports.removeAll(legacyPort);
    if (ports.isEmpty()) {
        ++searchCount;
        if (searchDialog)
            searchDialog->setValue(searchCount);
        if (searchCount >= searchLimit || (searchDialog && searchDialog->wasCanceled())) {
            searchTimer.stop();
            warn(tr("No IO ports available"));
            dropSearchDialog();
            result = 0;
            finish(false);
        }
        return;
    }
    searchTimer.stop();
    if (searchDialog) {
        searchDialog->cancel();
        dropSearchDialog();
    }

    if (params.port.isEmpty() || params.baud == -1 || !ports.contains(params.port, Qt::CaseSensitive)) {
        ELMParams dialog(this);
        QString preferred = params.port;
        if (preferred.isEmpty())
            preferred = params.lastPort;
        if (preferred.isEmpty())
            preferred = ports.first();
        dialog.setPorts(ports, preferred);
        dialog.setParams(params);
        if (dialog.exec() == QDialog::Accepted)
            dialog.getParams(params);
        else
            params.port.clear();
    }
    if (params.port.isEmpty()) {
        result = 0;
        finish(false);
        return;
    }

    appendPlainText(ui->elmLog,
        tr("Connecting to %1@%2...").arg(params.port, params.baud < 1 ? tr("auto") : QString::number(params.baud)));
    ELM_ConnInfo info;
    info.port = params.port;
    info.baud = qMax(0, params.baud);
    info.adapter = params.adapter;
    info.canId = params.canId;
    info.pcId = params.pcId;
    // The manager's setting, so that an adapter kept at its rate there is kept so here too.
    info.rateSwitch = QSettings().value(SettingsKeys::rateSwitch, true).toBool();
    info.transfer = transferModeNamed(QSettings().value(SettingsKeys::transfer).toString());
    records->setConnection(info);
    session->connectLink(info);
}

void HIDDfu::connected(const BootloaderEnding &e)
{
    searchTimer.stop();
    if (!e.ok()) {
        // The link's own words say what to fix: the port's permissions, an adapter that is silent.
        const QString reason = e.reason;
        if (!reason.isEmpty())
            appendPlainText(ui->elmLog, reason);
        warn(reason.isEmpty() ? tr("No IO ports available") : reason);
        dropSearchDialog();
        result = 0;
        finish(false);
        return;
    }
    if (searchDialog) {
        searchDialog->setValue(searchLimit);
        dropSearchDialog();
    }
    linkUp = true;
    ui->controlWidget->setEnabled(true);
    ui->stackedWidget->setEnabled(true);
    session->describe();
    if (!params.file.isEmpty()) {
        const QString file = params.file;
        QMetaObject::invokeMethod(
            this, [this, file] { on_dfuDropArea_changed(file); }, Qt::QueuedConnection);
    }
}

void HIDDfu::thread_progress(int prog)
{
    if (prog == -1) {
        ui->dfuLog->moveCursor(QTextCursor::End);
        ui->dfuLog->insertPlainText(QStringLiteral("."));
        return;
    }
    ui->progressBar->setValue(prog);
}

// The package is read once, here: the file may change or vanish meanwhile, the device gets these
// bytes. Its checks need the device's board and flash size as they are now (the board may have
// been swapped): the flash job reads the status first.
void HIDDfu::on_dfuDropArea_changed(const QString &file)
{
    takePackage(file);
}

void HIDDfu::takePackage(const QString &file, const QByteArray &expectedImageSha256)
{
    if (ending)
        return;
    ui->stackedWidget->setCurrentIndex(1);
    ui->controlWidget->setEnabled(false);
    ui->dfuLog->clear();
    ui->progressBar->setValue(0);
    if (packageInHand) {
        warn(tr("Busy flashing. Please wait"));
        return;
    }
    ui->progressBar->show();
    packageInHand = true;
    QByteArray bytes;
    const QString problem = DfuPackage::load(file, bytes);
    if (!problem.isEmpty()) {
        warn(tr("Cannot read firmware file %1: %2").arg(file, problem));
        reset();
        return;
    }
    // A package that cannot be flashed whatever the device is (damaged, cut off, no image) is
    // refused before the device is asked anything.
    QBuffer package(&bytes);
    package.open(QIODevice::ReadOnly);
    const DfuPackage::Header header = DfuPackage::inspect(package);
    if (header.verdict != DfuPackage::Verdict::Valid) {
        warn(DfuPackage::refusalText(header.verdict, file));
        reset();
        return;
    }
    // Offered again for an unfinished flash: only the image that flash was writing.
    if (!expectedImageSha256.isEmpty() && DfuPackage::imageSha256(bytes, header) != expectedImageSha256) {
        warn(tr("%1 has changed since its flash began; it was not flashed").arg(file));
        reset();
        return;
    }
    packageName = file;
    records->packageTaken(file, bytes);
    packageFlash->start(bytes, file, PackageFlash::Settings());
}

void HIDDfu::packageFlashEnded(const PackageFlashEnding &ended)
{
    if (ending || failureEnding)
        return;
    const BootloaderEnding &e = ended.ending;
    switch (ended.step) {
    case PackageFlashEnding::Step::Status:
        if (e.outcome == TransferOutcome::NotResponding) {
            warn(tr("The device did not report its status; %1 was not checked and not flashed").arg(packageName));
            reset();
        } else if (!linkUp) {
            linkDropped(); // the link went while the package was in hand
        } else {
            dropPackage();
            commandFailed(e);
        }
        return;
    case PackageFlashEnding::Step::Busy:
        warn(tr("The device stayed busy with an earlier step for %1 s; %2 was not flashed")
                 .arg(PackageFlash::busyWaitMs / 1000)
                 .arg(packageName));
        reset();
        return;
    case PackageFlashEnding::Step::Package:
        warn(ended.refusal);
        reset();
        return;
    case PackageFlashEnding::Step::Declined:
    case PackageFlashEnding::Step::DryRun: // never asked for here
        reset();
        return;
    case PackageFlashEnding::Step::Flash:
    case PackageFlashEnding::Step::Launch:
        flashEnded(e);
        return;
    }
}

bool HIDDfu::flashOnLowBattery(double volts)
{
    return askAboutPackage(tr("The vehicle's battery reads %1 V. A flash that stops halfway leaves the device "
                              "without an application. Flash anyway?")
                               .arg(volts, 0, 'f', 1));
}

bool HIDDfu::updateFirmware(const QString &info)
{
    return params.autoLaunch
        || askAboutPackage(tr("Update firmware to %1?").arg(info.isEmpty() ? QStringLiteral("<no info>") : info));
}

bool HIDDfu::askAboutPackage(const QString &text)
{
    askingAboutPackage = true;
    const bool yes = ask(text);
    askingAboutPackage = false;
    return yes;
}

void HIDDfu::dropPackage()
{
    packageInHand = false;
}

void HIDDfu::reset()
{
    dropPackage();
    ui->controlWidget->setEnabled(true);
    ui->dfuDropArea->clear();
    ui->stackedWidget->setCurrentIndex(0);
}

// The adapter's port went away (unplugged, the adapter restarted and was not found again): the
// window goes back to looking for it, as when it started, instead of sitting on a dead link.
void HIDDfu::reconnect()
{
    linkGone = false;
    lostWhileAsking.clear();
    packageFlash->abandon();
    if (!flashRunning)
        reset(); // a package in hand is let go: the drop area waits for it again
    searchCount = 0;
    ui->controlWidget->setEnabled(false);
    ui->stackedWidget->setEnabled(false);
    appendPlainText(ui->elmLog, tr("The connection to the adapter was lost; looking for it again"));
    start();
}

void HIDDfu::flashDone(bool ok)
{
    dropPackage();
    ui->controlWidget->setEnabled(true);
    ui->dfuDropArea->clear();
    if (!ok) {
        result = 0;
        finish(false);
        return;
    }
    // The flash page stays: the launch dialog below, or Return, leave the log in view.
    if (!params.autoLaunch) {
        LaunchDialog dialog(this);
        if (dialog.exec() != QDialog::Accepted)
            return;
    }
    // The port went while the dialog was open: the adapter search has begun, the launch waits for it.
    if (!linkUp)
        return;
    runCommand(hiddfu_worker::APP);
}

void HIDDfu::on_launchTool_clicked()
{
    runCommand(hiddfu_worker::APP);
}

void HIDDfu::on_restartTool_clicked()
{
    runCommand(hiddfu_worker::UDFU);
}

void HIDDfu::on_sdfuTool_clicked()
{
    runCommand(hiddfu_worker::SDFU);
}

// A window of its own, so that the records can be read beside a flash under way.
void HIDDfu::on_recordsTool_clicked()
{
    if (!recordsDialog) {
        recordsDialog = new QDialog(this);
        recordsDialog->setWindowTitle(tr("Records"));
        auto *page = new RecordsPage(recordsDialog);
        page->setPath(records->path());
        (new QVBoxLayout(recordsDialog))->addWidget(page);
        recordsDialog->resize(900, 400);
    }
    recordsDialog->show();
    recordsDialog->raise();
    recordsDialog->activateWindow();
}

void HIDDfu::on_aboutTool_clicked()
{
    const QString text = tr("Utility to flash Quorvane devices via CAN.") + QStringLiteral("<br>")
        + tr("Developed by the Veltrano team for Kestrane service technicians.") + QStringLiteral("<br>") + tr("Uses:")
        + QStringLiteral("<ul><li><a href=\"https://github.com/google/material-design-icons\">Material Icons</a> "
                         "(Apache License 2.0)</li></ul>");
    QMessageBox::about(this, QStringLiteral("pelmorax"), text);
}

void HIDDfu::runCommand(hiddfu_worker::Commands cmd)
{
    switch (cmd) {
    case hiddfu_worker::SDFU:
        result = 0;
        break;
    case hiddfu_worker::UDFU:
        result = 2;
        break;
    case hiddfu_worker::APP:
        result = 1;
        break;
    default:
        return;
    }
    // The updater ends once the command has had its own ending, whatever the device made of it,
    // or after readyWaitMs for a device that never answers. Waiting for the link to fall idle
    // instead could take the idle moment before the command and end the thread under it.
    QEventLoop loop;
    bool launched = false;
    connect(session, &BootloaderSession::ended, &loop, [&](const BootloaderEnding &e) {
        if (e.operation != BootloaderSession::Launch)
            return;
        launched = e.ok();
        loop.quit();
    });
    QTimer::singleShot(readyWaitMs, &loop, &QEventLoop::quit);
    records->commandBegins(cmd);
    session->launch(cmd);
    ui->controlWidget->setEnabled(false);
    loop.exec();
    records->commandWaitOver();
    finish(launched);
}

void HIDDfu::finish(bool ok)
{
    // A refused command has ended the updater already, from inside the wait for it.
    if (ending)
        return;
    ending = true;
    searchTimer.stop();
    if (thread.isRunning()) {
        thread.quit();
        thread.wait(threadWaitMs);
    }
    if (params.mode == Slave) {
        emit finished(ok);
        QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
    } else {
        // exit() rather than quit(): under Qt 6 quit() first closes every window through its close
        // handler, and the run has already ended, so there is nothing left to ask about.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }
}
