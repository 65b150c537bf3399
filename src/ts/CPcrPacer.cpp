#include "ts/CPcrPacer.h"

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

void CPcrPacer::InputPcr(int64_t nPcr, bool bDiscontinuity)
{
    if (nPcr < 0) {
        return; // no PCR: nothing to pace by
    }
    if (!m_bStarted) {
        m_start = m_pClock->Now();
        m_bStarted = true;
        m_nLastPcr = nPcr;
        return;
    }
    if (bDiscontinuity || IsPcrJump(m_nLastPcr, nPcr)) {
        // The step across a new time base tells nothing about the time that
        // passed: counting it would hold the input back for as long as the
        // jump (a backward step reads as a 26-hour wrap), and leaving it out
        // would release this interval together with the next. Take the
        // interval as long as the last regular one.
        m_nPcrTime += m_nLastStep;
    } else {
        // A wrap of the 33-bit base is an ordinary step.
        m_nLastStep = PcrForwardDelta(m_nLastPcr, nPcr);
        m_nPcrTime += m_nLastStep;
    }
    m_nLastPcr = nPcr;
}

bool CPcrPacer::IsEarly()
{
    if (!m_bStarted) {
        return false;
    }
    const int64_t nElapsedUs = os::ToMicros(m_pClock->Now()) - os::ToMicros(m_start);
    return nElapsedUs < m_nPcrTime / (kPcrHz / 1'000'000);
}

void CPcrPacer::InputPcrAndWait(int64_t nPcr)
{
    const bool bFirst = !m_bStarted;
    InputPcr(nPcr);
    if (bFirst) {
        return;
    }
    while (IsEarly()) {
        m_pClock->SleepMs(kPacerPollMs);
    }
}
