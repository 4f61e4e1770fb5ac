#include "elm327iobase.h"

#include "adapterlink.h"
#include "transferoutcome.h"

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
