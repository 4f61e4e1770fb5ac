#include "packageflash.h"

#include "hiddfu_protocol.h"

#include <elm327worker.h>
#include <transferoutcome.h>

#include <cmath>

PackageFlash::PackageFlash(BootloaderSession &session, FlashQuestions &questions, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_questions(questions)
{
    m_poll.setSingleShot(true);
    m_poll.setInterval(busyPollMs);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        if (m_step == Step::Status)
            m_session.readStatus();
    });
    connect(&m_session, &BootloaderSession::ended, this, &PackageFlash::onEnded);
}

void PackageFlash::start(const QByteArray &package, const QString &name, const Settings &settings)
{
    m_package = package;
    m_name = name;
    m_settings = settings;
    m_imageSha256.clear();
    m_busySince.invalidate();
    m_step = Step::Status;
    m_session.readStatus();
}

void PackageFlash::abandon()
{
    m_step = Step::Idle;
    m_lostWhileAsking.reset();
    m_poll.stop();
}

void PackageFlash::onEnded(const BootloaderEnding &ending)
{
    if (ending.operation == BootloaderSession::Link) {
        // The link went while no request was on it: the job's step ends with it.
        if (ending.outcome != TransferOutcome::LinkLost)
            return;
        if (m_step == Step::Status && m_asking)
            m_lostWhileAsking = ending;
        else if (m_step == Step::Status || m_step == Step::Describing)
            finish(PackageFlashEnding::Step::Status, ending);
        else if (m_step == Step::Flashing && !m_session.flashRunning())
            finish(PackageFlashEnding::Step::Flash, ending);
        else if (m_step == Step::Launching)
            finish(PackageFlashEnding::Step::Launch, ending);
        return;
    }
    if (m_step == Step::Status && ending.operation == BootloaderSession::Status) {
        emit voltageRead(ending.voltage);
        statusRead(ending);
    } else if (m_step == Step::Describing && ending.operation == BootloaderSession::Describe) {
        if (!ending.ok()) {
            finish(PackageFlashEnding::Step::Status, ending);
            return;
        }
        const BootloaderInfo info = ending.result.value<BootloaderInfo>();
        emit described(info);
        if (m_step == Step::Describing)
            check(m_statusEnding, info.status);
    } else if (m_step == Step::Flashing && ending.operation == BootloaderSession::Flash) {
        emit voltageRead(ending.voltage);
        m_imageSha256 = ending.imageSha256;
        if (!ending.ok() || !m_settings.launch) {
            finish(PackageFlashEnding::Step::Flash, ending);
            return;
        }
        m_step = Step::Launching;
        emit launchBegun(m_imageSha256);
        m_session.launch(hiddfu_worker::APP);
    } else if (m_step == Step::Launching && ending.operation == BootloaderSession::Launch) {
        finish(PackageFlashEnding::Step::Launch, ending);
    }
}

// A device still at a step of an earlier flash (a try given up on, a run killed) is waited for:
// an erase sent meanwhile would be turned away or, worse, run twice.
void PackageFlash::statusRead(const BootloaderEnding &ending)
{
    if (!ending.ok()) {
        finish(PackageFlashEnding::Step::Status, ending);
        return;
    }
    const DFUStatus status = ending.result.value<DFUStatus>();
    if ((status.flags & BootloaderProtocol::flagsBusy) && status.error == 0) {
        if (!m_busySince.isValid()) {
            m_busySince.start();
            emit note(tr("The device is still busy with an earlier step; waiting for it"));
        }
        if (m_busySince.elapsed() <= busyWaitMs) {
            m_poll.start();
            return;
        }
        finish(PackageFlashEnding::Step::Busy, ending);
        return;
    }
    if (m_settings.describe) {
        m_statusEnding = ending;
        m_step = Step::Describing;
        m_session.describe();
        return;
    }
    check(ending, status);
}

void PackageFlash::check(const BootloaderEnding &ending, const DFUStatus &status)
{
    m_step = Step::Status;
    const BootloaderSession::PackageCheck check = BootloaderSession::checkPackage(m_package, status, m_name);
    if (check.header.verdict == DfuPackage::Verdict::Valid) {
        emit note(tr("Opened firmware file %1").arg(check.header.info.isEmpty() ? m_name : check.header.info));
        if (check.header.digest.isEmpty())
            emit note(tr("no digest to check"));
    }
    if (!check.ok()) {
        finish(PackageFlashEnding::Step::Package, ending, check.refusal);
        return;
    }
    if (m_settings.dryRun) {
        BootloaderEnding checked = ending;
        if (ELM327Worker::belowMinimum(ending.voltage, m_settings.minimumVolts)) {
            checked.outcome = TransferOutcome::LowVoltage;
            checked.reason = ELM327Worker::lowVoltageReason(ending.voltage, m_settings.minimumVolts);
        }
        finish(PackageFlashEnding::Step::DryRun, checked);
        return;
    }
    const bool lowBattery = std::isnan(m_settings.minimumVolts) && ending.voltage < lowBatteryVolts;
    m_asking = true;
    const bool go = (!lowBattery || m_questions.flashOnLowBattery(ending.voltage))
        && m_questions.updateFirmware(check.header.info);
    m_asking = false;
    if (m_step != Step::Status)
        return; // abandoned meanwhile
    if (m_lostWhileAsking) {
        const BootloaderEnding lost = *m_lostWhileAsking;
        m_lostWhileAsking.reset();
        finish(PackageFlashEnding::Step::Status, lost);
        return;
    }
    if (!go) {
        finish(PackageFlashEnding::Step::Declined, ending);
        return;
    }
    emit checked(check.header);
    m_step = Step::Flashing;
    m_session.flash(check.image, m_settings.minimumVolts);
}

void PackageFlash::finish(PackageFlashEnding::Step step, const BootloaderEnding &ending, const QString &refusal)
{
    if (m_step == Step::Idle)
        return;
    m_step = Step::Idle;
    m_poll.stop();
    PackageFlashEnding end;
    end.step = step;
    end.ending = ending;
    end.refusal = refusal;
    end.imageSha256 = m_imageSha256;
    emit ended(end);
}
