#include "input/CContinuityCount.h"

#include "ts/CTsPacket.h"

#include <cstring>

namespace {

constexpr int kPcrFrom = 6; // the PCR's bytes in the adaptation field
constexpr int kPcrTo = 12;

// A duplicate repeats every byte of the packet but its PCR, which carries
// the time it is sent again.
bool SameButPcr(const uint8_t* pCopy, const unsigned char* pData)
{
    if (!CTsPacket::HasPcrFlag(pData)) {
        return std::memcmp(pCopy, pData, kTsPacketSize) == 0;
    }
    return std::memcmp(pCopy, pData, kPcrFrom) == 0 &&
           std::memcmp(pCopy + kPcrTo, pData + kPcrTo, kTsPacketSize - kPcrTo) == 0;
}

} // namespace

bool CContinuityCount::Count(const unsigned char* pData, int nPid)
{
    const uint8_t nCc = pData[3] & kCcMask;
    const bool bPayload = (pData[3] & 0x10) != 0;
    CTsPacket view;
    view.SetData(const_cast<unsigned char*>(pData));
    const bool bDiscontinuity = view.GetDiscontinuityIndicator();
    uint8_t& nLast = m_vLastCc[size_t(nPid)];
    if (!bPayload) {
        // One that signals a discontinuity sets the counter the payload
        // after it continues from.
        if (bDiscontinuity) {
            nLast = nCc;
        }
        return true;
    }
    CPacketCopy& copy = CopyOf(nPid);
    bool bGood = nLast == kNoCc || bDiscontinuity || nCc == ((nLast + 1) & kCcMask);
    if (!bGood && nCc == nLast && !m_vDuplicated[size_t(nPid)] && SameButPcr(copy.data(), pData)) {
        m_vDuplicated[size_t(nPid)] = true;
        return true;
    }
    if (!bGood) {
        m_nErrors.fetch_add(1, std::memory_order_relaxed);
    }
    nLast = nCc;
    m_vDuplicated[size_t(nPid)] = false;
    std::memcpy(copy.data(), pData, kTsPacketSize);
    return bGood;
}

CContinuityCount::CPacketCopy& CContinuityCount::CopyOf(int nPid)
{
    uint16_t& nCopy = m_vCopy[size_t(nPid)];
    if (nCopy == kNoCopy) {
        nCopy = uint16_t(m_vCopies.size());
        m_vCopies.emplace_back();
    }
    return m_vCopies[nCopy];
}
