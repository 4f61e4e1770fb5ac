#pragma once

#include "bootloadersession.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtNumeric>

#include <optional>

// What a flash asks before anything goes to the device. A window answers with a box, veltrano-cli
// with its options.
class FlashQuestions
{
public:
    virtual ~FlashQuestions() = default;
    // The battery reads `volts`, below what a flash should start on, and no minimum was asked for.
    virtual bool flashOnLowBattery(double volts) = 0;
    // The package fits the device; `info` is its own description, or empty.
    virtual bool updateFirmware(const QString &info) = 0;
};

// How a flash of a package ended, with what the device said at the step that ended it.
struct PackageFlashEnding
{
    // DryRun: every check passed but the battery's, when its ending says LowVoltage; nothing was
    // sent that changes the device.
    enum class Step { Status, Busy, Package, Declined, Flash, Launch, DryRun };
    Step step = Step::Status;
    // The session's ending of that step; for Busy, Package and Declined, the last status read.
    BootloaderEnding ending;
    QString refusal; // Package: why the package must not be flashed
    QByteArray imageSha256; // Flash and Launch: of the image handed to the device
};
Q_DECLARE_METATYPE(PackageFlashEnding)

// A firmware package onto the device: its status (waited for while it is still busy with an
// earlier step), the package checked against it, the questions, the flash, and the launch when
// asked for. Runs on a session whose link is up, and ends exactly once with ended(), never while
// a question is open.
class PackageFlash : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        double minimumVolts = qQNaN(); // with a minimum, a lower reading or none refuses the flash
        bool launch = false; // start the new application once the finalise is confirmed
        bool dryRun = false; // end once the package, the device's status and the battery are checked
        // Once the device is no longer busy, read its description and unique ID too (described()),
        // and check the package against the status read with them.
        bool describe = false;
    };
    // The session and the questions are not owned and outlive the job.
    PackageFlash(BootloaderSession &session, FlashQuestions &questions, QObject *parent = nullptr);

    // `package` is the whole file, read once: every check and the flash use these bytes.
    void start(const QByteArray &package, const QString &name, const Settings &settings);
    // Gives the job up without an ending, for a front that has ended its work: nothing more is
    // asked of the device. A flash under way is not stopped by it.
    void abandon();
    bool running() const { return m_step != Step::Idle; }
    static constexpr int busyWaitMs = 30000;
    static constexpr int busyPollMs = 500;

signals:
    void note(const QString &text); // a line for the technician
    void checked(const DfuPackage::Header &header); // the package fits and is about to be flashed
    void launchBegun(const QByteArray &imageSha256); // the device confirmed the flash of that image
    void voltageRead(double volts); // NaN when it could not be read
    void described(const BootloaderInfo &info); // with Settings::describe, before the package is checked
    void ended(const PackageFlashEnding &ending);

private:
    enum class Step { Idle, Status, Describing, Flashing, Launching };

    void onEnded(const BootloaderEnding &ending);
    void statusRead(const BootloaderEnding &ending);
    // The package against `status`; `ending` is the status read's, with its voltage.
    void check(const BootloaderEnding &ending, const DFUStatus &status);
    void finish(PackageFlashEnding::Step step, const BootloaderEnding &ending, const QString &refusal = {});

    BootloaderSession &m_session;
    FlashQuestions &m_questions;
    Settings m_settings;
    QByteArray m_package;
    QString m_name;
    QByteArray m_imageSha256;
    Step m_step = Step::Idle;
    bool m_asking = false; // a question is open
    std::optional<BootloaderEnding> m_lostWhileAsking; // the link's failure, said once answered
    QElapsedTimer m_busySince; // the status has said busy since
    BootloaderEnding m_statusEnding; // the status read before the description
    QTimer m_poll;
};
