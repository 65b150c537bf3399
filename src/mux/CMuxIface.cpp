// The exported facade of the engine: every call goes to the CMuxCore it
// owns. Nothing thrown inside gets past these bodies.
#include "braidmill.h"

#include "log/CLogger.h"
#include "mux/CMuxCore.h"
#include "mux/DvbText.h"
#include "os/Realtime.h"

#include <exception>

namespace {

void LogFailure(const char* szCall, const char* szWhat) noexcept
{
    LogPrint(kLogError, "mux: %s failed: %s", szCall, szWhat);
}

} // namespace

CMuxIface::CMuxIface() : m_pCore(nullptr)
{
    try {
        m_pCore = new CMuxCore;
    } catch (const std::exception& e) {
        LogFailure("creating the engine", e.what());
    }
}

CMuxIface::~CMuxIface()
{
    delete m_pCore;
}

void CMuxIface::SetOutputBitRate(float rate)
{
    if (m_pCore != nullptr) {
        m_pCore->SetOutputBitRate(rate);
    }
}

void CMuxIface::SetOutPutModule(COutPutModuleBase* out)
{
    if (m_pCore != nullptr) {
        m_pCore->SetOutPutModule(out);
    }
}

void CMuxIface::AddInputModule(CInputModuleIface* in)
{
    if (m_pCore == nullptr) {
        return;
    }
    try {
        m_pCore->AddInputModule(in);
    } catch (const std::exception& e) {
        LogFailure("AddInputModule", e.what());
    }
}

void CMuxIface::Run()
{
    if (m_pCore == nullptr) {
        LogPrint(kLogError, "mux: Run without an engine; nothing started");
        return;
    }
    try {
        m_pCore->Run();
    } catch (const std::exception& e) {
        LogFailure("Run", e.what());
    }
}

void CMuxIface::WaitFinish()
{
    if (m_pCore != nullptr) {
        m_pCore->WaitFinish();
    }
}

bool CMuxIface::IsFailed() const
{
    return m_pCore == nullptr || m_pCore->IsFailed();
}

int CMuxIface::GetOmittedProgramCount() const
{
    return m_pCore != nullptr ? m_pCore->GetOmittedProgramCount() : 0;
}

void CMuxIface::SetVirtualClock(bool bVirtual)
{
    if (m_pCore != nullptr) {
        m_pCore->SetVirtualClock(bVirtual);
    }
}

void CMuxIface::SetOutputBitRateBps(long long llBitsPerSecond)
{
    if (m_pCore != nullptr) {
        m_pCore->SetOutputBitRateBps(llBitsPerSecond);
    }
}

void CMuxIface::SetTransportStreamId(int nId)
{
    if (m_pCore != nullptr) {
        m_pCore->GetIdentity().nTsId = nId;
    }
}

void CMuxIface::SetOriginalNetworkId(int nId)
{
    if (m_pCore != nullptr) {
        m_pCore->GetIdentity().nOriginalNetworkId = nId;
    }
}

void CMuxIface::SetNetworkId(int nId)
{
    if (m_pCore != nullptr) {
        m_pCore->GetIdentity().nNetworkId = nId;
    }
}

void CMuxIface::SetNetworkName(const char* name)
{
    if (m_pCore == nullptr) {
        return;
    }
    try {
        m_pCore->GetIdentity().sNetworkName = name != nullptr ? name : "";
    } catch (const std::exception& e) {
        LogFailure("SetNetworkName", e.what());
    }
}

int GetNetworkNameBytes(const char* name)
{
    try {
        return name != nullptr ? int(DvbTextFromUtf8(name).size()) : -1;
    } catch (const std::exception& e) {
        LogFailure("GetNetworkNameBytes", e.what());
        return -1;
    }
}

void CMuxIface::Stop()
{
    if (m_pCore != nullptr) {
        m_pCore->Stop();
    }
}

bool CMuxIface::GetStats(_MUX_STATS& stats) const
{
    if (m_pCore == nullptr) {
        return false;
    }
    try {
        return m_pCore->GetStats(stats);
    } catch (const std::exception& e) {
        LogFailure("GetStats", e.what());
        return false;
    }
}

bool CMuxIface::GetOmittedProgram(int nIndex, int& nInput, int& nProgramNumber) const
{
    return m_pCore != nullptr && m_pCore->GetOmittedProgram(nIndex, nInput, nProgramNumber);
}

long long CMuxIface::GetTableBitRate()
{
    if (m_pCore == nullptr) {
        return -1;
    }
    try {
        return m_pCore->GetTableBitRate();
    } catch (const std::exception& e) {
        LogFailure("GetTableBitRate", e.what());
        return -1;
    }
}

void CMuxIface::SetDuration(double fSeconds)
{
    if (m_pCore != nullptr) {
        m_pCore->SetDuration(fSeconds);
    }
}

void CMuxIface::SetServiceNames(bool bFromInputs)
{
    if (m_pCore != nullptr) {
        m_pCore->SetServiceNames(bFromInputs);
    }
}

void CMuxIface::SetSdtInterval(int nMs)
{
    if (m_pCore != nullptr) {
        m_pCore->SetSdtInterval(nMs);
    }
}

void CMuxIface::SetNitInterval(int nMs)
{
    if (m_pCore != nullptr) {
        m_pCore->SetNitInterval(nMs);
    }
}

bool CMuxIface::SetRealtimePriority(int nPriority)
{
    if (m_pCore == nullptr || nPriority < 0 || nPriority > os::kMaxRealtimePriority) {
        return false;
    }
    m_pCore->SetRealtimePriority(nPriority);
    return true;
}

void CMuxIface::SetStartWaitMs(int nMs)
{
    if (m_pCore != nullptr) {
        m_pCore->SetStartWaitMs(nMs);
    }
}

int CMuxIface::WaitForInputs(int nMaxMs)
{
    return m_pCore != nullptr ? m_pCore->WaitForInputs(nMaxMs) : 0;
}

void CMuxIface::SetInputTimeoutMs(int nMs)
{
    if (m_pCore != nullptr) {
        m_pCore->SetInputTimeoutMs(nMs);
    }
}

void CMuxIface::SetCaPass(bool bPass)
{
    if (m_pCore != nullptr) {
        m_pCore->SetCaPass(bPass);
    }
}

bool CMuxIface::SetOutputProgramNumber(int nInput, int nProgramNumber, int nOutNumber)
{
    try {
        return m_pCore != nullptr &&
               m_pCore->SetOutputProgramNumber(nInput, nProgramNumber, nOutNumber);
    } catch (const std::exception& e) {
        LogFailure("SetOutputProgramNumber", e.what());
        return false;
    }
}
