#include "input/CPidFilter.h"

namespace {

constexpr int kPidMask = kPidCount - 1;

} // namespace

void CPidFilter::Apply(const CInputTables& tables)
{
    std::vector<uint8_t> vKept(kPidCount, 0);
    std::vector<uint8_t> vEs(kPidCount, 0);
    for (const _PROGRAM_INFO& program : tables.vPrograms) {
        for (const _ES_INFO& es : program.vecEsInfo) {
            vKept[size_t(es.nPid & kPidMask)] = kProgramPid;
            vEs[size_t(es.nPid & kPidMask)] = 1;
        }
        // PCR_PID 0x1FFF means the program has no PCR: the input's null
        // packets are no program's.
        const int nPcrPid = program.nPcrPid & kPidMask;
        if (nPcrPid != kPidNull) {
            vKept[size_t(nPcrPid)] = kProgramPid;
        }
    }
    // A CA PID that is also a program's PID stays the program's.
    for (int nPid : tables.CaPids()) {
        if (vKept[size_t(nPid)] == 0) {
            vKept[size_t(nPid)] = kCaPid;
            vEs[size_t(nPid)] = 1;
        }
    }
    for (size_t nPid = 0; nPid < size_t(kPidCount); ++nPid) {
        // PCR-only packets carry no unit and need no wait.
        if (vEs[nPid] != 0 && m_vEs[nPid] == 0) {
            m_vUnit[nPid] = kWaiting;
        }
    }
    m_vKept.swap(vKept);
    m_vEs.swap(vEs);
}

void CPidFilter::SetCaPass(bool bPass)
{
    if (bPass && !m_bCaPass) {
        // Nothing of them went on so far: each starts at its next section.
        for (size_t nPid = 0; nPid < size_t(kPidCount); ++nPid) {
            if (m_vKept[nPid] == kCaPid) {
                m_vUnit[nPid] = kWaiting;
            }
        }
    }
    m_bCaPass = bPass;
}

void CPidFilter::RestartUnits()
{
    for (size_t nPid = 0; nPid < size_t(kPidCount); ++nPid) {
        m_vUnit[nPid] = m_vEs[nPid] != 0 ? kWaiting : kStarted;
    }
}

bool CPidFilter::WaitForUnit(const unsigned char* pData, int nPid, bool& bMark)
{
    uint8_t& nUnit = m_vUnit[size_t(nPid)];
    if ((pData[3] & 0x10) == 0) {
        // No payload: it passes, and the counter it carries is the PID's.
        nUnit = nUnit == kWaiting ? kPassed : nUnit;
        return true;
    }
    if ((pData[1] & 0x40) == 0) {
        nUnit = nUnit == kPassed ? kGap : nUnit;
        return false;
    }
    bMark = nUnit == kGap;
    nUnit = kStarted;
    return true;
}

bool CPidFilter::IsMalformed(const unsigned char* p)
{
    const int nAfc = (p[3] >> 4) & 0x3;
    constexpr int kMaxAfLength = kTsPacketSize - 5;
    return nAfc == 0 || ((nAfc & 0x2) != 0 && p[4] > kMaxAfLength) ||
           (nAfc == 0x3 && p[4] == kMaxAfLength);
}
