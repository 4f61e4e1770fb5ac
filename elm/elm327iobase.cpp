#include "elm327iobase.h"

#include <QTimer>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int canRetryLimit = 4; // resends of one line after "can error" before giving up

// Queued calls name these types in their signatures, so they must be known by name before the
// first such call; the ids themselves are cached by qMetaTypeId.
void registerLinkTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<ELM_ConnInfo>();
        qRegisterMetaType<ELM_BasicMessage>();
        qRegisterMetaType<ELM_Message>();
        qRegisterMetaType<ELM327IOBase::ELM_ERROR>();
        qRegisterMetaType<ELM327IOBase::Adapter>();
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

ELM327IOBase::ELM327IOBase(QObject *parent)
    : QObject(parent)
    , port(new QSerialPort(this))
    , guardTimer(new QTimer(this))
{
    registerLinkTypes();
    guardTimer->setSingleShot(true);
    guardTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
    lastSendTime.start();
    connect(guardTimer, &QTimer::timeout, this, &ELM327IOBase::sendNext);
    connect(port, &QSerialPort::aboutToClose, this, &ELM327IOBase::handleClosing);
    connect(port, &QSerialPort::readyRead, this, &ELM327IOBase::readyRead);
    connect(port, &QSerialPort::errorOccurred, this, &ELM327IOBase::errorOccurred);
}

ELM327IOBase::~ELM327IOBase()
{
    if (port->isOpen()) {
        port->disconnect(this);
        resetAdapter();
    }
}

bool ELM327IOBase::isOpen() const
{
    return port->isOpen();
}

// Leaves the adapter as it was found: "ATZ" resets it, bypassing the queues.
void ELM327IOBase::resetAdapter()
{
    lastCommand = "ATZ\r";
    port->write(lastCommand);
    port->flush();
    port->close();
}

void ELM327IOBase::close()
{
    {
        const QSignalBlocker quiet(port);
        if (port->isOpen()) {
            resetAdapter();
            monitoring = false;
        }
    }
    guardTimer->stop();
    messageQueue.clear();
    commandQueue.clear();
    rxBuffer.clear();
    lineQueue.clear();
    busy = false;
    canRetries = 0;
    lastCommand.clear();
}

void ELM327IOBase::write(const QByteArray &data)
{
    commandQueue << data + '\r';
    if (!busy)
        sendNext();
}

void ELM327IOBase::writeHEX(const QByteArray &data)
{
    messageQueue << QVariant(data.toHex().toUpper());
    if (!busy)
        sendNext();
}

void ELM327IOBase::transmit(const ELM_BasicMessage &msg)
{
    if (!msg.data().isEmpty()) {
        // The queue copies by meta-type, so the copy has to be made as the message's own type.
        if (const auto *iso = qobject_cast<const ELM_Message *>(&msg))
            messageQueue << QVariant::fromValue(*iso);
        else
            messageQueue << QVariant::fromValue(msg);
    }
    if (!busy)
        sendNext();
}

void ELM327IOBase::monitor(bool on)
{
    if (on == monitoring)
        return;
    // "ATMA" lists every frame on the bus; any character the adapter receives stops it.
    port->write(on ? "ATMA\r" : "\r");
    port->flush();
    monitoring = on;
}

bool ELM327IOBase::isAdapterCommand(const QByteArray &line)
{
    const QByteArray head = line.left(2).toLower();
    return head == "at" || head == "st";
}

QByteArray ELM327IOBase::timeoutCommand(int timeoutMs)
{
    // "at st" takes the reply time-out in 4 ms steps, at most ff.
    const int units = timeoutMs <= 1020 ? (timeoutMs + 3) / 4 : 0xff;
    return "at st " + QByteArray::number(units, 16) + '\r';
}

void ELM327IOBase::queueRawFrame(const QByteArray &hex)
{
    // The longest time-out: a raw frame carries no idea of how long its answer takes.
    commandQueue << "at st ff\r" << hex + '\r';
}

void ELM327IOBase::sendNext()
{
    for (;;) {
        if (messageQueue.isEmpty() && commandQueue.isEmpty()) {
            // Every way in here follows the last prompt, so nothing awaits an answer; a guard wait
            // that finds the queues emptied meanwhile must not leave the driver busy for good.
            busy = false;
            guardDelay = 0;
            emit ready();
            return;
        }
        if (!port->isOpen())
            return;
        // Whole milliseconds of wall-clock time would let two writes come up to 1 ms closer than
        // the receiver's separation time; the monotonic clock is exact.
        const qint64 elapsedNs = lastSendTime.nsecsElapsed();
        if (guardDelay != 0 && guardDelay * 1000000 > elapsedNs) {
            busy = true;
            guardTimer->start(int(guardDelay + 1 - elapsedNs / 1000000));
            return;
        }
        lastSendTime.start();
        if (!commandQueue.isEmpty()) {
            writeLine(commandQueue.takeFirst());
            return;
        }
        dispatch(messageQueue.takeFirst());
    }
}

void ELM327IOBase::writeLine(const QByteArray &line)
{
    commandPending = isAdapterCommand(line);
    busy = true;
    lastCommand = line;
    writeToPort(line);
    emit lineSent(line);
}

