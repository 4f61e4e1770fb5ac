#pragma once

#include "managersession.h"
#include "restartcheck.h"

#include <elmconninfo.h>

#include <QObject>
#include <QString>

// How a reboot or a switch to the bootloader ended.
struct RestartEnding
{
    enum class Result {
        // The bootloader answered its status request on its own identifiers: the switch happened.
        Switched,
        // The device did not answer the reboot (as when restarting) and answers again. Nothing
        // tells that from a device that dropped the request, so nothing more is claimed.
        AnswersAgain,
        Refused, // the request failed; `request` says how, and the device is as it was
        NoAnswer, // the request was taken, and the device did not answer as its new self in time
        NoConnection, // the link for the confirmation could not be set up
        LinkLost, // the port went during the confirmation
    };
    bool bootloader = false;
    Result result = Result::Refused;
    ManagerEnding request; // the session's ending of the request
    QString reason; // NoAnswer: what came last instead; NoConnection: the driver's reason

    bool ok() const { return result == Result::Switched || result == Result::AnswersAgain; }
};

// A reboot of the device, or its switch to the bootloader: the request, then the device asked on
// a fresh link until it answers as what it should now be. The session's link is let go for that
// link once the request was taken, and the confirmation's link once it ended. Ends exactly once per
// start() with ended().
class RestartJob : public QObject
{
    Q_OBJECT

public:
    // The session is not owned and outlives the job.
    explicit RestartJob(ManagerSession &session, QObject *parent = nullptr);

    // `connection` is how the session reached the device.
    void start(const ELM_ConnInfo &connection, bool bootloader);
    bool running() const { return m_running; }

signals:
    void confirming(); // the request was taken; the device is being asked
    void heard(); // the adapter said something during the confirmation
    void ended(const RestartEnding &ending);

private:
    void onEnded(const ManagerEnding &ending);
    void confirm();
    void finish(RestartEnding::Result result, const QString &reason = {});

    ManagerSession &m_session;
    ELM_ConnInfo m_connection;
    RestartCheck *m_check = nullptr; // while the device is asked; a child, let go at the ending
    RestartEnding m_ending;
    bool m_running = false;
};
