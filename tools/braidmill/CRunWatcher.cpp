#include "CRunWatcher.h"

#include "CRunStats.h"
#include "CSignalStop.h"
#include "CWatchedSink.h"

#include <chrono>
#include <cmath>

namespace {

// The watcher's period: a failed write or a signal stops the run within it.
constexpr int kWatchMs = 100;
constexpr auto kStatsPeriod = std::chrono::seconds(2);

} // namespace

CRunWatcher::CRunWatcher(const CSignalStop& signals, const CWatchedSink& sink, CMuxIface& mux,
                         const std::vector<CRunInput>& inputs, CRunStats& stats, double fDuration,
                         double fBitRate)
    : m_signals(signals), m_sink(sink), m_mux(mux), m_vInputs(inputs), m_stats(stats),
      m_llDurationPackets(
          fDuration > 0 ? std::llround(std::ceil(fDuration * fBitRate / 8 / kPacketBytes)) : 0)
{
}

void CRunWatcher::Start()
{
    m_bDone.store(false);
    m_th = std::thread(&CRunWatcher::Loop, this);
}

void CRunWatcher::Join()
{
    if (!m_th.joinable()) {
        return;
    }
    m_bDone.store(true);
    m_signals.Wake();
    m_th.join();
}

void CRunWatcher::Loop()
{
    auto tNextStats = std::chrono::steady_clock::now() + kStatsPeriod;
    bool bStopped = false;
    while (!m_bDone.load()) {
        const int nSignal = m_signals.Wait(kWatchMs);
        const bool bDurationOver =
            m_llDurationPackets > 0 && m_sink.GetPackets() >= m_llDurationPackets;
        // A network input ends only by --input-timeout; the run ends with it.
        bool bLiveEnded = false;
        for (const CRunInput& input : m_vInputs) {
            bLiveEnded = bLiveEnded || (input.bLive && input.pModule->IsStreamEnd());
        }
        if (!bStopped && (nSignal != 0 || m_sink.IsBroken() || bDurationOver || bLiveEnded)) {
            m_mux.Stop();
            bStopped = true;
        }
        if (std::chrono::steady_clock::now() >= tNextStats && !m_bDone.load()) {
            m_stats.Write("running");
            tNextStats += kStatsPeriod;
        }
    }
}
