#include "bootloadersession.h"

#include <QCryptographicHash>

#include <cmath>

BootloaderSession::BootloaderSession(hiddfu_worker *worker, QObject *parent)
    : QObject(parent)
    , m_worker(worker)
{
    static const bool registered = [] {
        qRegisterMetaType<BootloaderEnding>();
        qRegisterMetaType<BootloaderInfo>();
        return true;
    }();
    Q_UNUSED(registered)
    // Automatic connections: queued when the worker runs in a thread of its own, direct otherwise.
    connect(this, &BootloaderSession::dowork, worker,
        qOverload<hiddfu_worker::Commands, QVariant>(&hiddfu_worker::execute));
    connect(worker, &hiddfu_worker::completed, this, &BootloaderSession::onCompleted);
    connect(worker, &hiddfu_worker::error, this, &BootloaderSession::onMessage);
    connect(worker, &hiddfu_worker::linkLost, this, &BootloaderSession::onLinkLost);
    connect(worker, &hiddfu_worker::progress, this, &BootloaderSession::progress);
    connect(worker, &hiddfu_worker::voltageRead, this, &BootloaderSession::onVoltage);
    connect(worker, &hiddfu_worker::flashStageBegun, this, &BootloaderSession::flashStageBegun);
    connect(worker, &hiddfu_worker::flashRecorded, this, [this](const FlashRecord &record) {
        if (!m_flash.running)
            return;
        m_record = record;
        emit flashRecorded(m_record);
    });
}

void BootloaderSession::connectLink(const ELM_ConnInfo &connection)
{
    // A new set-up drops whatever the worker still had on the old link: what waited for it ends.
    m_sent.clear();
    while (!m_running.isEmpty()) {
        BootloaderEnding ending;
        ending.outcome = TransferOutcome::NotResponding;
        end(m_running.first().id, ending);
    }
    send(begin(Connect), hiddfu_worker::Setup, QVariant::fromValue(connection));
}

// The order the bootloader has always been asked in; the status, last, ends the description.
void BootloaderSession::describe()
{
    const int id = begin(Describe);
    for (const auto cmd : {hiddfu_worker::Info, hiddfu_worker::Uuid, hiddfu_worker::Status})
        send(id, cmd);
}

void BootloaderSession::readStatus()
{
    send(begin(Status), hiddfu_worker::Status);
}

void BootloaderSession::launch(hiddfu_worker::Commands command)
{
    const int id = begin(Launch);
    find(id)->startsApplication = command == hiddfu_worker::APP;
    send(id, command);
}

void BootloaderSession::flash(const QByteArray &image, double minimumVolts)
{
    // The running flash still reads its image and has its ending to come.
    if (m_flash.running) {
        emit message(hiddfu_worker::ERR_LOG, tr("Busy: a flash is running"));
        return;
    }
    m_flash = FlashState();
    m_record = FlashRecord();
    m_flash.running = true;
    m_flash.ending.operation = Flash;
    m_flash.image = image;
    m_flash.minimumVolts = minimumVolts;
    askVoltage(BeforeFlash);
}

void BootloaderSession::stopFlash()
{
    if (!m_flash.running || m_flash.ended)
        return;
    if (m_flash.started)
        QMetaObject::invokeMethod(m_worker, &hiddfu_worker::stopFlash);
    else
        m_flash.stopAsked = true;
}

void BootloaderSession::askVoltage(int forId)
{
    m_voltageFor.append(forId);
    QMetaObject::invokeMethod(m_worker, &hiddfu_worker::readVoltage);
}

// The link answers every reading once, in the order they were asked for, even when it closes
// meanwhile: what waits for one always goes on.
void BootloaderSession::onVoltage(double volts)
{
    if (m_voltageFor.isEmpty())
        return;
    const int forId = m_voltageFor.takeFirst();
    if (forId == BeforeFlash || forId == AfterFlash) {
        flashVoltage(volts);
        return;
    }
    if (Running *running = find(forId)) {
        running->voltage = volts;
        complete(forId);
    }
}

void BootloaderSession::flashVoltage(double volts)
{
    if (!m_flash.running)
        return;
    BootloaderEnding ending = m_flash.ending;
    ending.voltage = volts;
    ending.record = m_record;
    if (m_flash.ended) {
        m_flash = FlashState();
        emit ended(ending);
        return;
    }
    if (m_flash.started)
        return;
    if (m_flash.stopAsked || ELM327Worker::belowMinimum(volts, m_flash.minimumVolts)) {
        ending.outcome = m_flash.stopAsked ? TransferOutcome::Stopped : TransferOutcome::LowVoltage;
        if (!m_flash.stopAsked)
            ending.reason = ELM327Worker::lowVoltageReason(volts, m_flash.minimumVolts);
        m_flash = FlashState();
        emit ended(ending);
        return;
    }
    m_flash.started = true;
    m_flash.ending.imageSha256 = QCryptographicHash::hash(m_flash.image, QCryptographicHash::Sha256).toHex();
    // The worker reads the image from a buffer of its own: no file is read again meanwhile.
    m_image.close();
    m_image.setData(m_flash.image);
    m_image.open(QIODevice::ReadOnly);
    m_flash.serial = ++m_calls;
    hiddfu_worker *worker = m_worker;
    QIODevice *image = &m_image;
    QMetaObject::invokeMethod(worker, [worker, image] { worker->flash(image); });
}

