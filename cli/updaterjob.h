#pragma once

#include "clijob.h"

#include <hiddfu_worker.h>

#include <QFile>

// The bootloader commands: bootloader (status, description, UUID), flash, launch,
// restart-bootloader.
class UpdaterJob : public CliJob
{
    Q_OBJECT

public:
    UpdaterJob(const CliOptions &options, CliReport &report, QObject *parent = nullptr);

    void start() override;

private:
    enum class Stage { Connecting, Describing, Status, Flashing, Launching };

    void connectAdapter();
    void restart() override;
    QString interruptedWork() const override;
    void onFinished(int cmd, bool status, const QVariant &result);
    void onFlashEnded(TransferOutcome outcome, int deviceCode);
    void onError(int code, const QVariant &param);
    void startFlash(const DFUStatus &status);
    void report(const DFUStatus &status);

    hiddfu_worker m_worker;
    Stage m_stage = Stage::Connecting;
    QFile m_package;
    QString m_description;
    QString m_uuid;
    QString m_lastProblem;
    QString m_refusal; // what the device refused, with its code
    bool m_applicationErased = false; // the flash failed after its erase
};
