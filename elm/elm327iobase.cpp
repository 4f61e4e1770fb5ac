#include "elm327iobase.h"

#include "adapterlink.h"
#include "transferoutcome.h"

#include <QRegularExpression>
#include <cmath>

namespace {

// Queued calls name these types in their signatures, so they must be known by name before the
// first such call; the ids themselves are cached by qMetaTypeId.
void registerLinkTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<ELM_ConnInfo>();
        qRegisterMetaType<ELM_BasicMessage>();
        qRegisterMetaType<ELM_Message>();
        qRegisterMetaType<ELM327IOBase::ELM_ERROR>();
        qRegisterMetaType<ELM327IOBase::Adapter>();
        qRegisterMetaType<ELM327IOBase::SetupFailure>();
        qRegisterMetaType<TransferOutcome>();
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace

ELM327IOBase::ELM327IOBase(QObject *parent)
    : QObject(parent)
{
    registerLinkTypes();
}

bool ELM327IOBase::baudSwitch(const QString &port, uint current, uint target, bool permanent)
{
    return AdapterLink::baudSwitch(port, current, target, permanent);
}

double ELM327IOBase::parseVoltage(const QByteArray &answer)
{
    // An adapter measures up to a few tens of volts with one or two decimals.
    static const QRegularExpression voltage(QStringLiteral(R"(^\s*(\d{1,2}(?:\.\d{1,2})?)\s*V?\s*$)"));
    const QRegularExpressionMatch match = voltage.match(QString::fromLatin1(answer));
    return match.hasMatch() ? match.captured(1).toDouble() : std::nan("");
}

QString ELM327IOBase::adapterName(int kind)
{
    switch (kind) {
    case ELM327:
        return QStringLiteral("ELM327");
    case ELS27:
        return QStringLiteral("ELS27");
    case Auto:
        return QStringLiteral("Auto");
    default:
        return QStringLiteral("Custom");
    }
}
