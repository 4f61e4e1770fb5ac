#pragma once

#include <QMetaType>

// How an upload or a flash ended. The windows, veltrano-cli and the benchmarks decide on this
// value, never on the words shown to the user, which a translation may change.
enum class TransferOutcome {
    Succeeded, // the device confirmed the work: the digest matched, the finalise was acknowledged
    Refused, // the device refused it, or answered in a way that cannot be used (a wrong digest)
    NotResponding, // the device or the adapter stopped answering
    LinkLost, // the serial port went away
    FileUnreadable, // the content to send could not be read
    Stopped, // the technician asked to stop; the work ended at a clean point between two steps
    // The vehicle's battery read below the minimum asked for, or could not be read: refused before
    // anything went to the device, since a flash that stops halfway leaves it without an application.
    LowVoltage,
};
Q_DECLARE_METATYPE(TransferOutcome)

// Below this the fronts warn before an upload or a flash: a battery that low may sag under the
// adapter and the device's own load and cut the work off halfway.
constexpr double lowBatteryVolts = 11.5;

// Whether doing the same work again may end otherwise: a refusal or a bad file will not change.
inline bool isTransient(TransferOutcome outcome)
{
    return outcome == TransferOutcome::NotResponding || outcome == TransferOutcome::LinkLost;
}
