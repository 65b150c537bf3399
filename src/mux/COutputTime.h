#pragma once

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <cstdint>

// The output's own time: slot n (the n-th 188-byte packet) leaves at
// n * 188 * 8 / rate seconds. Conversions are exact integer arithmetic, so
// that every run of the same inputs makes the same decisions and a PCR an
// hour in is still right to the tick.
class COutputTime
{
public:
    explicit COutputTime(int64_t nBitsPerSecond) : m_nRate(nBitsPerSecond) {}

    int64_t GetRate() const { return m_nRate; }
    // 27 MHz ticks from slot 0 to slot nSlot, rounded down.
    int64_t TicksAt(int64_t nSlot) const
    {
        return int64_t(__int128(nSlot) * kSlotBits * kPcrHz / m_nRate);
    }
    // The first slot that leaves at or after nTicks (>= 0).
    int64_t SlotAtTicks(int64_t nTicks) const
    {
        const __int128 nNum = __int128(nTicks) * m_nRate;
        const __int128 nDen = __int128(kSlotBits) * kPcrHz;
        return int64_t((nNum + nDen - 1) / nDen);
    }
    // Slots that have fallen due nMicros after slot 0 left.
    int64_t SlotsDueAtMicros(int64_t nMicros) const
    {
        return int64_t(__int128(nMicros) * m_nRate / (int64_t(kSlotBits) * 1'000'000));
    }
    // When slot nSlot leaves, microseconds after slot 0 (rounded up).
    int64_t MicrosAt(int64_t nSlot) const
    {
        const __int128 nNum = __int128(nSlot) * kSlotBits * 1'000'000;
        return int64_t((nNum + m_nRate - 1) / m_nRate);
    }
    // Slots in nMs milliseconds of output, rounded down.
    int64_t SlotsIn(int64_t nMs) const
    {
        return int64_t(__int128(nMs) * m_nRate / (int64_t(kSlotBits) * 1000));
    }
    // The PCR at nSlot for a reference PCR sent at nRefSlot.
    int64_t PcrAt(int64_t nRefPcr, int64_t nRefSlot, int64_t nSlot) const
    {
        return PcrAdd(nRefPcr, PcrWrap(TicksBetween(nRefSlot, nSlot)));
    }
    int64_t TicksBetween(int64_t nFrom, int64_t nTo) const
    {
        return int64_t(__int128(nTo - nFrom) * kSlotBits * kPcrHz / m_nRate);
    }

private:
    static constexpr int64_t kSlotBits = int64_t(kTsPacketSize) * 8;
    int64_t m_nRate; // bit/s, > 0
};
