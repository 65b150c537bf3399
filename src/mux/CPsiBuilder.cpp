#include "mux/CPsiBuilder.h"

#include "input/CaPids.h"
#include "log/CLogger.h"
#include "mux/CTableIntervals.h"
#include "mux/DvbText.h"
#include "mux/PmtDescriptors.h"
#include "mux/PsiSections.h"
#include "mux/PsiTables.h"
#include "mux/SiTables.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

void CPsiBuilder::AddInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                           const std::vector<CProgramDescriptors>* pDescriptors)
{
    bool bChanged = false;
    Follow(nInput, programs, pPidMap, pDescriptors, false, bChanged);
}

bool CPsiBuilder::UpdateInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                              const std::vector<CProgramDescriptors>& descriptors)
{
    bool bChanged = false;
    std::vector<uint8_t> vSeen = Follow(nInput, programs, pPidMap, &descriptors, true, bChanged);
    vSeen.resize(m_vPrograms.size(), 0);
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

std::vector<uint8_t> CPsiBuilder::Follow(int nInput, const std::vector<_PROGRAM_INFO>& programs,
                                         int* pPidMap,
                                         const std::vector<CProgramDescriptors>* pDescriptors,
                                         bool bReport, bool& bChanged)
{
    std::vector<uint8_t> vSeen(m_vPrograms.size(), 0);
    std::set<int> listed; // program_numbers met in this list
    for (size_t n = 0; n < programs.size(); ++n) {
        const _PROGRAM_INFO& in = programs[n];
        const CProgramDescriptors* pIn =
            pDescriptors != nullptr && n < pDescriptors->size() ? &(*pDescriptors)[n] : nullptr;
        // Users know a program by its program_number; its place in the list
        // (the order the PMTs completed) only stands in when that is unknown.
        const int nInNumber = pIn != nullptr ? pIn->nProgramNumber : -1;
        if (m_numbering.IsOmitted(nInput, nInNumber)) {
            continue;
        }
        char szInProgram[64];
        snprintf(szInProgram, sizeof(szInProgram), "input %d program %d", nInput,
                 nInNumber >= 0 ? nInNumber : int(n + 1));
        CProgramNumbering::CGiven given = m_numbering.Number(nInput, in, pIn, pPidMap, szInProgram,
                                                             listed.insert(nInNumber).second);
        if (given.kind == CProgramNumbering::CGiven::kLeftOut) {
            continue;
        }
        vSeen.resize(std::max(vSeen.size(), given.nIndex + 1), 0);
        vSeen[given.nIndex] = 1;
        if (given.kind == CProgramNumbering::CGiven::kKept) {
            continue;
        }
        COutProgram& next = given.program;
        if (bReport && given.bNew) {
            LogPrint(kLogWarning, "mux: %s: new program %d on PMT PID 0x%04X", szInProgram,
                     next.nProgramNumber, unsigned(next.nPmtPid));
        }
        for (size_t k = 0; bReport && k < given.vNewPids.size(); ++k) {
            LogPrint(kLogWarning, "mux: %s: stream PID 0x%04X -> 0x%04X", szInProgram,
                     unsigned(given.vNewPids[k].first), unsigned(given.vNewPids[k].second));
        }
        char szNamed[96];
        snprintf(szNamed, sizeof(szNamed), "%s, PMT PID 0x%04X", szInProgram, unsigned(in.nPmtPid));
        FitDescriptors(next, szNamed, m_bCaPass);
        if (given.bNew) {
            m_vPrograms.push_back(std::move(next));
            bChanged = true;
            continue;
        }
        // PCRs that moved to a stream stay there while the input's PMT names
        // what it named and the stream stays in the program.
        COutProgram& out = m_vPrograms[given.nIndex];
        if (out.nPcrPid != out.nPmtPcrPid && next.nPmtPcrPid == out.nPmtPcrPid &&
            std::any_of(next.vEs.begin(), next.vEs.end(),
                        [&](const _ES_INFO& es) { return es.nPid == out.nPcrPid; })) {
            next.nPcrPid = out.nPcrPid;
        }
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
    return vSeen;
}

bool CPsiBuilder::AskNumber(int nInput, int nInNumber, int nOut)
{
    if (nOut < 1 || nOut > kLastProgramNumber) {
        LogPrint(kLogError, "mux: output program number %d refused: it must be 1 to %d", nOut,
                 kLastProgramNumber);
        return false;
    }
    if (!m_numbering.Ask(nInput, nInNumber, nOut)) {
        LogPrint(kLogError,
                 "mux: output program number %d refused for input %d program %d: another "
                 "program has it",
                 nOut, nInput, nInNumber);
        return false;
    }
    return true;
}

CPsiBuilder CPsiBuilder::AsksOnly() const
{
    CPsiBuilder builder;
    builder.m_numbering = m_numbering.AsksOnly();
    return builder;
}

void CPsiBuilder::NoteAbsent(int nInput, const std::vector<int>& vAbsent)
{
    for (int nNumber : vAbsent) {
        if (m_absentSaid.insert({nInput, nNumber}).second) {
            LogPrint(kLogWarning,
                     "mux: input %d: program %d was chosen, but its PAT has no such "
                     "program",
                     nInput, nNumber);
        }
    }
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

void CPsiBuilder::SetCaPass(bool bPass)
{
    m_bCaPass = bPass;
    m_numbering.SetCaPass(bPass);
}

bool CPsiBuilder::SetCat(int nInput, const CInputTables& tables, int* pPidMap)
{
    if (!m_bCaPass) {
        return false;
    }
    // The EMM block's PIDs are the numbering's too: neither gives one twice.
    std::vector<uint8_t> vUsed = m_numbering.GetUsed();
    const bool bChanged = m_cat.SetInput(nInput, tables.bHasCat, tables.vCat, pPidMap, vUsed);
    m_numbering.Take(vUsed);
    return bChanged;
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
    const CDvbpsiHandle handle = NewDvbpsiHandle();
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
    if (!WritePat(h, m_identity, m_vPrograms, nVersion, *it++)) {
        return false;
    }
    for (const COutProgram& program : m_vPrograms) {
        if (program.bOn && !WritePmt(h, program, nVersion, *it++)) {
            return false;
        }
    }
    const CServiceFinder findService = [this](const COutProgram& p) { return FindService(p); };
    CFreeCaTest isFreeCa;
    if (m_bCaPass) {
        isFreeCa = [this](const COutProgram& p) { return IsFreeCa(p); };
    }
    if (!WriteSdt(h, m_identity, m_vPrograms, findService, nVersion, *it++, isFreeCa) ||
        !WriteNit(h, m_identity, nVersion, *it)) {
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

long long CPsiBuilder::SentBitRate(CTableIntervals intervals, int64_t nRate) const
{
    std::vector<CPsiTable> vTables;
    if (!BuildTables(vTables)) {
        return -1;
    }
    intervals.Choose(vTables, nRate);
    return intervals.BitRate(vTables);
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
