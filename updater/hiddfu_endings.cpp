#include "hiddfu.h"

#include "ui_hiddfu.h"

#include <plaintextlog.h>

#include <QCloseEvent>
#include <QEventLoop>

// How the updater window answers the end of each of the session's operations, and a close
// during a flash.

void HIDDfu::thread_ended(const BootloaderEnding &e)
{
    if (ending || failureEnding)
        return;
    switch (e.operation) {
    case BootloaderSession::Connect:
        connected(e);
        return;
    case BootloaderSession::Status:
    case BootloaderSession::Flash:
        return; // the flash job's: it ends as they say
    default:
        if (!e.ok())
            commandFailed(e);
        return;
    }
}

// Asked once the description's ending is over, and only when the window still waits for a package.
void HIDDfu::offerUnfinished(const QString &text, const QString &package, const QByteArray &imageSha256)
{
    if (ending)
        return;
    appendPlainText(ui->elmLog, text);
    if (package.isEmpty())
        return;
    QMetaObject::invokeMethod(
        this,
        [this, package, imageSha256] {
            if (ending || failureEnding || !linkUp || packageInHand || flashRunning)
                return;
            if (ask(tr("Flash %1 again?").arg(package)))
                takePackage(package, imageSha256);
        },
        Qt::QueuedConnection);
}

void HIDDfu::thread_error(int code, const QString &text)
{
    if (ending)
        return;
    appendPlainText(code == hiddfu_worker::ERR_NOTIFY ? ui->dfuLog : ui->elmLog, text);
}

void HIDDfu::flashStageBegun(FlashStage stage)
{
    if (ending)
        return;
    const QString words[] = {tr("Erasing"), tr("Flashing"), tr("Finalizing")};
    appendPlainText(ui->dfuLog, words[int(stage)]);
}

QString HIDDfu::failureWords(int code, const QString &text)
{
    switch (code) {
    case hiddfu_worker::ERR_ERASE:
        return tr("Error erasing old firmware");
    case hiddfu_worker::ERR_COMM:
        return tr("Communication error: %1").arg(text);
    case hiddfu_worker::ERR_READ:
        return tr("Error reading from file (%1)").arg(text);
    case hiddfu_worker::ERR_FLASH:
        return tr("Error flasing new firmware. Internal error:") + QLatin1Char('\n') + text;
    default:
        return tr("Unknown error");
    }
}

void HIDDfu::commandFailed(const BootloaderEnding &e)
{
    // A command given up on is in the log already; the updater goes on.
    if (e.outcome == TransferOutcome::NotResponding)
        return;
    if (e.outcome == TransferOutcome::LinkLost) {
        if (!linkUp)
            return; // said with the first operation it ended
        linkUp = false;
        linkGone = true;
    }
    const QString warning = failureWords(e.errorCode, e.reason);
    // The technician is being asked about a package: said once the answer came.
    if (askingAboutPackage) {
        if (lostWhileAsking.isEmpty())
            lostWhileAsking = warning;
        return;
    }
    // Nothing more of a package in hand goes to the device.
    if (!flashRunning)
        packageFlash->abandon();
    // This failure ends the updater: what else ends while its warning is read belongs to it.
    failureEnding = !linkGone;
    warn(warning);
    if (linkGone) {
        reconnect();
        return;
    }
    flashDone(false);
}

void HIDDfu::flashEnded(const BootloaderEnding &e)
{
    if (askingToLeave) {
        endedWhileAsking = e;
        return;
    }
    flashRunning = false;
    if (e.outcome == TransferOutcome::LinkLost) {
        linkGone = true;
        linkUp = false;
    }
    if (stopAsked) {
        stopEnded(e);
        return;
    }
    if (e.ok()) {
        const QString text = e.result.toString();
        const QString what
            = e.result.userType() == QMetaType::QString && !text.isEmpty() ? text : QStringLiteral("Flashed");
        ui->dfuLog->append(
            QStringLiteral("%1.<br>Press 'Launch' to start using new firmware").arg(what.toHtmlEscaped()));
        flashDone(true);
        ui->progressBar->hide();
        return;
    }
    flashFailed(e);
}

