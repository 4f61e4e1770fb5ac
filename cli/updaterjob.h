#pragma once

#include "clijob.h"

#include <bootloadersession.h>
#include <hiddfu_worker.h>
#include <packageflash.h>

#include <QByteArray>
#include <QString>

// The bootloader commands: bootloader (status, description, UUID), flash, launch,
// restart-bootloader.
class UpdaterJob : public CliJob, private FlashQuestions
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
    // A flash asks nothing: the options have answered; a low battery is warned of.
    bool flashOnLowBattery(double volts) override;
    bool updateFirmware(const QString &) override { return true; }
    void flashEnded(const PackageFlashEnding &ended);
    void flashFailed(const BootloaderEnding &ending);
    QJsonObject flashedResult() const; // the result of a flash the device confirmed
    void report(const BootloaderInfo &info);
    // The device is known: the record says which, and an earlier flash of it that left it with no
    // application is said. Returns that flash's words, or empty.
    QString recognise(const BootloaderInfo &info);
    void startFlash();
    void dryRunEnded(const BootloaderEnding &ending);
    // A command outside a flash failed: the job ends with the status that says why.
    void failed(const BootloaderEnding &ending);

    hiddfu_worker m_worker;
    BootloaderSession m_session; // after the worker it drives
    PackageFlash m_flash; // after the session it runs on
    Stage m_stage = Stage::Connecting;
    QString m_packageName;
    QByteArray m_package; // the whole file, read once: every check and the flash use these bytes
    QByteArray m_flashedSha256; // of the image the device confirmed
    QByteArray m_imageSha256; // of the package's image, as read
    BootloaderInfo m_device; // as described at the connection
    bool m_recognised = false; // the device's earlier flashes have been looked up
    FlashRecord m_earlier; // the last earlier try that reached the device, when one did
};
