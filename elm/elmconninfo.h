#pragma once

#include <QMetaType>
#include <QString>

// How messages longer than a frame cross an adapter that can segment them itself (an STN chip's
// STPX): Auto when its firmware is known to, Segmented to try it whatever the firmware, Frames to
// send every frame as a line of its own, as on an ELM327.
enum class TransferMode { Auto, Segmented, Frames };

// The modes' names, as settings and the command line give them: "auto", "segmented", "frames".
inline QString transferModeName(TransferMode mode)
{
    return mode == TransferMode::Segmented ? QStringLiteral("segmented")
        : mode == TransferMode::Frames     ? QStringLiteral("frames")
                                           : QStringLiteral("auto");
}

// Auto for anything else.
inline TransferMode transferModeNamed(const QString &name)
{
    const QString lower = name.toLower();
    return lower == QLatin1String("segmented") ? TransferMode::Segmented
        : lower == QLatin1String("frames")     ? TransferMode::Frames
                                               : TransferMode::Auto;
}

// How to reach the adapter and the device. Filled by the windows, handed by the workers to
// ELM327IOBase::setup, and carried through queued calls, hence the meta-type.
struct ELM_ConnInfo
{
    QString port; // serial port as named by the user: listed, its system path, or a link to it (resolveSerialPort)
    qint32 baud = 0; // bit/s; 0 lets setup search for the adapter's rate
    int adapter = 1; // an ELM327IOBase::Adapter value
    // Every producer sets both identifiers; zero keeps a forgotten one from being
    // an indeterminate value copied through queued calls.
    int canId = 0; // identifier of the frames the device sends: the adapter's receive filter
    int pcId = 0; // identifier of the frames the PC sends: the adapter's transmit header
    // An ELM327 is asked to raise its serial rate ("AT BRD") after the set-up; off for adapters
    // that choke on it.
    bool rateSwitch = true;
    // The longest the whole set-up (opening, the rate search, the warm start) may take before it
    // gives up, in ms: a port that never falls quiet or an adapter that never answers must not hold
    // the caller for ever.
    int setupBudgetMs = 20000;
    TransferMode transfer = TransferMode::Auto;
};

Q_DECLARE_METATYPE(ELM_ConnInfo)
