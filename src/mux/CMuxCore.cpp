#include "mux/CMuxCore.h"

#include "input/CInputModule.h"
#include "log/CLogger.h"
#include "mux/CSlotScheduler.h"
#include "mux/MuxConstants.h"
#include "os/Sleep.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>

namespace {

constexpr unsigned kReadyPollMs = 2; // the wait's look at the inputs' readiness

} // namespace

CInputModule* CMuxCore::ModuleOf(CInputModuleIface* pIn)
{
    return pIn != nullptr ? pIn->m_pModule : nullptr;
}

CMuxCore::CMuxCore() : m_pClock(&os::CMonotonicClock::Instance()), m_stats() {}

void CMuxCore::AddInputModule(CInputModuleIface* pIn)
{
    m_vInputs.push_back(pIn);
    if (CInputModule* pModule = ModuleOf(pIn)) {
        pModule->SetNumber(int(m_vInputs.size()));
        pModule->SetCaPass(m_bCaPass);
    }
}

void CMuxCore::SetCaPass(bool bPass)
{
    m_bCaPass = bPass;
    for (CInputModuleIface* pIn : m_vInputs) {
        if (CInputModule* pModule = ModuleOf(pIn)) {
            pModule->SetCaPass(bPass);
        }
    }
}

CMuxCore::~CMuxCore()
{
    // Normal use has joined the driver in WaitFinish; an engine deleted
    // earlier must not leave it running on freed memory.
    m_bStop.store(true, std::memory_order_release);
    m_thDriver.Join();
}

void CMuxCore::SetOutputBitRate(float fRate)
{
    m_fBitRate = fRate;
}

long long CMuxCore::GetBitRate() const
{
    if (m_llExactRate > 0) {
        return m_llExactRate;
    }
    if (!(m_fBitRate > 0.0f) || std::isinf(m_fBitRate)) {
        return 0;
    }
    return std::llround(double(m_fBitRate) * kMbit);
}

void CMuxCore::Run()
{
    if (m_bRunCalled) {
        LogPrint(kLogError, "mux: Run called again; ignored");
        return;
    }
    m_bRunCalled = true;

    // Without a rate nothing would ever be written.
    if (GetBitRate() < int64_t(kTsPacketSize) * 8) {
        LogPrint(kLogError, "mux: output rate %g is not a positive rate; nothing started",
                 m_llExactRate > 0 ? double(m_llExactRate) : double(m_fBitRate));
        m_bFailed.store(true, std::memory_order_release);
        return;
    }
    if (m_pOutput == nullptr) {
        LogPrint(kLogError, "mux: no output module set; nothing started");
        m_bFailed.store(true, std::memory_order_release);
        return;
    }
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        if (ModuleOf(m_vInputs[i]) == nullptr) {
            LogPrint(kLogError, "mux: input %zu is null; nothing started", i + 1);
            m_bFailed.store(true, std::memory_order_release);
            return;
        }
    }
    const int nReady = WaitForInputs(m_nStartWaitMs);
    if (m_bStop.load(std::memory_order_acquire)) {
        Fail();
        return;
    }
    m_vJoining.assign(m_vInputs.size(), false);
    bool bRefused = false;
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModuleIface* pIn = m_vInputs[i];
        if (pIn->IsReady()) {
            continue;
        }
        if (pIn->CanNeverBeReady()) {
            LogPrint(kLogError,
                     "mux: input %zu ended before its programs were found; multiplex stopped",
                     i + 1);
            bRefused = true;
        } else if (nReady == 0 || m_bVirtualClock) {
            // Output time waits for every input: its bytes must not depend
            // on when a reader came.
            LogPrint(kLogError, "mux: input %zu found no programs within %d ms; multiplex stopped",
                     i + 1, m_nStartWaitMs);
            bRefused = true;
        } else {
            LogPrint(kLogWarning, "mux: input %zu: no programs yet; they join when they come",
                     i + 1);
            m_vJoining[i] = true;
        }
    }
    if (bRefused) {
        Fail();
        return;
    }
    // A rate the tables fill leaves no slot for the content: the run would
    // write tables and PCR-only packets and never end.
    if (const long long llTables = GetTableBitRate(); llTables >= GetBitRate()) {
        LogPrint(kLogError,
                 "mux: the tables need %lld bit/s, the output rate is %lld; nothing started",
                 llTables, static_cast<long long>(GetBitRate()));
        Fail();
        return;
    }
    bool bPrepared = false;
    try {
        bPrepared = Prepare();
    } catch (const std::exception& e) {
        LogPrint(kLogError, "mux: building the PSI tables: %s", e.what());
    }
    if (!bPrepared) {
        LogPrint(kLogError, "mux: the PSI tables could not be built; multiplex stopped");
        Fail();
        return;
    }
    PublishStats();
    for (CInputModuleIface* pIn : m_vInputs) {
        ModuleOf(pIn)->BeginOutput();
    }
    m_bDriving.store(true, std::memory_order_release);
    if (!m_thDriver.Start(DriverThreadProc, this)) {
        m_bDriving.store(false, std::memory_order_release);
        LogPrint(kLogError, "mux: the output thread could not be started");
        Fail();
        return;
    }
    m_bStarted = true;
}

