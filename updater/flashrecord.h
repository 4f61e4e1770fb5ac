#pragma once

#include <jobrecord.h>

#include <QMetaType>
#include <QString>
#include <QVariantMap>

// The parts of a flash, in the order the device goes through them: the erase, the body of the
// image, then its first chunk, which makes the image startable and is written last.
enum class FlashStage { Erasing, Writing, Finalising };
Q_DECLARE_METATYPE(FlashStage)

// What the device has confirmed of one flash, step by step. Whatever is said about a flash that
// failed or was stopped (does the device still have an application?) is worded from this, never
// from the step the program was at: a step sent is not a step done.
struct FlashRecord
{
    bool eraseSent = false; // the erase request went to the adapter
    bool eraseConfirmed = false; // the device answered it, or its status showed it done
    bool eraseRefused = false; // the device answered it with a refusal: nothing was erased
    qint64 bytesAcknowledged = 0; // of the image, by the device's answers to its writes or its status
    bool finaliseSent = false; // the finalise request went to the adapter
    bool finaliseRefused = false; // the device answered it with a refusal: the image is not final
    bool finaliseConfirmed = false; // the device holds the new image, startable
    bool launchAnswered = false; // the bootloader answered the launch that followed

    // What the device holds now, said for a flash that did not end with its launch: empty when
    // the flash never reached the device.
    QString applicationState() const;
    // What the device holds after this flash, and before it `earlier` (an earlier try of the same
    // run): this one's state, or the earlier one's while this one has not reached the device.
    QString applicationState(const FlashRecord &earlier) const;
    QVariantMap toVariantMap() const;
    // Adds what this says the device confirmed to a job's record, where it only grows: a later try
    // of the flash, or an ending that carries nothing, takes nothing back. True when the erase went
    // out or the finalise was confirmed only now: a program killed from here on would leave the
    // device without an application, or with its new one, and the record should say so.
    bool addTo(JobRecord &record) const;
};
Q_DECLARE_METATYPE(FlashRecord)
