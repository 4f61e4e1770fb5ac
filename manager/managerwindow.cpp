#include "managerwindow.h"
#include "ui_managerwindow.h"

#include "firmwarefile.h"
#include "noticequeue.h"

#include <canids.h>
#include <darktheme.h>
#include <elmconninfo.h>
#include <plaintextlog.h>
#include <qautoclosemessagebox.h>
#include <qmaterialicon.h>
#include <serialports.h>
#include <settingskeys.h>
#include <veltranoversion.h>

#include <QBuffer>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QSettings>

namespace {

// The device's application firmware always listens on and answers with the same identifiers;
// stored values are only kept in step with them, never used.
constexpr int deviceCanId = CanIds::managerCanId;
constexpr int pcCanId = CanIds::managerPcId;

constexpr int statusMessageMs = 10000;

} // namespace

ManagerWindow::ManagerWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_iconColor(isDarkTheme() ? QColor(226, 226, 226) : QColor(58, 58, 58))
    , ui(new Ui::ManagerWindow)
    , m_session(this)
    , m_upload(m_session)
    , m_removal(m_session)
    , m_restart(m_session)
    , m_records(m_session, m_upload, m_removal, m_restart, m_connection)
    , m_notices(this)
{
    ui->setupUi(this);

    ui->fileList->setModel(&m_model);
    ui->fileList->horizontalHeader()->setStretchLastSection(true);
    ui->fileList->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->fileList->setSelectionMode(QAbstractItemView::SingleSelection);

    ui->dropLabel->setWelcome(tr("Drop binary file<br><b>here</b>"));
    ui->dropLabel->fileType = tr("Binary files (*.bin)");
    ui->dropLabel->fileExt = QStringLiteral("bin");

    ui->actionExit->setIcon(QMaterialIcon::icon(QStringLiteral("exit_to_app"), m_iconColor));
    ui->rescanTool->setIcon(QMaterialIcon::icon(QStringLiteral("autorenew"), m_iconColor));
    ui->actionAbout->setIcon(QMaterialIcon::icon(QStringLiteral("info"), m_iconColor));
    ui->actionHome->setIcon(QMaterialIcon::icon(QStringLiteral("home"), m_iconColor));
    ui->actionLog->setIcon(QMaterialIcon::icon(QStringLiteral("view_headline"), m_iconColor));
    ui->recordsPage->setPath(m_records.path());

    connect(ui->actionExit, &QAction::triggered, this, [this] {
        if (mayLeave())
            QCoreApplication::exit(0);
    });
    connect(ui->fileList->selectionModel(), &QItemSelectionModel::currentChanged, this, &ManagerWindow::updateTools);
    connect(&m_session.worker(), &CanWorker::progress, this, &ManagerWindow::thread_progress);
    connect(&m_session.worker(), &CanWorker::error, this, &ManagerWindow::thread_error);
    connect(&m_session, &ManagerSession::ended, this, &ManagerWindow::thread_finished);
    connect(&m_upload, &UploadJob::ended, this, &ManagerWindow::uploadEnded);
    connect(&m_removal, &RemovalJob::ended, this, &ManagerWindow::removalEnded);
    connect(&m_restart, &RestartJob::ended, this, &ManagerWindow::restartEnded);
    connect(&m_records, &ManagerRecords::warning, this, &ManagerWindow::appendLog);
    connect(&m_restart, &RestartJob::confirming, this,
        [this] { appendLog(tr("Switch requested; asking the bootloader")); });
}

ManagerWindow::~ManagerWindow()
{
    QSettings().setValue(SettingsKeys::state, saveState(0));
    delete ui;
}

