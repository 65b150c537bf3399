#pragma once

#include "os/CClock.h"
#include "ts/TsConstants.h"

#include <cstdint>

// The output's own time, for the engine's output-time mode: the bytes
// written so far at the output rate. Every pacer of the multiplex reads it,
// so inputs fall due exactly where a perfect real-time run would let them.
// Set and read by the engine's one thread in that mode.
class CVirtualClock final : public os::IClock
{
public:
    static constexpr int64_t kOriginMicros = 1'000'000; // a reading is never all zero

    void SetRate(double fBitsPerSecond) { m_fMicrosPerSlot = 8e6 * kTsPacketSize / fBitsPerSecond; }
    // Time at which output slot nSlot (0 the first) starts.
    int64_t MicrosAtSlot(int64_t nSlot) const
    {
        return kOriginMicros + int64_t(double(nSlot) * m_fMicrosPerSlot);
    }
    void SetSlot(int64_t nSlot) { m_nMicros = MicrosAtSlot(nSlot); }
    // The first slot that starts at or after nMicros.
    int64_t FirstSlotAt(int64_t nMicros) const
    {
        int64_t nSlot = int64_t(double(nMicros - kOriginMicros) / m_fMicrosPerSlot);
        nSlot = nSlot < 0 ? 0 : nSlot;
        while (MicrosAtSlot(nSlot) < nMicros) {
            ++nSlot;
        }
        while (nSlot > 0 && MicrosAtSlot(nSlot - 1) >= nMicros) {
            --nSlot;
        }
        return nSlot;
    }

    os::ClockReading Now() override { return os::FromMicros(m_nMicros); }
    // Time moves with the output alone; nothing waits on it.
    void SleepMs(unsigned) override {}

private:
    double m_fMicrosPerSlot = 0; // one packet at the output rate
    int64_t m_nMicros = kOriginMicros;
};
