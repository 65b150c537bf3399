#include "mux/CPsiBuilder.h"

#include "input/CaPids.h"
#include "log/CLogger.h"
#include "mux/DvbText.h"
#include "mux/PmtDescriptors.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

// libdvbpsi's headers need these first, in this order.
#include <dvbpsi/descriptor.h>
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>
#include <stdbool.h>
#include <stdint.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace {

// Byte 1 of a PSI packet before the PID goes in: the packet that starts a
// section has payload_unit_start_indicator set; every PSI packet has
// transport_priority set.
constexpr unsigned char kPsiFirstFlags = 0x60;
constexpr unsigned char kPsiNextFlags = 0x20;
constexpr unsigned char kPayloadOnlyCc0 = 0x10; // not scrambled, payload only, counter 0
constexpr int kTsHeaderBytes = 4;

using CSectionList = std::unique_ptr<dvbpsi_psi_section_t, decltype(&dvbpsi_DeletePSISections)>;
using CDvbpsiHandle = std::unique_ptr<dvbpsi_t, decltype(&dvbpsi_delete)>;

// A libdvbpsi table on the stack, emptied on every way out. Zeroed first, so
// emptying a table that init never reached frees nothing.
template <typename T, void (*Empty)(T*)> struct CTable
{
    CTable() noexcept { std::memset(&t, 0, sizeof(t)); }
    ~CTable() { Empty(&t); }
    CTable(const CTable&) = delete;
    CTable& operator=(const CTable&) = delete;
    T t;
};

void DvbpsiMessage(dvbpsi_t*, const dvbpsi_msg_level_t nLevel, const char* szMsg) noexcept
{
    const int nLogLevel = nLevel == DVBPSI_MSG_ERROR  ? kLogError
                          : nLevel == DVBPSI_MSG_WARN ? kLogWarning
                                                      : kLogDebug;
    LogPrint(nLogLevel, "mux: PSI generation: %s", szMsg);
}

bool IsPid(int nPid)
{
    return nPid >= 0 && nPid < kPidCount;
}

// libdvbpsi copies the body, but takes it through a pointer to non-const.
uint8_t* DescriptorData(const CPmtDescriptor& d)
{
    static uint8_t nNone = 0; // an empty body still gets a valid pointer
    return d.vData.empty() ? &nNone : const_cast<uint8_t*>(d.vData.data());
}

int CountSections(const dvbpsi_psi_section_t* pSection)
{
    int n = 0;
    for (; pSection != nullptr; pSection = pSection->p_next) {
        ++n;
    }
    return n;
}

} // namespace

