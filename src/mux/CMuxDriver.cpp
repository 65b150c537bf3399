#include "mux/CMuxDriver.h"

#include "input/CInputModule.h"
#include "log/CLogger.h"
#include "mux/CMuxPrograms.h"
#include "mux/CPacer.h"
#include "mux/CSlotScheduler.h"
#include "mux/CTableIntervals.h"
#include "mux/MuxConstants.h"
#include "os/Realtime.h"
#include "os/Sleep.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// Slots written at most per call to the sink: 770 KB, a large write for a
// file, and a bound on how long a stop waits.
constexpr int kMaxBatchSlots = 4096;
// Longest wait for a reader that is behind; the wait is woken by its next
// packet, this only bounds how late a stop is seen.
constexpr int64_t kReaderWaitMicros = 5000;
// Wait for more of what an input has queued in part (the slots need to see
// how a PES ends), a reader's batch.
constexpr unsigned kMoreDataWaitMs = 1;
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

bool CMuxDriver::Start(CRun run)
{
    m_run = std::move(run);
    if (!m_run.bVirtualClock) {
        m_pWatch = std::make_unique<CInputWatch>(int64_t(m_run.nInputTimeoutMs) * 1000,
                                                 int64_t(kStallGraceMs) * 1000);
        for (size_t i = 0; i < m_run.vInputs.size(); ++i) {
            m_pWatch->AddInput(m_run.vJoining[i]);
        }
    }
    PublishStats();
    for (CInputModule* pModule : m_run.vInputs) {
        pModule->BeginOutput();
    }
    m_bDriving.store(true, std::memory_order_release);
    if (!m_thDriver.Start(ThreadProc, this)) {
        m_bDriving.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

unsigned long CMuxDriver::ThreadProc(void* pDriver)
{
    CMuxDriver* pThis = static_cast<CMuxDriver*>(pDriver);
    os::SetThreadName("bm-output");
    try {
        pThis->DriveLoop();
    } catch (const std::exception& e) {
        // A sink that throws ends the output.
        LogPrint(kLogError, "mux: the multiplex stopped: %s", e.what());
        pThis->m_bFailed.store(true, std::memory_order_release);
    }
    // Nothing drains the inputs from here on.
    for (CInputModule* pModule : pThis->m_run.vInputs) {
        pModule->AbortWait();
    }
    pThis->PublishStats();
    pThis->m_bDriving.store(false, std::memory_order_release);
    LogPrint(kLogDebug, "%s", kMsgMuxThreadExit);
    LogPrint(kLogDebug, "%s", kMsgOutThreadExit);
    return 0;
}

int CMuxDriver::FillSlots(int nWant, uint8_t* pOut)
{
    int nFilled = 0;
    for (;;) {
        const CSlotScheduler::CFill fill =
            m_run.pScheduler->FillSlots(nWant - nFilled, pOut + size_t(nFilled) * kTsPacketSize);
        nFilled += fill.nFilled;
        if (!fill.IsChange()) {
            return nFilled;
        }
        m_run.pPrograms->Apply(fill);
    }
}

void CMuxDriver::DriveLoop()
{
    CSlotScheduler& scheduler = *m_run.pScheduler;
    const COutputTime& time = scheduler.GetTime();
    const int64_t nStatsEvery = std::max<int64_t>(time.SlotsIn(kStatsEveryMs), 1);
    int64_t nEnd = std::numeric_limits<int64_t>::max();
    if (m_run.fDuration > 0.0) {
        nEnd = std::max<int64_t>(
            1, int64_t(m_run.fDuration * double(time.GetRate()) / double(kTsPacketSize * 8)));
    }
    std::vector<uint8_t> vBuf(size_t(kMaxBatchSlots) * kTsPacketSize); // zeroed: touched
    if (m_run.nRealtimePriority > 0 && !m_run.bVirtualClock) {
        EnterRealtime();
    }
    if (nEnd < std::numeric_limits<int64_t>::max()) {
        scheduler.SetEndSlot(nEnd);
    }
    CPacer pacer(time, PacingOf(*m_run.pOutput, time), *m_run.pClock);
    scheduler.SetLocalStart(pacer.GetStartMicros());
    int64_t nWritten = 0;
    int64_t nNextStats = nStatsEvery;

    while (!m_bStop.load(std::memory_order_acquire) && nWritten < nEnd) {
        int64_t nWant = kMaxBatchSlots;
        if (!m_run.bVirtualClock) {
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
        const int nFilled = FillSlots(int(nWant), vBuf.data());
        if (nFilled > 0) {
            m_run.pOutput->RenderPackets(vBuf.data(), nFilled);
            nWritten += nFilled;
            if (!m_run.bVirtualClock) {
                pacer.OnWritten(nFilled);
            }
            if (m_run.pOutput->IsBroken()) {
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
        if (!m_run.bVirtualClock) {
            WatchInputs(scheduler.GetStarvedInput());
        }
        const int nStarved = scheduler.GetStarvedInput();
        if (nFilled < nWant && nStarved >= 0) {
            CTimedQueue& queue = m_run.vInputs[size_t(nStarved)]->GetQueue();
            if (queue.GetPublishedCount() > 0) {
                os::Sleep(kMoreDataWaitMs); // the rest of a PES near the end is on its way
            } else {
                queue.WaitForData(kReaderWaitMicros);
            }
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

int CMuxDriver::FindFillingLiveQueue() const
{
    for (size_t i = 0; i < m_run.vInputs.size(); ++i) {
        CInputModule* pModule = m_run.vInputs[i];
        const CTimedQueue& queue = pModule->GetQueue();
        if (pModule->IsLive() && queue.GetPublishedCount() > queue.GetCapacity() / 8 * 7) {
            return int(i);
        }
    }
    return -1;
}

void CMuxDriver::EnterRealtime()
{
    std::string sPrioError, sLockError;
    const bool bPrio = os::SetThreadRealtime(m_run.nRealtimePriority, sPrioError);
    const bool bLocked = os::LockMemory(sLockError);
    os::PrefaultStack(kPrefaultStackBytes);
    const int nPrio = m_run.nRealtimePriority;
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

bool CMuxDriver::PublishStats(bool bWait)
{
    const CSlotScheduler& scheduler = *m_run.pScheduler;
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
    m_stats.vInputs.resize(m_run.vInputs.size());
    ReadInputCounters(m_stats);
    for (size_t i = 0; i < m_run.vInputs.size(); ++i) {
        _MUX_INPUT_STATS& in = m_stats.vInputs[i];
        const CSlotScheduler::CInputStats& s = scheduler.GetInputStats()[i];
        in.llPacketsMuxed = s.nMuxed;
        in.llLate = s.nLate;
    }
    const std::vector<COutProgram>& vPrograms = m_run.pPrograms->GetPrograms();
    m_stats.vPrograms.resize(vPrograms.size());
    for (size_t p = 0; p < vPrograms.size(); ++p) {
        _MUX_PROGRAM_STATS& out = m_stats.vPrograms[p];
        const int nPcrPid = vPrograms[p].nPcrPid;
        out.nProgramNumber = vPrograms[p].nProgramNumber;
        out.nInput = vPrograms[p].nInput;
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
    m_stats.nSdtIntervalMs = m_run.pIntervals->GetSdtMs();
    m_stats.nNitIntervalMs = m_run.pIntervals->GetNitMs();
    m_bHaveStats = true;
    return true;
}

void CMuxDriver::WatchInputs(int nStarved)
{
    const int64_t nNow = os::ToMicros(m_run.pClock->Now());
    for (size_t i = 0; i < m_run.vInputs.size(); ++i) {
        CInputModule* pModule = m_run.vInputs[i];
        CTimedQueue& queue = pModule->GetQueue();
        CInputWatch::CLook look;
        look.nRead = pModule->GetPacketsRead();
        look.bQueued = queue.GetPublishedCount() > 0;
        look.bStarved = nStarved == int(i);
        look.bWaiting = pModule->IsFeedWaiting();
        look.bLive = pModule->IsLive();
        look.bSourceDown = pModule->IsFeedLost();
        look.bReady = pModule->IsReady();
        look.bEnded = queue.IsEndPublished();
        switch (m_pWatch->Look(i, look, nNow)) {
        case CInputWatch::EChange::kNone:
            break;
        case CInputWatch::EChange::kStalled:
            // What comes next starts afresh, signalled.
            pModule->SetDown();
            m_run.pScheduler->SetInputDown(i);
            LogPrint(kLogDebug, "mux: input %zu: its reader waits for data; the output goes on",
                     i + 1);
            break;
        case CInputWatch::EChange::kDown:
            if (look.bSourceDown) {
                LogPrint(kLogWarning,
                         "mux: input %zu: its feed is lost; its programs stay, empty, until it "
                         "sends again",
                         i + 1);
            } else {
                LogPrint(kLogWarning,
                         "mux: input %zu: nothing received for %d ms; its programs stay, empty, "
                         "until it sends again",
                         i + 1, m_run.nInputTimeoutMs);
            }
            pModule->SetDown();
            m_run.pScheduler->SetInputDown(i);
            break;
        case CInputWatch::EChange::kBack:
            LogPrint(kLogWarning, "mux: input %zu: receiving again after %.1f s", i + 1,
                     double(m_pWatch->GetAwayMicros(i)) / 1e6);
            break;
        case CInputWatch::EChange::kJoined:
            LogPrint(kLogWarning, "mux: input %zu: programs found; they join the multiplex",
                     i + 1);
            break;
        }
    }
}

bool CMuxDriver::GetStats(_MUX_STATS& stats) const
{
    std::lock_guard<std::mutex> lock(m_mtxStats);
    if (!m_bHaveStats) {
        return false;
    }
    stats = m_stats;
    // While the driver runs the inputs' own counters are live; after it the
    // inputs may be gone, and the last snapshot has what they said.
    if (m_bDriving.load(std::memory_order_acquire)) {
        ReadInputCounters(stats);
    }
    return true;
}

void CMuxDriver::ReadInputCounters(_MUX_STATS& stats) const
{
    for (size_t i = 0; i < m_run.vInputs.size() && i < stats.vInputs.size(); ++i) {
        const CInputModule* pModule = m_run.vInputs[i];
        _MUX_INPUT_STATS& in = stats.vInputs[i];
        in.llPacketsRead = pModule->GetPacketsRead();
        in.llDropped = pModule->GetDropped();
        in.llCcErrors = pModule->GetCcErrors();
        in.llPcrs = pModule->GetPcrCount();
        in.nBitRate = int(pModule->GetBitRate());
    }
}