int CMuxCore::WaitForInputs(int nMaxMs)
{
    // Wall time, whatever clock paces the output: this waits for readers.
    os::IClock& clock = os::CMonotonicClock::Instance();
    const int64_t nStart = os::ToMicros(clock.Now());
    for (;;) {
        int nReady = 0;
        bool bNever = false;
        for (CInputModuleIface* pIn : m_vInputs) {
            if (ModuleOf(pIn) == nullptr) {
                bNever = true;
            } else if (pIn->IsReady()) {
                ++nReady;
            } else {
                bNever = bNever || pIn->CanNeverBeReady();
            }
        }
        if (nReady == int(m_vInputs.size()) || bNever || m_bStop.load(std::memory_order_acquire) ||
            (nMaxMs >= 0 && os::ToMicros(clock.Now()) - nStart >= int64_t(nMaxMs) * 1000)) {
            return nReady;
        }
        os::Sleep(kReadyPollMs);
    }
}

void CMuxCore::Fail()
{
    m_bFailed.store(true, std::memory_order_release);
    // Nothing will drain the inputs any more; a reader waiting for room in
    // one must be able to finish.
    for (CInputModuleIface* pIn : m_vInputs) {
        if (pIn != nullptr) {
            pIn->AbortWait();
        }
    }
}

