#include "support/CTsReader.h"

#include "support/CSectionAssembler.h"

#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"
#include "ts/CTsWalker.h"
#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace tsr {

using namespace detail;

namespace {

constexpr uint8_t kAfcPayload = 0x1;

bool SamePayload(const CTsPacket& a, const CTsPacket& b)
{
    size_t nLenA = 0;
    size_t nLenB = 0;
    const uint8_t* pA = Payload(a, nLenA);
    const uint8_t* pB = Payload(b, nLenB);
    return nLenA == nLenB && (nLenA == 0 || std::memcmp(pA, pB, nLenA) == 0);
}

// nTo - nFrom across the 33-bit wrap, in ticks; a stream never jumps half a wrap.
int64_t PcrDifference(int64_t nFrom, int64_t nTo)
{
    const int64_t nDelta = PcrForwardDelta(nFrom, nTo);
    return nDelta > kPcrModulo / 2 ? nDelta - kPcrModulo : nDelta;
}


// Fields of the table loops, which have no accessor of their own.
uint16_t Get16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}
uint16_t Get13(const uint8_t* p)
{
    return uint16_t(((p[0] & 0x1F) << 8) | p[1]);
}
int Get12(const uint8_t* p)
{
    return ((p[0] & 0x0F) << 8) | p[1];
}

// Keeps a copy of every packet a walk finds.
class CCollector final : public ITsPacketSink
{
public:
    explicit CCollector(Bytes& vOut) : m_vOut(vOut) {}
    bool OnPacket(unsigned char* pPacket, long long /*llOffset*/) override
    {
        m_vOut.insert(m_vOut.end(), pPacket, pPacket + kTsPacketSize);
        return true;
    }

private:
    Bytes& m_vOut;
};

} // namespace

bool CTsReader::LoadFile(const std::string& sPath, std::string* pError)
{
    FILE* pFile = std::fopen(sPath.c_str(), "rb");
    if (!pFile) {
        if (pError) {
            *pError = sPath + ": " + std::strerror(errno);
        }
        return false;
    }
    Bytes vData;
    std::array<uint8_t, 1 << 16> vChunk;
    size_t nRead = 0;
    while ((nRead = std::fread(vChunk.data(), 1, vChunk.size(), pFile)) > 0) {
        vData.insert(vData.end(), vChunk.begin(), vChunk.begin() + long(nRead));
    }
    bool bOk = !std::ferror(pFile);
    std::fclose(pFile);
    if (!bOk) {
        if (pError) {
            *pError = sPath + ": read error";
        }
        return false;
    }
    Load(vData);
    return true;
}

void CTsReader::LoadBuffer(const uint8_t* pData, size_t nLen)
{
    Bytes vStream(pData, pData + nLen);
    Load(vStream);
}

void CTsReader::Load(Bytes& vStream)
{
    *this = CTsReader();
    CTsWalker walker;
    const int nLen = int(vStream.size());
    if (!walker.Start(vStream.data(), nLen, true)) {
        m_nTrailing = vStream.size();
        return;
    }
    CCollector sink(m_vData);
    m_nTrailing = size_t(walker.Walk(vStream.data(), nLen, true, sink));
    m_nSyncErrors = size_t(walker.GetSyncLosses());
    Analyse();
}

uint16_t CTsReader::GetPid(size_t nIndex) const
{
    return View(GetPacket(nIndex)).GetPid();
}

std::map<uint16_t, size_t> CTsReader::GetPidCounts() const
{
    std::map<uint16_t, size_t> counts;
    for (size_t i = 0; i < GetPacketCount(); ++i) {
        ++counts[GetPid(i)];
    }
    return counts;
}

std::vector<Bytes> CTsReader::GetPackets(uint16_t nPid) const
{
    std::vector<Bytes> vOut;
    for (size_t i = 0; i < GetPacketCount(); ++i) {
        if (GetPid(i) == nPid) {
            vOut.emplace_back(GetPacket(i), GetPacket(i) + kPacket);
        }
    }
    return vOut;
}

Bytes CTsReader::Comparable(const uint8_t* pPacket)
{
    Bytes v(pPacket, pPacket + kPacket);
    CTsPacket packet;
    if (packet.SetData(v.data())) {
        packet.SetPid(0);
        packet.SetPcr(0); // only where there is one
    }
    return v;
}