void CPsiBuilder::AddInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                           const std::vector<CProgramDescriptors>* pDescriptors)
{
    // Output PIDs given to this input's PIDs so far. The PID map translates a
    // PID one way only, so a PID that two programs share (a common PCR, a
    // shared stream) keeps the output PID it got first.
    std::map<int, int> assigned;

    for (size_t nProgram = 0; nProgram < programs.size(); ++nProgram) {
        const _PROGRAM_INFO& in = programs[nProgram];
        const CProgramDescriptors* pIn = pDescriptors != nullptr && nProgram < pDescriptors->size()
                                             ? &(*pDescriptors)[nProgram]
                                             : nullptr;
        // Users know a program by its program_number; its place in the list
        // (the order the PMTs completed) only stands in when that is unknown.
        const int nInNumber = pIn != nullptr ? pIn->nProgramNumber : -1;
        char szInProgram[64];
        snprintf(szInProgram, sizeof(szInProgram), "input %d program %d", nInput,
                 nInNumber >= 0 ? nInNumber : int(nProgram + 1));
        COutProgram out;
        out.nProgramNumber = m_nNextProgram;
        out.nPmtPid = m_nNextPmtPid;
        out.nPcrPid = kPidNull;
        out.nInput = nInput;

        std::map<int, int> added; // this program's new entries, kept only if it fits
        std::set<int> listed;     // input PIDs already in this program's PMT
        auto Lookup = [&](int nPid) {
            auto it = added.find(nPid);
            if (it != added.end()) {
                return it->second;
            }
            it = assigned.find(nPid);
            return it != assigned.end() ? it->second : -1;
        };

        // PMT PID + 1 stays held for a PCR of its own; streams follow it.
        int nNextPid = out.nPmtPid + 2;
        if (pIn != nullptr) {
            out.descriptors.vProgramInfo = pIn->vProgramInfo;
            out.descriptors.nProgramNumber = pIn->nProgramNumber;
        }
        for (size_t nEs = 0; nEs < in.vecEsInfo.size(); ++nEs) {
            const _ES_INFO& es = in.vecEsInfo[nEs];
            if (!IsPid(es.nPid) || !listed.insert(es.nPid).second) {
                continue;
            }
            int nOut = Lookup(es.nPid);
            if (nOut < 0) {
                nOut = nNextPid++;
                added[es.nPid] = nOut;
            }
            out.vEs.push_back(_ES_INFO{nOut, es.nStreamType});
            out.descriptors.vEs.push_back(
                pIn != nullptr && nEs < pIn->vEs.size() ? pIn->vEs[nEs] : CPmtDescriptorList());
        }
        // A PCR carried on one of the streams (as most encoders do) leaves on
        // that stream's output PID, so that PMT, restamping and packets agree.
        if (IsPid(in.nPcrPid) && in.nPcrPid != kPidNull) {
            int nOut = Lookup(in.nPcrPid);
            if (nOut < 0) {
                nOut = out.nPmtPid + 1;
                added[in.nPcrPid] = nOut;
            }
            out.nPcrPid = nOut;
            out.nPmtPcrPid = nOut;
        }
        if (m_bCaPass) {
            PassEcmPids(out, szInProgram, [&](int nPid) {
                int nOut = Lookup(nPid);
                if (nOut < 0) {
                    nOut = nNextPid++;
                    added[nPid] = nOut;
                }
                return nOut;
            });
        }
        const int nLastPid = std::max(out.nPmtPid + 1, nNextPid - 1);

        if (out.vEs.size() > size_t(kMaxPmtStreams)) {
            LogPrint(kLogError,
                     "mux: %s (PMT PID 0x%04X) left out: %zu streams, a PMT carries at most %d",
                     szInProgram, unsigned(in.nPmtPid), out.vEs.size(), kMaxPmtStreams);
            m_vOmitted.push_back(COmitted{nInput, nInNumber, in.nPmtPid});
            continue;
        }
        if (nLastPid > kLastUsablePid || out.nProgramNumber > kLastProgramNumber) {
            LogPrint(kLogError,
                     "mux: %s (PMT PID 0x%04X) left out: no output PIDs left (it would need "
                     "PIDs %d to %d)",
                     szInProgram, unsigned(in.nPmtPid), out.nPmtPid, nLastPid);
            m_vOmitted.push_back(COmitted{nInput, nInNumber, in.nPmtPid});
            continue;
        }

        char szNamed[96];
        snprintf(szNamed, sizeof(szNamed), "%s, PMT PID 0x%04X", szInProgram, unsigned(in.nPmtPid));
        FitDescriptors(out, szNamed, m_bCaPass);

        for (const auto& entry : added) {
            pPidMap[entry.first] = entry.second;
            assigned.insert(entry);
            m_vUsed[size_t(entry.second)] = 1;
        }
        // The PMT PID and the PCR PID next to it stay the program's.
        m_vUsed[size_t(out.nPmtPid)] = 1;
        m_vUsed[size_t(out.nPmtPid + 1)] = 1;
        m_vPrograms.push_back(std::move(out));
        ++m_nNextProgram;
        // A program of more than eight streams would run into the next
        // program's PIDs; the next PMT PID then skips past its last one.
        do {
            m_nNextPmtPid += kPmtPidStep;
        } while (m_nNextPmtPid <= nLastPid);
    }
}

bool CPsiBuilder::IsOmitted(int nInput, int nProgramNumber) const
{
    for (const COmitted& omitted : m_vOmitted) {
        if (omitted.nInput == nInput && omitted.nProgramNumber == nProgramNumber) {
            return true;
        }
    }
    return false;
}

