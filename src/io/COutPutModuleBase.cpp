#include "braidmill.h"

// The base holds nothing; derived sinks own their resources.
COutPutModuleBase::COutPutModuleBase() = default;

COutPutModuleBase::~COutPutModuleBase() = default;

void COutPutModuleBase::RenderPackets(unsigned char* packets, int nCount)
{
    for (int i = 0; i < nCount; ++i) {
        RenderOnePacket(packets + size_t(i) * 188);
    }
}

bool COutPutModuleBase::IsBroken() const
{
    return false;
}

int COutPutModuleBase::GetWriteIntervalMs() const
{
    return 2;
}

int COutPutModuleBase::GetPacketsPerUnit() const
{
    return 1;
}

int COutPutModuleBase::GetCatchUpPercent() const
{
    return 0;
}
