#pragma once

#include "clijob.h"

#include <elm327io.h>
#include <managersession.h>

#include <QBuffer>
#include <QTimer>

#include <memory>

// After a reboot or a switch to the bootloader: asks the device, on the identifiers it should
// now answer on, until it answers as what it should now be, or the time is up. It has a link of
// its own, set up afresh: the adapter's filter follows the identifiers, and the worker that sent
// the request has let the port go.
class RestartCheck : public QObject
{
    Q_OBJECT

public:
    RestartCheck(
        const ELM_ConnInfo &connection, const QByteArray &request, const QByteArray &reply, QObject *parent = nullptr);

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

// The file-manager commands: info, upload, select, remove, erase, reboot, dfu.
class ManagerJob : public CliJob
{
    Q_OBJECT

public:
    ManagerJob(const CliOptions &options, CliReport &report, QObject *parent = nullptr);

    void start() override;

private:
    bool checkInput();
    void connectAdapter();
    void begin();
    void restart() override;
    QString interruptedWork() const override;
    void onEnded(const ManagerEnding &ending);
    void failed(const ManagerEnding &ending);
    // The device took the request; it counts as done once the device answers as its new self.
    void confirmRestart(bool bootloader);

    std::unique_ptr<ManagerSession> m_session;
    std::unique_ptr<RestartCheck> m_check;
    QBuffer m_upload;
    QString m_target;
};
