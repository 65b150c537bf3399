#pragma once

#include "ts/TsConstants.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

// Counts continuity_counter errors on the packets an input keeps. A packet
// with payload carries the counter after its predecessor's, or any where it
// signals a discontinuity; packets without payload repeat it. A packet with
// payload may also come twice in a row, whole (the same counter and bytes,
// but for a PCR): such a duplicate is no error and passes on as it came. A
// counter that repeats with other bytes, or a third time, is an error like
// a gap. Used by the input's reader thread; the count from any thread.
// Owned by the input's packet path.
class CContinuityCount
{
public:
    CContinuityCount()
        : m_vLastCc(kPidCount, kNoCc), m_vCopy(kPidCount, kNoCopy), m_vDuplicated(kPidCount, false)
    {
    }

    // One synchronised packet of PID nPid; false when its counter is wrong.
    bool Count(const unsigned char* pData, int nPid);
    int64_t GetErrors() const { return m_nErrors.load(std::memory_order_relaxed); }

private:
    static constexpr uint8_t kNoCc = 0xFF;
    static constexpr uint16_t kNoCopy = 0xFFFF;
    using CPacketCopy = std::array<uint8_t, kTsPacketSize>;

    // The last packet with payload of the PID, for telling a duplicate.
    CPacketCopy& CopyOf(int nPid);

    std::vector<uint8_t> m_vLastCc; // per PID: last counter, kNoCc none
    // Per PID: index into m_vCopies, kNoCopy none. Only kept PIDs get a
    // copy, so the copies stay a few, not one per PID.
    std::vector<uint16_t> m_vCopy;
    std::vector<CPacketCopy> m_vCopies;
    std::vector<bool> m_vDuplicated; // per PID: the last packet came twice already
    std::atomic<int64_t> m_nErrors{0};
};