int CPsiBuilder::TakeFreePid(int nPmtPid, const char* szInProgram)
{
    for (int nPid = nPmtPid + 2; nPid < nPmtPid + kPmtPidStep && nPid <= kLastUsablePid; ++nPid) {
        if (m_vUsed[size_t(nPid)] == 0) {
            m_vUsed[size_t(nPid)] = 1;
            return nPid;
        }
    }
    // From the top down, so that the blocks of programs still to come,
    // which grow upwards, stay free.
    for (int nPid = kLastUsablePid; nPid > kPidSdt; --nPid) {
        if (m_vUsed[size_t(nPid)] == 0) {
            m_vUsed[size_t(nPid)] = 1;
            LogPrint(kLogWarning,
                     "mux: %s: its PIDs 0x%04X to 0x%04X are all taken; PID 0x%04X given instead",
                     szInProgram, unsigned(nPmtPid), unsigned(nPmtPid + kPmtPidStep - 1),
                     unsigned(nPid));
            return nPid;
        }
    }
    LogPrint(kLogError, "mux: %s: no output PID left for a new stream; it is left out",
             szInProgram);
    return -1;
}

bool CPsiBuilder::UpdateInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                              const std::vector<CProgramDescriptors>& descriptors)
{
    bool bChanged = false;
    std::vector<uint8_t> vSeen(m_vPrograms.size(), 0);
    for (size_t n = 0; n < programs.size() && n < descriptors.size(); ++n) {
        const _PROGRAM_INFO& in = programs[n];
        const CProgramDescriptors& inDescriptors = descriptors[n];
        const int nInNumber = inDescriptors.nProgramNumber;
        if (IsOmitted(nInput, nInNumber)) {
            continue;
        }
        char szInProgram[64];
        snprintf(szInProgram, sizeof(szInProgram), "input %d program %d", nInput, nInNumber);
        size_t nOut = 0;
        for (; nOut < m_vPrograms.size(); ++nOut) {
            const COutProgram& known = m_vPrograms[nOut];
            if (known.nInput == nInput && known.descriptors.nProgramNumber == nInNumber) {
                break;
            }
        }
        if (nOut == m_vPrograms.size()) {
            while (
                m_nNextPmtPid + 1 <= kLastUsablePid &&
                (m_vUsed[size_t(m_nNextPmtPid)] != 0 || m_vUsed[size_t(m_nNextPmtPid + 1)] != 0)) {
                m_nNextPmtPid += kPmtPidStep;
            }
            if (m_nNextPmtPid + 1 > kLastUsablePid || m_nNextProgram > kLastProgramNumber) {
                LogPrint(kLogError, "mux: %s (PMT PID 0x%04X) left out: no output PIDs left",
                         szInProgram, unsigned(in.nPmtPid));
                m_vOmitted.push_back(COmitted{nInput, nInNumber, in.nPmtPid});
                continue;
            }
            COutProgram out;
            out.nProgramNumber = m_nNextProgram++;
            out.nPmtPid = m_nNextPmtPid;
            out.nPcrPid = kPidNull;
            out.nInput = nInput;
            out.bOn = false; // switched on below
            out.descriptors.nProgramNumber = nInNumber;
            m_vUsed[size_t(out.nPmtPid)] = 1;
            m_vUsed[size_t(out.nPmtPid + 1)] = 1;
            m_nNextPmtPid += kPmtPidStep;
            LogPrint(kLogWarning, "mux: %s: new program %d on PMT PID 0x%04X", szInProgram,
                     out.nProgramNumber, unsigned(out.nPmtPid));
            m_vPrograms.push_back(std::move(out));
            vSeen.push_back(0);
        }
        vSeen[nOut] = 1;
        const int nPmtPid = m_vPrograms[nOut].nPmtPid;

        COutProgram next;
        next.nProgramNumber = m_vPrograms[nOut].nProgramNumber;
        next.nPmtPid = nPmtPid;
        next.nPcrPid = kPidNull;
        next.nInput = nInput;
        next.descriptors.vProgramInfo = inDescriptors.vProgramInfo;
        next.descriptors.nProgramNumber = nInNumber;
        auto Give = [&](int nInPid, int nOutPid) {
            pPidMap[nInPid] = nOutPid;
            LogPrint(kLogWarning, "mux: %s: stream PID 0x%04X -> 0x%04X", szInProgram,
                     unsigned(nInPid), unsigned(nOutPid));
        };
        std::set<int> listed;
        for (size_t nEs = 0; nEs < in.vecEsInfo.size(); ++nEs) {
            const _ES_INFO& es = in.vecEsInfo[nEs];
            if (!IsPid(es.nPid) || !listed.insert(es.nPid).second) {
                continue;
            }
            int nOutPid = pPidMap[es.nPid];
            if (nOutPid < 0) {
                nOutPid = TakeFreePid(nPmtPid, szInProgram);
                if (nOutPid < 0) {
                    continue;
                }
                Give(es.nPid, nOutPid);
            }
            next.vEs.push_back(_ES_INFO{nOutPid, es.nStreamType});
            next.descriptors.vEs.push_back(nEs < inDescriptors.vEs.size() ? inDescriptors.vEs[nEs]
                                                                          : CPmtDescriptorList());
        }
        if (IsPid(in.nPcrPid) && in.nPcrPid != kPidNull) {
            int nOutPid = pPidMap[in.nPcrPid];
            if (nOutPid < 0) {
                // The PID next to the PMT PID is held for a PCR of its own,
                // unless an earlier one of the program has it.
                const bool bHeldFree =
                    std::find(pPidMap, pPidMap + kPidCount, nPmtPid + 1) == pPidMap + kPidCount;
                nOutPid = bHeldFree ? nPmtPid + 1 : TakeFreePid(nPmtPid, szInProgram);
                if (nOutPid >= 0) {
                    Give(in.nPcrPid, nOutPid);
                }
            }
            next.nPcrPid = nOutPid >= 0 ? nOutPid : kPidNull;
            next.nPmtPcrPid = next.nPcrPid;
        }
        if (m_bCaPass) {
            PassEcmPids(next, szInProgram, [&](int nPid) {
                if (pPidMap[nPid] < 0) {
                    const int nOutPid = TakeFreePid(nPmtPid, szInProgram);
                    if (nOutPid >= 0) {
                        Give(nPid, nOutPid);
                    }
                }
                return pPidMap[nPid];
            });
        }
        // PCRs that moved to a stream stay there while the input's PMT names
        // what it named and the stream stays in the program.
        const COutProgram& before = m_vPrograms[nOut];
        if (before.nPcrPid != before.nPmtPcrPid && next.nPmtPcrPid == before.nPmtPcrPid &&
            std::any_of(next.vEs.begin(), next.vEs.end(),
                        [&](const _ES_INFO& es) { return es.nPid == before.nPcrPid; })) {
            next.nPcrPid = before.nPcrPid;
        }
        if (next.vEs.size() > size_t(kMaxPmtStreams)) {
            LogPrint(kLogError, "mux: %s: %zu streams, a PMT carries at most %d; its tables stay",
                     szInProgram, next.vEs.size(), kMaxPmtStreams);
            continue;
        }
        char szNamed[96];
        snprintf(szNamed, sizeof(szNamed), "%s, PMT PID 0x%04X", szInProgram, unsigned(in.nPmtPid));
        FitDescriptors(next, szNamed, m_bCaPass);

        COutProgram& out = m_vPrograms[nOut];
        const bool bSame = out.bOn && out.nPcrPid == next.nPcrPid &&
                           out.vEs.size() == next.vEs.size() &&
                           std::equal(out.vEs.begin(), out.vEs.end(), next.vEs.begin(),
                                      [](const _ES_INFO& a, const _ES_INFO& b) {
                                          return a.nPid == b.nPid && a.nStreamType == b.nStreamType;
                                      }) &&
                           out.descriptors.vProgramInfo == next.descriptors.vProgramInfo &&
                           out.descriptors.vEs == next.descriptors.vEs;
        if (!bSame) {
            out = std::move(next);
            bChanged = true;
        } else {
            out.nPmtPcrPid = next.nPmtPcrPid; // what the input names, though the PMT stays
        }
    }
    for (size_t i = 0; i < m_vPrograms.size(); ++i) {
        COutProgram& out = m_vPrograms[i];
        if (out.nInput == nInput && out.bOn && vSeen[i] == 0) {
            out.bOn = false;
            bChanged = true;
            LogPrint(kLogWarning,
                     "mux: input %d program %d: gone from its PAT; program %d leaves the tables",
                     nInput, out.descriptors.nProgramNumber, out.nProgramNumber);
        }
    }
    return bChanged;
}

