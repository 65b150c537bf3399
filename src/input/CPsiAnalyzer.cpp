#include "input/CPsiAnalyzer.h"

#include "log/CLogger.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <stdbool.h>
#include <stdint.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/sdt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The report's lines, logged at kLogReport so that a client's log handler
// gets them with the rest; the Chinese words in GBK.
// "PAT 解析完毕，节目数量：%d"
constexpr const char* kPatLine =
    "PAT \xbd\xe2\xce\xf6\xcd\xea\xb1\xcf\xa3\xac\xbd\xda\xc4\xbf\xca\xfd"
    "\xc1\xbf\xa3\xba%d";
// "=============== PMT 解析信息 节目号:0x%02x (%d) ==============="
constexpr const char* kPmtHeaderLine = "=============== PMT \xbd\xe2\xce\xf6\xd0\xc5\xcf\xa2 "
                                       "\xbd\xda\xc4\xbf\xba\xc5:0x%02x (%d) ===============";
constexpr const char* kPcrLine = "PCR_PID=0x%x (%d)";
constexpr const char* kStreamLine = "es_pid=0x%02x (%d)  stream_type=0x%x";
constexpr const char* kClosingLine =
    "===========================================================";

// libdvbpsi reports a packet pushed again with the same continuity counter
// as an error; the analyzer never does that on purpose, and a stream that
// repeats packets is no fault of ours to report.
void OnDvbpsiMessage(dvbpsi_t*, const dvbpsi_msg_level_t, const char* szMsg) noexcept
{
    if (szMsg == nullptr || strstr(szMsg, "TS duplicate") != nullptr) {
        return;
    }
    LogPrint(kLogDebug, "%s", szMsg);
}

CPmtDescriptorList CopyDescriptors(const dvbpsi_descriptor_t* pDescriptor)
{
    CPmtDescriptorList vList;
    for (; pDescriptor != nullptr; pDescriptor = pDescriptor->p_next) {
        CPmtDescriptor descriptor{pDescriptor->i_tag, {}};
        if (pDescriptor->p_data != nullptr) {
            descriptor.vData.assign(pDescriptor->p_data,
                                    pDescriptor->p_data + pDescriptor->i_length);
        }
        vList.push_back(std::move(descriptor));
    }
    return vList;
}

struct CPatDeleter
{
    void operator()(dvbpsi_pat_t* pPat) const noexcept { dvbpsi_pat_delete(pPat); }
};
struct CPmtDeleter
{
    void operator()(dvbpsi_pmt_t* pPmt) const noexcept { dvbpsi_pmt_delete(pPmt); }
};
struct CSdtDeleter
{
    void operator()(dvbpsi_sdt_t* pSdt) const noexcept { dvbpsi_sdt_delete(pSdt); }
};

constexpr uint8_t kTableIdSdtActual = 0x42;
constexpr uint8_t kTagService = 0x48;

bool SameProgram(const _PMTINFO& info, const _PROGRAM_INFO& program,
                 const CProgramDescriptors& descriptors)
{
    if (info.program.nPcrPid != program.nPcrPid ||
        info.program.vecEsInfo.size() != program.vecEsInfo.size() ||
        info.descriptors.vProgramInfo != descriptors.vProgramInfo ||
        info.descriptors.vEs.size() != descriptors.vEs.size()) {
        return false;
    }
    for (size_t i = 0; i < program.vecEsInfo.size(); ++i) {
        if (info.program.vecEsInfo[i].nPid != program.vecEsInfo[i].nPid ||
            info.program.vecEsInfo[i].nStreamType != program.vecEsInfo[i].nStreamType ||
            info.descriptors.vEs[i] != descriptors.vEs[i]) {
            return false;
        }
    }
    return true;
}

// service_type, provider name, service name from a service descriptor's
// body; false when the lengths run past it.
bool ParseServiceDescriptor(const dvbpsi_descriptor_t& d, CServiceInfo& info)
{
    const uint8_t* p = d.p_data;
    const int nLen = d.i_length;
    if (p == nullptr || nLen < 3) {
        return false;
    }
    const int nProvider = p[1];
    if (2 + nProvider + 1 > nLen) {
        return false;
    }
    const int nName = p[2 + nProvider];
    if (3 + nProvider + nName > nLen) {
        return false;
    }
    info.nServiceType = p[0];
    info.sProvider.assign(reinterpret_cast<const char*>(p + 2), size_t(nProvider));
    info.sName.assign(reinterpret_cast<const char*>(p + 3 + nProvider), size_t(nName));
    return true;
}

} // namespace

