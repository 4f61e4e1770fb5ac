#pragma once

#include "clijob.h"

#include <managersession.h>
#include <restartcheck.h>

#include <QBuffer>
#include <QTimer>

#include <memory>

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
