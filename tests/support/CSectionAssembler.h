#pragma once

#include "support/CTsReader.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The test reader's section assembly, and the packet helpers it shares with
// the reader.
namespace tsr {
namespace detail {

constexpr size_t kMaxMessages = 50;        // enough to diagnose, not to flood a test log
constexpr int kMaxPsiSectionLength = 1021; // PAT, PMT, NIT, SDT
constexpr int kMaxPrivateSectionLength = 4093;
constexpr size_t kShortHeader = 3;  // table_id and section_length: enough to know the length
constexpr int kMinSyntaxLength = 9; // section_length of a long header and CRC_32 alone

// A view of a packet the reader holds: CTsPacket binds to bytes it may
// write, but its readers never do.
inline CTsPacket View(const uint8_t* pPacket)
{
    CTsPacket packet;
    packet.SetData(const_cast<uint8_t*>(pPacket));
    return packet;
}

// Payload and its length; length 0 when there is none.
inline const uint8_t* Payload(const CTsPacket& packet, size_t& nLen)
{
    uint8_t nPayload = 0;
    const uint8_t* p = packet.GetPayload(nPayload);
    nLen = p != nullptr ? nPayload : 0;
    return p;
}

inline std::string Hex(unsigned nValue)
{
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%04X", nValue);
    return sz;
}

// Reassembles the sections of one PID across packets.
class CSectionAssembler
{
public:
    CSectionAssembler(uint16_t nPid, std::vector<Section>& vOut, PsiErrors& errors,
               std::vector<std::string>& vNotes)
        : m_nPid(nPid), m_vOut(vOut), m_errors(errors), m_vNotes(vNotes)
    {
    }

    void Feed(size_t nIndex, const CTsPacket& packet)
    {
        size_t nLen = 0;
        const uint8_t* pPay = Payload(packet, nLen);
        if (nLen == 0) {
            return;
        }
        const int nCc = packet.GetContinuityCounter();
        if (m_nLastCc >= 0 && nCc == m_nLastCc && !packet.GetDiscontinuityIndicator()) {
            return; // a duplicate carries nothing new
        }
        if (m_nLastCc >= 0 && nCc != ((m_nLastCc + 1) & kCcMask) && !m_vPartial.empty()) {
            Cut(nIndex, "continuity gap");
        }
        m_nLastCc = nCc;
        if (!packet.GetPayloadUnitStartIndicator()) {
            if (!m_vPartial.empty()) {
                Append(nIndex, pPay, nLen, false);
            }
            return;
        }
        const size_t nPointer = pPay[0];
        if (nPointer + 1 > nLen) {
            ++m_errors.nLength;
            Note(nIndex, "pointer_field beyond the payload");
            m_vPartial.clear();
            return;
        }
        if (!m_vPartial.empty()) {
            Append(nIndex, pPay + 1, nPointer, false);
            if (!m_vPartial.empty()) {
                Cut(nIndex, "section cut by a new start");
            }
        }
        m_nStart = nIndex;
        Append(nIndex, pPay + 1 + nPointer, nLen - 1 - nPointer, true);
    }

    void Finish(size_t nIndex)
    {
        if (!m_vPartial.empty()) {
            Cut(nIndex, "section cut by the end of the file");
        }
    }

private:
    // Takes bytes of the current section; in a PUSI packet (bMayStart) further
    // sections may follow the end of one, until stuffing.
    void Append(size_t nIndex, const uint8_t* p, size_t nLen, bool bMayStart)
    {
        size_t nPos = 0;
        while (nPos < nLen) {
            if (m_vPartial.empty()) {
                if (!bMayStart || p[nPos] == 0xFF) {
                    return; // stuffing to the end of the packet
                }
                m_nStart = nIndex;
                m_nNeed = 0;
            }
            const size_t nWant = m_nNeed > 0 ? m_nNeed : kShortHeader;
            const size_t nTake = std::min(nLen - nPos, nWant - m_vPartial.size());
            m_vPartial.insert(m_vPartial.end(), p + nPos, p + nPos + nTake);
            nPos += nTake;
            if (m_nNeed == 0 && m_vPartial.size() == kShortHeader && !TakeLength(nIndex)) {
                m_vPartial.clear();
                return;
            }
            // Checked at once: a section of length 0 is whole with its header.
            if (m_vPartial.size() == m_nNeed) {
                Complete();
            }
        }
    }

    // Learns the whole length from the short header; false when it is out of
    // range for the table.
    bool TakeLength(size_t nIndex)
    {
        CPsiSection header;
        header.SetData(m_vPartial.data(), int(kShortHeader));
        const int nSectionLen = header.GetSectionLength();
        const uint8_t nTableId = header.GetTableId();
        const int nMax = nTableId <= 0x03 || (nTableId >= 0x40 && nTableId <= 0x7F)
                             ? kMaxPsiSectionLength
                             : kMaxPrivateSectionLength;
        if (nSectionLen > nMax ||
            (header.GetSectionSyntaxIndicator() && nSectionLen < kMinSyntaxLength)) {
            ++m_errors.nLength;
            Note(nIndex, "section_length " + std::to_string(nSectionLen) + " out of range");
            return false;
        }
        m_nNeed = kShortHeader + size_t(nSectionLen);
        return true;
    }

    void Complete()
    {
        Section section{m_nPid, m_nStart, true, std::move(m_vPartial)};
        m_vPartial.clear();
        CPsiSection psi;
        psi.SetData(section.bytes.data(), int(section.bytes.size()));
        if (psi.GetSectionSyntaxIndicator()) {
            section.bCrcOk = psi.CheckCrc32();
            if (!section.bCrcOk) {
                ++m_errors.nCrc;
                Note(m_nStart, "CRC_32 mismatch in table_id " + Hex(psi.GetTableId()));
            }
        }
        m_vOut.push_back(std::move(section));
    }

    void Cut(size_t nIndex, const char* szWhy)
    {
        ++m_errors.nIncomplete;
        Note(nIndex, szWhy);
        m_vPartial.clear();
    }

    void Note(size_t nIndex, const std::string& sWhat)
    {
        if (m_vNotes.size() < kMaxMessages) {
            m_vNotes.push_back("PID " + Hex(m_nPid) + " packet " + std::to_string(nIndex) + ": " +
                               sWhat);
        }
    }

    uint16_t m_nPid;
    std::vector<Section>& m_vOut;
    PsiErrors& m_errors;
    std::vector<std::string>& m_vNotes;
    Bytes m_vPartial;    // bytes of the section under assembly
    size_t m_nNeed = 0;  // its length when whole, bytes; 0 until the short header is in
    size_t m_nStart = 0; // packet where it started
    int m_nLastCc = -1;
};

} // namespace detail
} // namespace tsr