void CPatDecoderDeleter::operator()(dvbpsi_s* pHandle) const noexcept
{
    if (dvbpsi_decoder_present(pHandle)) {
        dvbpsi_pat_detach(pHandle);
    }
    dvbpsi_delete(pHandle);
}

void CDemuxDeleter::operator()(dvbpsi_s* pHandle) const noexcept
{
    if (dvbpsi_decoder_present(pHandle)) {
        dvbpsi_DetachDemux(pHandle); // and the subtable decoders on it
    }
    dvbpsi_delete(pHandle);
}

void CPmtDecoderDeleter::operator()(dvbpsi_s* pHandle) const noexcept
{
    if (dvbpsi_decoder_present(pHandle)) {
        dvbpsi_pmt_detach(pHandle);
    }
    dvbpsi_delete(pHandle);
}

CPsiAnalyzer::CPsiAnalyzer() : m_vTablePid(kPidCount, 0)
{
    m_vTablePid[kPidPat] = 1;
    m_vTablePid[kPidSdt] = 1;
    m_vTablePid[kPidCat] = 1;
}

CPsiAnalyzer::~CPsiAnalyzer() = default;

void CPsiAnalyzer::PushOne(const unsigned char* pPacket, bool bPatSdt)
{
    if (pPacket[0] != kSyncByte) {
        return;
    }
    const int nPid = CTsPacket::PidOf(pPacket);
    if (bPatSdt && nPid == kPidPat) {
        if (!m_pPatDecoder) {
            CPatDecoderPtr pDecoder(dvbpsi_new(OnDvbpsiMessage, DVBPSI_MSG_WARN));
            if (!pDecoder || !dvbpsi_pat_attach(pDecoder.get(), OnPat, this)) {
                return; // tried again with the next packet
            }
            m_pPatDecoder = std::move(pDecoder);
        }
        dvbpsi_packet_push(m_pPatDecoder.get(), const_cast<unsigned char*>(pPacket));
        return;
    }
    if (bPatSdt && nPid == kPidCat) {
        m_bChanged = m_cat.Push(pPacket) || m_bChanged;
        return;
    }
    if (bPatSdt && nPid == kPidSdt) {
        if (!m_pSdtDecoder) {
            CDemuxPtr pDecoder(dvbpsi_new(OnDvbpsiMessage, DVBPSI_MSG_WARN));
            if (!pDecoder || !dvbpsi_AttachDemux(pDecoder.get(), OnNewSubtable, this)) {
                return;
            }
            m_pSdtDecoder = std::move(pDecoder);
        }
        dvbpsi_packet_push(m_pSdtDecoder.get(), const_cast<unsigned char*>(pPacket));
        return;
    }
    // A PMT PID shared by several programs feeds each of their decoders;
    // each keeps its own program's section.
    for (auto& entry : m_pmtInfos) {
        _PMTINFO& info = entry.second;
        if (info.nPmtPid == nPid && info.hPmtDecoder) {
            dvbpsi_packet_push(info.hPmtDecoder.get(), const_cast<unsigned char*>(pPacket));
        }
    }
}

bool CPsiAnalyzer::Analyze(const std::deque<unsigned char*>& queue, uint64_t nPushCount)
{
    const uint64_t nFront = nPushCount - queue.size(); // number of the oldest stored packet
    if (!HasPat()) {
        uint64_t n = std::max(m_nPatNext, nFront);
        // The first PAT that names a program ends the search, in mid-pass,
        // so that the PMT decoders it creates see this pass's packets too.
        while (n < nPushCount && !HasPat()) {
            const unsigned char* pPacket = queue[size_t(n - nFront)];
            ++n;
            const int nPid = CTsPacket::PidOf(pPacket);
            if (nPid == kPidPat || nPid == kPidSdt || nPid == kPidCat) {
                PushOne(pPacket, true);
            }
        }
        m_nPatNext = n;
        if (!HasPat()) {
            return false;
        }
        m_nPmtNext = nFront;
    }
    for (uint64_t n = std::max(m_nPmtNext, nFront); n < nPushCount; ++n) {
        // PAT and SDT packets the search above has seen are not pushed again.
        PushOne(queue[size_t(n - nFront)], n >= m_nPatNext);
    }
    m_nPmtNext = nPushCount;
    m_nPatNext = std::max(m_nPatNext, nPushCount);
    // What changed during the analysis is part of the tables the input
    // becomes ready with, not a change after it.
    m_bChanged = false;
    return AllParsed();
}

