// The driver of CMuxCore: the one thread that asks the slot scheduler for
// slots and writes them to the sink. It decides only when: in real time as
// the pacer allows (slot n once the clock reaches start + n * 188 * 8 /
// rate, in the sink's units, one absolute-time sleep per write, a stall
// made up at once or spread out as the sink asks); in output time, as fast
// as the sink takes them. What the slots hold is the scheduler's alone, so
// both write the same bytes, and a stall of the process only delays the
// writing.
#include "mux/CMuxCore.h"

#include "input/CInputModule.h"
#include "log/CLogger.h"
#include "mux/CSlotScheduler.h"
#include "mux/CPacer.h"
#include "mux/MuxConstants.h"
#include "os/Realtime.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace {

// Slots written at most per call to the sink: 770 KB, a large write for a
// file, and a bound on how long a stop waits.
constexpr int kMaxBatchSlots = 4096;
// Longest wait for a reader that is behind; the wait is woken by its next
// packet, this only bounds how late a stop is seen.
constexpr int64_t kReaderWaitMicros = 5000;
// Figures are published for GetStats this often, in output time.
constexpr int kStatsEveryMs = 100;
// Stack the driver touches before it starts under a real-time priority: far
// more than its deepest call (a table rebuild), so that no page fault of its
// own ever delays a write.
constexpr size_t kPrefaultStackBytes = 256 * 1024;

// What the sink asks of the real-time pacing: its unit, the units per write
// (as many as come closest to its write interval), and how it catches up.
CPacer::CConfig PacingOf(const COutPutModuleBase& sink, const COutputTime& time)
{
    CPacer::CConfig config;
    int nIntervalMs = sink.GetWriteIntervalMs();
    nIntervalMs = nIntervalMs < 1 ? kBatchMs : std::min(nIntervalMs, kMaxBatchMs);
    config.nUnitSlots = std::clamp(sink.GetPacketsPerUnit(), 1, kMaxBatchSlots);
    const int64_t nIntervalSlots = time.SlotsIn(nIntervalMs);
    config.nGroupUnits =
        int(std::max<int64_t>((nIntervalSlots + config.nUnitSlots / 2) / config.nUnitSlots, 1));
    config.nCatchUpPercent = std::max(sink.GetCatchUpPercent(), 0);
    config.nMaxBatchSlots = kMaxBatchSlots;
    config.nLeewayMicros = kCatchUpLeewayMs * 1000;
    config.nMaxLagMicros = kCatchUpMaxLagMs * 1000;
    config.nBurstGroups = kCatchUpBurstGroups;
    return config;
}

} // namespace

unsigned long CMuxCore::DriverThreadProc(void* pEngine)
{
    CMuxCore* pCore = static_cast<CMuxCore*>(pEngine);
    os::SetThreadName("bm-output");
    try {
        pCore->DriveLoop();
    } catch (const std::exception& e) {
        // A sink that throws ends the output.
        LogPrint(kLogError, "mux: the multiplex stopped: %s", e.what());
        pCore->m_bFailed.store(true, std::memory_order_release);
    }
    // Nothing drains the inputs from here on.
    for (CInputModuleIface* pIn : pCore->m_vInputs) {
        pIn->AbortWait();
    }
    pCore->PublishStats();
    pCore->m_bDriving.store(false, std::memory_order_release);
    LogPrint(kLogDebug, "%s", kMsgMuxThreadExit);
    LogPrint(kLogDebug, "%s", kMsgOutThreadExit);
    return 0;
}

void CMuxCore::DriveLoop()
{
    CSlotScheduler& scheduler = *m_pScheduler;
    const COutputTime& time = scheduler.GetTime();
    const int64_t nStatsEvery = std::max<int64_t>(time.SlotsIn(kStatsEveryMs), 1);
    int64_t nEnd = std::numeric_limits<int64_t>::max();
    if (m_fDuration > 0.0) {
        nEnd = std::max<int64_t>(
            1, int64_t(m_fDuration * double(time.GetRate()) / double(kTsPacketSize * 8)));
    }
    std::vector<uint8_t> vBuf(size_t(kMaxBatchSlots) * kTsPacketSize); // zeroed: touched
    if (m_nRealtimePriority > 0 && !m_bVirtualClock) {
        EnterRealtime();
    }
    CPacer pacer(time, PacingOf(*m_pOutput, time), *m_pClock);
    scheduler.SetLocalStart(pacer.GetStartMicros());
    int64_t nWritten = 0;
    int64_t nNextStats = nStatsEvery;

    while (!m_bStop.load(std::memory_order_acquire) && nWritten < nEnd) {
        int64_t nWant = kMaxBatchSlots;
        if (!m_bVirtualClock) {
            const int nFilling = FindFillingLiveQueue();
            nWant = pacer.GetAllowed(nFilling >= 0);
            if (pacer.IsHurrying() && !m_bLiveHurry) {
                LogPrint(kLogWarning,
                         "mux: input %d: its queue is filling while the output catches up; what "
                         "is owed goes out at once",
                         nFilling + 1);
            }
            m_bLiveHurry = pacer.IsHurrying();
            m_nMaxLagMicros.store(pacer.GetMaxLagMicros(), std::memory_order_relaxed);
            if (nWant == 0) {
                pacer.SleepUntilAllowed();
                continue;
            }
        }
        nWant = std::min(nWant, nEnd - nWritten);
        const int nFilled = scheduler.FillSlots(int(nWant), vBuf.data());
        if (nFilled > 0) {
            m_pOutput->RenderPackets(vBuf.data(), nFilled);
            nWritten += nFilled;
            if (!m_bVirtualClock) {
                pacer.OnWritten(nFilled);
            }
            if (m_pOutput->IsBroken()) {
                LogPrint(kLogError, "mux: the output failed after %lld packets; multiplex stopped",
                         static_cast<long long>(nWritten));
                break;
            }
        }
        if (nWritten >= nNextStats && PublishStats(false)) {
            nNextStats = nWritten + nStatsEvery;
        }
        if (scheduler.IsFinished()) {
            break;
        }
        if (!m_bVirtualClock) {
            WatchInputs(scheduler.GetStarvedInput());
        }
        const int nStarved = scheduler.GetStarvedInput();
        if (nFilled < nWant && nStarved >= 0) {
            ModuleOf(m_vInputs[size_t(nStarved)])->GetQueue().WaitForData(kReaderWaitMicros);
        }
    }

    const std::vector<CSlotScheduler::CInputStats>& vStats = scheduler.GetInputStats();
    for (size_t i = 0; i < vStats.size(); ++i) {
        if (vStats[i].nLate > 0) {
            LogPrint(kLogError,
                     "mux: input %zu: %lld packets left too late for their decoders in all, up "
                     "to %lld ms late",
                     i + 1, static_cast<long long>(vStats[i].nLate),
                     static_cast<long long>(time.MicrosAt(vStats[i].nMaxLateSlots) / 1000));
        }
    }
}

