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
    void begin();
    void onFinished(CanWorker::Commands cmd, bool status, const QVariant &result);
    void onError(int code, const QVariant &param);

    CanWorker m_worker;
    QBuffer m_upload;
    QString m_target;
    QString m_description;
    QStringList m_files;
    QString m_lastProblem;
};
