#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// How veltrano-cli ends: one documented status per kind of failure, so that scripts
// and production lines can tell them apart.
enum CliStatus {
    CliOk = 0, // the device confirmed the work
    CliUsage = 1, // the command line is wrong
    CliNoConnection = 2, // the port is missing or no adapter answered on it
    CliDeviceError = 3, // the device refused the request or answered something unusable
    CliNoAnswer = 4, // the device or the adapter stopped answering (time-out)
    CliBadInput = 5, // the file given is no usable firmware file or package for this device
    CliLinkLost = 6, // the serial port went away during the work
    CliDeclined = 7, // the work needs a confirmation that was not given (see --yes)
};

// Prints progress on standard error (only to a terminal) and the one result of the run:
// a line of text, or with --json one object on standard output.
class CliReport
{
public:
    CliReport(QString command, bool json);

    void progress(int percent);
    void note(const QString &line); // a line for the user while the work runs (text mode only)
    // The work failed in a way that may pass and is done again from its start: said on standard
    // error, and listed in the JSON result.
    void retrying(int attempt, int of, const QString &reason);
    int succeed(const QJsonObject &result, const QString &text);
    int fail(CliStatus status, const QString &message);

private:
    void endProgressLine();

    QString m_command;
    bool m_json;
    bool m_progressShown = false;
    bool m_terminal = false;
    QJsonArray m_retries;
};
