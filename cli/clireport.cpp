#include "clireport.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

// One JSON object on a line of standard output, flushed, so that a reader that takes a line at a
// time has it as soon as it is written.
void printJsonLine(const QJsonObject &out)
{
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

} // namespace

CliReport::CliReport(QString command, bool json, QString port)
    : m_command(std::move(command))
    , m_port(std::move(port))
    , m_json(json)
    , m_terminal(isatty(STDERR_FILENO) == 1)
    , m_voltage(std::nan(""))
{ }

QString CliReport::voltageText(double volts)
{
    return std::isnan(volts) ? QStringLiteral("unknown") : QStringLiteral("%1 V").arg(volts, 0, 'f', 1);
}

QJsonValue CliReport::voltageJson(double volts)
{
    return std::isnan(volts) ? QJsonValue() : QJsonValue(std::round(volts * 10) / 10);
}

void CliReport::setVoltage(double volts)
{
    m_voltage = volts;
    if (m_events)
        event({{"event", "voltage"}, {"volts", voltageJson(volts)}});
}

void CliReport::setTotal(qint64 bytes)
{
    m_total = bytes;
    m_lastPercent = -1;
    m_lastTenth = -1;
    m_clock.start();
    m_meter.update(0, bytes, 0);
}

void CliReport::stage(const QString &name, const QString &line)
{
    if (m_events && name != m_lastStage)
        event({{"event", "stage"}, {"stage", name}});
    m_lastStage = name;
    if (!m_events && !line.isEmpty())
        note(line);
}

void CliReport::progress(int percent)
{
    percent = qBound(0, percent, 100);
    if (!m_clock.isValid())
        m_clock.start();
    m_meter.update(m_total * percent / 100, m_total, m_clock.elapsed());
    if (m_events)
        progressEvent(percent);
    if (m_terminal)
        progressBar(percent);
}

void CliReport::progressEvent(int percent)
{
    // Each whole percent, but no more than ten a second for a reader that redraws on each; the
    // end is always told.
    const qint64 now = m_clock.elapsed();
    if (percent == m_lastPercent || (percent < 100 && m_lastPercent >= 0 && now - m_lastEventMs < 100))
        return;
    m_lastPercent = percent;
    m_lastEventMs = now;
    const int left = m_meter.secondsLeft();
    event({{"event", "progress"}, {"done", m_meter.done()}, {"total", m_meter.total()},
        {"rate", std::round(m_meter.rate())}, {"eta_s", left < 0 ? QJsonValue() : QJsonValue(left)}});
}

void CliReport::progressBar(int percent)
{
    if (!m_port.isEmpty()) {
        // Bars of several stations would overwrite each other: a line per tenth instead.
        const int tenth = percent / 10;
        if (tenth != m_lastTenth) {
            m_lastTenth = tenth;
            std::fprintf(stderr, "%s: %d%%\n", qPrintable(shown(m_port)), tenth * 10);
        }
        return;
    }
    const int width = 40;
    const int filled = percent * width / 100;
    const QString figures = m_total > 0 ? m_meter.text() : QString();
    // Padded, so that a shorter line leaves nothing of a longer one behind it.
    std::fprintf(stderr, "\r[%s%s] %3d %%  %-24s", QByteArray(filled, '#').constData(),
        QByteArray(width - filled, ' ').constData(), percent, qPrintable(figures));
    std::fflush(stderr);
    m_progressShown = true;
}

void CliReport::endProgressLine()
{
    if (m_progressShown) {
        std::fputc('\n', stderr);
        m_progressShown = false;
    }
}

QString CliReport::shown(const QString &text, bool keepLineBreaks)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        const bool control = code < 0x20 || (code >= 0x7f && code <= 0x9f); // C0, DEL, C1
        if (control && !(keepLineBreaks && code == '\n'))
            out += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString CliReport::prefixed(const QString &text) const
{
    QStringList lines = shown(text, true).split(QLatin1Char('\n'));
    if (!m_port.isEmpty()) {
        for (QString &line : lines)
            line.prepend(shown(m_port) + QLatin1String(": "));
    }
    return lines.join(QLatin1Char('\n'));
}

void CliReport::event(QJsonObject out) const
{
    if (!m_port.isEmpty())
        out.insert(QStringLiteral("port"), m_port);
    printJsonLine(out);
}