// The next line is due the moment the adapter's prompt arrives, and the wire idles until it is
// out. Through QSerialPort's buffer every line would also switch the port's write notifier on
// and off again, two extra turns of the event loop per line; when nothing else waits to go out,
// the line goes straight to the descriptor instead. Whatever the descriptor does not take, and
// any failure, is left to QSerialPort, which reports a lost port as usual.
void ELM327IOBase::writeToPort(const QByteArray &bytes)
{
    qint64 done = 0;
#ifdef Q_OS_UNIX
    if (port->bytesToWrite() == 0 && port->handle() >= 0) {
        const ssize_t n = ::write(port->handle(), bytes.constData(), size_t(bytes.size()));
        if (n == bytes.size())
            return;
        done = qMax<ssize_t>(n, 0);
    }
#endif
    port->write(bytes.constData() + done, bytes.size() - done);
    port->flush();
}

void ELM327IOBase::dispatch(const QVariant &item)
{
    if (item.userType() == QMetaType::QByteArray) {
        queueRawFrame(item.toByteArray());
    } else if (item.userType() == qMetaTypeId<ELM_Message>()) {
        ELM_Message msg = item.value<ELM_Message>();
        sendFrames(msg);
    } else if (item.userType() == qMetaTypeId<ELM_BasicMessage>()) {
        ELM_BasicMessage msg = item.value<ELM_BasicMessage>();
        sendFrames(msg);
    }
}

void ELM327IOBase::sendFrames(ELM_BasicMessage &msg)
{
    commandQueue << timeoutCommand(msg.timeout());
    if (adapter == ELS27) {
        // The ELS27 takes a trailing digit as the number of reply frames to wait for.
        while (!msg.atEnd()) {
            const QByteArray frame = msg.nextFrame();
            commandQueue << frame + char('0' + (msg.atEnd() ? msg.replies() : 0)) + '\r';
        }
        return;
    }
    // "at r0"/"at r1": responses off/on, so the adapter waits for replies only after the last frame.
    const int frames = msg.framesLeft();
    if (frames >= 2 || (frames == 1 && msg.replies() == 0))
        commandQueue << "at r0\r";
    while (!msg.atEnd()) {
        const QByteArray frame = msg.nextFrame();
        if (msg.atEnd() && msg.replies() != 0)
            commandQueue << "at r1\r";
        commandQueue << frame + '\r';
    }
}

void ELM327IOBase::readyRead()
{
    // A receiver of what a line brings may run a nested event loop (a modal box). The port does
    // not announce again what arrives meanwhile, so look once more until nothing is left: the
    // prompt that frees the link may be among it.
    do {
        takeInput(port->readAll());
    } while (port->isOpen() && port->bytesAvailable() > 0);
    if (!busy)
        sendNext();
}

void ELM327IOBase::takeInput(const QByteArray &bytes)
{
    rxBuffer += bytes;
    splitLines();
    // The prompt ends an answer without a carriage return of its own.
    if (rxBuffer.startsWith('>')) {
        rxBuffer.remove(0, 1);
        busy = false;
    }
    processQueue();
}

// Replies to an adapter command are looked at at once, for the "OK" that ends it; all other
// lines wait for processQueue, after the prompt has been seen.
void ELM327IOBase::splitLines()
{
    int start = 0;
    for (int cr = rxBuffer.indexOf('\r'); cr >= 0; start = cr + 1, cr = rxBuffer.indexOf('\r', start)) {
        const QByteArray line = rxBuffer.mid(start, cr - start);
        if (line.isEmpty())
            continue;
        if (line == ">") {
            if (!commandPending)
                busy = false;
        } else if (commandPending) {
            handleLine(line);
        } else {
            lineQueue << line;
        }
    }
    rxBuffer.remove(0, start);
}

void ELM327IOBase::processQueue()
{
    while (!lineQueue.isEmpty())
        handleLine(lineQueue.takeFirst());
}

void ELM327IOBase::handleLine(const QByteArray &line)
{
    const int offset = line.startsWith('>') ? 1 : 0;
    if (line.size() <= offset)
        return;
    const QByteArray text = line.mid(offset);
    if (isAdapterCommand(text)) // the adapter's echo of a command
        return;
    if (commandPending) {
        if (text.left(2).toLower() == "ok")
            commandPending = false;
        return;
    }
    const QByteArray word = line.trimmed().toLower();
    if (word == "ok")
        return;
    if (word == "no data" || word == "stopped") {
        if (m_strictMode)
            emit error(word == "no data" ? ERR_NODATA : ERR_STOPPED,
                QStringLiteral("trasport error %1").arg(QString::fromLatin1(word)));
        return;
    }
    if (word == "can error") {
        handleCanError();
        return;
    }
    canRetries = 0;
    const QByteArray frame = QByteArray::fromHex(text);
    if (frame.isEmpty())
        emit error(ERR_PROTOCOL, QStringLiteral("non-hex reply"));
    else
        handleFrame(frame);
}

// The adapter could not put the frame on the bus; the line is written again a few times
// before the whole exchange is given up.
void ELM327IOBase::handleCanError()
{
    if (!lastCommand.isEmpty() && ++canRetries <= canRetryLimit) {
        commandQueue.prepend(lastCommand);
        return;
    }
    canRetries = 0;
    messageQueue.clear();
    commandQueue.clear();
    emit error(ERR_CANERR, QStringLiteral("CAN error. Retries exhausted"));
}

void ELM327IOBase::handleFrame(const QByteArray &frame)
{
    emit read(frame);
}

void ELM327IOBase::errorOccurred(QSerialPort::SerialPortError error)
{
    // open() and clearError() report NoError through the same signal; that is no failure.
    if (error != QSerialPort::NoError && port->isOpen())
        port->close();
}

void ELM327IOBase::handleClosing()
{
    rxBuffer.clear();
    lineQueue.clear();
    emit disconnected();
}
