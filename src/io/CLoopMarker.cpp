#include "io/CLoopMarker.h"

#include "ts/CTsPacket.h"

#include <cstring>

bool CLoopMarker::Mark(unsigned char* pPacket, unsigned char* pExtra)
{
    if (pPacket[0] != kSyncByte) {
        return false;
    }
    const int nPid = CTsPacket::PidOf(pPacket);
    if (nPid == kPidNull || m_vSeen[size_t(nPid)]) {
        return false;
    }
    m_vSeen[size_t(nPid)] = true;
    const bool bAdaptation = (pPacket[3] & 0x20) != 0;
    if (bAdaptation && pPacket[4] > 0) {
        pPacket[5] |= kDiscontinuityIndicatorBit;
        return false;
    }
    // Adaptation field only: the whole packet after the header.
    std::memset(pExtra, 0xFF, kTsPacketSize);
    pExtra[0] = kSyncByte;
    pExtra[1] = uint8_t(nPid >> 8);
    pExtra[2] = uint8_t(nPid & 0xFF);
    pExtra[3] = uint8_t(0x20 | ((pPacket[3] - 1) & kCcMask));
    pExtra[4] = kTsPacketSize - 5;
    pExtra[5] = kDiscontinuityIndicatorBit;
    return true;
}
