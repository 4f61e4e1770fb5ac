#pragma once

#include "clijob.h"

#include <canworker.h>

#include <QBuffer>

// The file-manager commands: info, upload, select, remove, erase, reboot, dfu.
class ManagerJob : public CliJob
{
    Q_OBJECT

public:
    ManagerJob(const CliOptions &options, CliReport &report, QObject *parent = nullptr);

    void start() override;

private:
    bool prepareUpload();
    void connectAdapter();
    void begin();
    void restart() override;
    QString interruptedWork() const override;
    void onFinished(CanWorker::Commands cmd, bool status, const QVariant &result);
    void onCommandEnded(CanWorker::Commands cmd, TransferOutcome outcome);
    void onUploadEnded(TransferOutcome outcome);
    void onError(int code, const QVariant &param);
    // What went wrong, in the worker's words: its last complaint, else the failed command's result.
    QString problem() const;

    CanWorker m_worker;
    QBuffer m_upload;
    bool m_uploading = false;
    QString m_target;
    QString m_description;
    QStringList m_files;
    QString m_lastProblem;
    QString m_lastResult;
};