bool CMuxCore::Prepare()
{
    CPsiBuilder& builder = m_builder;
    builder.SetIdentity(m_identity);
    builder.SetServiceNames(m_bServiceNames);
    builder.SetCaPass(m_bCaPass);
    std::vector<size_t> vFirstProgram; // per input: its first program's index
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModule* pModule = ModuleOf(m_vInputs[i]);
        vFirstProgram.push_back(builder.GetPrograms().size());
        if (m_vJoining[i]) {
            continue; // its first tables come with their marker, as a change
        }
        // The tables the input became ready with; later ones come with
        // their markers.
        std::shared_ptr<const CInputTables> pTables = pModule->TakeTables(1);
        if (!pTables) {
            const CInputTables& ready = pModule->GetReadyTables();
            builder.AddInput(int(i + 1), ready.vPrograms, pModule->GetPidMapList(),
                             &ready.vDescriptors);
            builder.SetCat(int(i + 1), ready, pModule->GetPidMapList());
            continue;
        }
        for (const CInputTables::CMissing& missing : pTables->vMissing) {
            LogPrint(kLogWarning,
                     "input %zu: program %d (PMT PID 0x%04X) has no PMT; left out until it comes",
                     i + 1, missing.nProgramNumber, unsigned(missing.nPmtPid));
        }
        builder.AddInput(int(i + 1), pTables->vPrograms, pModule->GetPidMapList(),
                         &pTables->vDescriptors);
        builder.SetServices(int(i + 1), pTables->services);
        builder.SetCat(int(i + 1), *pTables, pModule->GetPidMapList());
    }
    vFirstProgram.push_back(builder.GetPrograms().size());
    m_vOmitted = builder.GetOmitted();
    m_nOmitted.store(int(m_vOmitted.size()), std::memory_order_release);
    m_vPrograms = builder.GetPrograms();
    if (!builder.BuildTables(m_vTables)) {
        return false;
    }

    const int64_t nRate = GetBitRate();
    const COutputTime time(nRate);
    m_intervals.Choose(m_vTables, nRate);
    if (m_intervals.GetSdtMs() > kPsiRepeatMs || m_intervals.GetNitMs() > kPsiRepeatMs) {
        LogPrint(kLogDebug, "mux: tables: SDT every %d ms, NIT every %d ms", m_intervals.GetSdtMs(),
                 m_intervals.GetNitMs());
    }
    const long long llTableRate = m_intervals.BitRate(m_vTables);
    if (llTableRate > nRate) {
        LogPrint(kLogError,
                 "mux: the tables need %lld bit/s, more than the output rate of %lld bit/s",
                 llTableRate, static_cast<long long>(nRate));
    }
    m_pScheduler = std::make_unique<CSlotScheduler>(nRate, m_vTables, time.SlotsIn(kLateGuardMs),
                                                    m_intervals);
    m_pScheduler->SetChangeListener(this);
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModule* pModule = ModuleOf(m_vInputs[i]);
        CSlotScheduler::CInput in;
        in.pQueue = &pModule->GetQueue();
        in.pPidMap = pModule->GetPidMapList();
        in.bTimed = pModule->IsTimed();
        // A live input is never waited for: its sender sets the pace, and a
        // silent one must not hold the others.
        in.bLive = pModule->IsLive() && in.bTimed;
        in.bWaitFor = !in.bLive;
        for (size_t p = vFirstProgram[i]; p < vFirstProgram[i + 1]; ++p) {
            if (m_vPrograms[p].nPcrPid != kPidNull) {
                in.vPcrPids.push_back(m_vPrograms[p].nPcrPid);
            }
        }
        m_pScheduler->AddInput(in);
        if (m_vJoining[i]) {
            m_pScheduler->SetInputDown(i);
        }
    }
    if (!m_bVirtualClock) {
        m_pWatch = std::make_unique<CInputWatch>(int64_t(m_nInputTimeoutMs) * 1000,
                                                 int64_t(kStallGraceMs) * 1000);
        for (size_t i = 0; i < m_vInputs.size(); ++i) {
            m_pWatch->AddInput(m_vJoining[i]);
        }
    }
    MapPrograms();
    return true;
}

