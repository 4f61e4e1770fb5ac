#pragma once

#include "managersession.h"

#include <elmconninfo.h>
#include <jobrecord.h>
#include <recordkeeper.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

class RemovalJob;
class RestartJob;
class UploadJob;
struct RestartEnding;

// The record of each job the manager window runs, in the configured store: written as the window
// starts the job, with what is known of the adapter, the device and the bytes sent, and again as
// the job ends. A store that cannot be written is said once through warning(); the jobs go on.
class ManagerRecords : public QObject
{
    Q_OBJECT

public:
    // The session, the jobs and `connection` (how the window reached the device) are not owned
    // and outlive this.
    ManagerRecords(ManagerSession &session, UploadJob &upload, RemovalJob &removal, RestartJob &restart,
        const ELM_ConnInfo &connection, QObject *parent = nullptr);

    QString path() const { return m_keeper.path(); }

    // Each right before the window starts that job. `path` is the firmware file the upload's slice
    // comes from; `job` has been prepared.
    void upload(const QString &path, const UploadJob &job);
    void select(const QStringList &names, const UploadJob &job);
    void remove(const QString &name);
    void erase();
    void restart(bool bootloader);

signals:
    void warning(const QString &text);

private:
    void begin(const QString &job, int operation);
    void sessionEnded(const ManagerEnding &ending);
    void jobEnded(const ManagerEnding &ending);
    void restartEnded(const RestartEnding &ending);
    void finish(const QString &status, const QString &reason);

    RecordKeeper m_keeper;
    ManagerSession &m_session;
    const UploadJob &m_upload;
    const ELM_ConnInfo &m_connection;
    QVariantMap m_info; // the device's description, as the last list read gave it
    std::optional<JobRecord> m_record; // the job under way
    int m_operation = -1; // the ManagerSession::Operation it runs
};
