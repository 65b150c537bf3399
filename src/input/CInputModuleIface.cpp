// The exported input facade: every call goes to the CInputModule unchanged.
// Nothing may throw across the library boundary; a module that could not be
// created leaves an input that never becomes ready and hands out nothing.
#include "braidmill.h"

#include "input/CInputModule.h"

#include <new>

CInputModuleIface::CInputModuleIface() : m_pModule(nullptr)
{
    try {
        m_pModule = new CInputModule;
    } catch (...) {
        m_pModule = nullptr;
    }
}

CInputModuleIface::~CInputModuleIface()
{
    delete m_pModule;
}

void CInputModuleIface::SetSourceAttribute(_SOURCE_ATTRIBUTE attr)
{
    if (m_pModule != nullptr) {
        try {
            m_pModule->SetSourceAttribute(attr);
        } catch (...) {
            // out of memory: the input stays without a timing object
        }
    }
}

void CInputModuleIface::SetPrepareType(_OVERFLOW_TREATMENT type)
{
    if (m_pModule != nullptr) {
        m_pModule->SetPrepareType(type);
    }
}

void CInputModuleIface::Start()
{
    if (m_pModule != nullptr) {
        m_pModule->Start();
    }
}

void CInputModuleIface::RecvOnePacket(unsigned char* data, int len)
{
    if (m_pModule != nullptr) {
        try {
            m_pModule->RecvOnePacket(data, len);
        } catch (...) {
            // out of memory in the analysis: the packet stays stored
        }
    }
}

void CInputModuleIface::StreamEnd()
{
    if (m_pModule != nullptr) {
        m_pModule->StreamEnd();
    }
}

bool CInputModuleIface::IsReady()
{
    return m_pModule != nullptr && m_pModule->IsReady();
}

int CInputModuleIface::GetProgramCount()
{
    return m_pModule != nullptr ? m_pModule->GetProgramCount() : 0;
}

std::vector<_PROGRAM_INFO>* CInputModuleIface::GetDemuxInfo()
{
    return m_pModule != nullptr ? m_pModule->GetDemuxInfo() : nullptr;
}

int* CInputModuleIface::GetPidMapList()
{
    return m_pModule != nullptr ? m_pModule->GetPidMapList() : nullptr;
}

unsigned char* CInputModuleIface::GetOnePacket(long long& llPtsDelta, long long& llDtsDelta,
                                               int& nPcrPid)
{
    if (m_pModule == nullptr) {
        llPtsDelta = -1;
        llDtsDelta = -1;
        nPcrPid = -1;
        return nullptr;
    }
    return m_pModule->GetOnePacket(llPtsDelta, llDtsDelta, nPcrPid);
}

void CInputModuleIface::ReleaseBuffer(unsigned char* packet)
{
    if (m_pModule != nullptr) {
        m_pModule->ReleaseBuffer(packet);
    }
}

bool CInputModuleIface::IsStreamEnd()
{
    // Without a module there is nothing to wait for.
    return m_pModule == nullptr || m_pModule->IsStreamEnd();
}

bool CInputModuleIface::CanNeverBeReady()
{
    return m_pModule == nullptr || m_pModule->CanNeverBeReady();
}

void CInputModuleIface::AbortWait()
{
    if (m_pModule != nullptr) {
        m_pModule->AbortWait();
    }
}

void CInputModuleIface::SetBitRate(int nBitsPerSecond)
{
    if (m_pModule != nullptr) {
        m_pModule->SetBitRate(nBitsPerSecond);
    }
}

void CInputModuleIface::ChoosePrograms(const std::vector<int>& vProgramNumbers)
{
    if (m_pModule != nullptr) {
        try {
            m_pModule->ChoosePrograms(vProgramNumbers);
        } catch (...) {
            // out of memory: every program stays chosen
        }
    }
}

double CInputModuleIface::GetProgramShare()
{
    return m_pModule != nullptr ? m_pModule->GetKeptShare() : -1;
}

void CInputModuleIface::SetLive(bool bLive)
{
    if (m_pModule != nullptr) {
        m_pModule->SetLive(bLive);
    }
}

int CInputModuleIface::GetBitRate()
{
    return m_pModule != nullptr ? int(m_pModule->GetBitRate()) : -1;
}

void CInputModuleIface::SetFeedDown()
{
    if (m_pModule != nullptr) {
        m_pModule->SetFeedLost();
    }
}

void CInputModuleIface::SetFeedWaiting(bool bWaiting)
{
    if (m_pModule != nullptr) {
        m_pModule->SetFeedWaiting(bWaiting);
    }
}

long long CInputModuleIface::GetPacketsReceived()
{
    return m_pModule != nullptr ? m_pModule->GetPacketsRead() : 0;
}
