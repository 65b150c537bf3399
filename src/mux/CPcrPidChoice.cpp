#include "mux/CPcrPidChoice.h"

#include "ts/TsConstants.h"

void CPcrPidChoice::SetPcrPid(int nProgram, int nPid, int64_t nSlot)
{
    if (nProgram < 0) {
        return;
    }
    if (m_vPrograms.size() <= size_t(nProgram)) {
        m_vPrograms.resize(size_t(nProgram) + 1, CProgram{kPidNull, 0});
    }
    CProgram& program = m_vPrograms[size_t(nProgram)];
    if (program.nPcrPid != nPid) {
        program.nPcrPid = nPid;
        program.nLastPcr = nSlot;
    }
}

int CPcrPidChoice::GetPcrPid(int nProgram) const
{
    return nProgram >= 0 && size_t(nProgram) < m_vPrograms.size()
               ? m_vPrograms[size_t(nProgram)].nPcrPid
               : kPidNull;
}

int CPcrPidChoice::OnPcr(int nProgram, int nPid, int64_t nSlot)
{
    if (nProgram < 0 || size_t(nProgram) >= m_vPrograms.size()) {
        return -1;
    }
    CProgram& program = m_vPrograms[size_t(nProgram)];
    if (nPid == program.nPcrPid) {
        program.nLastPcr = nSlot;
        return -1;
    }
    // The PCR_PID named keeps its place while it carries PCRs: a second PID
    // with PCRs is no reason to move.
    if (program.nPcrPid != kPidNull && nSlot - program.nLastPcr < m_nSilentSlots) {
        return -1;
    }
    program.nPcrPid = nPid;
    program.nLastPcr = nSlot;
    return nPid;
}

bool CPcrPidChoice::IsPcrPidOfOther(int nPid, int nProgram) const
{
    for (size_t p = 0; p < m_vPrograms.size(); ++p) {
        if (int(p) != nProgram && m_vPrograms[p].nPcrPid == nPid) {
            return true;
        }
    }
    return false;
}