int CMuxCore::FindFillingLiveQueue()
{
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModule* pModule = ModuleOf(m_vInputs[i]);
        const CTimedQueue& queue = pModule->GetQueue();
        if (pModule->IsLive() && queue.GetPublishedCount() > queue.GetCapacity() / 8 * 7) {
            return int(i);
        }
    }
    return -1;
}

void CMuxCore::EnterRealtime()
{
    std::string sPrioError, sLockError;
    const bool bPrio = os::SetThreadRealtime(m_nRealtimePriority, sPrioError);
    const bool bLocked = os::LockMemory(sLockError);
    os::PrefaultStack(kPrefaultStackBytes);
    const int nPrio = m_nRealtimePriority;
    if (bPrio && bLocked) {
        LogPrint(kLogDebug, "mux: the output thread runs at SCHED_FIFO priority %d, memory locked",
                 nPrio);
    } else if (!bPrio && !bLocked) {
        LogPrint(kLogWarning,
                 "mux: real-time priority %d not permitted (%s), nor locked memory (%s); the run "
                 "goes on at normal priority",
                 nPrio, sPrioError.c_str(), sLockError.c_str());
    } else if (!bPrio) {
        LogPrint(kLogWarning,
                 "mux: real-time priority %d not permitted (%s); the run goes on at normal "
                 "priority",
                 nPrio, sPrioError.c_str());
    } else {
        LogPrint(kLogWarning,
                 "mux: memory could not be locked (%s); the run goes on at real-time priority %d",
                 sLockError.c_str(), nPrio);
    }
}

bool CMuxCore::PublishStats(bool bWait)
{
    if (!m_pScheduler) {
        return true;
    }
    const CSlotScheduler& scheduler = *m_pScheduler;
    const COutputTime& time = scheduler.GetTime();
    std::unique_lock<std::mutex> lock(m_mtxStats, std::defer_lock);
    if (bWait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return false;
    }
    m_stats.llSlots = scheduler.GetNextSlot();
    m_stats.llNullSlots = scheduler.GetNullSlots();
    m_stats.llTableSlots = scheduler.GetTableSlots();
    m_stats.llPcrsInserted = scheduler.GetPcrStamper().GetInsertedCount();
    m_stats.llBitRate = time.GetRate();
    m_stats.llMaxCatchUpUs = m_nMaxLagMicros.load(std::memory_order_relaxed);
    m_stats.vInputs.resize(m_vInputs.size());
    ReadInputCounters(m_stats);
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        _MUX_INPUT_STATS& in = m_stats.vInputs[i];
        const CSlotScheduler::CInputStats& s = scheduler.GetInputStats()[i];
        in.llPacketsMuxed = s.nMuxed;
        in.llLate = s.nLate;
    }
    m_stats.vPrograms.resize(m_vPrograms.size());
    for (size_t p = 0; p < m_vPrograms.size(); ++p) {
        _MUX_PROGRAM_STATS& out = m_stats.vPrograms[p];
        const int nPcrPid = m_vPrograms[p].nPcrPid;
        out.nProgramNumber = m_vPrograms[p].nProgramNumber;
        out.nInput = m_vProgramInput[p];
        out.llPackets = scheduler.GetProgramPackets(int(p));
        out.llPcrs = scheduler.GetPcrStamper().GetPcrCount(nPcrPid);
        const int64_t nMax = scheduler.GetPcrStamper().GetMaxIntervalSlots(nPcrPid);
        out.nMaxPcrIntervalUs = nMax < 0 ? -1 : int(time.MicrosAt(nMax));
        out.nPcrPid = nPcrPid;
        out.llLate = 0;
        out.nMaxDelayUs = 0;
        out.nMarginUs = -1;
        if (const CDelayWatch::CProgram* pDelay = scheduler.GetProgramDelay(int(p))) {
            out.llLate = pDelay->nLate;
            out.nMaxDelayUs = int(std::min<int64_t>(time.MicrosAt(pDelay->nMaxDelaySlots),
                                                    std::numeric_limits<int>::max()));
            out.nMarginUs = pDelay->nMargin < 0 ? -1 : int(pDelay->nMargin / (kPcrHz / 1'000'000));
        }
    }
    m_stats.nSdtIntervalMs = m_intervals.GetSdtMs();
    m_stats.nNitIntervalMs = m_intervals.GetNitMs();
    m_bHaveStats = true;
    return true;
}
