#pragma once

#include "transferoutcome.h"

#include <QMetaType>
#include <QString>
#include <QVariant>

// How one request to a protocol worker ended. A worker tells every request it was given exactly
// once, with one of these; whatever decides on an ending reads it from here alone.
struct Completion
{
    quint64 serial = 0; // which call it ends: the worker numbers its requests as they are given
    int command = -1; // what was asked for, in the worker's own numbering
    // The command the ending named, where it differs: a refusal names the command the device
    // reports, an upload's end the step it ended on.
    int named = -1;
    TransferOutcome outcome = TransferOutcome::NotResponding;
    int deviceCode = 0; // the device's own error code where it gives one
    QVariant result; // what a success brought
    QString failure; // the worker's short word for a failure ("No responce from the device")
    QString reason; // why, in full: the worker's complaint during the request, else the failure word
    int errorCode = 0; // the worker's own code for the words of a failure, where it has one

    bool ok() const { return outcome == TransferOutcome::Succeeded; }
};
Q_DECLARE_METATYPE(Completion)