bool CPsiBuilder::MovePcrPid(size_t nProgram, int nPid)
{
    if (nProgram >= m_vPrograms.size() || m_vPrograms[nProgram].nPcrPid == nPid) {
        return false;
    }
    m_vPrograms[nProgram].nPcrPid = nPid;
    return m_vPrograms[nProgram].bOn;
}

const CServiceInfo* CPsiBuilder::FindService(const COutProgram& program) const
{
    if (!m_bServiceNames) {
        return nullptr;
    }
    const auto itInput = m_services.find(program.nInput);
    if (itInput == m_services.end()) {
        return nullptr;
    }
    const auto it = itInput->second.find(program.descriptors.nProgramNumber);
    return it != itInput->second.end() ? &it->second : nullptr;
}

bool CPsiBuilder::SetServices(int nInput, const CServiceMap& services)
{
    CServiceMap& current = m_services[nInput];
    if (current == services) {
        return false;
    }
    // The names go out with service names, free_CA_mode with CA passing.
    bool bNamesChanged = current.size() != services.size();
    bool bFreeCaChanged = bNamesChanged;
    for (const auto& entry : services) {
        const auto it = current.find(entry.first);
        if (it == current.end()) {
            bNamesChanged = bFreeCaChanged = true;
            continue;
        }
        CServiceInfo names = it->second;
        names.bFreeCa = entry.second.bFreeCa;
        bNamesChanged = bNamesChanged || !(names == entry.second);
        bFreeCaChanged = bFreeCaChanged || it->second.bFreeCa != entry.second.bFreeCa;
    }
    current = services;
    return (m_bServiceNames && bNamesChanged) || (m_bCaPass && bFreeCaChanged);
}