const Pmt* CTsReader::FindPmt(uint16_t nProgram) const
{
    auto it = m_pmts.find(nProgram);
    return it == m_pmts.end() ? nullptr : &it->second;
}

PsiErrors CTsReader::GetPsiErrors() const
{
    PsiErrors total;
    for (const auto& [nPid, errors] : m_psiErrors) {
        total.nCrc += errors.nCrc;
        total.nLength += errors.nLength;
        total.nIncomplete += errors.nIncomplete;
    }
    return total;
}

PsiErrors CTsReader::GetPsiErrors(uint16_t nPid) const
{
    auto it = m_psiErrors.find(nPid);
    return it == m_psiErrors.end() ? PsiErrors() : it->second;
}

int CTsReader::GetCcErrors() const
{
    int nTotal = 0;
    for (const auto& [nPid, nErrors] : m_ccErrors) {
        nTotal += nErrors;
    }
    return nTotal;
}

int CTsReader::GetCcErrors(uint16_t nPid) const
{
    auto it = m_ccErrors.find(nPid);
    return it == m_ccErrors.end() ? 0 : it->second;
}

const std::vector<PcrSample>& CTsReader::GetPcrs(uint16_t nPid) const
{
    static const std::vector<PcrSample> kNone;
    auto it = m_pcrs.find(nPid);
    return it == m_pcrs.end() ? kNone : it->second;
}

std::set<uint16_t> CTsReader::GetPcrPids() const
{
    std::set<uint16_t> pids;
    for (const auto& entry : m_pcrs) {
        pids.insert(entry.first);
    }
    return pids;
}

PcrAccuracy CTsReader::CheckPcrAccuracy(uint16_t nPid, double fRateBitPerSec) const
{
    PcrAccuracy result;
    const std::vector<PcrSample>& vPcrs = GetPcrs(nPid);
    const PcrSample* pRef = nullptr;
    const PcrSample* pPrev = nullptr;
    for (const PcrSample& sample : vPcrs) {
        if (!pRef || sample.bDiscontinuity) {
            pRef = &sample;
            pPrev = &sample;
            continue;
        }
        double fBits = double(sample.nPacket - pRef->nPacket) * kPacket * 8;
        double fExpected = fBits * double(kPcrHz) / fRateBitPerSec;
        double fDevNs = (double(PcrDifference(pRef->nPcr, sample.nPcr)) - fExpected) * 1e9 / kPcrHz;
        double fGapMs = double(PcrDifference(pPrev->nPcr, sample.nPcr)) * 1e3 / kPcrHz;
        ++result.nChecked;
        result.fMinNs = std::min(result.fMinNs, fDevNs);
        result.fMaxNs = std::max(result.fMaxNs, fDevNs);
        result.fMaxAbsNs = std::max(result.fMaxAbsNs, std::fabs(fDevNs));
        result.fMaxGapMs = std::max(result.fMaxGapMs, fGapMs);
        pPrev = &sample;
    }
    return result;
}

Repetition CTsReader::GetRepetition(uint16_t nPid, double fRateBitPerSec) const
{
    Repetition result;
    size_t nLast = 0;
    for (const Section& section : m_vSections) {
        if (section.nPid != nPid || !section.bCrcOk) {
            continue;
        }
        if (result.nCount == 0) {
            result.nFirstPacket = section.nPacket;
        } else {
            result.nMaxGapPackets = std::max(result.nMaxGapPackets, section.nPacket - nLast);
        }
        nLast = section.nPacket;
        ++result.nCount;
    }
    result.fMaxGapMs = double(result.nMaxGapPackets) * kPacket * 8 * 1e3 / fRateBitPerSec;
    return result;
}

