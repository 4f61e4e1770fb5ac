#include "hiddfu_protocol.h"

#include <QIODevice>

// The flash the worker runs: its steps, and how a step without its reply is settled.

using namespace BootloaderProtocol;

void hiddfu_worker::flash(QIODevice *source)
{
    ++serial;
    // The running flash keeps its source and its completion; this one is refused on its own.
    if (flashing() || stopEnding) {
        const QString text = tr("Busy: a flash is running");
        emit error(ERR_LOG, text);
        complete({serial, Flash, Invalid, TransferOutcome::Refused, 0, {}, text, text, ERR_FLASH});
        return;
    }
    flashSerial = serial;
    refusedCmd = Invalid;
    if (!source || !source->isReadable()) {
        const QString text = tr("Cannot read from file: %1").arg(source ? source->errorString() : QString());
        emit error(ERR_FLASH, text);
        endFlashWith(TransferOutcome::FileUnreadable, ERR_FLASH, text);
        return;
    }
    // A port that went away takes nothing: the flash would wait for replies that cannot come.
    if (linkDown) {
        const QString text = tr("Transport unexpectedly closed");
        emit error(ERR_COMM, text);
        endFlashWith(TransferOutcome::LinkLost, ERR_COMM, text);
        return;
    }
    file = source;
    stopAsked = false;
    startedOver = false;
    startPos = quint32(source->pos());
    total = quint32(source->size() - source->pos());
    record = FlashRecord();
    beginErase();
}

void hiddfu_worker::beginErase()
{
    written = 0;
    resends = 0;
    pointerChecked = false;
    pointerReported = false;
    probing = false;
    settling = false;
    pollTimer.stop();
    stepTimer.stop();
    // The head goes last: until it is written the bootloader finds no valid image to start.
    if (total > chunkSize) {
        phase = 0;
        file->seek(startPos + chunkSize);
    } else {
        phase = 1;
        file->seek(startPos);
    }
    current = Erase;
    eraseSent = true;
    issue(Erase, {}, 0);
    emit flashStageBegun(FlashStage::Erasing);
}

// A write the adapter segmented lost its reply. Unlike a frame, whose every line the adapter
// answers, a segmented message may have reached the device in part or been cut off in a way the
// link cannot see, so an idle status is no proof that the chunk landed whole. Once the device is
// idle, the image is written again from a fresh erase, frame by frame.
void hiddfu_worker::startOver()
{
    // The device is idle: as clean a point to stop at as after a reply.
    if (stopAsked) {
        stopped();
        return;
    }
    // Once only: every write after it goes frame by frame, whatever sets the adapter up again.
    if (startedOver) {
        fail(ERR_COMM, tr("The device did not recover from lost replies"), TransferOutcome::NotResponding);
        return;
    }
    startedOver = true;
    stopSegmenting(QStringLiteral("a segmented write lost its reply"));
    emit error(ERR_LOG,
        tr("A write's reply was lost while the adapter segmented it: the flash starts again from the "
           "erase, frame by frame"));
    record.bytesAcknowledged = 0;
    emit flashRecorded(record);
    beginErase();
}

bool hiddfu_worker::flashing() const
{
    return file != nullptr || current == Erase || current == SetAddress || current == Write || current == Finalize;
}

// An erase, an address or a write of the running flash: a step the device may still be working
// on when its reply does not come, and which the device's status can account for.
bool hiddfu_worker::isStep(const Request &request) const
{
    const Commands cmd = request.cmd;
    return file != nullptr && request.serial == 0 && cmd == current
        && (cmd == Erase || cmd == SetAddress || cmd == Write);
}

void hiddfu_worker::fail(Errors code, const QString &text, TransferOutcome how, int deviceCode)
{
    // A reply to a call fails that call alone.
    if (answering != 0) {
        const quint64 ended = answering;
        answering = 0;
        emit error(code, text);
        const Commands named = refusedCmd;
        refusedCmd = Invalid;
        complete({ended, answeringCmd, named, how, deviceCode, {}, text, text, boxCode(code)});
        return;
    }
    const bool wasFlashing = flashing();
    if (wasFlashing)
        leaveFlash();
    emit error(code, text);
    if (wasFlashing) {
        if (eraseSent)
            emit applicationErased();
        eraseSent = false;
        endFlashWith(how, code, text, deviceCode);
    }
    refusedCmd = Invalid;
}

