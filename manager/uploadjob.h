#pragma once

#include "managersession.h"

#include <QBuffer>
#include <QObject>
#include <QString>
#include <QtNumeric>

// What an upload asks before anything goes to the device. A window answers with a box,
// veltrano-cli with its options.
class UploadQuestions
{
public:
    virtual ~UploadQuestions() = default;
    // The file `fileName` would be stored on the device as `target`.
    virtual bool storeUnderName(const QString &fileName, const QString &target) = 0;
};

// A firmware slice or the active selection stored on the device, which checks it by its MD5.
// The bytes are read once, when the job is prepared: a file that changes afterwards changes
// nothing that is sent, and a try made again sends the same bytes. Ends exactly once per start()
// with ended().
class UploadJob : public QObject
{
    Q_OBJECT

public:
    // Why a file will not be uploaded; nothing has gone to the device.
    struct Refusal
    {
        enum class Kind { None, BadInput, Declined };
        Kind kind = Kind::None;
        QString title; // for a box
        QString text;
        bool ok() const { return kind == Kind::None; }
    };

    // The session is not owned and outlives the job.
    explicit UploadJob(ManagerSession &session, QObject *parent = nullptr);

    // The slice of the `.bin` file at `path`, under the name the device stores it by; a name
    // other than the file's own is asked about first.
    Refusal prepareFile(const QString &path, UploadQuestions &questions);
    // The active selection: the files named are the ones the device starts.
    void prepareSelection(const QStringList &names);
    // Reads the battery first: with a minimum given, a reading below it or none at all ends the
    // upload as LowVoltage before anything goes to the device.
    void start(double minimumVolts = qQNaN());
    // Ends a running upload at its next clean point.
    void stop();
    bool running() const { return m_running; }
    QString target() const { return m_target; }
    qint64 size() const { return m_bytes.size(); }
    // Of the bytes the upload sends, hex.
    QByteArray sha256() const;

signals:
    void verifying(); // every byte is in; the device checks the file's MD5
    void ended(const ManagerEnding &ending);

private:
    void onProgress(int percent);
    void onEnded(const ManagerEnding &ending);

    ManagerSession &m_session;
    QByteArray m_bytes;
    QString m_target;
    QBuffer m_source; // lent to the worker while the upload runs
    bool m_running = false;
    bool m_verifying = false;
};
