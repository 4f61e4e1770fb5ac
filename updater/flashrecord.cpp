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

QVariantMap FlashRecord::toVariantMap() const
{
    return {{QStringLiteral("eraseSent"), eraseSent}, {QStringLiteral("eraseConfirmed"), eraseConfirmed},
        {QStringLiteral("eraseRefused"), eraseRefused}, {QStringLiteral("bytesAcknowledged"), bytesAcknowledged},
        {QStringLiteral("finaliseSent"), finaliseSent}, {QStringLiteral("finaliseRefused"), finaliseRefused},
        {QStringLiteral("finaliseConfirmed"), finaliseConfirmed}, {QStringLiteral("launchAnswered"), launchAnswered}};
}
