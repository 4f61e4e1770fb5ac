#pragma once

#include "dfuparams.h"
#include "updaterview.h"

#include <bootloadersession.h>
#include <hiddfu_worker.h>
#include <packageflash.h>

#include <QThread>
#include <QTimer>
#include <QVariant>
#include <QWidget>

#include <memory>
#include <optional>

class QDialog;
class QEventLoop;
class QProgressDialog;
class UpdaterRecords;

namespace Ui {
class HIDDfu;
}

// The firmware updater's window: finds the adapter's port, connects to the bootloader through
// a worker on a thread of its own, checks a dropped firmware package and has it flashed.
class HIDDfu : public QWidget, public UpdaterView, private FlashQuestions
{
    Q_OBJECT

public:
    enum RunMode { Standalone = 0, Slave = 1 };
    Q_ENUM(RunMode)

    explicit HIDDfu(QWidget *parent = nullptr);
    ~HIDDfu() override;

    void setup(const DFUParams &params) override;
    void showWindow() override { show(); }
    bool start() override;
    int runResult() const override { return result; }
    void shutdown() override;

    // 0 end, 1 restart the program, 2 run the updater again.
    int result = 0;

signals:
    void finished(bool result);

private slots:
    void connectDfu();
    void on_dfuDropArea_changed(const QString &file);
    // The package read once, checked, and flashed from these bytes; with `expectedImageSha256`
    // only when its image is that one.
    void takePackage(const QString &file, const QByteArray &expectedImageSha256 = {});
    void on_aboutTool_clicked();
    void on_launchTool_clicked();
    void on_restartTool_clicked();
    void on_sdfuTool_clicked();
    void on_recordsTool_clicked();
    // Every operation of the session ends here, once.
    void thread_ended(const BootloaderEnding &ending);
    // A line of the worker's for the flash log or the link's log.
    void thread_error(int code, const QString &text);
    void flashStageBegun(FlashStage stage);
    void thread_progress(int prog);

protected:
    // The serial ports of this machine; a seam, so tests can stand for machines whose ports differ.
    virtual QStringList listPorts() const;
    // During a flash the window asks first, and stays until the flash has stopped between two steps.
    void closeEvent(QCloseEvent *event) override;

private:
    // What a failed flash left on the device, from what the device confirmed; empty when untouched.
    static QString applicationWords(const FlashRecord &record);
    void finish(bool result);
    void runCommand(hiddfu_worker::Commands cmd);
    void flashDone(bool ok);
    void connected(const BootloaderEnding &ending);
    // The device's last flash left it without an application: said, and its package offered again
    // when there is one and nothing else is under way.
    void offerUnfinished(const QString &text, const QString &package, const QByteArray &imageSha256);
    void packageFlashEnded(const PackageFlashEnding &ended);
    void flashEnded(const BootloaderEnding &ending);
    // A command outside a flash failed: said once, and the updater ends (or, with the link gone,
    // looks for the adapter again).
    void commandFailed(const BootloaderEnding &ending);
    // A flash that failed, for whatever reason: one warning, the package let go, and the window
    // ready for the next one (or, with the link gone, looking for the adapter again).
    void flashFailed(const BootloaderEnding &ending);
    // The words for a flash's failure.
    QString failureText(const BootloaderEnding &ending);
    static QString failureWords(int code, const QString &text);
    // The worker ends the flash at its next clean point; the window waits for that end.
    void stopFlash();
    // The flash ended after the technician chose to leave: said, and then the updater ends.
    void stopEnded(const BootloaderEnding &ending);
    // A question was answered after the port went away: nothing goes to it, the adapter is looked for.
    void linkDropped();
    void dropPackage();
    void reconnect();
    void reset();
    // Below the low-battery threshold the technician decides whether to flash; an unknown reading
    // is no reason to stop one.
    bool flashOnLowBattery(double volts) override;
    bool updateFirmware(const QString &info) override;
    bool askAboutPackage(const QString &text);
    // Boxes show what the device or a file says as text, never as markup.
    void warn(const QString &text);
    bool ask(const QString &text);
    void dropSearchDialog();

    std::unique_ptr<Ui::HIDDfu> ui;
    DFUParams params;
    QThread thread;
    hiddfu_worker *worker = nullptr;
    BootloaderSession *session = nullptr;
    PackageFlash *packageFlash = nullptr;
    UpdaterRecords *records = nullptr;
    QDialog *recordsDialog = nullptr; // made when first asked for
    QString packageName; // the package dropped, as given
    bool packageInHand = false; // from its drop until its flash ended or it was turned down
    QTimer searchTimer;
    QProgressDialog *searchDialog = nullptr;
    int searchCount = 0;

    // Set once the updater is ending: worker reports still queued then must not open boxes.
    bool ending = false;
    // A failure's warning is up and the updater ends after it: later endings are the same failure.
    bool failureEnding = false;
    // The link failed while the technician was asked whether to flash: said once the answer came.
    QString lostWhileAsking;
    bool askingAboutPackage = false;
    // The adapter's port went away; the window looks for it again once the flash, if any, ended.
    bool linkGone = false;
    bool linkUp = false; // set up, and not lost since
    bool flashRunning = false; // the worker has the package, and its end has not been heard
    bool stopAsked = false; // the technician chose to leave: the flash stops, then the updater ends
    bool askingToLeave = false;
    std::optional<BootloaderEnding> endedWhileAsking; // heard while the question was open
    QEventLoop *stopWait = nullptr; // shutdown() waits in it for a stopped flash's end
};
