#include "progressmeter.h"

#include <cmath>

void ProgressMeter::update(qint64 done, qint64 total, qint64 elapsedMs)
{
    m_total = qMax<qint64>(0, total);
    m_done = qBound<qint64>(0, done, m_total);
    m_elapsedMs = qMax<qint64>(0, elapsedMs);
}

double ProgressMeter::rate() const
{
    return m_elapsedMs > 0 ? double(m_done) * 1000.0 / double(m_elapsedMs) : 0.0;
}

int ProgressMeter::secondsLeft() const
{
    if (m_done >= m_total)
        return 0;
    const double perSecond = rate();
    if (perSecond <= 0)
        return -1;
    return int(std::ceil(double(m_total - m_done) / perSecond));
}

QString ProgressMeter::rateText(double bytesPerSecond)
{
    return QStringLiteral("%1 kB/s").arg(qMax(0.0, bytesPerSecond) / 1000.0, 0, 'f', 1);
}

QString ProgressMeter::clockText(int seconds)
{
    seconds = qMax(0, seconds);
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString ProgressMeter::text() const
{
    const int left = secondsLeft();
    QString out = rateText(rate());
    if (left >= 0)
        out += QStringLiteral("  %1 left").arg(clockText(left));
    return out;
}
