#pragma once

#include "ts/CPcrStepRate.h"
#include "ts/CTsWalker.h"

#include <cstdint>
#include <map>

// The PCR steps of a walked stream (CPcrStepRate), on the first PID seen
// with a PCR or on every PID. A packet stands at its distance from the
// first packet in packet steps, so that what the walk skipped (a damaged
// packet, junk) still counts as the stream's, in whole packets. Used by the
// one thread that walks; owned by the estimate that made it.
class CPcrRateMeter final : public ITsPacketSink
{
public:
    CPcrRateMeter(const CTsLayout& layout, bool bEveryPid);

    bool OnPacket(unsigned char* pPacket, long long llOffset) override;

    int GetFirstPid() const { return m_nFirstPid; } // -1 before the first PCR
    // Packets and 27 MHz ticks of nPid's regular steps; 0 when it has none.
    void GetRegular(int nPid, int64_t& nPackets, int64_t& nTicks) const;
    // The PID whose regular steps span the most PCR time; -1 when none has a step.
    int FindLongestPid() const;

private:
    CTsLayout m_layout;
    bool m_bEveryPid;
    int m_nFirstPid = -1;
    std::map<int, CPcrStepRate> m_rates; // by PID
};
