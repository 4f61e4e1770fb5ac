#pragma once

#include "clijob.h"

#include <bootloadersession.h>
#include <hiddfu_worker.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

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
    void onEnded(const BootloaderEnding &ending);
    void connected(const BootloaderEnding &ending);
    void statusRead(const DFUStatus &status);
    void startFlash(const DFUStatus &status);
    void flashEnded(const BootloaderEnding &ending);
    QJsonObject flashedResult() const; // the result of a flash the device confirmed
    void report(const BootloaderInfo &info);
    // A command outside a flash failed: the job ends with the status that says why.
    void failed(const BootloaderEnding &ending);

    hiddfu_worker m_worker;
    BootloaderSession m_session; // after the worker it drives
    Stage m_stage = Stage::Connecting;
    QString m_packageName;
    QByteArray m_package; // the whole file, read once: every check and the flash use these bytes
    QByteArray m_flashedSha256; // of the image the device confirmed
    FlashRecord m_earlier; // the last earlier try that reached the device, when one did
    QElapsedTimer m_busySince; // the device's status has said busy since, before the flash
    static constexpr int busyWaitMs = 30000;
};