BootloaderSession::PackageCheck BootloaderSession::checkPackage(
    const QByteArray &package, const DFUStatus &status, const QString &name)
{
    PackageCheck check;
    QBuffer buffer;
    buffer.setData(package);
    buffer.open(QIODevice::ReadOnly);
    check.header = DfuPackage::read(buffer, status.boardId);
    if (check.header.verdict != DfuPackage::Verdict::Valid)
        check.refusal = DfuPackage::refusalText(check.header.verdict, name);
    else if (!DfuPackage::fits(check.header.imageSize, status.flashSize))
        check.refusal = DfuPackage::tooBigText(check.header.imageSize - qint64(status.flashSize));
    else
        check.image = package.mid(int(check.header.imageOffset), int(check.header.imageSize));
    return check;
}

int BootloaderSession::begin(Operation operation)
{
    Running running;
    running.id = m_nextId++;
    running.operation = operation;
    m_running.append(running);
    return running.id;
}

// Noted before it goes: a worker in this thread may answer before emit returns.
void BootloaderSession::send(int id, hiddfu_worker::Commands cmd, const QVariant &param)
{
    if (Running *running = find(id))
        ++running->requests;
    m_sent.append(Sent {id, cmd, ++m_calls});
    emit dowork(cmd, param);
}

BootloaderSession::Running *BootloaderSession::find(int id)
{
    for (Running &running : m_running)
        if (running.id == id)
            return &running;
    return nullptr;
}

void BootloaderSession::complete(int id)
{
    Running *running = find(id);
    if (!running)
        return;
    // A status read is followed by a reading of the voltage, an adapter line only: its answer
    // ends it.
    if (running->operation == Status && !running->voltageAsked) {
        running->voltageAsked = true;
        askVoltage(id);
        return;
    }
    BootloaderEnding ending;
    ending.voltage = running->voltage;
    if (running->operation == Describe)
        ending.result = QVariant::fromValue(running->info);
    else if (running->operation == Status)
        ending.result = QVariant::fromValue(running->info.status);
    if (running->startsApplication && m_record.finaliseConfirmed) {
        m_record.launchAnswered = true;
        emit flashRecorded(m_record);
    }
    end(id, ending);
}

void BootloaderSession::onCompleted(const Completion &completion)
{
    if (m_flash.running && m_flash.started && !m_flash.ended && completion.serial == m_flash.serial) {
        flashCompleted(completion);
        return;
    }
    for (int i = 0; i < m_sent.size(); ++i) {
        if (m_sent.at(i).serial == completion.serial) {
            requestCompleted(m_sent.takeAt(i), completion);
            return;
        }
    }
}

void BootloaderSession::requestCompleted(const Sent &sent, const Completion &completion)
{
    Running *running = find(sent.id);
    if (!running)
        return; // its operation has ended on another request
    --running->requests;
    if (!completion.ok()) {
        BootloaderEnding ending = withCompletion(BootloaderEnding(), completion);
        if (sent.cmd == hiddfu_worker::Setup)
            ending.command = hiddfu_worker::Setup;
        end(sent.id, ending);
        return;
    }
    switch (sent.cmd) {
    case hiddfu_worker::Setup:
        running->voltage = completion.result.toDouble(); // the set-up's reading
        break;
    case hiddfu_worker::Info:
        running->info.description = completion.result.toString();
        break;
    case hiddfu_worker::Uuid:
        running->info.uuid = completion.result.toString();
        break;
    case hiddfu_worker::Status:
        running->info.status = completion.result.value<DFUStatus>();
        break;
    default:
        break;
    }
    if (running->requests == 0)
        complete(sent.id);
}

void BootloaderSession::onMessage(int code, const QVariant &param)
{
    if (code == hiddfu_worker::ERR_NOTIFY || code == hiddfu_worker::ERR_LOG)
        emit message(code, param.toString());
}

void BootloaderSession::onLinkLost(const QString &reason)
{
    // Nothing asked on the link is answered any more.
    m_sent.clear();
    BootloaderEnding ending;
    ending.outcome = TransferOutcome::LinkLost;
    ending.errorCode = hiddfu_worker::ERR_COMM;
    ending.reason = reason;
    // A flash's own completion says so; whatever else runs ends here.
    if (!m_flash.running || !m_running.isEmpty())
        linkFailed(ending);
}

void BootloaderSession::linkFailed(const BootloaderEnding &ending)
{
    const QList<Running> running = m_running;
    m_running.clear();
    if (running.isEmpty()) {
        emit ended(withOperation(ending, Link));
        return;
    }
    for (const Running &r : running)
        emit ended(withOperation(ending, r.operation));
}

void BootloaderSession::flashCompleted(const Completion &completion)
{
    BootloaderEnding ending = withCompletion(m_flash.ending, completion);
    // The battery after the work, when the link is there to read it.
    if (completion.outcome != TransferOutcome::LinkLost) {
        m_flash = FlashState();
        m_flash.running = m_flash.started = m_flash.ended = true;
        m_flash.ending = ending;
        askVoltage(AfterFlash);
        return;
    }
    m_flash = FlashState();
    ending.record = m_record;
    emit ended(ending);
}

void BootloaderSession::end(int id, BootloaderEnding ending)
{
    for (int i = 0; i < m_running.size(); ++i) {
        if (m_running.at(i).id != id)
            continue;
        ending.operation = m_running.takeAt(i).operation;
        if (ending.operation == Launch)
            ending.record = m_record;
        emit ended(ending);
        return;
    }
}

BootloaderEnding BootloaderSession::withCompletion(BootloaderEnding ending, const Completion &completion)
{
    ending.outcome = completion.outcome;
    ending.result = completion.result;
    ending.command = completion.named;
    ending.deviceCode = completion.deviceCode;
    ending.errorCode = completion.errorCode;
    ending.reason = completion.reason;
    return ending;
}

BootloaderEnding BootloaderSession::withOperation(BootloaderEnding ending, Operation operation)
{
    ending.operation = operation;
    return ending;
}
