#include "adapterjob.h"

#include <cmath>

namespace {

QString yesNo(bool yes)
{
    return yes ? QStringLiteral("yes") : QStringLiteral("no");
}

// What the adapter called itself: its ATI answer, and on an ELS27 its STI and STDI answers too.
QString identification(const AdapterReport &report)
{
    QStringList names;
    for (const QString &name : {report.identification, report.stIdentification, report.stDevice})
        if (!name.isEmpty())
            names << name;
    return names.join(QStringLiteral(" / "));
}

QJsonValue milliseconds(double ms)
{
    return std::isnan(ms) ? QJsonValue() : QJsonValue(std::round(ms * 100) / 100);
}

QString millisecondsText(double ms)
{
    return std::isnan(ms) ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(ms, 0, 'f', 2);
}

} // namespace

void AdapterJob::start()
{
    // Blocks for the set-up's budget at most, and a short wait per question after it.
    const AdapterReport report = AdapterProbe::run(m_options.connection);
    if (endedDuringSetup())
        return;
    if (!report.ok) {
        fail(CliNoConnection, report.error);
        return;
    }
    if (report.linkLost) {
        fail(CliLinkLost, report.error);
        return;
    }
    reportOn(report);
}

void AdapterJob::reportOn(const AdapterReport &report)
{
    m_report.setVoltage(report.voltage);
    const QString kind = ELM327IOBase::adapterName(report.kind);
    const QString name = identification(report);
    // The JSON names the kind as --adapter takes it.
    const QJsonObject result {{"kind", kind.toLower()}, {"identification", name},
        {"voltage", CliReport::voltageJson(report.voltage)}, {"echo_off", report.echoOff},
        {"reply_count_digit", report.replyCountDigit}, {"max_rate", report.maxRate},
        {"round_trip_ms",
            QJsonObject {
                {"median", milliseconds(report.roundTripMedianMs)}, {"p95", milliseconds(report.roundTripP95Ms)}}},
        {"low_latency", report.lowLatency}, {"segmented_transfer", report.segmentedTransfer},
        {"transfer_reason", report.transferReason}, {"verdict", report.verdict}};
    succeed(result,
        QStringList {QStringLiteral("kind: %1").arg(kind),
            QStringLiteral("identification: %1").arg(name.isEmpty() ? QStringLiteral("-") : name),
            QStringLiteral("voltage: %1").arg(CliReport::voltageText(report.voltage)),
            QStringLiteral("echo off: %1").arg(yesNo(report.echoOff)),
            QStringLiteral("reply-count digit: %1").arg(yesNo(report.replyCountDigit)),
            QStringLiteral("highest rate: %1")
                .arg(report.maxRate ? QStringLiteral("%1 bit/s").arg(report.maxRate) : QStringLiteral("not raised")),
            QStringLiteral("round trip: median %1, 95th percentile %2")
                .arg(millisecondsText(report.roundTripMedianMs), millisecondsText(report.roundTripP95Ms)),
            QStringLiteral("low latency: %1").arg(yesNo(report.lowLatency)),
            QStringLiteral("segmented transfer: %1 (%2)").arg(yesNo(report.segmentedTransfer), report.transferReason),
            QStringLiteral("verdict: %1").arg(report.verdict)});
}