bool CPsiBuilder::SetCat(int nInput, const CInputTables& tables, int* pPidMap)
{
    return m_bCaPass && m_cat.SetInput(nInput, tables.bHasCat, tables.vCat, pPidMap, m_vUsed);
}

void CPsiBuilder::PassEcmPids(COutProgram& out, const char* szInProgram,
                              const std::function<int(int)>& OutPid) const
{
    const int nLeftOut = PassCaDescriptors(out.descriptors, OutPid);
    if (nLeftOut > 0) {
        LogPrint(kLogWarning,
                 "mux: program %d (%s): %d CA descriptors left out: they name no PID the "
                 "multiplex can carry",
                 out.nProgramNumber, szInProgram, nLeftOut);
    }
}

bool CPsiBuilder::IsFreeCa(const COutProgram& program) const
{
    const auto itInput = m_services.find(program.nInput);
    if (itInput != m_services.end()) {
        const auto it = itInput->second.find(program.descriptors.nProgramNumber);
        if (it != itInput->second.end()) {
            return it->second.bFreeCa;
        }
    }
    // An input without an SDT entry for it: scrambled where its PMT says how.
    return HasCaDescriptors(program.descriptors);
}

void CPsiBuilder::FitDescriptors(COutProgram& out, const char* szInProgram, bool bCaPass)
{
    // The packets stay scrambled, but a receiver cannot get at their keys:
    // the CA descriptors name ECM PIDs that no output PID carries.
    if (!bCaPass && RemoveCaDescriptors(out.descriptors) > 0) {
        LogPrint(kLogWarning,
                 "mux: program %d (%s) is scrambled: its CA descriptors are left out, the "
                 "multiplex does not carry its ECM PIDs",
                 out.nProgramNumber, szInProgram);
    }
    // One section is all a PMT may have; libdvbpsi would quietly drop what
    // does not fit, or open a second section.
    const CPmtFit fit = FitPmtSection(out.descriptors, out.vEs.size(), kMaxSectionBytes);
    if (fit.nDropped > 0) {
        LogPrint(kLogWarning,
                 "mux: program %d (%s): %d descriptors left out of its PMT, whose section "
                 "would be %d bytes (at most %d)",
                 out.nProgramNumber, szInProgram, fit.nDropped, fit.nBytesBefore, kMaxSectionBytes);
    }
}

