#pragma once

#include "managersession.h"

#include <QObject>
#include <QString>

// One file removed from the device, or all of them erased. Ends exactly once per start with
// ended(): the result of a removal is the name the device removed. Nothing is sent for a name the
// device cannot take (FirmwareFile::nameProblem): it would remove another file, or none.
class RemovalJob : public QObject
{
    Q_OBJECT

public:
    // The session is not owned and outlives the job.
    explicit RemovalJob(ManagerSession &session, QObject *parent = nullptr);

    void remove(const QString &name);
    void eraseAll();
    bool running() const { return m_operation >= 0; }

signals:
    void ended(const ManagerEnding &ending);

private:
    void onEnded(const ManagerEnding &ending);

    ManagerSession &m_session;
    int m_operation = -1; // the session's operation under way
};
