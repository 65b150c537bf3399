#include "mux/CDelayWatch.h"

#include "log/CLogger.h"
#include "mux/MuxConstants.h"

#include <algorithm>
#include <cstdio>

CDelayWatch::CDelayWatch(int64_t nGuardSlots, const COutputTime& time)
    : m_nGuardSlots(std::max<int64_t>(nGuardSlots, 0)), m_time(time)
{
}

CDelayWatch::CProgram& CDelayWatch::Program(int nProgram)
{
    if (m_vPrograms.size() <= size_t(nProgram)) {
        CProgram fresh;
        fresh.nLimitSlots = m_nGuardSlots;
        m_vPrograms.resize(size_t(nProgram) + 1, fresh);
    }
    return m_vPrograms[size_t(nProgram)];
}

bool CDelayWatch::OnPacket(int nProgram, int64_t nMargin, int64_t nDelaySlots)
{
    if (nProgram < 0) {
        return nDelaySlots > m_nGuardSlots;
    }
    CProgram& program = Program(nProgram);
    // A time stamp already behind the clock says nothing about what the
    // program can take: its input was late before it got here.
    if (nMargin >= 0 && (program.nMargin < 0 || nMargin < program.nMargin)) {
        program.nMargin = nMargin;
        const int64_t nMarginSlots = m_time.SlotAtTicks(nMargin);
        program.nLimitSlots = std::max(nMarginSlots - m_nGuardSlots, nMarginSlots / 2);
    }
    program.nMaxDelaySlots = std::max(program.nMaxDelaySlots, nDelaySlots);
    if (nDelaySlots <= program.nLimitSlots) {
        return false;
    }
    ++program.nLate;
    return true;
}

int64_t CDelayWatch::GetLimitSlots(int nProgram) const
{
    const CProgram* pProgram = Find(nProgram);
    return pProgram != nullptr ? pProgram->nLimitSlots : m_nGuardSlots;
}

void CDelayWatch::LogLate(size_t nInput, int nProgram, int nNumber, int64_t nDelaySlots) const
{
    const CProgram* pProgram = Find(nProgram);
    const long long llDelayMs = static_cast<long long>(m_time.MicrosAt(nDelaySlots) / 1000);
    char szWho[32] = "a packet of no program";
    if (nNumber >= 0) {
        std::snprintf(szWho, sizeof szWho, "program %d", nNumber);
    }
    if (pProgram != nullptr && pProgram->nMargin >= 0) {
        LogPrint(kLogError,
                 "mux: input %zu: content exceeds the output rate; %s leaves %lld ms late, past "
                 "its decoding margin of %lld ms less %d ms",
                 nInput + 1, szWho, llDelayMs,
                 static_cast<long long>(pProgram->nMargin / (kPcrHz / 1000)), kLateGuardMs);
    } else {
        LogPrint(kLogError,
                 "mux: input %zu: content exceeds the output rate; %s leaves %lld ms late, more "
                 "than %d ms with no decoding margin known",
                 nInput + 1, szWho, llDelayMs, kLateGuardMs);
    }
}