bool CPsiBuilder::SetIdentity(const COutIdentity& identity)
{
    bool bAll = true;
    auto TakeId = [&](int nValue, int& nTo, const char* szWhat) {
        if (nValue < 0 || nValue > kMaxTsOrNetworkId) {
            LogPrint(kLogError, "mux: %s %d refused: it must be 0 to %d, %d stays", szWhat, nValue,
                     kMaxTsOrNetworkId, nTo);
            bAll = false;
            return;
        }
        nTo = nValue;
    };
    TakeId(identity.nTsId, m_identity.nTsId, "transport_stream_id");
    TakeId(identity.nOriginalNetworkId, m_identity.nOriginalNetworkId, "original_network_id");
    TakeId(identity.nNetworkId, m_identity.nNetworkId, "network_id");
    // The descriptor's length is one byte, a character-table selector included.
    const std::string sName = DvbTextFromUtf8(identity.sNetworkName);
    if (sName.size() > size_t(kMaxDescriptorBytes)) {
        LogPrint(kLogError, "mux: network name of %zu bytes refused: at most %d", sName.size(),
                 kMaxDescriptorBytes);
        bAll = false;
    } else {
        m_identity.sNetworkName = sName;
    }
    return bAll;
}

bool CPsiBuilder::BuildTables(std::vector<CPsiTable>& vTables, int nVersion) const
{
    if (nVersion < 0 || nVersion > kMaxVersionNumber) {
        LogPrint(kLogError, "mux: PSI generation: version %d out of range 0 to %d", nVersion,
                 kMaxVersionNumber);
        return false;
    }
    CDvbpsiHandle handle(dvbpsi_new(DvbpsiMessage, DVBPSI_MSG_WARN), &dvbpsi_delete);
    if (!handle) {
        LogPrint(kLogError, "mux: PSI generation: no libdvbpsi handle");
        return false;
    }
    dvbpsi_t* h = handle.get();
    // A program its input no longer has is in no table.
    const size_t nOn = size_t(std::count_if(m_vPrograms.begin(), m_vPrograms.end(),
                                            [](const COutProgram& p) { return p.bOn; }));
    std::vector<CPsiTable> vOut(nOn + 3);
    auto it = vOut.begin();
    if (!BuildPat(h, nVersion, *it++)) {
        return false;
    }
    for (const COutProgram& program : m_vPrograms) {
        if (program.bOn && !BuildPmt(h, program, nVersion, *it++)) {
            return false;
        }
    }
    if (!BuildSdt(h, nVersion, *it++) || !BuildNit(h, nVersion, *it)) {
        return false;
    }
    if (m_bCaPass && !m_cat.IsEmpty()) {
        vOut.emplace_back();
        if (!m_cat.Build(h, nVersion, vOut.back())) {
            return false;
        }
    }
    vTables.swap(vOut);
    return true;
}

bool CPsiBuilder::BuildPackets(std::vector<unsigned char>& vPsi) const
{
    std::vector<CPsiTable> vTables;
    if (!BuildTables(vTables)) {
        return false;
    }
    std::vector<unsigned char> vOut;
    for (const CPsiTable& table : vTables) {
        vOut.insert(vOut.end(), table.vPackets.begin(), table.vPackets.end());
    }
    vPsi.swap(vOut);
    return true;
}

long long CPsiBuilder::TableBitRate(const std::vector<CPsiTable>& vTables, int nIntervalMs)
{
    if (nIntervalMs < 1) {
        return -1;
    }
    long long nBits = 0;
    for (const CPsiTable& table : vTables) {
        nBits += (long long)(table.vPackets.size() / kTsPacketSize) * kTsPacketSize * 8;
    }
    return (nBits * 1000 + nIntervalMs - 1) / nIntervalMs;
}

bool CPsiBuilder::BuildPat(dvbpsi_t* h, int nVersion, CPsiTable& table) const
{
    CTable<dvbpsi_pat_t, dvbpsi_pat_empty> pat;
    dvbpsi_pat_init(&pat.t, uint16_t(m_identity.nTsId), uint8_t(nVersion), true);
    // program_number 0 names the network PID, where the NIT is.
    if (!m_identity.sNetworkName.empty() && dvbpsi_pat_program_add(&pat.t, 0, kPidNit) == nullptr) {
        LogPrint(kLogError, "mux: PSI generation: PAT entry of the network failed");
        return false;
    }
    for (const COutProgram& program : m_vPrograms) {
        if (program.bOn && dvbpsi_pat_program_add(&pat.t, uint16_t(program.nProgramNumber),
                                                  uint16_t(program.nPmtPid)) == nullptr) {
            LogPrint(kLogError, "mux: PSI generation: PAT entry of program %d failed",
                     program.nProgramNumber);
            return false;
        }
    }
    // 0 programs per section: the generator fills each section up.
    CSectionList sections(dvbpsi_pat_sections_generate(h, &pat.t, 0), &dvbpsi_DeletePSISections);
    if (!sections) {
        LogPrint(kLogError, "mux: PSI generation: PAT failed");
        return false;
    }
    table.nPid = kPidPat;
    table.nTableId = kTableIdPat;
    PacketizeSections(kPidPat, sections.get(), table.vPackets);
    return true;
}

