#pragma once

#include "progressmeter.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

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
    CliLowVoltage = 8, // the vehicle's battery read below --min-voltage, or could not be read
    CliNoRecord = 9, // --require-records: the job's record could not be written
    // Stopped by a signal, as a shell reports a process the signal ended: 128 and its number.
    CliInterrupted = 130, // Ctrl-C (SIGINT)
    CliTerminated = 143, // SIGTERM
};

// Prints progress on standard error (only to a terminal) and the one result of a station's
// run: a line of text, or with --json one object on standard output. With several stations
// each prints under its port's name, one whole line at a time, so that the stations' threads
// never mix their lines. Text from the device or a file never reaches a terminal raw: its control
// characters are shown as \xNN, so that a description cannot retitle, clear or move about the
// user's terminal. JSON is left exact; its own escapes do the same there.
// With events on, standard output carries the work as it goes, one JSON object a line, for
// wrappers that show or log it; the result object comes last, marked as such.
class CliReport
{
public:
    // `port` names the station; empty for the run's only one, which prints as it always has.
    CliReport(QString command, bool json, QString port = QString());

    void setEvents(bool on) { m_events = on; }
    // The work about to move `bytes` bytes: progress counts from here, in bytes of it.
    void setTotal(qint64 bytes);
    void progress(int percent);
    // A step of the work begins; `name` is its name in events, `line` what the user reads (may be empty).
    void stage(const QString &name, const QString &line = QString());
    void note(const QString &line); // a line for the user while the work runs (text mode only)
    // What the link or the device said on the way, for the event stream only: too much for a terminal.
    void notice(const QString &text);
    void warn(const QString &line); // a line on standard error, with --json too
    // The vehicle's voltage last read, for the JSON result; NaN: unknown or not read.
    void setVoltage(double volts);
    double voltage() const { return m_voltage; }
    // "12.6 V", or "unknown".
    static QString voltageText(double volts);
    // In volts to one decimal, as the adapter measures it; null when unknown or not read.
    static QJsonValue voltageJson(double volts);
    // What the device confirmed of the work so far, for the JSON result; with events on, each
    // change is an event of its own.
    void setRecord(const QJsonObject &record);
    // The work failed in a way that may pass and is done again from its start: said on standard
    // error, and listed in the JSON result.
    void retrying(int attempt, int of, const QString &reason);
    // `text` may hold several lines; `lines` is one line each, a line break inside one shown escaped.
    int succeed(const QJsonObject &result, const QString &text);
    int succeed(const QJsonObject &result, const QStringList &lines);
    int fail(CliStatus status, const QString &message);
    // Stopped by a signal (status CliInterrupted or CliTerminated); `message` says what was left undone.
    int interrupted(int status, const QString &message);

    // `text` with its control characters written as \xNN; with `keepLineBreaks` the line breaks stay.
    static QString shown(const QString &text, bool keepLineBreaks = false);

private:
    void endProgressLine();
    // Each line shown plain and under the station's name.
    QString prefixed(const QString &text) const;
    void printJson(QJsonObject out) const;
    void event(QJsonObject out) const;
    void progressEvent(int percent);
    void progressBar(int percent);

    QString m_command;
    QString m_port;
    bool m_json;
    bool m_progressShown = false;
    bool m_terminal = false;
    bool m_events = false;
    int m_lastTenth = -1; // the last tenth of the work told, with several stations
    int m_lastPercent = -1; // the last percent told as an event
    QString m_lastStage;
    qint64 m_lastEventMs = 0;
    qint64 m_total = 0;
    QElapsedTimer m_clock; // since the work began moving bytes
    ProgressMeter m_meter;
    QJsonArray m_retries;
    QJsonObject m_record;
    double m_voltage;
};

struct StationResult
{
    QString port; // as given on the command line
    int status = CliOk;
};

// The status of a run over several stations: 0 when every station's device confirmed its work,
// otherwise the largest of the stations' statuses.
int worstStatus(const QList<StationResult> &results);

// After every station has printed its own result: which stations confirmed their work, as a line
// of text or, with --json, one object. Returns worstStatus.
// With `events` the object is marked as the stream's last.
int summarise(const QString &command, bool json, const QList<StationResult> &results, bool events = false);