void CliReport::printJson(QJsonObject out) const
{
    if (m_events)
        out.insert(QStringLiteral("event"), QStringLiteral("result"));
    if (!m_retries.isEmpty())
        out.insert(QStringLiteral("retries"), m_retries);
    if (!m_record.isEmpty())
        out.insert(QStringLiteral("record"), m_record);
    out.insert(QStringLiteral("voltage"), voltageJson(m_voltage));
    event(std::move(out)); // the result is written as every event is, with the station's port
}

void CliReport::setRecord(const QJsonObject &record)
{
    // The bytes acknowledged grow with every write: the progress events tell those.
    const auto steps = [](QJsonObject r) {
        r.remove(QStringLiteral("bytesAcknowledged"));
        return r;
    };
    const bool stepConfirmed = steps(record) != steps(m_record);
    m_record = record;
    if (m_events && stepConfirmed) {
        QJsonObject out = record;
        out.insert(QStringLiteral("event"), QStringLiteral("record"));
        event(out);
    }
}

void CliReport::notice(const QString &text)
{
    if (m_events)
        event({{"event", "notice"}, {"text", text}});
}

void CliReport::note(const QString &line)
{
    notice(line);
    if (m_json)
        return;
    endProgressLine();
    std::fprintf(stderr, "%s\n", qPrintable(prefixed(line)));
}

void CliReport::warn(const QString &line)
{
    notice(line);
    endProgressLine();
    std::fprintf(stderr, "%s\n", qPrintable(prefixed(line)));
}

void CliReport::retrying(int attempt, int of, const QString &reason)
{
    endProgressLine();
    std::fprintf(stderr, "veltrano-cli: %s; trying again (%d of %d)\n", qPrintable(prefixed(reason)), attempt, of);
    m_retries.append(QJsonObject {{"attempt", attempt}, {"reason", reason}});
    m_lastStage.clear(); // the steps begin again
    if (m_events)
        event({{"event", "retry"}, {"attempt", attempt}, {"of", of}, {"reason", reason}});
}

int CliReport::succeed(const QJsonObject &result, const QString &text)
{
    return succeed(result, text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n')));
}

int CliReport::succeed(const QJsonObject &result, const QStringList &lines)
{
    endProgressLine();
    if (m_json) {
        printJson({{"command", m_command}, {"ok", true}, {"status", CliOk}, {"result", result}});
    } else if (!lines.isEmpty()) {
        QStringList plain;
        for (const QString &line : lines)
            plain << shown(line);
        std::printf("%s\n", qPrintable(prefixed(plain.join(QLatin1Char('\n')))));
        std::fflush(stdout);
    }
    return CliOk;
}

int CliReport::fail(CliStatus status, const QString &message)
{
    endProgressLine();
    if (m_json)
        printJson({{"command", m_command}, {"ok", false}, {"status", status}, {"error", message}});
    else
        std::fprintf(stderr, "veltrano-cli: %s\n", qPrintable(prefixed(message)));
    return status;
}

int CliReport::interrupted(int status, const QString &message)
{
    endProgressLine();
    if (m_json)
        printJson(
            {{"command", m_command}, {"ok", false}, {"status", status}, {"error", message}, {"interrupted", true}});
    else
        std::fprintf(stderr, "veltrano-cli: %s\n", qPrintable(prefixed(message)));
    return status;
}

int worstStatus(const QList<StationResult> &results)
{
    int worst = CliOk;
    for (const StationResult &r : results)
        worst = std::max(worst, r.status);
    return worst;
}

int summarise(const QString &command, bool json, const QList<StationResult> &results, bool events)
{
    const int status = worstStatus(results);
    QJsonArray stations;
    QStringList failed;
    for (const StationResult &r : results) {
        stations.append(QJsonObject {{"port", r.port}, {"status", r.status}});
        if (r.status != CliOk)
            failed << QStringLiteral("%1 (status %2)").arg(CliReport::shown(r.port)).arg(r.status);
    }
    if (json) {
        QJsonObject out {{"command", command}, {"summary", true}, {"ok", status == CliOk}, {"status", status},
            {"stations", stations}};
        if (events)
            out.insert(QStringLiteral("event"), QStringLiteral("result"));
        printJsonLine(out);
    } else {
        QString line = QStringLiteral("%1 of %2 stations confirmed the work")
                           .arg(results.size() - failed.size())
                           .arg(results.size());
        if (!failed.isEmpty())
            line += QStringLiteral("; failed: ") + failed.join(QStringLiteral(", "));
        std::printf("%s\n", qPrintable(line));
    }
    std::fflush(stdout);
    return status;
}
