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
};
Q_DECLARE_METATYPE(TransferOutcome)

// Whether doing the same work again may end otherwise: a refusal or a bad file will not change.
inline bool isTransient(TransferOutcome outcome)
{
    return outcome == TransferOutcome::NotResponding || outcome == TransferOutcome::LinkLost;
}
