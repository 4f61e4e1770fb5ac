#include "adapterprobe.h"

#include "adapterlink.h"
#include "ratesearch.h"

#include <QElapsedTimer>
#include <algorithm>

namespace {

// As long as the link waits for any adapter command: a slow adapter is measured, not failed.
constexpr int askWaitMs = commandWaitMs;

// The probe drives the link's set-up and its blocking questions only: nothing is queued.
class NoTransport : public AdapterLink::Client
{
public:
    void dispatch(const QVariant &) override { }
    void frameReceived(const QByteArray &) override { }
    void lineWritten(const QByteArray &) override { }
    void exchangeAbandoned() override { }
    bool exchangeUnderWay() const override { return false; }
    bool wantsToListen() const override { return false; }
};

QString text(const QByteArray &answer)
{
    return QString::fromLatin1(answer).simplified();
}

// The lines that let a frame line go out as written: the bus, the sender's identifier, raw
// frames, a short wait for replies.
QList<QByteArray> frameSettings(const ELM_ConnInfo &cfg, int kind)
{
    QList<QByteArray> lines;
    if (kind == ELM327IOBase::ELS27)
        lines << "st p33"
              << "st pbr500000";
    else
        lines << "at tp6";
    return lines << "at sh " + AdapterLink::canIdentifier(cfg.pcId) << "at caf0"
                 << "at st 19";
}

double percentile(QList<double> values, double share)
{
    if (values.isEmpty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const int index = qBound(0, int(std::ceil(share * values.size())) - 1, int(values.size()) - 1);
    return values.at(index);
}

// Times harmless adapter commands; stops at the first left unanswered. A slow adapter is timed
// for a few seconds only: its figures are plain well before fifty lines.
bool timeRoundTrips(AdapterLink &link, AdapterReport &report)
{
    QList<double> times;
    QElapsedTimer clock;
    QElapsedTimer measuring;
    measuring.start();
    for (int i = 0; i < AdapterProbe::roundTrips && (i < 5 || measuring.elapsed() < AdapterProbe::measuringMs); ++i) {
        clock.start();
        if (link.ask("at rv", askWaitMs).isNull())
            return false;
        times << clock.nsecsElapsed() / 1e6;
    }
    report.roundTripMedianMs = percentile(times, 0.5);
    report.roundTripP95Ms = percentile(times, 0.95);
    return true;
}

} // namespace

AdapterReport AdapterProbe::run(const ELM_ConnInfo &cfg)
{
    AdapterReport report;
    NoTransport transport;
    AdapterLink link(transport);
    if (!link.open(cfg)) {
        report.error = link.lastOpenError();
        report.failure = link.setupFailure();
        report.verdict = verdict(report);
        return report;
    }
    report.ok = true;
    report.kind = link.adapterKind();
    report.voltage = link.lastVoltage();
    report.lowLatency = link.lowLatencyGranted();
    report.maxRate = link.raisedRate();
    const bool els = report.kind == ELM327IOBase::ELS27;
    report.identification = els ? text(link.ask("ati", askWaitMs)) : link.identification();
    if (els) {
        report.stIdentification = link.identification();
        report.stDevice = text(link.ask("stdi", askWaitMs));
    }
    const AdapterLink::TransferChoice transfer = AdapterLink::chooseTransfer(report.kind, cfg, link.identification());
    report.segmentedTransfer = transfer.segmented;
    report.transferReason = transfer.reason;
    bool echoed = true;
    report.echoOff = link.ask("at e0", askWaitMs).toUpper().contains("OK")
        && !link.ask("ati", askWaitMs, &echoed).isNull() && !echoed;
    for (const QByteArray &line : frameSettings(cfg, report.kind))
        link.ask(line, askWaitMs);
    // An empty single frame (00) and the digit 1: "?" when the adapter does not take the digit.
    const QByteArray digit = link.ask("001", askWaitMs);
    report.replyCountDigit = !digit.isNull() && digit.trimmed() != "?";
    if (digit.isNull())
        report.error = QStringLiteral("no answer to the test frame");
    if (!timeRoundTrips(link, report) && report.error.isEmpty())
        report.error = QStringLiteral("the adapter left AT RV unanswered");
    // Every question above answers null once the port is gone: that is no verdict on the adapter.
    if (!link.isOpen()) {
        report.linkLost = true;
        report.error
            = link.lossReason().isEmpty() ? QStringLiteral("the port closed during the report") : link.lossReason();
    }
    link.close();
    report.verdict = verdict(report);
    return report;
}

QString AdapterProbe::verdict(const AdapterReport &report)
{
    if (!report.ok)
        return QStringLiteral("unsuitable: %1").arg(report.error);
    if (!report.error.isEmpty())
        return QStringLiteral("unsuitable: %1").arg(report.error);
    if (!report.echoOff)
        return QStringLiteral("unsuitable: it keeps echoing every line after AT E0");
    // An ELS27 is driven with the digit on every frame line; an ELM327 works without it.
    if (!report.replyCountDigit && report.kind == ELM327IOBase::ELS27)
        return QStringLiteral("unsuitable: it refuses the reply-count digit");
    if (report.roundTripMedianMs > slowLineMs)
        return QStringLiteral("slow: %1 ms per line, see the README on USB latency")
            .arg(report.roundTripMedianMs, 0, 'f', 1);
    if (!report.replyCountDigit)
        return QStringLiteral("slow: no reply-count digit, each request waits out the adapter's time-out");
    return QStringLiteral("suits flashing");
}