QString HIDDfu::failureText(const BootloaderEnding &e)
{
    QString text;
    if (e.errorCode != 0)
        text = failureWords(e.errorCode, e.reason);
    else if (e.outcome == TransferOutcome::NotResponding)
        text = tr("The device stopped answering; the firmware was not flashed. Drop the package again to retry.");
    else
        text = tr("Unknown error");
    const QString state = applicationWords(e.record);
    return state.isEmpty() ? text : text + QStringLiteral("\n\n") + state;
}

// What the device confirmed decides: an erase or a finalise that went out unanswered may or may
// not have been carried out.
QString HIDDfu::applicationWords(const FlashRecord &record)
{
    if (record.finaliseConfirmed)
        return QString();
    if (record.finaliseSent && !record.finaliseRefused)
        return tr("The end of the flash was sent but not confirmed: the device may have no application now. "
                  "Flash it again.");
    if (record.eraseConfirmed || record.bytesAcknowledged > 0)
        return tr("The device has no application now and must be flashed again.");
    if (record.eraseSent)
        return tr("The erase was sent but not confirmed: the device may have no application now. Flash it again.");
    return QString();
}

void HIDDfu::flashFailed(const BootloaderEnding &e)
{
    warn(failureText(e));
    ui->progressBar->hide();
    reset();
    if (linkGone)
        reconnect();
}

void HIDDfu::closeEvent(QCloseEvent *event)
{
    if (!flashRunning) {
        QWidget::closeEvent(event);
        return;
    }
    event->ignore();
    // Asked again while the question is open or the stop is under way: one stop is enough.
    if (stopAsked || askingToLeave)
        return;
    askingToLeave = true;
    const bool leave
        = ask(tr("A flash is running. Stopping now leaves the device without an application. Stop and quit?"));
    askingToLeave = false;
    if (leave && endedWhileAsking)
        stopAsked = true; // nothing left to stop: the updater ends with the flash's end below
    else if (leave)
        stopFlash();
    if (endedWhileAsking) {
        const BootloaderEnding ended = *endedWhileAsking;
        endedWhileAsking.reset();
        flashEnded(ended);
    }
}

void HIDDfu::stopFlash()
{
    stopAsked = true;
    appendPlainText(ui->dfuLog, tr("Stopping the flash after the current step"));
    session->stopFlash();
}

// Neither a success box nor the launch dialog: the technician is leaving. A failure is still
// shown, in a box unless the updater is already on its way out.
void HIDDfu::stopEnded(const BootloaderEnding &e)
{
    stopAsked = false;
    if (e.outcome == TransferOutcome::Stopped) {
        // A stop waits for the step on the link: an erase sent is answered or settled by then.
        const FlashRecord &r = e.record;
        appendPlainText(ui->dfuLog,
            r.eraseConfirmed || r.bytesAcknowledged > 0
                ? tr("Flash stopped; the device has no application now and must be flashed again.")
                : r.eraseSent ? tr("Flash stopped; the erase was sent but not confirmed: the device may have no "
                                   "application now. Flash it again.")
                              : tr("Flash stopped; the application is unchanged."));
    } else if (!e.ok()) {
        const QString problem = failureText(e);
        stopWait ? appendPlainText(ui->dfuLog, problem) : warn(problem);
    } else {
        appendPlainText(
            ui->dfuLog, tr("The flash ended before it could be stopped: the new firmware is on the device."));
    }
    ui->progressBar->hide();
    dropPackage();
    if (stopWait) {
        stopWait->quit();
        return;
    }
    result = 0;
    finish(false);
}

// The port's loss was heard while the question was open; its words were kept for now.
void HIDDfu::linkDropped()
{
    const QString problem = lostWhileAsking;
    lostWhileAsking.clear();
    if (!problem.isEmpty())
        warn(problem);
    reset();
    if (linkGone)
        reconnect();
}