bool CPsiAnalyzer::Push(const unsigned char* pPacket)
{
    PushOne(pPacket, true);
    const bool bChanged = m_bChanged;
    m_bChanged = false;
    return bChanged;
}

bool CPsiAnalyzer::AllParsed() const
{
    for (const auto& entry : m_pmtInfos) {
        if (!entry.second.bParsed && m_selection.Keeps(entry.first)) {
            return false;
        }
    }
    return !m_pmtInfos.empty();
}

void CPsiAnalyzer::GetTables(CInputTables& tables) const
{
    std::vector<const _PMTINFO*> vParsed;
    tables.vMissing.clear();
    for (const auto& entry : m_pmtInfos) {
        if (entry.second.bParsed) {
            vParsed.push_back(&entry.second);
        } else {
            tables.vMissing.push_back(CInputTables::CMissing{entry.first, entry.second.nPmtPid});
        }
    }
    // In the order the PMTs first completed, so that a program keeps its
    // place whatever comes and goes around it.
    std::sort(vParsed.begin(), vParsed.end(),
              [](const _PMTINFO* a, const _PMTINFO* b) { return a->nOrder < b->nOrder; });
    tables.vPrograms.clear();
    tables.vDescriptors.clear();
    for (const _PMTINFO* pInfo : vParsed) {
        tables.vPrograms.push_back(pInfo->program);
        tables.vDescriptors.push_back(pInfo->descriptors);
    }
    tables.services = m_services;
    tables.bHasCat = m_cat.HasCat();
    tables.vCat = m_cat.GetDescriptors();
    m_selection.Apply(tables);
}

bool CPsiAnalyzer::HasProgram() const
{
    for (const auto& entry : m_pmtInfos) {
        if (entry.second.bParsed) {
            return true;
        }
    }
    return false;
}

void CPsiAnalyzer::UpdateTablePids()
{
    std::fill(m_vTablePid.begin(), m_vTablePid.end(), 0);
    m_vTablePid[kPidPat] = 1;
    m_vTablePid[kPidSdt] = 1;
    m_vTablePid[kPidCat] = 1;
    for (const auto& entry : m_pmtInfos) {
        m_vTablePid[size_t(entry.second.nPmtPid & (kPidCount - 1))] = 1;
    }
}

void CPsiAnalyzer::OnPat(void* pData, dvbpsi_pat_s* pPat) noexcept
{
    std::unique_ptr<dvbpsi_pat_t, CPatDeleter> pTable(pPat);
    if (pData == nullptr || !pTable) {
        return;
    }
    try {
        static_cast<CPsiAnalyzer*>(pData)->HandlePat(*pTable);
    } catch (...) {
        // Out of memory: the programs stay as they were; nothing may unwind into libdvbpsi.
    }
}

void CPsiAnalyzer::OnPmt(void* pData, dvbpsi_pmt_s* pPmt) noexcept
{
    std::unique_ptr<dvbpsi_pmt_t, CPmtDeleter> pTable(pPmt);
    if (pData == nullptr || !pTable) {
        return;
    }
    try {
        static_cast<CPsiAnalyzer*>(pData)->HandlePmt(*pTable);
    } catch (...) {
        // As in OnPat.
    }
}

void CPsiAnalyzer::OnSdt(void* pData, dvbpsi_sdt_s* pSdt) noexcept
{
    std::unique_ptr<dvbpsi_sdt_t, CSdtDeleter> pTable(pSdt);
    if (pData == nullptr || !pTable) {
        return;
    }
    try {
        static_cast<CPsiAnalyzer*>(pData)->HandleSdt(*pTable);
    } catch (...) {
        // As in OnPat.
    }
}

void CPsiAnalyzer::OnNewSubtable(dvbpsi_s* pHandle, uint8_t nTableId, uint16_t nExtension,
                                 void* pData) noexcept
{
    // Only the SDT of this transport stream names its services; the SDT
    // other (0x46) describes someone else's.
    if (nTableId == kTableIdSdtActual) {
        dvbpsi_sdt_attach(pHandle, nTableId, nExtension, OnSdt, pData);
    }
}

