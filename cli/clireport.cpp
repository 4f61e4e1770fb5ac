#include "clireport.h"

#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

CliReport::CliReport(QString command, bool json)
    : m_command(std::move(command))
    , m_json(json)
    , m_terminal(isatty(STDERR_FILENO) == 1)
{ }

void CliReport::progress(int percent)
{
    if (!m_terminal)
        return;
    const int width = 40;
    const int filled = qBound(0, percent, 100) * width / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", QByteArray(filled, '#').constData(),
        QByteArray(width - filled, ' ').constData(), percent);
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

void CliReport::note(const QString &line)
{
    if (m_json)
        return;
    endProgressLine();
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

void CliReport::retrying(int attempt, int of, const QString &reason)
{
    endProgressLine();
    std::fprintf(stderr, "veltrano-cli: %s; trying again (%d of %d)\n", qPrintable(reason), attempt, of);
    m_retries.append(QJsonObject {{"attempt", attempt}, {"reason", reason}});
}

int CliReport::succeed(const QJsonObject &result, const QString &text)
{
    endProgressLine();
    if (m_json) {
        QJsonObject out {{"command", m_command}, {"ok", true}, {"status", CliOk}, {"result", result}};
        if (!m_retries.isEmpty())
            out.insert(QStringLiteral("retries"), m_retries);
        std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    } else if (!text.isEmpty()) {
        std::printf("%s\n", qPrintable(text));
    }
    std::fflush(stdout);
    return CliOk;
}

int CliReport::fail(CliStatus status, const QString &message)
{
    endProgressLine();
    if (m_json) {
        QJsonObject out {{"command", m_command}, {"ok", false}, {"status", status}, {"error", message}};
        if (!m_retries.isEmpty())
            out.insert(QStringLiteral("retries"), m_retries);
        std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "veltrano-cli: %s\n", qPrintable(message));
    }
    return status;
}
