#pragma once

#include <cstdint>

// Tells what the PCR of one PID should read at the packet at hand, by
// counting packets since a reference PCR and converting the byte distance
// into 27 MHz ticks at a byte rate.
//
// Two modes:
// - learnt rate (no SetRate): the rate is learnt from the last two PCRs fed
//   (the input side, which relates PTS/DTS to its input's clock);
// - given rate (SetRate): the rate never changes; the estimate is the
//   reference plus the exact packet distance since it at that rate, truncated
//   once, modulo the PCR wrap. Feeding back an estimate does not move the
//   reference, so no truncation error accumulates (the output restamping).
//
// Per packet its owner calls, on the calculator of the packet's own PID,
// GetCurrentPcr and then InputPcr (or RestartAt); on every other calculator
// AddPacket. In given-rate mode GetCurrentPcr then yields the estimate for the
// packet k packets after the reference packet as reference + k packets.
// Used by one thread; no lock. Owned by the map of its user.
class CCalcPcrN1
{
public:
    void SetRate(double fBytesPerSecond);
    // A PCR value for the current packet of the own PID (-1: the packet has none).
    void InputPcr(int64_t nPcr);
    // A packet of another PID (or one without a value) went by.
    void AddPacket();
    // The PCR due at the current packet, or -1.
    int64_t GetCurrentPcr() const;
    int64_t GetLastPcr() const { return m_nLastPcr; }
    // Starts a new reference at this packet (a signalled discontinuity), in
    // place of InputPcr for it; a learnt rate is kept. -1 drops the reference.
    void RestartAt(int64_t nPcr);

    bool IsRateGiven() const { return m_bRateGiven; }
    double GetRate() const { return m_fRate; } // bytes per second; negative: not known
    int64_t GetPacketCount() const { return m_nPackets; }

private:
    int64_t GetGivenRatePcr() const;
    int64_t GetLearntRatePcr() const;

    int64_t m_nLastPcr = -1; // reference PCR, 27 MHz ticks; -1 none
    double m_fRate = -1.0;   // bytes per second; negative: not known
    int64_t m_nPackets = 0;  // packets since the reference
    bool m_bRateGiven = false;
    // The given rate's ticks per packet as an exact fraction, so that the
    // distance of any packet count converts without rounding:
    // kTsPacketSize * kPcrHz / rate = m_nStepWhole + m_nStepNum / m_nStepDen.
    int64_t m_nStepWhole = 0; // whole ticks per packet, modulo the PCR wrap
    int64_t m_nStepNum = 0;   // remainder numerator, below m_nStepDen
    int64_t m_nStepDen = 0;   // 0: no exact form (the rate is unusable or absurd)
};
