#pragma once

#include <bootloadersession.h>
#include <elmconninfo.h>
#include <hiddfu_worker.h>
#include <jobrecord.h>
#include <packageflash.h>
#include <recordkeeper.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QtNumeric>

#include <optional>

// The records of the updater window's jobs in the configured store: each flash, written as it
// starts, again as the device's erase goes out and its finalise is confirmed (a program killed
// in between leaves a record that says so), and as it ends; each launch and restart of the
// bootloader. At every connection the device's last flash is looked up. A store that cannot be
// written is said once through warning(); the jobs go on.
class UpdaterRecords : public QObject
{
    Q_OBJECT

public:
    // Made before the window connects to the session and the flash job, so that a job's record is
    // written before the window moves on from its ending.
    UpdaterRecords(BootloaderSession &session, PackageFlash &flash, QObject *parent = nullptr);

    QString path() const { return m_keeper.path(); }
    // How the adapter is reached; given before each connection.
    void setConnection(const ELM_ConnInfo &connection);
    // The package about to go to the flash job, read once: these are the bytes flashed.
    void packageTaken(const QString &path, const QByteArray &bytes);
    // A launch of the application (APP) or a restart of the bootloader (UDFU) is about to go out.
    void commandBegins(hiddfu_worker::Commands command);
    // The window waits no longer for the command's answer.
    void commandWaitOver();

    // The SHA-256 of the image in the package file at `path`, in hex; empty when the file cannot
    // be read or holds no image.
    static QByteArray packageImageSha256(const QString &path);

signals:
    void warning(const QString &text);
    // The device just described was left without an application by its last flash, which `text`
    // names. `package` is that flash's file when it still holds the same image `imageSha256`, else empty.
    void unfinishedFlash(const QString &text, const QString &package, const QByteArray &imageSha256);

private:
    void sessionEnded(const BootloaderEnding &ending);
    void described(const BootloaderInfo &info);
    void flashChecked(const DfuPackage::Header &header);
    void flashRecorded(const FlashRecord &confirmed);
    void flashEnded(const PackageFlashEnding &ended);
    // A record of `job` on the device described last.
    JobRecord started(const QString &job) const;

    RecordKeeper m_keeper;
    ELM_ConnInfo m_connection;
    std::optional<BootloaderInfo> m_device; // as described since the connection
    QString m_packagePath;
    QByteArray m_package;
    double m_statusVolts = qQNaN(); // read with the status the package was checked against
    std::optional<JobRecord> m_flash; // from the package's check to the flash's end
    std::optional<JobRecord> m_flashed; // the last flash, whose launch may yet be confirmed
    std::optional<JobRecord> m_command;
};
