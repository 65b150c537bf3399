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

CMuxCore::CMuxCore() : m_pClock(&os::CMonotonicClock::Instance()) {}

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
    m_driver.Join();
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
    CMuxDriver::CRun run;
    run.pScheduler = m_pScheduler.get();
    run.pPrograms = &m_programs;
    run.pOutput = m_pOutput;
    run.pClock = m_pClock;
    run.pIntervals = &m_intervals;
    for (CInputModuleIface* pIn : m_vInputs) {
        run.vInputs.push_back(ModuleOf(pIn));
    }
    run.vJoining = m_vJoining;
    run.fDuration = m_fDuration;
    run.bVirtualClock = m_bVirtualClock;
    run.nRealtimePriority = m_nRealtimePriority;
    run.nInputTimeoutMs = m_nInputTimeoutMs;
    if (!m_driver.Start(std::move(run))) {
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
    CPsiBuilder& builder = m_programs.GetBuilder();
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
        builder.NoteAbsent(int(i + 1), pTables->vAbsent);
    }
    vFirstProgram.push_back(builder.GetPrograms().size());
    m_vOmitted = builder.GetOmitted();
    m_nOmitted.store(int(m_vOmitted.size()), std::memory_order_release);
    if (!m_programs.BuildFirstTables()) {
        return false;
    }
    const std::vector<CPsiTable>& vTables = m_programs.GetTables();
    const std::vector<COutProgram>& vPrograms = m_programs.GetPrograms();

    const int64_t nRate = GetBitRate();
    const COutputTime time(nRate);
    m_intervals.Choose(vTables, nRate);
    if (m_intervals.GetSdtMs() > kPsiRepeatMs || m_intervals.GetNitMs() > kPsiRepeatMs) {
        LogPrint(kLogDebug, "mux: tables: SDT every %d ms, NIT every %d ms", m_intervals.GetSdtMs(),
                 m_intervals.GetNitMs());
    }
    const long long llTableRate = m_intervals.BitRate(vTables);
    if (llTableRate > nRate) {
        LogPrint(kLogError,
                 "mux: the tables need %lld bit/s, more than the output rate of %lld bit/s",
                 llTableRate, static_cast<long long>(nRate));
    }
    m_pScheduler = std::make_unique<CSlotScheduler>(nRate, vTables, time.SlotsIn(kLateGuardMs),
                                                    m_intervals);
    std::vector<CInputModule*> vModules;
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModule* pModule = ModuleOf(m_vInputs[i]);
        vModules.push_back(pModule);
        m_vQueues.push_back(std::make_unique<CQueueInput>(pModule->GetQueue()));
        CSlotScheduler::CInput in;
        in.pQueue = m_vQueues.back().get();
        in.pPidMap = pModule->GetPidMapList();
        in.bTimed = pModule->IsTimed();
        // A live input is never waited for: its sender sets the pace, and a
        // silent one must not hold the others.
        in.bLive = pModule->IsLive() && in.bTimed;
        in.bWaitFor = !in.bLive;
        for (size_t p = vFirstProgram[i]; p < vFirstProgram[i + 1]; ++p) {
            if (vPrograms[p].nPcrPid != kPidNull) {
                in.vPcrPids.push_back(vPrograms[p].nPcrPid);
            }
        }
        m_pScheduler->AddInput(in);
        if (m_vJoining[i]) {
            m_pScheduler->SetInputDown(i);
        }
    }
    m_programs.Attach(*m_pScheduler, std::move(vModules));
    return true;
}

void CMuxCore::WaitFinish()
{
    if (!m_bStarted) {
        return; // Run refused, gave up, or never ran
    }
    m_driver.Join();
}

void CMuxCore::Stop()
{
    m_bStop.store(true, std::memory_order_release); // the driver looks at it between writes
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

bool CMuxCore::SetOutputProgramNumber(int nInput, int nProgramNumber, int nOutNumber)
{
    if (m_bRunCalled) {
        LogPrint(kLogError, "mux: output program numbers are set before Run; ignored");
        return false;
    }
    return m_programs.GetBuilder().AskNumber(nInput, nProgramNumber, nOutNumber);
}

long long CMuxCore::GetTableBitRate()
{
    CPsiBuilder builder = m_programs.GetBuilder().AsksOnly();
    builder.SetIdentity(m_identity);
    builder.SetServiceNames(m_bServiceNames);
    builder.SetCaPass(m_bCaPass);
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModuleIface* pIn = m_vInputs[i];
        if (pIn == nullptr || !pIn->IsReady()) {
            return -1;
        }
        // What Prepare numbers, into maps of its own: the inputs' stay untouched.
        CInputModule* pModule = ModuleOf(pIn);
        std::vector<int> vScratchMap(kPidCount, -1);
        const CInputTables& ready = pModule->GetReadyTables();
        builder.AddInput(int(i + 1), ready.vPrograms, vScratchMap.data(), &ready.vDescriptors);
        builder.SetServices(int(i + 1), ready.services);
        builder.SetCat(int(i + 1), ready, vScratchMap.data());
    }
    // The intervals Run will choose at the rate set so far.
    return builder.SentBitRate(m_intervals, GetBitRate());
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