void CMuxCore::MapPrograms()
{
    CSlotScheduler& scheduler = *m_pScheduler;
    m_vProgramInput.resize(m_vPrograms.size());
    for (size_t p = 0; p < m_vPrograms.size(); ++p) {
        const COutProgram& program = m_vPrograms[p];
        m_vProgramInput[p] = program.nInput;
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

bool CMuxCore::SendNewTables()
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

void CMuxCore::OnPcrPidMoved(int nProgram, int nFromPid, int nToPid)
{
    if (!m_builder.MovePcrPid(size_t(nProgram), nToPid)) {
        return;
    }
    m_vPrograms = m_builder.GetPrograms();
    const COutProgram& program = m_vPrograms[size_t(nProgram)];
    // The input's own PID, as users find it in their input.
    int nInPid = -1;
    const int* pMap = ModuleOf(m_vInputs[size_t(program.nInput - 1)])->GetPidMapList();
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

std::vector<int> CMuxCore::PcrPidsOf(size_t nInput) const
{
    std::vector<int> vPids;
    for (const COutProgram& program : m_builder.GetPrograms()) {
        if (program.nInput == int(nInput + 1) && program.bOn && program.nPcrPid != kPidNull) {
            vPids.push_back(program.nPcrPid);
        }
    }
    return vPids;
}

void CMuxCore::OnInputChange(size_t nInput, uint32_t nChange)
{
    CInputModule* pModule = ModuleOf(m_vInputs[nInput]);
    std::shared_ptr<const CInputTables> pTables = pModule->TakeTables(nChange);
    if (!pTables) {
        return; // taken at an earlier marker already
    }
    const std::vector<int> vPcrBefore = PcrPidsOf(nInput);
    bool bChanged = m_builder.UpdateInput(int(nInput + 1), pTables->vPrograms,
                                          pModule->GetPidMapList(), pTables->vDescriptors);
    bChanged = m_builder.SetServices(int(nInput + 1), pTables->services) || bChanged;
    bChanged = m_builder.SetCat(int(nInput + 1), *pTables, pModule->GetPidMapList()) || bChanged;
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

void CMuxCore::WatchInputs(int nStarved)
{
    const int64_t nNow = os::ToMicros(m_pClock->Now());
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModule* pModule = ModuleOf(m_vInputs[i]);
        if (pModule == nullptr) {
            continue; // Run refuses a null input before the driver starts
        }
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
            m_pScheduler->SetInputDown(i);
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
                         i + 1, m_nInputTimeoutMs);
            }
            pModule->SetDown();
            m_pScheduler->SetInputDown(i);
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

void CMuxCore::WaitFinish()
{
    if (!m_bStarted) {
        return; // Run refused, gave up, or never ran
    }
    m_thDriver.Join();
}

void CMuxCore::Stop()
{
    m_bStop.store(true, std::memory_order_release);
    for (CInputModuleIface* pIn : m_vInputs) {
        if (pIn != nullptr) {
            pIn->AbortWait();
        }
    }
}

bool CMuxCore::GetOmittedProgram(int nIndex, int& nInput, int& nProgramNumber) const
{
    if (nIndex < 0 || nIndex >= m_nOmitted.load(std::memory_order_acquire)) {
        return false;
    }
    nInput = m_vOmitted[size_t(nIndex)].nInput;
    nProgramNumber = m_vOmitted[size_t(nIndex)].nProgramNumber;
    return true;
}

long long CMuxCore::GetTableBitRate()
{
    CPsiBuilder builder;
    builder.SetIdentity(m_identity);
    builder.SetCaPass(m_bCaPass);
    std::vector<int> vScratchMap(kPidCount, -1); // the inputs' own maps stay untouched
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModuleIface* pIn = m_vInputs[i];
        if (pIn == nullptr || !pIn->IsReady()) {
            return -1;
        }
        CInputModule* pModule = ModuleOf(pIn);
        const CInputTables& ready = pModule->GetReadyTables();
        builder.AddInput(int(i + 1), ready.vPrograms, vScratchMap.data(), &ready.vDescriptors);
        builder.SetCat(int(i + 1), ready, vScratchMap.data());
    }
    std::vector<CPsiTable> vTables;
    if (!builder.BuildTables(vTables)) {
        return -1;
    }
    // The intervals Run will choose at the rate set so far.
    CTableIntervals intervals = m_intervals;
    intervals.Choose(vTables, GetBitRate());
    return intervals.BitRate(vTables);
}

bool CMuxCore::IsIntervalValid(const char* szTable, int nMs, int nMaxMs)
{
    if (nMs != 0 && (nMs < kSiMinIntervalMs || nMs > nMaxMs)) {
        LogPrint(kLogError, "mux: %s interval of %d ms refused: it must be %d to %d ms", szTable,
                 nMs, kSiMinIntervalMs, nMaxMs);
        return false;
    }
    return true;
}

void CMuxCore::SetSdtInterval(int nMs)
{
    if (IsIntervalValid("SDT", nMs, kSdtLimitMs)) {
        m_intervals.SetSdtMs(nMs);
    }
}

void CMuxCore::SetNitInterval(int nMs)
{
    if (IsIntervalValid("NIT", nMs, kNitLimitMs)) {
        m_intervals.SetNitMs(nMs);
    }
}

bool CMuxCore::GetStats(_MUX_STATS& stats) const
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

void CMuxCore::ReadInputCounters(_MUX_STATS& stats) const
{
    for (size_t i = 0; i < m_vInputs.size() && i < stats.vInputs.size(); ++i) {
        const CInputModule* pModule = ModuleOf(m_vInputs[i]);
        _MUX_INPUT_STATS& in = stats.vInputs[i];
        in.llPacketsRead = pModule->GetPacketsRead();
        in.llDropped = pModule->GetDropped();
        in.llCcErrors = pModule->GetCcErrors();
        in.llPcrs = pModule->GetPcrCount();
        in.nBitRate = int(pModule->GetBitRate());
    }
}