bool CPsiBuilder::BuildPmt(dvbpsi_t* h, const COutProgram& program, int nVersion, CPsiTable& table)
{
    CTable<dvbpsi_pmt_t, dvbpsi_pmt_empty> pmt;
    dvbpsi_pmt_init(&pmt.t, uint16_t(program.nProgramNumber), uint8_t(nVersion), true,
                    uint16_t(program.nPcrPid));
    const CProgramDescriptors& descriptors = program.descriptors;
    for (const CPmtDescriptor& d : descriptors.vProgramInfo) {
        if (dvbpsi_pmt_descriptor_add(&pmt.t, d.nTag, uint8_t(d.vData.size()), DescriptorData(d)) ==
            nullptr) {
            LogPrint(kLogError, "mux: PSI generation: PMT descriptor of program %d failed",
                     program.nProgramNumber);
            return false;
        }
    }
    for (size_t nEs = 0; nEs < program.vEs.size(); ++nEs) {
        const _ES_INFO& es = program.vEs[nEs];
        dvbpsi_pmt_es_t* pEs =
            dvbpsi_pmt_es_add(&pmt.t, uint8_t(es.nStreamType), uint16_t(es.nPid));
        if (pEs == nullptr) {
            LogPrint(kLogError, "mux: PSI generation: PMT entry of PID 0x%04X failed",
                     unsigned(es.nPid));
            return false;
        }
        if (nEs >= descriptors.vEs.size()) {
            continue;
        }
        for (const CPmtDescriptor& d : descriptors.vEs[nEs]) {
            if (dvbpsi_pmt_es_descriptor_add(pEs, d.nTag, uint8_t(d.vData.size()),
                                             DescriptorData(d)) == nullptr) {
                LogPrint(kLogError, "mux: PSI generation: descriptor of PID 0x%04X failed",
                         unsigned(es.nPid));
                return false;
            }
        }
    }
    CSectionList sections(dvbpsi_pmt_sections_generate(h, &pmt.t), &dvbpsi_DeletePSISections);
    if (!sections) {
        LogPrint(kLogError, "mux: PSI generation: PMT of program %d failed",
                 program.nProgramNumber);
        return false;
    }
    table.nPid = uint16_t(program.nPmtPid);
    table.nTableId = kTableIdPmt;
    PacketizeSections(program.nPmtPid, sections.get(), table.vPackets);
    return true;
}

