#include "mux/PsiSections.h"

#include "log/CLogger.h"
#include "mux/CPsiTable.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <algorithm>

namespace {

// Byte 1 of a PSI packet before the PID goes in: the packet that starts a
// section has payload_unit_start_indicator set; every PSI packet has
// transport_priority set.
constexpr unsigned char kPsiFirstFlags = 0x60;
constexpr unsigned char kPsiNextFlags = 0x20;
constexpr unsigned char kPayloadOnlyCc0 = 0x10; // not scrambled, payload only, counter 0
constexpr int kTsHeaderBytes = 4;

void DvbpsiMessage(dvbpsi_t*, const dvbpsi_msg_level_t nLevel, const char* szMsg) noexcept
{
    const int nLogLevel = nLevel == DVBPSI_MSG_ERROR  ? kLogError
                          : nLevel == DVBPSI_MSG_WARN ? kLogWarning
                                                      : kLogDebug;
    LogPrint(nLogLevel, "mux: PSI generation: %s", szMsg);
}

} // namespace

CDvbpsiHandle NewDvbpsiHandle()
{
    return CDvbpsiHandle(dvbpsi_new(DvbpsiMessage, DVBPSI_MSG_WARN), &dvbpsi_delete);
}

bool TakeSections(dvbpsi_psi_section_t* pSections, int nPid, int nTableId, const char* szTable,
                  CPsiTable& table)
{
    const CSectionList sections(pSections, &dvbpsi_DeletePSISections);
    if (!sections) {
        LogPrint(kLogError, "mux: PSI generation: %s failed", szTable);
        return false;
    }
    table.nPid = uint16_t(nPid);
    table.nTableId = uint8_t(nTableId);
    PacketizeSections(nPid, sections.get(), table.vPackets);
    return true;
}

int CountSections(const dvbpsi_psi_section_t* pSection)
{
    int n = 0;
    for (; pSection != nullptr; pSection = pSection->p_next) {
        ++n;
    }
    return n;
}

void PacketizeSections(int nPid, const dvbpsi_psi_section_t* pSections,
                       std::vector<unsigned char>& vBuf)
{
    for (const dvbpsi_psi_section_t* pSection = pSections; pSection != nullptr;
         pSection = pSection->p_next) {
        const unsigned char* pData = pSection->p_data;
        int nLeft = int(pSection->p_payload_end - pSection->p_data) +
                    (pSection->b_syntax_indicator ? 4 : 0);
        bool bFirst = true;
        while (bFirst || nLeft > 0) {
            const size_t nOffset = vBuf.size();
            vBuf.resize(nOffset + kTsPacketSize, 0xFF);
            unsigned char* pPacket = &vBuf[nOffset];
            pPacket[0] = kSyncByte;
            pPacket[1] = bFirst ? kPsiFirstFlags : kPsiNextFlags;
            pPacket[2] = 0;
            pPacket[3] = kPayloadOnlyCc0;
            int nHead = kTsHeaderBytes;
            if (bFirst) {
                pPacket[nHead++] = 0; // pointer_field: the section starts right here
            }
            const int nCopy = std::min(nLeft, kTsPacketSize - nHead);
            std::memcpy(pPacket + nHead, pData, size_t(nCopy));
            pData += nCopy;
            nLeft -= nCopy;
            CTsPacket packet;
            packet.SetData(pPacket);
            packet.SetPid(uint16_t(nPid));
            bFirst = false;
        }
    }
}