bool ManagerWindow::init()
{
    on_rescanTool_clicked();
    m_updaterAllowed = true;
    updateTools();
    ui->stackedWidget->setCurrentIndex(ConnectPage);

    QSettings settings;
    ui->baudSpin->setValue(settings.value(SettingsKeys::baud, 0).toInt());
    const bool elm327 = settings.value(SettingsKeys::mode, QStringLiteral("ELS27"))
                            .toString()
                            .compare(QLatin1String("elm327"), Qt::CaseInsensitive)
        == 0;
    (elm327 ? ui->adapterELMRadio : ui->adapterELSRadio)->setChecked(true);
    ui->transferCombo->setCurrentIndex(int(transferModeNamed(settings.value(SettingsKeys::transfer).toString())));
    restoreGeometry(settings.value(SettingsKeys::geometry).toByteArray());
    restoreState(settings.value(SettingsKeys::state).toByteArray(), 0);
    if (settings.value(SettingsKeys::hostAddress).toUInt() != uint(pcCanId))
        settings.setValue(SettingsKeys::hostAddress, uint(pcCanId));
    if (settings.value(SettingsKeys::deviceAddress).toUInt() != uint(deviceCanId))
        settings.setValue(SettingsKeys::deviceAddress, uint(deviceCanId));
    return true;
}

// Log lines carry device descriptions, file names and the link's words: shown as the characters
// they are, never as markup.
void ManagerWindow::appendLog(const QString &text)
{
    appendPlainText(ui->log, text);
}

void ManagerWindow::showStartPageIfConnected()
{
    if (m_connected)
        ui->stackedWidget->setCurrentIndex(StartPage);
}

// What the start page offers depends on what it would disturb or lose: nothing that sends may
// start while an upload holds the link, a selection never read is not written back, and Remove
// needs the row it acts on to be the one shown.
void ManagerWindow::updateTools()
{
    const bool idle = !m_upload.running();
    ui->addFileTool->setEnabled(idle);
    ui->applySelTool->setEnabled(idle && m_selectionRead);
    ui->removeFileTool->setEnabled(idle && ui->fileList->currentIndex().isValid());
    ui->eraseFilesTool->setEnabled(idle);
    ui->dfuTool->setEnabled(idle);
    ui->actionFirmware_Update->setEnabled(idle && m_updaterAllowed);
}

// Checked by every action that sends, and again after any question it asks: the port may have
// gone meanwhile, and a request queued on a closed port would never end.
bool ManagerWindow::linkUp()
{
    if (m_connected && m_session.worker().link().isOpen())
        return true;
    m_connected = false;
    ui->stackedWidget->setCurrentIndex(ConnectPage);
    statusBar()->showMessage(tr("Not connected: connect to the adapter again"), statusMessageMs);
    return false;
}