void hiddfu_worker::endFlashWith(TransferOutcome how, Errors code, const QString &text, int deviceCode)
{
    const bool ok = how == TransferOutcome::Succeeded;
    const quint64 ended = flashSerial;
    flashSerial = 0;
    complete({ended, Flash, refusedCmd, how, deviceCode, ok ? QVariant(text) : QVariant(), ok ? QString() : text,
        ok ? QString() : text, ok ? 0 : boxCode(code)});
}

void hiddfu_worker::leaveFlash()
{
    file = nullptr;
    current = Invalid;
    stopAsked = false;
    timer.stop();
    pollTimer.stop();
    stepTimer.stop();
    settling = false;
    probing = false;
    // The flash's own requests only: a call's goes on to its own completion.
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (requests.at(i).serial != 0)
            continue;
        if (requests.at(i).sent)
            requests[i].ended = true;
        else if (requests.at(i).poll || requests.at(i).cmd == SetAddress || requests.at(i).cmd == Write
            || requests.at(i).cmd == Finalize || requests.at(i).cmd == Erase)
            requests.removeAt(i);
    }
}

void hiddfu_worker::stopFlash()
{
    // Nothing to stop, or only the finalise is left: the device's answer to it ends the flash.
    if (!file || stopAsked)
        return;
    stopAsked = true;
    // An erase still waiting behind another request has not reached the device: the application
    // is untouched, and the flash ends at once.
    for (int i = 0; i < requests.size(); ++i) {
        if (requests.at(i).cmd == Erase && !requests.at(i).sent) {
            eraseSent = false;
            stopped();
            return;
        }
    }
}

void hiddfu_worker::stopped()
{
    leaveFlash();
    stopEnding = true;
    advance();
}

void hiddfu_worker::nextChunk()
{
    // An empty image is complete before it starts.
    const int percent = total == 0 ? 100 : qMin(100, qRound(written * 100.0 / total));
    emit progress(percent);
    if (file->atEnd()) {
        if (phase == 1) {
            endFlash();
            return;
        }
        phase = 1;
        file->seek(startPos);
        addressStep(0);
        return;
    }
    if (phase == 1 && file->pos() != startPos) {
        endFlash();
        return;
    }
    QByteArray chunk = file->read(chunkSize);
    if (chunk.size() < chunkSize && !file->atEnd()) {
        fail(ERR_FLASH, tr("Cannot read from file: %1").arg(file->errorString()), TransferOutcome::FileUnreadable);
        return;
    }
    stepPayload = chunk.size();
    if (chunk.size() % chunkAlign != 0)
        chunk.append(chunkAlign - chunk.size() % chunkAlign, char(0xFF));
    stepStart = nextAddress;
    stepChunk = chunk;
    stepSegmented = link().segmentedTransfer();
    issue(Write, chunk, 0);
}

// The source goes back to the window now; success is reported once the device has confirmed
// the finalise, since only then does it hold a startable image.
void hiddfu_worker::endFlash()
{
    file = nullptr;
    current = Finalize;
    issue(Finalize, {}, 0);
}

// The step `current` has been carried out: on to the next one.
void hiddfu_worker::stepDone()
{
    settling = false;
    pollTimer.stop();
    stepTimer.stop();
    // A status request still on the link for it has nothing left to decide.
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (!requests.at(i).poll)
            continue;
        if (requests.at(i).sent)
            requests[i].ended = true;
        else
            requests.removeAt(i);
    }
    resends = 0;
    // Done is done, whether the flash goes on or stops here.
    if (current == Erase || current == Write) {
        if (current == Erase)
            record.eraseConfirmed = true;
        else
            record.bytesAcknowledged = qMin<qint64>(total, record.bytesAcknowledged + stepPayload);
        emit flashRecorded(record);
    }
    if (stopAsked) {
        stopped();
        return;
    }
    switch (current) {
    case Erase:
        addressStep(phase == 0 ? quint32(chunkSize) : 0u);
        return;
    case SetAddress:
        nextAddress = stepStart;
        // Once a flash, with the body's address just set: whether the device's status shows where
        // its next write lands. An address of 0 would prove nothing.
        if (phase == 0 && !pointerChecked) {
            pointerChecked = true;
            probing = true;
            stepTimer.start(stepBudgetMs);
            pollStatus();
            return;
        }
        startWriting();
        return;
    case Write:
        written += chunkSize;
        nextAddress += quint32(stepChunk.size());
        nextChunk();
        return;
    default:
        return;
    }
}

