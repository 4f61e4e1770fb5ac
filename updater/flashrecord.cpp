#include "flashrecord.h"

QString FlashRecord::applicationState() const
{
    if (finaliseConfirmed)
        return launchAnswered ? QString()
                              : QStringLiteral("the new firmware is on the device; the launch was not confirmed");
    if (finaliseSent && !finaliseRefused)
        return QStringLiteral("the device may have no application (the finalise was sent, but not confirmed)");
    if (eraseConfirmed || bytesAcknowledged > 0)
        return QStringLiteral("the device has no application now");
    if (eraseSent && !eraseRefused)
        return QStringLiteral("the device may have no application (the erase was sent, but not confirmed)");
    return QString();
}

QString FlashRecord::applicationState(const FlashRecord &earlier) const
{
    return eraseSent ? applicationState() : earlier.applicationState();
}

bool FlashRecord::addTo(JobRecord &record) const
{
    const bool worthKeeping = (eraseSent && !record.eraseSent) || (finaliseConfirmed && !record.finaliseConfirmed);
    record.eraseSent = record.eraseSent || eraseSent;
    record.eraseConfirmed = record.eraseConfirmed || eraseConfirmed;
    record.eraseRefused = record.eraseRefused || eraseRefused;
    record.bytesAcknowledged = qMax(record.bytesAcknowledged, bytesAcknowledged);
    record.finaliseConfirmed = record.finaliseConfirmed || finaliseConfirmed;
    record.launchAnswered = record.launchAnswered || launchAnswered;
    return worthKeeping;
}

QVariantMap FlashRecord::toVariantMap() const
{
    return {{QStringLiteral("eraseSent"), eraseSent}, {QStringLiteral("eraseConfirmed"), eraseConfirmed},
        {QStringLiteral("eraseRefused"), eraseRefused}, {QStringLiteral("bytesAcknowledged"), bytesAcknowledged},
        {QStringLiteral("finaliseSent"), finaliseSent}, {QStringLiteral("finaliseRefused"), finaliseRefused},
        {QStringLiteral("finaliseConfirmed"), finaliseConfirmed}, {QStringLiteral("launchAnswered"), launchAnswered}};
}
