#pragma once

#include <elm327io.h>
#include <elmconninfo.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// After a reboot or a switch to the bootloader: asks the device, on the identifiers it should
// now answer on, until it answers as what it should now be, or the time is up. It has a link of
// its own, set up afresh: the adapter's filter follows the identifiers, and the worker that sent
// the request has let the port go.
class RestartCheck : public QObject
{
    Q_OBJECT

public:
    // What the device should now be: the application after a reboot, the bootloader after a switch.
    enum class Expect { Application, Bootloader };
    // `connection` as the device was reached before; the bootloader's identifiers replace its own.
    RestartCheck(const ELM_ConnInfo &connection, Expect expect, QObject *parent = nullptr);
    // How long the device is given to answer as its new self, from the first question.
    static constexpr int answerMs = 5000;

    // Sets the link up, blocking as every set-up does, and starts asking; false when no adapter
    // answered, with the driver's reason in lastOpenError().
    bool start();
    QString lastOpenError() const { return m_link.lastOpenError(); }

signals:
    void heard(); // the adapter said something
    void answered();
    // Nothing that answers the request came in time; `seen` is what came last instead.
    void gaveUp(const QString &seen);
    void linkLost();

private:
    void ask();
    void askAgain();
    void onRead(const QByteArray &data);
    void onError(ELM327IOBase::ELM_ERROR code, const QString &reason);

    ELM_ConnInfo m_connection;
    QByteArray m_request;
    QByteArray m_reply; // how an answer begins
    ELM327IO m_link;
    QTimer m_deadline;
    QTimer m_again;
    bool m_asking = false; // a request is out and has not been answered yet
    QString m_seen;
};
