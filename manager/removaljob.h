#pragma once

#include "managersession.h"

#include <QObject>
#include <QString>

// One file removed from the device, or all of them erased. Ends exactly once per start with
// ended(): the result of a removal is the name the device removed.
class RemovalJob : public QObject
{
    Q_OBJECT

public:
    // The session is not owned and outlives the job.
    explicit RemovalJob(ManagerSession &session, QObject *parent = nullptr);

    // Why `name` cannot name a file on the device; empty when it can. Nothing is sent for such a
    // name: the device would remove another file, or none.
    static QString nameProblem(const QString &name);
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
