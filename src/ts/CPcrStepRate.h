#pragma once

#include <cstdint>
#include <vector>

// The bit rate the PCRs of one PID give, from the steps between consecutive
// PCRs that continue the time base. Left out: a step the discontinuity
// indicator announces, a step backwards, a step over kMaxStepTicks, and a
// step whose clock time per packet strays from the median step's further
// than the steps commonly do, which is how a jump without the indicator
// shows (clock time gained or lost with no packets for it). The 33-bit wrap
// is a step like any other. Used by the one thread that scans a stream.
class CPcrStepRate
{
public:
    // nPacket: the index of the packet carrying the PCR in the stream.
    void AddPcr(int64_t nPacket, int64_t nPcr, bool bDiscontinuity);
    // Packets and 27 MHz ticks of the regular steps.
    void GetRegular(int64_t& nPackets, int64_t& nTicks) const;

private:
    struct CStep
    {
        int64_t nPackets; // packets from one PCR to the next
        int64_t nTicks;   // 27 MHz ticks between them
    };
    std::vector<CStep> m_vSteps; // every candidate step, in stream order
    int64_t m_nLastPcr = -1;     // 27 MHz ticks; -1 before the first PCR
    int64_t m_nLastPacket = 0;   // packet index of that PCR
};