void CTsReader::Analyse()
{
    std::vector<int> vLastCc(kPidCount, -1);
    std::vector<size_t> vLastIndex(kPidCount, 0);
    std::vector<bool> vDuplicated(kPidCount, false);
    for (size_t i = 0; i < GetPacketCount(); ++i) {
        const CTsPacket packet = View(GetPacket(i));
        const uint16_t nPid = packet.GetPid();
        const bool bDiscontinuity = packet.GetDiscontinuityIndicator();
        if (packet.HasPcr()) {
            m_pcrs[nPid].push_back({i, packet.GetPcr(), bDiscontinuity});
        }
        // The counter only counts packets with payload; null packets have none that matters.
        if (nPid == kPidNull || !(packet.GetAdaptationFieldControl() & kAfcPayload)) {
            continue;
        }
        const int nCc = packet.GetContinuityCounter();
        int& nLast = vLastCc[nPid];
        bool bOk = nLast < 0 || bDiscontinuity || nCc == ((nLast + 1) & kCcMask);
        bool bDuplicate = false;
        if (!bOk && nCc == nLast && !vDuplicated[nPid]) {
            // One repetition of a packet is allowed, and only of the same packet.
            bDuplicate = SamePayload(packet, View(GetPacket(vLastIndex[nPid])));
            bOk = bDuplicate;
        }
        if (!bOk) {
            ++m_ccErrors[nPid];
            Note("PID " + Hex(nPid) + " packet " + std::to_string(i) + ": continuity counter " +
                 std::to_string(nCc) + " after " + std::to_string(nLast));
        }
        vDuplicated[nPid] = bDuplicate;
        nLast = nCc;
        vLastIndex[nPid] = i;
    }

    std::set<uint16_t> vFixed{kPidPat, kPidCat, kPidNit, kPidSdt};
    CollectSections(vFixed);
    std::set<uint16_t> vMore;
    for (const auto& [nProgram, nPmtPid] : m_pat.programs) {
        if (!vFixed.count(nPmtPid)) {
            vMore.insert(nPmtPid);
        }
    }
    if (m_pat.nNetworkPid >= 0 && !vFixed.count(uint16_t(m_pat.nNetworkPid))) {
        vMore.insert(uint16_t(m_pat.nNetworkPid));
    }
    CollectSections(vMore);
    std::stable_sort(m_vSections.begin(), m_vSections.end(),
                     [](const Section& a, const Section& b) { return a.nPacket < b.nPacket; });
}

void CTsReader::CollectSections(const std::set<uint16_t>& vPids)
{
    std::vector<Section> vNew;
    std::map<uint16_t, CSectionAssembler> assemblers;
    for (uint16_t nPid : vPids) {
        assemblers.emplace(std::piecewise_construct, std::forward_as_tuple(nPid),
                           std::forward_as_tuple(nPid, vNew, m_psiErrors[nPid], m_vMessages));
    }
    for (size_t i = 0; i < GetPacketCount(); ++i) {
        const CTsPacket packet = View(GetPacket(i));
        auto it = assemblers.find(packet.GetPid());
        if (it != assemblers.end()) {
            it->second.Feed(i, packet);
        }
    }
    for (auto& entry : assemblers) {
        entry.second.Finish(GetPacketCount());
    }
    for (const Section& section : vNew) {
        if (section.bCrcOk) {
            ParseSection(section);
        }
    }
    m_vSections.insert(m_vSections.end(), vNew.begin(), vNew.end());
}