bool CPsiBuilder::BuildSdt(dvbpsi_t* h, int nVersion, CPsiTable& table) const
{
    // The SDT generator drops the descriptors of services beyond what one
    // section holds instead of opening the next section, so the services go
    // in groups that fit a section each, and the sections are numbered as
    // one table afterwards.
    std::vector<CSectionList> vSdt;
    size_t nNext = 0;
    do {
        CTable<dvbpsi_sdt_t, dvbpsi_sdt_empty> sdt;
        dvbpsi_sdt_init(&sdt.t, kTableIdSdt, uint16_t(m_identity.nTsId), uint8_t(nVersion), true,
                        uint16_t(m_identity.nOriginalNetworkId));
        int nLoopBytes = 0;
        for (; nNext < m_vPrograms.size(); ++nNext) {
            const COutProgram& program = m_vPrograms[nNext];
            if (!program.bOn) {
                continue;
            }
            const int nNumber = program.nProgramNumber;
            unsigned char body[kMaxDescriptorBytes];
            int nBody = -1;
            if (const CServiceInfo* pInfo = FindService(program)) {
                nBody = BuildServiceDescriptor(body, sizeof(body), pInfo->sProvider, pInfo->sName,
                                               pInfo->nServiceType);
            }
            if (nBody < 0) {
                char szName[kServiceNameChars] = {};
                snprintf(szName, sizeof(szName), "service %03d", nNumber);
                nBody = BuildServiceDescriptor(body, sizeof(body), kServiceProvider, szName);
            }
            const int nBytes = 5 + (nBody >= 0 ? 2 + nBody : 0);
            if (nLoopBytes > 0 && nLoopBytes + nBytes > kMaxSectionBytes - kSdtSectionOverhead) {
                break;
            }
            dvbpsi_sdt_service_t* pService = dvbpsi_sdt_service_add(
                &sdt.t, uint16_t(nNumber), false, false, kRunningStatusRunning,
                m_bCaPass && IsFreeCa(program));
            if (pService == nullptr || (nBody >= 0 && dvbpsi_sdt_service_descriptor_add(
                                                          pService, kServiceDescriptorTag,
                                                          uint8_t(nBody), body) == nullptr)) {
                LogPrint(kLogError, "mux: PSI generation: SDT entry of service %d failed", nNumber);
                return false;
            }
            nLoopBytes += nBytes;
        }
        CSectionList sections(dvbpsi_sdt_sections_generate(h, &sdt.t), &dvbpsi_DeletePSISections);
        if (!sections) {
            LogPrint(kLogError, "mux: PSI generation: SDT failed");
            return false;
        }
        vSdt.push_back(std::move(sections));
    } while (nNext < m_vPrograms.size());
    if (vSdt.size() > 1) {
        int nTotal = 0;
        for (const CSectionList& list : vSdt) {
            nTotal += CountSections(list.get());
        }
        int nNumber = 0;
        for (const CSectionList& list : vSdt) {
            for (dvbpsi_psi_section_t* p = list.get(); p != nullptr; p = p->p_next) {
                p->i_number = uint8_t(nNumber++);
                p->i_last_number = uint8_t(nTotal - 1);
                dvbpsi_BuildPSISection(h, p); // rewrites the header and the CRC_32
            }
        }
    }
    table.nPid = kPidSdt;
    table.nTableId = kTableIdSdt;
    for (const CSectionList& list : vSdt) {
        PacketizeSections(kPidSdt, list.get(), table.vPackets);
    }
    return true;
}

bool CPsiBuilder::BuildNit(dvbpsi_t* h, int nVersion, CPsiTable& table) const
{
    CTable<dvbpsi_nit_t, dvbpsi_nit_empty> nit;
    // A NIT's table_id_extension is its network_id.
    const uint16_t nNetworkId = uint16_t(m_identity.nNetworkId);
    dvbpsi_nit_init(&nit.t, kTableIdNit, nNetworkId, nNetworkId, uint8_t(nVersion), true);
    const std::string& sName = m_identity.sNetworkName;
    if (!sName.empty() &&
        dvbpsi_nit_descriptor_add(&nit.t, kNetworkNameDescriptorTag, uint8_t(sName.size()),
                                  reinterpret_cast<uint8_t*>(const_cast<char*>(sName.data()))) ==
            nullptr) {
        LogPrint(kLogError, "mux: PSI generation: network name descriptor failed");
        return false;
    }
    CSectionList sections(dvbpsi_nit_sections_generate(h, &nit.t, kTableIdNit),
                          &dvbpsi_DeletePSISections);
    if (!sections) {
        LogPrint(kLogError, "mux: PSI generation: NIT failed");
        return false;
    }
    table.nPid = kPidNit;
    table.nTableId = kTableIdNit;
    PacketizeSections(kPidNit, sections.get(), table.vPackets);
    return true;
}

void CPsiBuilder::PacketizeSections(int nPid, const dvbpsi_psi_section_s* pSections,
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

int CPsiBuilder::BuildServiceDescriptor(unsigned char* pBuf, int nCapacity,
                                        const std::string& sProvider, const std::string& sName,
                                        int nServiceType)
{
    // Each name's length goes into one byte.
    if (sProvider.size() > 0xFF || sName.size() > 0xFF) {
        return -1;
    }
    const int nSize = int(sProvider.size() + sName.size()) + 3;
    if (nCapacity < nSize) {
        return -1;
    }
    std::memset(pBuf, 0, size_t(nCapacity));
    unsigned char* p = pBuf;
    *p++ = uint8_t(nServiceType);
    *p++ = uint8_t(sProvider.size());
    std::memcpy(p, sProvider.data(), sProvider.size());
    p += sProvider.size();
    *p++ = uint8_t(sName.size());
    std::memcpy(p, sName.data(), sName.size());
    return nSize;
}
