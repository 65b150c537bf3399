#include "mux/CPacer.h"

#include "log/CLogger.h"

#include <algorithm>
#include <limits>

CPacer::CPacer(const COutputTime& time, const CConfig& config, os::IClock& clock)
    : m_time(time), m_config(config), m_clock(clock)
{
    m_config.nUnitSlots = std::max(m_config.nUnitSlots, 1);
    m_config.nMaxBatchSlots = std::max<int64_t>(m_config.nMaxBatchSlots, m_config.nUnitSlots);
    const int64_t nUnits =
        std::clamp<int64_t>(m_config.nGroupUnits, 1, m_config.nMaxBatchSlots / m_config.nUnitSlots);
    m_nGroup = nUnits * m_config.nUnitSlots;
    m_nEarly = m_time.MicrosAt(m_nGroup - m_config.nUnitSlots) / 2;
    m_config.nLeewayMicros = std::max(m_config.nLeewayMicros, m_time.MicrosAt(m_nGroup));
    m_nStart = os::ToMicros(m_clock.Now());
    m_nBudget = m_nStart;
    m_nLastGroupEnd = std::numeric_limits<int64_t>::min() / 2;
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

int64_t CPacer::PacedFrom() const
{
    return std::max(m_nBudget - m_config.nLeewayMicros,
                    m_nLastGroupEnd + m_time.MicrosAt(m_nGroup) / 2);
}

int64_t CPacer::GetAllowed(bool bHurry)
{
    m_bAtOnce = false;
    m_bHurrying = false;
    const int64_t nNow = os::ToMicros(m_clock.Now());
    const int64_t nScheduled = ScheduledBy(nNow);
    if (nScheduled <= m_nWritten) {
        return 0;
    }
    const int64_t nLag = nNow - GroupTime(m_nWritten);
    m_nMaxLag = std::max(m_nMaxLag, nLag);
    if (nScheduled - m_nWritten <= m_nGroup) {
        m_bOverLag = false; // owes only the group now due: on time
    }
    if (!IsPaced() || bHurry) {
        m_bAtOnce = true;
        m_bHurrying = bHurry && IsPaced() && nScheduled - m_nWritten > m_nGroup;
        return std::min(nScheduled - m_nWritten, m_config.nMaxBatchSlots);
    }
    if (m_config.nMaxLagMicros > 0 && nLag > m_config.nMaxLagMicros) {
        if (!m_bOverLag) {
            m_bOverLag = true;
            LogPrint(kLogWarning,
                     "mux: the output fell %lld ms behind its schedule, more than %lld ms; it "
                     "catches up in short bursts",
                     static_cast<long long>(nLag / 1000),
                     static_cast<long long>(m_config.nMaxLagMicros / 1000));
        }
        m_bAtOnce = true;
        if (nLag > 2 * m_config.nMaxLagMicros) {
            // Not even bursts keep up: down to the bound at once.
            const int64_t nOverdue = ScheduledBy(nNow - m_config.nMaxLagMicros) - m_nWritten;
            return std::min(nOverdue, m_config.nMaxBatchSlots);
        }
        if (nNow < m_nLastGroupEnd + m_time.MicrosAt(m_nGroup) / 2) {
            return 0;
        }
        // A machine that wakes the driver late cannot keep the rate a
        // group per wake-up: a few groups per write keep it.
        const int64_t nBurst = m_config.nBurstGroups * m_nGroup - m_nWritten % m_nGroup;
        return std::min({nBurst, nScheduled - m_nWritten, m_config.nMaxBatchSlots});
    }
    if (nNow < PacedFrom()) {
        return 0;
    }
    // The rest of the group that holds the next slot: one group per write.
    return m_nGroup - m_nWritten % m_nGroup;
}

void CPacer::SleepUntilAllowed()
{
    int64_t nWake = GroupTime(m_nWritten);
    if (IsPaced()) {
        nWake = std::max(nWake, PacedFrom());
    }
    m_clock.SleepUntilMicros(nWake);
}

void CPacer::OnWritten(int64_t nSlots)
{
    if (nSlots <= 0) {
        return;
    }
    const int64_t nBefore = m_nWritten;
    m_nWritten += nSlots;
    if (!IsPaced()) {
        return;
    }
    // From when the write ended, so that a write the thread was preempted
    // in the middle of cannot bring the next one closer.
    const int64_t nNow = os::ToMicros(m_clock.Now());
    if (m_bAtOnce) {
        // Not charged: what went over the bound must not hold back what follows.
        m_nBudget = nNow;
        m_nLastGroupEnd = nNow;
        return;
    }
    m_nBudget = std::max(m_nBudget, nNow) +
                m_time.MicrosAt(nSlots) * 100 / (100 + m_config.nCatchUpPercent);
    if (m_nWritten / m_nGroup > nBefore / m_nGroup) {
        m_nLastGroupEnd = nNow;
    }
}
