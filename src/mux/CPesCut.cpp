#include "mux/CPesCut.h"

#include "mux/NullPacket.h"
#include "ts/CTsPacket.h"

#include <cstring>

namespace {

constexpr uint8_t kAfcAdaptationOnly = 0x20;
constexpr uint8_t kAfLengthWhole = 183; // an adaptation field that fills the packet
constexpr uint8_t kAfFlagsKept = 0x90;  // discontinuity_indicator, PCR_flag

bool HasPcr(const uint8_t* p)
{
    return (p[3] & 0x20) != 0 && p[4] >= 7 && (p[5] & 0x10) != 0;
}

} // namespace

void CPesCut::SetEnd(int64_t nEndSlot, int64_t nLookSlots)
{
    m_nEnd = nEndSlot;
    m_nLookFrom = nEndSlot - nLookSlots;
    m_vCutCc.assign(kPidCount, -1);
}

bool CPesCut::IsPesStart(const uint8_t* p)
{
    if ((p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) {
        return false;
    }
    const int nAt = (p[3] & 0x20) != 0 ? 5 + p[4] : 4;
    return nAt + 3 <= kTsPacketSize && p[nAt] == 0 && p[nAt + 1] == 0 && p[nAt + 2] == 1;
}

CPesCut::EWhole CPesCut::Look(int k, int nInPid, int64_t nLateSlots,
                              const std::function<const CTimedPacket*(int)>& fnPeek,
                              const std::function<int64_t(const CTimedPacket&)>& fnDue,
                              bool bMore) const
{
    for (int n = k + 1; n <= k + kLookPackets; ++n) {
        const CTimedPacket* p = fnPeek(n);
        if (p == nullptr) {
            // All of it is queued when nothing more comes; a live input's
            // next packets are not waited for.
            return bMore ? EWhole::kUnknown : EWhole::kYes;
        }
        if (p->nChange != 0 || p->bTaken || CTsPacket::PidOf(p->vData) != nInPid) {
            continue;
        }
        if (IsPesStart(p->vData)) {
            return EWhole::kYes; // every packet before it is due before the end
        }
        if (fnDue(*p) + nLateSlots >= m_nEnd) {
            return EWhole::kNo;
        }
    }
    return EWhole::kYes; // a PES longer than the look: sent as it comes
}

CPesCut::EWhole CPesCut::Judge(int k, const uint8_t* p, int nPid, int64_t nLateSlots,
                              const std::function<const CTimedPacket*(int)>& fnPeek,
                              const std::function<int64_t(const CTimedPacket&)>& fnDue,
                              bool bMore)
{
    if (!IsPesStart(p)) {
        return EWhole::kYes;
    }
    const EWhole eWhole = Look(k, CTsPacket::PidOf(p), nLateSlots, fnPeek, fnDue, bMore);
    if (eWhole != EWhole::kUnknown) {
        // Its PCR-only packets repeat the counter of the packet before it.
        m_vCutCc[size_t(nPid)] = eWhole == EWhole::kYes ? -1 : int8_t((p[3] - 1) & kCcMask);
    }
    return eWhole;
}

bool CPesCut::Apply(uint8_t* p, int nPid) const
{
    if (m_vCutCc.empty() || m_vCutCc[size_t(nPid)] < 0) {
        return false;
    }
    if (HasPcr(p)) {
        // Without payload the counter repeats the last one sent.
        p[1] = uint8_t(p[1] & ~0x40); // no unit start
        p[3] = uint8_t((p[3] & 0xC0) | kAfcAdaptationOnly | m_vCutCc[size_t(nPid)]);
        p[4] = kAfLengthWhole;
        p[5] &= kAfFlagsKept;
        std::memset(p + 12, 0xFF, kTsPacketSize - 12);
        return true;
    }
    std::memcpy(p, NullPacket(), kTsPacketSize);
    return true;
}
