#include "mux/CPacer.h"

#include "log/CLogger.h"

#include <algorithm>

CPacer::CPacer(const COutputTime& time, const CConfig& config, os::IClock& clock)
    : m_time(time), m_config(config), m_clock(clock)
{
    m_config.nUnitSlots = std::max(m_config.nUnitSlots, 1);
    m_config.nMaxBatchSlots = std::max<int64_t>(m_config.nMaxBatchSlots, m_config.nUnitSlots);
    const int64_t nUnits =
        std::clamp<int64_t>(m_config.nGroupUnits, 1, m_config.nMaxBatchSlots / m_config.nUnitSlots);
    m_nGroup = nUnits * m_config.nUnitSlots;
    m_nEarly = m_time.MicrosAt(m_nGroup - m_config.nUnitSlots) / 2;
    m_nStart = os::ToMicros(m_clock.Now());
    m_nNotBefore = m_nStart;
}

int64_t CPacer::ScheduledBy(int64_t nMicros) const
{
    const int64_t nSince = nMicros - m_nStart + m_nEarly;
    if (nSince < 0) {
        return 0;
    }
    return m_time.SlotsDueAtMicros(nSince) / m_nGroup * m_nGroup;
}

int64_t CPacer::GroupTime(int64_t nSlot) const
{
    return m_nStart + m_time.MicrosAt((nSlot / m_nGroup + 1) * m_nGroup) - m_nEarly;
}

int64_t CPacer::GetAllowed(int64_t nWritten)
{
    const int64_t nNow = os::ToMicros(m_clock.Now());
    const int64_t nScheduled = ScheduledBy(nNow);
    if (nScheduled <= nWritten) {
        return 0;
    }
    const int64_t nLag = nNow - GroupTime(nWritten);
    m_nMaxLag = std::max(m_nMaxLag, nLag);
    if (nScheduled - nWritten <= m_nGroup) {
        m_bOverLag = false; // owes only the group now due: on time
    }
    if (m_config.nCatchUpPercent <= 0) {
        return std::min(nScheduled - nWritten, m_config.nMaxBatchSlots);
    }
    if (m_config.nMaxLagMicros > 0 && nLag > m_config.nMaxLagMicros) {
        if (!m_bOverLag) {
            m_bOverLag = true;
            LogPrint(kLogWarning,
                     "mux: the output fell %lld ms behind its schedule; what is owed beyond "
                     "%lld ms goes out at once",
                     static_cast<long long>(nLag / 1000),
                     static_cast<long long>(m_config.nMaxLagMicros / 1000));
        }
        const int64_t nOverdue = ScheduledBy(nNow - m_config.nMaxLagMicros) - nWritten;
        return std::min(nOverdue, m_config.nMaxBatchSlots);
    }
    if (nNow < m_nNotBefore) {
        return 0;
    }
    // The rest of the group that holds nWritten: one group per write.
    return m_nGroup - nWritten % m_nGroup;
}

void CPacer::SleepUntilAllowed(int64_t nWritten)
{
    int64_t nWake = GroupTime(nWritten);
    if (m_config.nCatchUpPercent > 0) {
        nWake = std::max(nWake, m_nNotBefore);
    }
    m_clock.SleepUntilMicros(nWake);
}

void CPacer::OnWritten(int64_t nSlots)
{
    if (m_config.nCatchUpPercent <= 0 || nSlots <= 0) {
        return;
    }
    // From when the write ended, so that a write the thread was preempted
    // in the middle of cannot bring the next one closer.
    const int64_t nNow = os::ToMicros(m_clock.Now());
    m_nNotBefore = nNow + m_time.MicrosAt(nSlots) * 100 / (100 + m_config.nCatchUpPercent);
}
