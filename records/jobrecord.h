#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QtNumeric>

// What one job did to one device, as it is kept for later: who ran it where, through which
// adapter, on which device, with which file, how it ended and what the device confirmed.
// Empty texts, NaN voltages and -1 numbers mean "not known".
struct JobRecord
{
    qint64 id = 0; // given by the store when it is written

    QDateTime started; // UTC
    QDateTime ended; // UTC
    QString version; // the program's
    QString host;
    QString user; // the operating-system user
    QString program; // "veltrano-cli", "manager" or "updater"

    QString port;
    QString adapterKind; // "ELM327", "ELS27"
    QString adapterId; // what the adapter said it is (ATI / STI)
    QString transfer; // "segmented" or "frames"; empty where the job moves no message

    QString role; // "application" or "bootloader"
    QString boardId; // hexadecimal, as the device reports it ("4B455331")
    QString uuid;
    QString description; // the firmware's info or the bootloader's info

    QString job; // upload, select, remove, erase, reboot, dfu, flash, launch, restart-bootloader
    bool dryRun = false;
    QString fileName; // the file's or the package's name; the names for select and remove
    qint64 fileSize = -1;
    QString sha256; // of the bytes sent: the firmware slice or the package's image

    // "unfinished" from the job's start until its end: a record left so belongs to a program that
    // was killed; then "succeeded", "failed" or "stopped".
    QString status;
    int exitCode = -1; // veltrano-cli's exit status; -1 for the windows
    QString reason; // why it failed, or what it did

    bool eraseSent = false;
    bool eraseConfirmed = false;
    bool eraseRefused = false; // the device answered the erase with a refusal
    qint64 bytesAcknowledged = 0;
    bool finaliseConfirmed = false;
    bool launchAnswered = false;

    double voltageBefore = qQNaN();
    double voltageAfter = qQNaN();
    qint64 durationMs = -1;

    static constexpr const char *unfinished = "unfinished";
    static constexpr const char *succeeded = "succeeded";
    static constexpr const char *failed = "failed";
    static constexpr const char *stopped = "stopped";

    // A record begun now for `job`, with the time, the program's version, the host and the user.
    // Its status is "unfinished".
    static JobRecord begin(const QString &job, const QString &program);
    // Sets the end time, the duration and the outcome.
    void finish(const QString &status, const QString &reason, int exitCode = -1);
    bool ok() const { return status == QLatin1String(succeeded); }
    // A flash that sent its erase and never had its finalise confirmed: the device it was for has
    // no application.
    bool leftNoApplication() const;
    // "The last flash of this device (DATE, PACKAGE) did not finish: it has no application."
    QString unfinishedFlashText() const;

    // The names of the columns, in the order the CSV and the table show them.
    static QStringList columns();
    // The value of one column, as text for the CSV and the table ("" for what is not known).
    QString text(const QString &column) const;
    // The record as JSON: numbers as numbers, flags as booleans, what is not known as null.
    QJsonObject toJson() const;
    // The value of one column as the store keeps it: times as ISO 8601 UTC text with
    // milliseconds, numbers, flags as booleans, a null QVariant for what is not known.
    QVariant value(const QString &column) const;
    // Sets one column from such a value; a column it does not know is left alone.
    void setValue(const QString &column, const QVariant &value);
};
Q_DECLARE_METATYPE(JobRecord)
