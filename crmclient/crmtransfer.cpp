#include "crmtransfer.h"

namespace
{
thread_local CrmTransferGuard* innermost = nullptr;
}

CrmTransferGuard::CrmTransferGuard(std::function<bool()> tick) : m_tick(std::move(tick)), m_outer(innermost)
{
    innermost = this;
}

CrmTransferGuard::~CrmTransferGuard()
{
    Q_ASSERT(innermost == this);
    innermost = m_outer;
}

bool CrmTransferGuard::tickCurrent()
{
    CrmTransferGuard* guard = innermost;
    if (!guard || !guard->m_tick)
        return true;
    try {
        return guard->m_tick();
    } catch (...) {
        return false;
    }
}