bool ManagerWindow::mayLeave()
{
    if (!m_upload.running())
        return true;
    if (m_leaving)
        return false; // the stop is under way; the program ends with the upload
    const auto answer = NoticeQueue::plainBox(this, QMessageBox::Question, tr("Veltrano Manager"),
        tr("An upload is running. Stopping now leaves a partial file on the device. Stop and quit?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return false;
    if (!m_upload.running())
        return true; // it ended while the question was open
    m_leaving = true;
    m_notices.stop();
    m_upload.stop();
    return false;
}

void ManagerWindow::closeEvent(QCloseEvent *event)
{
    if (mayLeave())
        event->accept();
    else
        event->ignore();
}

void ManagerWindow::on_rescanTool_clicked()
{
    ui->portCombo->clear();
    for (const QString &name : availableSerialPortNames()) {
        // COM1 is the motherboard's own port on most PCs, never an OBD adapter.
        if (name.compare(QLatin1String("COM1"), Qt::CaseInsensitive) != 0)
            ui->portCombo->addItem(name);
    }
    // The stored port may be named by a link that outlives re-plugging (/dev/serial/by-id/...).
    const int stored = ui->portCombo->findText(resolveSerialPort(QSettings().value(SettingsKeys::port).toString()));
    if (stored >= 0)
        ui->portCombo->setCurrentIndex(stored);
}

QString ManagerWindow::chosenPort() const
{
    const QString listed = ui->portCombo->currentText();
    const QString stored = QSettings().value(SettingsKeys::port).toString();
    return !listed.isEmpty() && resolveSerialPort(stored) == listed ? stored : listed;
}

void ManagerWindow::on_connectTool_clicked()
{
    const QString port = ui->portCombo->currentText();
    if (port.isEmpty()) {
        QAutoCloseMessageBox::warning(5, this, tr("Connect"), tr("No serial port"));
        return;
    }
    {
        QSettings settings;
        settings.setValue(SettingsKeys::port, chosenPort());
        settings.setValue(SettingsKeys::baud, ui->baudSpin->value());
        settings.setValue(
            SettingsKeys::mode, ui->adapterELMRadio->isChecked() ? QStringLiteral("elm327") : QStringLiteral("els27"));
        settings.setValue(SettingsKeys::transfer, transferModeName(TransferMode(ui->transferCombo->currentIndex())));
        settings.setValue(SettingsKeys::state, saveState(0));
        settings.setValue(SettingsKeys::geometry, saveGeometry());
    }
    appendLog(tr("Connecting to %1").arg(port));
    ui->stackedWidget->setCurrentIndex(StartPage);
    ui->stackedWidget->setEnabled(false);

    ELM_ConnInfo info;
    info.port = port;
    info.baud = ui->baudSpin->value();
    info.adapter = ui->adapterELSRadio->isChecked() ? 1 : 0;
    info.canId = deviceCanId;
    info.pcId = pcCanId;
    info.rateSwitch = QSettings().value(SettingsKeys::rateSwitch, true).toBool();
    info.transfer = TransferMode(ui->transferCombo->currentIndex());
    m_connection = info;
    // The adapter set-up runs to its end inside this call and reports before it returns; the list
    // and its ticks follow.
    m_session.open(info);
}

void ManagerWindow::on_addFileTool_clicked()
{
    if (refuseWhenBusy() || !linkUp())
        return;
    ui->dropLabel->clear();
    ui->stackedWidget->setCurrentIndex(DropPage);
}

void ManagerWindow::on_dropLabel_changed(const QString &file)
{
    if (uploadFirmware(file))
        ui->stackedWidget->setCurrentIndex(LogPage);
    else
        ui->dropLabel->clear();
}

bool ManagerWindow::refuseWhenBusy()
{
    // The session takes one operation at a time (a drop while the list is read again, say).
    if (!m_upload.running() && !m_session.running() && !m_restart.running())
        return false;
    QMessageBox::warning(this, tr("Firmware Update"), tr("Busy flashing. Please wait"), QMessageBox::Ok);
    return true;
}

bool ManagerWindow::uploadFirmware(const QString &path)
{
    if (refuseWhenBusy() || !linkUp())
        return false;
    ui->progress->setValue(0);
    ui->progress->show();
    const UploadJob::Refusal refusal = m_upload.prepareFile(path, *this);
    if (refusal.kind == UploadJob::Refusal::Kind::BadInput)
        NoticeQueue::plainBox(this, QMessageBox::Warning, refusal.title, refusal.text, QMessageBox::Ok);
    // The question may have been open while the port went.
    if (!refusal.ok() || !linkUp()) {
        uploadCleanup();
        return false;
    }
    m_records.upload(path, m_upload);
    startUpload(path);
    return true;
}

bool ManagerWindow::storeUnderName(const QString &fileName, const QString &target)
{
    return NoticeQueue::plainBox(this, QMessageBox::Question, tr("Firmware Update"),
               tr("File %1 will be uploaded as %2. Proceed?").arg(fileName, target), QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
}

void ManagerWindow::on_applySelTool_clicked()
{
    if (refuseWhenBusy() || !linkUp() || !m_selectionRead)
        return;
    ui->progress->setValue(0);
    ui->progress->show();
    ui->stackedWidget->setCurrentIndex(LogPage);
    m_upload.prepareSelection(m_model.tickedNames());
    m_records.select(m_model.tickedNames(), m_upload);
    startUpload(FirmwareFile::activeConfigName);
}

void ManagerWindow::startUpload(const QString &source)
{
    appendLog(tr("Start uploading %1").arg(source));
    // Last: an upload the worker cannot start ends inside this call.
    m_upload.start();
    updateTools();
}

void ManagerWindow::uploadCleanup()
{
    ui->dropLabel->clear();
    ui->stackedWidget->setCurrentIndex(m_connected ? StartPage : ConnectPage);
    updateTools();
}

void ManagerWindow::on_removeFileTool_clicked()
{
    if (refuseWhenBusy() || !linkUp())
        return;
    const QModelIndex current = ui->fileList->currentIndex();
    if (!current.isValid()) {
        QAutoCloseMessageBox::warning(5, this, tr("Remove File"), tr("Select a file to remove"));
        return;
    }
    const QString name = m_model.index(current.row(), 1).data().toString();
    // The device would remove another file by that name, or none.
    if (const QString problem = FirmwareFile::nameProblem(name); !problem.isEmpty()) {
        NoticeQueue::plainBox(this, QMessageBox::Warning, tr("Remove File"), problem, QMessageBox::Ok);
        return;
    }
    if (NoticeQueue::plainBox(this, QMessageBox::Question, tr("Remove File"),
            tr("Remove %1 from the device?").arg(name), QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes
        || !linkUp())
        return;
    appendLog(tr("Removing file %1").arg(name));
    m_records.remove(name);
    m_removal.remove(name);
}

void ManagerWindow::on_eraseFilesTool_clicked()
{
    if (refuseWhenBusy() || !linkUp())
        return;
    appendLog(tr("Erasing all files"));
    m_records.erase();
    m_removal.eraseAll();
}

void ManagerWindow::on_dfuTool_clicked()
{
    if (refuseWhenBusy() || !linkUp())
        return;
    const QString text = tr("Are you sure you want to update the firmware?") + QStringLiteral("<br>")
        + tr("This is a potentially dangerous operation that may render the device inoperable.")
        + QStringLiteral("<br>") + tr("Please read the manual carefully before updating the firmware!");
    const auto answer = QMessageBox::question(
        this, tr("Firmware Upgrade"), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes || !linkUp())
        return;
    m_records.restart(true);
    m_restart.start(m_connection, true);
}

void ManagerWindow::on_actionFirmware_Update_triggered()
{
    // The updater would take the port from under a running upload.
    if (refuseWhenBusy())
        return;
    // The updater reuses the adapter connection only when there is one.
    handOver(m_connected ? UpdaterConnected : UpdaterDisconnected);
}

void ManagerWindow::handOver(ExitCode code)
{
    if (code == UpdaterConnected) {
        QSettings settings;
        settings.setValue(SettingsKeys::handoverPort, chosenPort());
        settings.setValue(SettingsKeys::handoverBaud, ui->baudSpin->value());
        settings.setValue(SettingsKeys::handoverAdapter,
            ui->adapterELMRadio->isChecked() ? QStringLiteral("elm327") : QStringLiteral("els27"));
    }
    QCoreApplication::exit(code);
}

void ManagerWindow::on_actionAbout_triggered()
{
    const QString text = tr("Utility to manage the Kestrane devices via CAN.") + QStringLiteral("<br>")
        + tr("Developed by the Veltrano team for Kestrane service technicians.") + QStringLiteral("<br>")
        + tr("Uses:")
        // The font's name and licence are proper names and stay as they are in every language.
        + QStringLiteral("<ul><li><a href=\"https://github.com/google/material-design-icons\">Material Icons</a>"
                         " (Apache-2.0)</li></ul>");
    QMessageBox::about(this, tr("Veltrano Manager") + QStringLiteral(" v" VELTRANO_VERSION), text);
}

void ManagerWindow::thread_progress(int prog)
{
    if (prog == -1)
        ui->log->insertPlainText(QStringLiteral("."));
    else
        ui->progress->setValue(prog);
}

void ManagerWindow::thread_error(int code, QVariant param)
{
    const QString text = param.toString();
    switch (code) {
    case CanWorker::ERR_IO:
        m_connected = false;
        ui->stackedWidget->setCurrentIndex(ConnectPage);
        ui->stackedWidget->setEnabled(true);
        m_updaterAllowed = true;
        updateTools();
        m_notices.notify(QMessageBox::Warning, 0, tr("Connection Aborted"), text);
        break;
    case CanWorker::ERR_FLASH:
        m_notices.notify(QMessageBox::Warning, 0, tr("Veltrano Manager"), tr("Error reading from file (%1)").arg(text));
        break;
    case CanWorker::ERR_COMM:
        m_notices.notify(QMessageBox::Warning, 0, tr("Veltrano Manager"), tr("Communication error: %1").arg(text));
        break;
    case CanWorker::ERR_NOTIFY:
        m_notices.notify(QMessageBox::Information, 0, tr("Veltrano Manager"), text);
        break;
    case CanWorker::ERR_LOG:
        appendLog(text);
        break;
    default:
        break;
    }
}

void ManagerWindow::warnIfConnected(int seconds, const QString &title, const QString &text)
{
    if (m_connected)
        m_notices.notify(QMessageBox::Warning, seconds, title, text);
}

void ManagerWindow::thread_finished(const ManagerEnding &ending)
{
    // A refusal the device gave under the number of no command the window knows.
    // It still ends the operation it came in, which leaves the window as any failure of it does.
    if (ending.step == CanWorker::Invalid)
        appendLog(tr("Other error"));
    switch (ending.operation) {
    case ManagerSession::Connect:
        connectEnded(ending);
        return;
    case ManagerSession::List:
        listEnded(ending);
        return;
    default:
        return; // the jobs report their own
    }
}

void ManagerWindow::connectEnded(const ManagerEnding &ending)
{
    const bool status = ending.ok();
    m_connected = status;
    m_selectionRead = false;
    m_listRead = false;
    m_updaterAllowed = !status;
    updateTools();
    if (status) {
        ui->stackedWidget->setCurrentIndex(StartPage);
        ui->startPage->setEnabled(false);
    } else {
        appendLog(tr("Setup failed"));
        // The driver's own words say what the technician can fix, e.g. the port's permissions.
        if (!ending.reason.isEmpty())
            appendLog(ending.reason);
        ui->stackedWidget->setCurrentIndex(ConnectPage);
        // The log is not on the connect page: the reason has to reach the technician there.
        m_notices.notify(QMessageBox::Warning, 10, tr("Connect"),
            ending.reason.isEmpty() ? tr("No adapter answered on %1").arg(ui->portCombo->currentText())
                                    : ending.reason);
    }
    ui->stackedWidget->setEnabled(true);
}

void ManagerWindow::listEnded(const ManagerEnding &ending)
{
    // Anything but the selection failing is the list failing, whatever number a refusal came under.
    if (!ending.ok() && ending.step != CanWorker::Config) {
        appendLog(tr("Cannot get file list"));
        warnIfConnected(10, tr("Read File List"), tr("File list read error %1").arg(ending.failure));
        // The start page was waiting for the list. Without any list the connect page is the way
        // on: connect again, or hand a device that sits in its bootloader to the updater. A list
        // read before is still worth working with.
        if (m_listRead) {
            ui->startPage->setEnabled(true);
            showStartPageIfConnected();
        } else {
            ui->stackedWidget->setCurrentIndex(ConnectPage);
            m_updaterAllowed = true;
            updateTools();
        }
        return;
    }
    const QVariantMap listed = ending.result.toMap();
    m_listRead = true;
    m_model.clear();
    m_model.addItems(listed.value(QStringLiteral("files")).toStringList());
    // An empty list has no selection to lose; any other is ready for work once its ticks are read.
    m_selectionRead = ending.ok();
    ui->startPage->setEnabled(true);
    updateTools();
    if (m_model.rowCount() == 0) {
        statusBar()->showMessage(tr("No Files"), statusMessageMs);
        return;
    }
    if (ending.ok()) {
        m_model.select(listed.value(QStringLiteral("active")).toStringList());
        return;
    }
    m_model.deselectAll();
    appendLog(tr("Cannot read the active files: %1").arg(ending.failure));
    warnIfConnected(10, tr("Read Selection"), tr("Cannot read the active files: %1").arg(ending.failure));
    showStartPageIfConnected();
}

void ManagerWindow::uploadEnded(const ManagerEnding &ending)
{
    uploadCleanup();
    if (m_leaving) {
        QCoreApplication::exit(0);
        return;
    }
    if (ending.ok()) {
        appendLog(tr("File uploaded"));
        m_notices.notify(QMessageBox::Information, 3, tr("File Upload"), tr("Done"));
        ui->startPage->setEnabled(false);
        // The list comes back through thread_finished, and the start page with it.
        m_session.list();
        return;
    }
    // One box per failure: a lost link, an unreadable buffer and a refused select have their own.
    const bool selecting = ending.step == CanWorker::Select;
    if (selecting) {
        appendLog(tr("Cannot setup file upload"));
        warnIfConnected(10, tr("Upload File"), tr("Cannot upload file: %1").arg(ending.failure));
    }
    appendLog(tr("File upload failed"));
    if (!selecting && ending.outcome != TransferOutcome::LinkLost && ending.outcome != TransferOutcome::FileUnreadable)
        m_notices.notify(QMessageBox::Warning, 5, tr("File Upload"), tr("Upload failed"));
}

void ManagerWindow::removalEnded(const ManagerEnding &ending)
{
    const bool removal = ending.operation == ManagerSession::Remove;
    if (ending.ok() && removal) {
        appendLog(tr("File removed"));
        statusBar()->showMessage(tr("Removed"), statusMessageMs);
        m_model.remove(ending.result.toString());
        // The row that moved up into the removed one's place was not picked.
        ui->fileList->selectionModel()->clear();
        return;
    }
    if (ending.ok()) {
        appendLog(tr("Erased"));
        m_model.clear();
        m_selectionRead = true; // nothing left that a selection could drop
        updateTools();
        return;
    }
    appendLog(removal ? tr("File removal failed") : tr("Could not erase"));
    if (!ending.reason.isEmpty())
        appendLog(ending.reason);
    warnIfConnected(5, removal ? tr("File Removal") : tr("Erase Files"), tr("Failed!"));
    showStartPageIfConnected();
}

// The updater takes over only when the bootloader answered: a device that refused the switch runs
// on as it was, and the manager stays connected to it.
void ManagerWindow::restartEnded(const RestartEnding &ending)
{
    if (ending.ok())
        return handOver(UpdaterConnected);
    using Result = RestartEnding::Result;
    QString why = ending.request.failure;
    if (ending.result == Result::NoAnswer)
        why = tr("the bootloader did not answer within %1 s").arg(RestartCheck::answerMs / 1000);
    else if (ending.result == Result::NoConnection || ending.result == Result::LinkLost)
        why = ending.reason.isEmpty() ? tr("the adapter could not be set up again") : ending.reason;
    const QString text = tr("The device did not switch to its bootloader: %1").arg(why);
    appendLog(text);
    if (ending.result != Result::Refused) {
        // The request's link was let go for the confirmation: the device may be in its bootloader,
        // which the updater can reach from the connect page.
        m_connected = false;
        m_updaterAllowed = true;
        updateTools();
        ui->stackedWidget->setCurrentIndex(ConnectPage);
        m_notices.notify(QMessageBox::Warning, 0, tr("Firmware Upgrade"), text);
        return;
    }
    warnIfConnected(0, tr("Firmware Upgrade"), text);
    showStartPageIfConnected();
}