void hiddfu_worker::addressStep(quint32 address)
{
    current = SetAddress;
    stepStart = address;
    issue(SetAddress, address, 0);
}

void hiddfu_worker::startWriting()
{
    emit flashStageBegun(phase == 0 ? FlashStage::Writing : FlashStage::Finalising);
    current = Write;
    nextChunk();
}

// The bootloader's status carries a word of its own. A device whose word is the address it has
// just been given reports there where its next write lands, and that tells a step it carried out
// from one it never had (a request it dropped though it asked for patience, or that never reached
// it). Any other device is taken at its word that an idle status means the step is done.
void hiddfu_worker::probed(const DFUStatus &st)
{
    probing = false;
    pollTimer.stop();
    stepTimer.stop();
    pointerReported = st.error == 0 && st.extra == nextAddress;
    if (stopAsked) {
        stopped();
        return;
    }
    startWriting();
}

// The step's reply did not come: it may have been lost, or the adapter stopped listening while
// the device was still at work. Sending the step again could erase or write twice, so the
// device's status decides instead.
void hiddfu_worker::settle()
{
    settling = true;
    if (!stepTimer.isActive())
        stepTimer.start(stepBudget(current));
    pollStatus();
}

void hiddfu_worker::pollStatus()
{
    if (settling || probing)
        enqueue(Status, execRequest(routineStatus), 1, 100, true);
}

// Busy: asked again. An error: the step failed. Idle and without error, the device has carried
// the step out, unless it reports its write address (see probed()) and that address says the step
// left no trace.
void hiddfu_worker::settled(const DFUStatus &st)
{
    if (st.error != 0) {
        const Commands step = current;
        const auto request = quint8(stepRequest(step).at(0));
        refusedBy(step, int(st.error));
        fail(ERR_COMM,
            tr("Device error %1 at command %2").arg(int(st.error)).arg(uint(request), 2, 16, QLatin1Char('0')),
            TransferOutcome::Refused, st.error);
        return;
    }
    if (st.flags & flagsBusy) {
        pollTimer.start(pollIntervalMs);
        return;
    }
    if (current == SetAddress && st.extra != stepStart && (pointerReported || resends == 0)) {
        // An address that did not take is set again: the device is idle, and setting it twice
        // changes nothing. A device whose status word is no address gets it once more, and is
        // then taken at its word.
        resendStep();
        return;
    }
    if (current == Write && (stepSegmented || link().segmentedTransfer())) {
        startOver();
        return;
    }
    if (!pointerReported || current != Write) {
        stepDone();
        return;
    }
    const quint32 after = stepStart + quint32(stepChunk.size());
    if (st.extra == after)
        stepDone();
    else if (st.extra == stepStart)
        resendStep(); // idle, and the write left no trace: the device never had it
    else
        fail(ERR_COMM,
            tr("The device's next write address is %1, not %2 as the flash left it").arg(st.extra).arg(after),
            TransferOutcome::NotResponding);
}

void hiddfu_worker::resendStep()
{
    // The device is idle and never had the step: as clean a point as after its reply.
    if (stopAsked) {
        stopped();
        return;
    }
    if (++resends > resendLimit) {
        fail(ERR_COMM, tr("The device did not recover from lost replies"), TransferOutcome::NotResponding);
        return;
    }
    emit error(ERR_LOG, tr("The device did not carry out a step of the flash; sending it again"));
    settling = false;
    pollTimer.stop();
    stepTimer.stop();
    if (current == SetAddress)
        issue(SetAddress, stepStart, 0);
    else
        writeAgain();
}

void hiddfu_worker::writeAgain()
{
    stepSegmented = link().segmentedTransfer();
    issue(Write, stepChunk, 0);
}

void hiddfu_worker::stepOverdue()
{
    if (!flashing())
        return;
    const int seconds = stepBudget(current) / 1000;
    fail(ERR_COMM, tr("The device did not finish a step of the flash within %1 s").arg(seconds),
        TransferOutcome::NotResponding);
}