void CPsiAnalyzer::HandlePat(const dvbpsi_pat_s& pat)
{
    if (!pat.b_current_next) {
        return;
    }
    int nCount = 0;
    std::map<int, int> programs; // program_number -> PMT PID
    for (const dvbpsi_pat_program_t* pProgram = pat.p_first_program; pProgram != nullptr;
         pProgram = pProgram->p_next) {
        ++nCount;
        // Program 0 is the network PID: counted, but no program.
        if (pProgram->i_number != 0) {
            programs.emplace(pProgram->i_number, pProgram->i_pid);
        }
    }
    LogPrint(kLogReport, kPatLine, nCount);
    // A PAT of the network PID alone says nothing yet: the search goes on.
    if (programs.empty() && m_pmtInfos.empty()) {
        return;
    }
    // Programs gone from the PAT go; new ones wait for their PMT. A program
    // whose PMT moves to another PID keeps what its last PMT said until the
    // new PID brings one, so that its streams flow on meanwhile.
    for (auto it = m_pmtInfos.begin(); it != m_pmtInfos.end();) {
        if (programs.count(it->first) == 0) {
            m_bChanged = m_bChanged || it->second.bParsed;
            it = m_pmtInfos.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& entry : programs) {
        _PMTINFO& info = m_pmtInfos[entry.first];
        if (info.hPmtDecoder && info.nPmtPid == entry.second) {
            continue;
        }
        info.nPmtPid = entry.second;
        info.program.nPmtPid = entry.second;
        info.hPmtDecoder.reset(dvbpsi_new(OnDvbpsiMessage, DVBPSI_MSG_WARN));
        if (info.hPmtDecoder &&
            !dvbpsi_pmt_attach(info.hPmtDecoder.get(), uint16_t(entry.first), OnPmt, this)) {
            info.hPmtDecoder.reset();
        }
    }
    UpdateTablePids();
}

void CPsiAnalyzer::HandlePmt(const dvbpsi_pmt_s& pmt)
{
    LogPrint(kLogReport, kPmtHeaderLine, pmt.i_program_number, pmt.i_program_number);
    LogPrint(kLogReport, kPcrLine, pmt.i_pcr_pid, pmt.i_pcr_pid);
    auto it = m_pmtInfos.find(pmt.i_program_number);
    if (it == m_pmtInfos.end() || !pmt.b_current_next) {
        return;
    }
    _PROGRAM_INFO program{};
    program.nPcrPid = pmt.i_pcr_pid;
    program.nPmtPid = it->second.nPmtPid;
    CProgramDescriptors descriptors;
    descriptors.nProgramNumber = pmt.i_program_number;
    descriptors.vProgramInfo = CopyDescriptors(pmt.p_first_descriptor);
    for (const dvbpsi_pmt_es_t* pEs = pmt.p_first_es; pEs != nullptr; pEs = pEs->p_next) {
        LogPrint(kLogReport, kStreamLine, pEs->i_pid, pEs->i_pid, pEs->i_type);
        program.vecEsInfo.push_back(_ES_INFO{pEs->i_pid, pEs->i_type});
        descriptors.vEs.push_back(CopyDescriptors(pEs->p_first_descriptor));
    }
    LogPrint(kLogReport, "%s", kClosingLine);

    _PMTINFO& info = it->second;
    // libdvbpsi delivers the same table again after a continuity jump.
    if (info.bParsed && SameProgram(info, program, descriptors)) {
        info.nVersion = pmt.i_version;
        return;
    }
    if (!info.bParsed) {
        info.nOrder = m_nNextOrder++;
    }
    info.nPcrPid = pmt.i_pcr_pid;
    info.nVersion = pmt.i_version;
    info.program = std::move(program);
    info.descriptors = std::move(descriptors);
    info.bParsed = true;
    m_bChanged = true;
}

void CPsiAnalyzer::HandleSdt(const dvbpsi_sdt_s& sdt)
{
    if (!sdt.b_current_next) {
        return;
    }
    CServiceMap services;
    for (const dvbpsi_sdt_service_t* pService = sdt.p_first_service; pService != nullptr;
         pService = pService->p_next) {
        for (const dvbpsi_descriptor_t* d = pService->p_first_descriptor; d != nullptr;
             d = d->p_next) {
            CServiceInfo info;
            info.bFreeCa = pService->b_free_ca;
            if (d->i_tag == kTagService && ParseServiceDescriptor(*d, info)) {
                services[pService->i_service_id] = std::move(info);
                break;
            }
        }
    }
    if (services != m_services) {
        m_services = std::move(services);
        m_bChanged = true;
    }
}
