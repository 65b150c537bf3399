#include "mux/CMuxPrograms.h"

#include "input/CInputModule.h"
#include "log/CLogger.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <memory>
#include <utility>

bool CMuxPrograms::BuildFirstTables()
{
    m_vPrograms = m_builder.GetPrograms();
    return m_builder.BuildTables(m_vTables);
}

void CMuxPrograms::Attach(CSlotScheduler& scheduler, std::vector<CInputModule*> vInputs)
{
    m_pScheduler = &scheduler;
    m_vInputs = std::move(vInputs);
    MapPrograms();
}

void CMuxPrograms::Apply(const CSlotScheduler::CFill& fill)
{
    if (fill.nPcrProgram >= 0) {
        ApplyPcrMove(fill.nPcrProgram, fill.nPcrFromPid, fill.nPcrToPid);
    }
    if (fill.nChange != 0) {
        ApplyInputChange(size_t(fill.nChangeInput), fill.nChange);
    }
}

void CMuxPrograms::MapPrograms()
{
    CSlotScheduler& scheduler = *m_pScheduler;
    for (size_t p = 0; p < m_vPrograms.size(); ++p) {
        const COutProgram& program = m_vPrograms[p];
        for (const _ES_INFO& es : program.vEs) {
            scheduler.MapProgramPid(es.nPid, int(p));
        }
        if (program.nPcrPid != kPidNull) {
            scheduler.MapProgramPid(program.nPcrPid, int(p));
        }
        scheduler.SetProgram(int(p), program.nProgramNumber,
                             program.bOn ? program.nPcrPid : kPidNull);
    }
}

bool CMuxPrograms::SendNewTables()
{
    const int nVersion = (m_nVersion + 1) % (kMaxVersionNumber + 1);
    std::vector<CPsiTable> vTables;
    if (!m_builder.BuildTables(vTables, nVersion)) {
        return false; // the tables sent so far stay; the error is on the log
    }
    m_nVersion = nVersion;
    m_vTables = vTables;
    m_pScheduler->ReplaceTables(std::move(vTables));
    return true;
}

void CMuxPrograms::ApplyPcrMove(int nProgram, int nFromPid, int nToPid)
{
    if (!m_builder.MovePcrPid(size_t(nProgram), nToPid)) {
        return;
    }
    m_vPrograms = m_builder.GetPrograms();
    const COutProgram& program = m_vPrograms[size_t(nProgram)];
    // The input's own PID, as users find it in their input.
    int nInPid = -1;
    const int* pMap = m_vInputs[size_t(program.nInput - 1)]->GetPidMapList();
    for (int nPid = 0; nPid < kPidCount && nInPid < 0; ++nPid) {
        nInPid = pMap[nPid] == nToPid ? nPid : -1;
    }
    if (nFromPid == kPidNull) {
        LogPrint(kLogWarning,
                 "mux: program %d (input %d): its PMT names no PCR_PID; the PCRs of its PID "
                 "0x%04X (input PID 0x%04X) are its PCRs, and its PCR_PID from now on",
                 program.nProgramNumber, program.nInput, unsigned(nToPid), unsigned(nInPid));
    } else {
        LogPrint(kLogWarning,
                 "mux: program %d (input %d): no PCR on its PCR_PID 0x%04X for %d ms; the PCRs "
                 "of its PID 0x%04X (input PID 0x%04X) are its PCRs, and its PCR_PID from now on",
                 program.nProgramNumber, program.nInput, unsigned(nFromPid), kPcrSilentMs,
                 unsigned(nToPid), unsigned(nInPid));
    }
    SendNewTables();
}

std::vector<int> CMuxPrograms::PcrPidsOf(size_t nInput) const
{
    std::vector<int> vPids;
    for (const COutProgram& program : m_builder.GetPrograms()) {
        if (program.nInput == int(nInput + 1) && program.bOn && program.nPcrPid != kPidNull) {
            vPids.push_back(program.nPcrPid);
        }
    }
    return vPids;
}

void CMuxPrograms::ApplyInputChange(size_t nInput, uint32_t nChange)
{
    CInputModule* pModule = m_vInputs[nInput];
    std::shared_ptr<const CInputTables> pTables = pModule->TakeTables(nChange);
    if (!pTables) {
        return; // taken at an earlier marker already
    }
    const std::vector<int> vPcrBefore = PcrPidsOf(nInput);
    bool bChanged = m_builder.UpdateInput(int(nInput + 1), pTables->vPrograms,
                                          pModule->GetPidMapList(), pTables->vDescriptors);
    bChanged = m_builder.SetServices(int(nInput + 1), pTables->services) || bChanged;
    bChanged = m_builder.SetCat(int(nInput + 1), *pTables, pModule->GetPidMapList()) || bChanged;
    m_builder.NoteAbsent(int(nInput + 1), pTables->vAbsent);
    if (!bChanged) {
        return;
    }
    CSlotScheduler& scheduler = *m_pScheduler;
    m_vPrograms = m_builder.GetPrograms();
    MapPrograms();
    // A PCR PID that moved: the new one is restamped from its first PCR
    // on, the old one gets no more PCR-only packets.
    const std::vector<int> vPcrAfter = PcrPidsOf(nInput);
    for (int nPid : vPcrAfter) {
        scheduler.AddPcrPid(nPid);
    }
    for (int nPid : vPcrBefore) {
        if (std::find(vPcrAfter.begin(), vPcrAfter.end(), nPid) == vPcrAfter.end()) {
            scheduler.EndPcrPid(nPid);
        }
    }
    scheduler.SetInputPcrPids(nInput, vPcrAfter);
    SendNewTables();
}
