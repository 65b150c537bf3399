#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "input/CInputModule.h"
#include "log/CLogger.h"
#include "mux/CPsiBuilder.h"
#include "os/Sleep.h"

#include <cmath>
#include <exception>

namespace {

constexpr unsigned kReadyPollMs = 2; // Run's look at the inputs' readiness

} // namespace

CMuxCore::CMuxCore() : m_pClock(&os::CMonotonicClock::Instance()), m_pacer(*m_pClock) {}

CMuxCore::~CMuxCore()
{
    // Normal use has joined both threads in WaitFinish; an engine deleted
    // earlier must not leave them running on freed memory.
    RaiseAndWake(m_bStop);
    m_thOut.Join();
    m_thMux.Join();
}

void CMuxCore::SetOutputBitRate(float fRate)
{
    m_fBitRate = fRate;
    m_pacer.SetBitRate(fRate);
}

void CMuxCore::SetClock(os::IClock& clock)
{
    m_pClock = &clock;
    m_pacer.SetClock(clock);
}

void CMuxCore::Run()
{
    if (m_bRunCalled) {
        LogPrint(kLogError, "mux: Run called again; ignored");
        return;
    }
    m_bRunCalled = true;

    // Without a rate nothing would ever be written, and queued packets would
    // keep the output thread (and WaitFinish) waiting for ever.
    if (!(m_fBitRate > 0.0f) || std::isinf(m_fBitRate)) {
        LogPrint(kLogError, "mux: output rate %g is not a positive rate; nothing started",
                 double(m_fBitRate));
        m_bFailed.store(true, std::memory_order_release);
        return;
    }
    if (m_pOutput == nullptr) {
        LogPrint(kLogError, "mux: no output module set; nothing started");
        m_bFailed.store(true, std::memory_order_release);
        return;
    }
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        if (m_vInputs[i] == nullptr) {
            LogPrint(kLogError, "mux: input %zu is null; nothing started", i + 1);
            m_bFailed.store(true, std::memory_order_release);
            return;
        }
    }

    // In output-time mode one thread does all, once the tables are built.
    if (!m_bVirtualClock && !m_thMux.Start(MuxThreadProc, this)) {
        LogPrint(kLogError, "mux: the mux thread could not be started");
        m_bFailed.store(true, std::memory_order_release);
        return;
    }

    for (;;) {
        bool bAllReady = true;
        for (size_t i = 0; i < m_vInputs.size(); ++i) {
            CInputModuleIface* pIn = m_vInputs[i];
            if (pIn->IsReady()) {
                continue;
            }
            bAllReady = false;
            if (pIn->CanNeverBeReady()) {
                LogPrint(kLogError,
                         "mux: input %zu ended before its programs were found; multiplex stopped",
                         i + 1);
                FailRun();
                return;
            }
        }
        if (bAllReady) {
            break;
        }
        os::Sleep(kReadyPollMs);
    }

    bool bBuilt = false;
    try {
        bBuilt = BuildPsi();
    } catch (const std::exception& e) {
        LogPrint(kLogError, "mux: building the PSI tables: %s", e.what());
    }
    if (!bBuilt) {
        LogPrint(kLogError, "mux: the PSI tables could not be built; multiplex stopped");
        FailRun();
        return;
    }
    // Opens the gate: the mux thread gathers only from here on, so it sees
    // the PID maps, the PSI set and its counters as BuildPsi left them.
    RaiseAndWake(m_bPsiReady);

    if (m_bVirtualClock) {
        // Every clock of the multiplex reads the output's own time.
        m_virtualClock.SetRate(double(m_fBitRate) * kMbit);
        m_pacer.SetClock(m_virtualClock);
        for (CInputModuleIface* pIn : m_vInputs) {
            if (pIn->m_pModule != nullptr) {
                pIn->m_pModule->SetClock(m_virtualClock);
                pIn->m_pModule->SetRoomWakeups(true);
            }
        }
    }
    if (!m_thOut.Start(m_bVirtualClock ? VirtualThreadProc : OutThreadProc, this)) {
        LogPrint(kLogError, "mux: the output thread could not be started");
        FailRun();
        return;
    }
    m_bOutStarted = true;
}

void CMuxCore::FailRun()
{
    m_bFailed.store(true, std::memory_order_release);
    RaiseAndWake(m_bStop);
    m_thMux.Join();
    // Nothing will drain the inputs any more; a reader waiting for room in
    // one must be able to finish.
    for (CInputModuleIface* pIn : m_vInputs) {
        pIn->AbortWait();
    }
}

void CMuxCore::WaitFinish()
{
    if (!m_bOutStarted) {
        return; // Run refused, gave up, or never ran
    }
    m_thOut.Join();
    // The output thread ends only after the mux thread has set its end flag
    // as its last act, so this join returns at once.
    m_thMux.Join();
}

bool CMuxCore::BuildPsi()
{
    CPsiBuilder builder;
    for (size_t i = 0; i < m_vInputs.size(); ++i) {
        CInputModuleIface* pIn = m_vInputs[i];
        std::vector<_PROGRAM_INFO>* pPrograms = pIn->GetDemuxInfo();
        int* pPidMap = pIn->GetPidMapList();
        // The PMT descriptors are no part of the exported interface; the
        // engine reads them from the input module behind the facade.
        const std::vector<CProgramDescriptors>* pDescriptors =
            pIn->m_pModule != nullptr ? pIn->m_pModule->GetPmtDescriptors() : nullptr;
        if (pPrograms != nullptr && pPidMap != nullptr) {
            builder.AddInput(int(i + 1), *pPrograms, pPidMap, pDescriptors);
        }
    }
    m_nOmitted.store(builder.GetOmittedCount(), std::memory_order_release);

    // Taken at this moment: a later SetOutputBitRate does not reach them.
    const double fBytesPerSecond = double(m_fBitRate) * kMbit / 8.0;
    for (const COutProgram& program : builder.GetPrograms()) {
        if (program.nPcrPid == kPidNull || m_pcrCalcs.count(program.nPcrPid) != 0) {
            continue;
        }
        auto pCalc = std::make_unique<CCalcPcrN1>();
        pCalc->SetRate(fBytesPerSecond);
        m_pcrCalcs.emplace(program.nPcrPid, std::move(pCalc));
    }
    return builder.BuildPackets(m_vPsiBuf);
}

void CMuxCore::Stop()
{
    RaiseAndWake(m_bStop);
    for (CInputModuleIface* pIn : m_vInputs) {
        if (pIn != nullptr) {
            pIn->AbortWait();
        }
    }
}

bool CMuxCore::GetStats(_MUX_STATS&) const
{
    return false;
}
