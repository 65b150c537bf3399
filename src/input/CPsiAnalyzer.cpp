#include "input/CPsiAnalyzer.h"

#include "log/CLogger.h"
#include "ts/TsConstants.h"

#include <stdbool.h>
#include <stdint.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The report's texts; the Chinese words in GBK.
// "PAT 解析完毕，节目数量：%d\n"
constexpr const char* kPatLine =
    "PAT \xbd\xe2\xce\xf6\xcd\xea\xb1\xcf\xa3\xac\xbd\xda\xc4\xbf\xca\xfd"
    "\xc1\xbf\xa3\xba%d\n";
// "=============== PMT 解析信息 节目号:0x%02x (%d) ===============\n"
constexpr const char* kPmtHeaderLine = "=============== PMT \xbd\xe2\xce\xf6\xd0\xc5\xcf\xa2 "
                                       "\xbd\xda\xc4\xbf\xba\xc5:0x%02x (%d) ===============\n";
constexpr const char* kPcrLine = "PCR_PID=0x%x (%d)\n";
constexpr const char* kStreamLine = "es_pid=0x%02x (%d)  stream_type=0x%x\n";
constexpr const char* kClosingLine =
    "===========================================================\n";

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

int PidOf(const unsigned char* pPacket)
{
    return ((pPacket[1] & 0x1F) << 8) | pPacket[2];
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

} // namespace

void CPatDecoderDeleter::operator()(dvbpsi_s* pHandle) const noexcept
{
    if (dvbpsi_decoder_present(pHandle)) {
        dvbpsi_pat_detach(pHandle);
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

CPsiAnalyzer::CPsiAnalyzer(std::vector<_PROGRAM_INFO>* pPrograms,
                           std::vector<CProgramDescriptors>* pDescriptors)
    : m_pPrograms(pPrograms), m_pDescriptors(pDescriptors)
{
}

CPsiAnalyzer::~CPsiAnalyzer() = default;

bool CPsiAnalyzer::Analyze(const std::deque<unsigned char*>& queue, uint64_t nPushCount)
{
    if (m_bComplete) {
        return true;
    }
    const uint64_t nFront = nPushCount - queue.size(); // number of the oldest stored packet

    if (m_pmtInfos.empty()) {
        if (!m_pPatDecoder) {
            CPatDecoderPtr pDecoder(dvbpsi_new(OnDvbpsiMessage, DVBPSI_MSG_WARN));
            if (!pDecoder || !dvbpsi_pat_attach(pDecoder.get(), OnPat, this)) {
                return false; // tried again with the next packet
            }
            m_pPatDecoder = std::move(pDecoder);
        }
        uint64_t n = std::max(m_nPatNext, nFront);
        // The first PAT that names a program ends the search, in mid-pass,
        // so that the PMT decoders it creates see this pass's packets too.
        while (n < nPushCount && m_pmtInfos.empty()) {
            unsigned char* pPacket = queue[size_t(n - nFront)];
            ++n;
            if (pPacket[0] == kSyncByte && PidOf(pPacket) == kPidPat) {
                dvbpsi_packet_push(m_pPatDecoder.get(), pPacket);
            }
        }
        m_nPatNext = n;
        if (m_pmtInfos.empty()) {
            return false;
        }
        m_pPatDecoder.reset();
        m_nPmtNext = nFront;
    }

    for (uint64_t n = std::max(m_nPmtNext, nFront); n < nPushCount; ++n) {
        unsigned char* pPacket = queue[size_t(n - nFront)];
        if (pPacket[0] != kSyncByte) {
            continue;
        }
        const int nPid = PidOf(pPacket);
        // A PMT PID shared by several programs feeds each of their decoders;
        // each keeps its own program's section.
        for (auto& entry : m_pmtInfos) {
            _PMTINFO& info = entry.second;
            if (info.nPmtPid == nPid && info.hPmtDecoder) {
                dvbpsi_packet_push(info.hPmtDecoder.get(), pPacket);
            }
        }
    }
    m_nPmtNext = nPushCount;

    if (!AllParsed()) {
        return false;
    }
    for (auto& entry : m_pmtInfos) {
        entry.second.hPmtDecoder.reset();
    }
    m_bComplete = true;
    return true;
}

bool CPsiAnalyzer::AllParsed() const
{
    for (const auto& entry : m_pmtInfos) {
        if (!entry.second.bParsed) {
            return false;
        }
    }
    return !m_pmtInfos.empty();
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
        // Out of memory: the programs stay unknown; nothing may unwind into libdvbpsi.
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

void CPsiAnalyzer::HandlePat(const dvbpsi_pat_s& pat)
{
    // Only the first PAT that names a program is followed.
    const bool bTake = m_pmtInfos.empty();
    int nCount = 0;
    for (const dvbpsi_pat_program_t* pProgram = pat.p_first_program; pProgram != nullptr;
         pProgram = pProgram->p_next) {
        ++nCount;
        // Program 0 is the network PID: counted, but no program.
        if (!bTake || pProgram->i_number == 0 || m_pmtInfos.count(pProgram->i_number) != 0) {
            continue;
        }
        _PMTINFO info;
        info.nPmtPid = pProgram->i_pid;
        info.hPmtDecoder.reset(dvbpsi_new(OnDvbpsiMessage, DVBPSI_MSG_WARN));
        if (info.hPmtDecoder &&
            !dvbpsi_pmt_attach(info.hPmtDecoder.get(), pProgram->i_number, OnPmt, this)) {
            info.hPmtDecoder.reset();
        }
        m_pmtInfos.emplace(pProgram->i_number, std::move(info));
    }
    printf(kPatLine, nCount);
    fflush(stdout);
}

void CPsiAnalyzer::HandlePmt(const dvbpsi_pmt_s& pmt)
{
    printf(kPmtHeaderLine, pmt.i_program_number, pmt.i_program_number);
    printf(kPcrLine, pmt.i_pcr_pid, pmt.i_pcr_pid);
    auto it = m_pmtInfos.find(pmt.i_program_number);
    if (it == m_pmtInfos.end()) {
        fflush(stdout);
        return;
    }
    std::vector<_ES_INFO> vecEs;
    CProgramDescriptors descriptors;
    descriptors.nProgramNumber = pmt.i_program_number;
    descriptors.vProgramInfo = CopyDescriptors(pmt.p_first_descriptor);
    for (const dvbpsi_pmt_es_t* pEs = pmt.p_first_es; pEs != nullptr; pEs = pEs->p_next) {
        printf(kStreamLine, pEs->i_pid, pEs->i_pid, pEs->i_type);
        vecEs.push_back(_ES_INFO{pEs->i_pid, pEs->i_type});
        descriptors.vEs.push_back(CopyDescriptors(pEs->p_first_descriptor));
    }
    printf(kClosingLine);
    fflush(stdout);

    _PMTINFO& info = it->second;
    info.nPcrPid = pmt.i_pcr_pid;
    // A PMT decoded again changes nothing: the list holds each program once,
    // in the order their PMTs were first complete.
    if (!info.bParsed) {
        // Room first, so that the two lists cannot end up of different lengths.
        m_pPrograms->reserve(m_pPrograms->size() + 1);
        if (m_pDescriptors != nullptr) {
            m_pDescriptors->reserve(m_pDescriptors->size() + 1);
            m_pDescriptors->push_back(std::move(descriptors));
        }
        m_pPrograms->push_back(_PROGRAM_INFO{pmt.i_pcr_pid, info.nPmtPid, std::move(vecEs)});
        info.bParsed = true;
    }
}
