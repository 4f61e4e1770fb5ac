#pragma once

#include <QString>
#include <QtGlobal>

// How fast the work goes and how long it has left, from how far it is after how long. Kept apart
// from where it is shown, so that the terminal bar and the event stream tell the same figures.
class ProgressMeter
{
public:
    // `done` of `total` bytes after `elapsedMs` since the work began.
    void update(qint64 done, qint64 total, qint64 elapsedMs);

    qint64 done() const { return m_done; }
    qint64 total() const { return m_total; }
    // Bytes per second so far; 0 until some time has passed.
    double rate() const;
    // Whole seconds left at the rate so far, rounded up; 0 once done, -1 while the rate is unknown.
    int secondsLeft() const;

    // "8.1 kB/s": kB of 1000 bytes, one decimal.
    static QString rateText(double bytesPerSecond);
    // "0:07", "12:34": minutes and seconds.
    static QString clockText(int seconds);
    // "8.1 kB/s  0:07 left", or only the rate while the time left is unknown.
    QString text() const;

private:
    qint64 m_done = 0;
    qint64 m_total = 0;
    qint64 m_elapsedMs = 0;
};
