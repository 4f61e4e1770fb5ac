#pragma once

#include "clijob.h"

#include <managersession.h>
#include <removaljob.h>
#include <restartjob.h>
#include <uploadjob.h>

#include <memory>

// The file-manager commands: info, upload, select, remove, erase, reboot, dfu.
class ManagerJob : public CliJob, private UploadQuestions
{
    Q_OBJECT

public:
    ManagerJob(const CliOptions &options, CliReport &report, QObject *parent = nullptr);

    void start() override;

private:
    bool checkInput();
    void recordUpload(); // the bytes the upload sends, for its record
    void connectAdapter();
    void begin();
    void restart() override;
    QString interruptedWork() const override;
    void onEnded(const ManagerEnding &ending);
    void uploaded(const ManagerEnding &ending);
    void removed(const ManagerEnding &ending);
    void restarted(const RestartEnding &ending);
    void failed(const ManagerEnding &ending);
    bool storeUnderName(const QString &fileName, const QString &target) override;

    ManagerSession m_session;
    UploadJob m_upload;
    RemovalJob m_removal;
    RestartJob m_restart;
};
