#pragma once

#include <cstdint>

// The time of every packet of one input, on a timeline of its own: 27 MHz
// ticks from the input's first PCR, continuous across the 33-bit wrap and
// across discontinuities. A packet's time is interpolated by its position
// (packets since the start of the input, dropped ones included) between the
// PCRs around it; past the last PCR it is extrapolated at the last rate.
// Fed by the input's reader thread alone; no lock.
class CInputTimeline
{
public:
    // Ticks per packet used until two PCRs give a rate, and for an input
    // without PCRs: from a bit rate (bit/s); ignored when not positive.
    void SetFallbackBitRate(int64_t nBitsPerSecond);

    // A PCR of the pacing PID in the packet at nPos. bNewBase: the PCR does
    // not continue the previous one (a signalled discontinuity, a jump, or
    // another PID taking over the pacing): its time is extrapolated instead
    // of read from the PCR. Returns the PCR's time.
    int64_t AddPcr(int64_t nPos, int64_t nPcr, bool bNewBase);

    // The time of the packet at nPos between the last two PCRs (or before
    // the first, at the rate of the first two).
    int64_t TimeBetween(int64_t nPos) const;
    // The time of the packet at nPos from the last PCR at the last rate.
    int64_t Extrapolate(int64_t nPos) const;

    bool HasAnchor() const { return m_nPos >= 0; }
    bool HasRate() const { return m_fTicksPerPacket > 0.0; }
    // A time at nPos with no PCR ever: starts the timeline there.
    void AnchorAt(int64_t nPos);
    // The input's rate from its last two PCRs, bit/s; -1 not known.
    int64_t GetBitRate() const;
    // The input's rate over the longest stretch of PCRs on one time base
    // seen so far, bit/s; -1 not known. Far steadier than the last step of
    // a stream whose packets bunch between PCRs.
    int64_t GetSpanBitRate() const { return m_nSpanRate; }
    // The PCR time that rate is measured over, ticks.
    int64_t GetSpanTicks() const { return m_nBestSpanTicks; }
    // The PCR value the timeline's time nTime stands for in the current base.
    int64_t PcrAt(int64_t nTime) const;

private:
    double TicksPerPacket() const;
    void NoteSpan(int64_t nPos, int64_t nTime);

    int64_t m_nPos = -1;      // position of the last PCR; -1: none yet
    int64_t m_nTime = 0;      // its time, ticks
    int64_t m_nPcr = -1;      // its value, ticks
    int64_t m_nPrevPos = -1;  // the PCR before it; -1: none
    int64_t m_nPrevTime = 0;  // its time, ticks
    double m_fTicksPerPacket = 0.0;  // from the last two PCRs of one base; 0: not known
    double m_fFallbackTicks = 0.0;   // from a bit rate; 0: none
    int64_t m_nSpanPos = -1;         // first PCR of the current base: position
    int64_t m_nSpanTime = 0;         // and time, ticks
    int64_t m_nBestSpanTicks = 0;    // the longest span measured, ticks
    int64_t m_nSpanRate = -1;        // bit/s over it; -1 none
};
