#include "uploadjob.h"

#include "firmwarefile.h"

#include <QCryptographicHash>
#include <QFileInfo>

UploadJob::UploadJob(ManagerSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session)
{
    connect(&m_session, &ManagerSession::ended, this, &UploadJob::onEnded);
    connect(&m_session.worker(), &CanWorker::progress, this, &UploadJob::onProgress);
}

UploadJob::Refusal UploadJob::prepareFile(const QString &path, UploadQuestions &questions)
{
    const QString name = QFileInfo(path).fileName();
    const QString target = FirmwareFile::targetName(path);
    const QString problem = FirmwareFile::nameProblem(target);
    if (!problem.isEmpty())
        return {Refusal::Kind::BadInput, tr("File Upload"), problem};
    const FirmwareFile::Slice slice = FirmwareFile::read(path);
    if (!slice.ok)
        return {Refusal::Kind::BadInput, slice.title, slice.text};
    m_target = target; // named in a refusal too
    m_bytes.clear();
    if (target != name && !questions.storeUnderName(name, target))
        return {Refusal::Kind::Declined, tr("File Upload"), tr("%1 was not uploaded").arg(name)};
    m_bytes = slice.data;
    return {};
}

void UploadJob::prepareSelection(const QStringList &names)
{
    m_bytes = FirmwareFile::activeSelection(names);
    m_target = FirmwareFile::activeConfigName;
}

QByteArray UploadJob::sha256() const
{
    return QCryptographicHash::hash(m_bytes, QCryptographicHash::Sha256).toHex();
}

void UploadJob::start(double minimumVolts)
{
    m_source.close();
    m_source.setData(m_bytes);
    m_source.open(QIODevice::ReadOnly);
    m_running = true;
    m_verifying = false;
    // Last: an upload the session cannot start ends inside this call.
    m_session.upload(&m_source, m_target, minimumVolts);
}

void UploadJob::stop()
{
    if (m_running)
        m_session.stop();
}

void UploadJob::onProgress(int percent)
{
    // The device checks the whole file by its MD5 once the last byte is in.
    if (m_running && percent >= 100 && !m_verifying && m_session.uploading()) {
        m_verifying = true;
        emit verifying();
    }
}

void UploadJob::onEnded(const ManagerEnding &ending)
{
    if (!m_running || ending.operation != ManagerSession::Upload)
        return;
    m_running = false;
    m_source.close();
    emit ended(ending);
}