// The last good section of each table wins; a table that spans several
// sections collects their entries (a new version starts afresh).
void CTsReader::ParseSection(const Section& section)
{
    CPsiSection psi;
    psi.SetData(section.bytes.data(), int(section.bytes.size()));
    int nBody = 0;
    const uint8_t* p = psi.GetSectionSyntaxIndicator() ? psi.GetBody(nBody) : nullptr;
    if (p == nullptr) {
        return;
    }
    const uint8_t* pEnd = p + nBody;
    const uint8_t nTableId = psi.GetTableId();
    const uint16_t nExt = psi.GetTableIdExtension();
    const uint8_t nVersion = psi.GetVersionNumber();
    bool bNewVersion = false;

    if (section.nPid == kPidPat && nTableId == 0x00) {
        bNewVersion = !m_bPat || m_pat.nVersion != nVersion || m_pat.nTsId != nExt;
        if (bNewVersion) {
            m_pat = Pat();
        }
        m_bPat = true;
        m_pat.nTsId = nExt;
        m_pat.nVersion = nVersion;
        for (; p + 4 <= pEnd; p += 4) {
            uint16_t nProgram = Get16(p);
            uint16_t nPid = Get13(p + 2);
            if (nProgram == 0) {
                m_pat.nNetworkPid = nPid;
            } else {
                m_pat.programs[nProgram] = nPid;
            }
        }
    } else if (nTableId == 0x02) {
        if (p + 4 > pEnd) {
            return;
        }
        Pmt pmt{nExt, section.nPid, Get13(p), nVersion, {}, {}};
        int nInfoLen = Get12(p + 2);
        p += 4;
        if (p + nInfoLen > pEnd) {
            Note("PID " + Hex(section.nPid) + ": program_info_length beyond the section");
            return;
        }
        pmt.programInfo.assign(p, p + nInfoLen);
        p += nInfoLen;
        while (p + 5 <= pEnd) {
            int nEsInfoLen = Get12(p + 3);
            if (p + 5 + nEsInfoLen > pEnd) {
                Note("PID " + Hex(section.nPid) + ": ES_info_length beyond the section");
                return;
            }
            pmt.streams.push_back({p[0], Get13(p + 1), Bytes(p + 5, p + 5 + nEsInfoLen)});
            p += 5 + nEsInfoLen;
        }
        m_firstPmts.emplace(nExt, pmt);
        m_pmts[nExt] = std::move(pmt);
    } else if (section.nPid == kPidCat && nTableId == 0x01) {
        m_bCat = true;
        m_vCat.assign(p, pEnd);
    } else if (section.nPid == kPidSdt && nTableId == 0x42) {
        bNewVersion = !m_bSdt || m_sdt.nVersion != nVersion || m_sdt.nTsId != nExt;
        if (bNewVersion) {
            m_sdt = Sdt();
        }
        m_bSdt = true;
        m_sdt.nTsId = nExt;
        m_sdt.nVersion = nVersion;
        m_sdt.nOnid = Get16(p);
        p += 3;
        while (p + 5 <= pEnd) {
            int nLoopLen = Get12(p + 3);
            if (p + 5 + nLoopLen > pEnd) {
                Note("PID 0x0011: descriptors_loop_length beyond the section");
                return;
            }
            SdtService service{Get16(p), uint8_t(p[3] >> 5), (p[3] & 0x10) != 0,
                               Bytes(p + 5, p + 5 + nLoopLen)};
            auto it = std::find_if(
                m_sdt.services.begin(), m_sdt.services.end(),
                [&](const SdtService& s2) { return s2.nServiceId == service.nServiceId; });
            if (it == m_sdt.services.end()) {
                m_sdt.services.push_back(std::move(service));
            } else {
                *it = std::move(service);
            }
            p += 5 + nLoopLen;
        }
    } else if (nTableId == 0x40) {
        bNewVersion = !m_bNit || m_nit.nVersion != nVersion || m_nit.nNetworkId != nExt;
        if (bNewVersion) {
            m_nit = Nit();
        }
        m_bNit = true;
        m_nit.nTableId = nTableId;
        m_nit.nNetworkId = nExt;
        m_nit.nVersion = nVersion;
        if (p + 2 > pEnd) {
            return;
        }
        int nDescLen = Get12(p);
        p += 2;
        if (p + nDescLen + 2 > pEnd) {
            Note("NIT: network_descriptors_length beyond the section");
            return;
        }
        m_nit.descriptors.insert(m_nit.descriptors.end(), p, p + nDescLen);
        p += nDescLen;
        int nLoopLen = Get12(p);
        p += 2;
        const uint8_t* pLoopEnd = std::min(pEnd, p + nLoopLen);
        while (p + 6 <= pLoopEnd) {
            int nTsDescLen = Get12(p + 4);
            if (p + 6 + nTsDescLen > pLoopEnd) {
                Note("NIT: transport_descriptors_length beyond the loop");
                return;
            }
            m_nit.streams.push_back({Get16(p), Get16(p + 2), Bytes(p + 6, p + 6 + nTsDescLen)});
            p += 6 + nTsDescLen;
        }
    }
}

void CTsReader::Note(const std::string& sMessage)
{
    if (m_vMessages.size() < kMaxMessages) {
        m_vMessages.push_back(sMessage);
    }
}

} // namespace tsr
