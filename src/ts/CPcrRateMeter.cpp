#include "ts/CPcrRateMeter.h"

#include "ts/CTsPacket.h"

CPcrRateMeter::CPcrRateMeter(const CTsLayout& layout, bool bEveryPid)
    : m_layout(layout), m_bEveryPid(bEveryPid)
{
}

bool CPcrRateMeter::OnPacket(unsigned char* pPacket, long long llOffset)
{
    CTsPacket packet;
    if (!packet.SetData(pPacket) || !packet.HasPcr()) {
        return true;
    }
    const int nPid = packet.GetPid();
    if (m_nFirstPid < 0) {
        m_nFirstPid = nPid;
    }
    if (nPid == m_nFirstPid || m_bEveryPid) {
        const int64_t nIndex = (llOffset - m_layout.nFirst) / m_layout.nStep;
        m_rates[nPid].AddPcr(nIndex, packet.GetPcr(), packet.GetDiscontinuityIndicator());
    }
    return true;
}

void CPcrRateMeter::GetRegular(int nPid, int64_t& nPackets, int64_t& nTicks) const
{
    nPackets = 0;
    nTicks = 0;
    const auto it = m_rates.find(nPid);
    if (it != m_rates.end()) {
        it->second.GetRegular(nPackets, nTicks);
    }
}

int CPcrRateMeter::FindLongestPid() const
{
    int nBest = -1;
    int64_t nBestTicks = 0;
    for (const auto& [nPid, rate] : m_rates) {
        int64_t nPackets = 0;
        int64_t nTicks = 0;
        rate.GetRegular(nPackets, nTicks);
        if (nTicks > nBestTicks) {
            nBest = nPid;
            nBestTicks = nTicks;
        }
    }
    return nBest;
}
