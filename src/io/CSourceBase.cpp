// The threaded source base: owns the read buffer and the reader thread.
// The client configures it and calls StartRead; from then on only the
// reader thread touches the buffer. The destructor never leaves the thread
// running: it asks it to stop and joins it.
#include "braidmill.h"

#include "os/COsThread.h"

#include <new>

namespace {

os::COsThread* ThreadOf(void* hThread)
{
    return static_cast<os::COsThread*>(hThread);
}

} // namespace

CSourceBase::CSourceBase()
    : m_hThread(nullptr), m_pRecvModule(nullptr), m_pBuffer(nullptr), m_nBufferSize(0),
      m_bStop(false)
{
}

CSourceBase::~CSourceBase()
{
    // Derived sources stop and join in their own destructor, while their
    // WorkFun can still run safely; this is the backstop for those that
    // do not, so that no thread outlives its object joinable.
    StopAndJoin();
    delete ThreadOf(m_hThread);
    m_hThread = nullptr;
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
}

void CSourceBase::InitBuffer(int size)
{
    if (m_pBuffer != nullptr || size <= 0) {
        return;
    }
    m_pBuffer = new (std::nothrow) unsigned char[size];
    m_nBufferSize = m_pBuffer != nullptr ? size : 0;
}

void CSourceBase::SetRecvModule(CInputModuleIface* module)
{
    m_pRecvModule = module;
}

void CSourceBase::StartRead()
{
    if (m_hThread != nullptr) {
        return; // started once; a second thread would share the buffer
    }
    auto* pThread = new (std::nothrow) os::COsThread;
    if (pThread == nullptr) {
        return;
    }
    if (!pThread->Start(&CSourceBase::WorkThread, this)) {
        delete pThread;
        return;
    }
    m_hThread = pThread;
}

void CSourceBase::StopAndJoin()
{
    os::COsThread* pThread = ThreadOf(m_hThread);
    if (pThread == nullptr) {
        return;
    }
    m_bStop.store(true, std::memory_order_release);
    // A reader blocked on a full input would otherwise never see the flag.
    if (m_pRecvModule != nullptr && !pThread->HasEnded()) {
        m_pRecvModule->AbortWait();
    }
    pThread->Join();
}

bool CSourceBase::IsStopRequested() const
{
    return m_bStop.load(std::memory_order_acquire);
}

unsigned long CSourceBase::WorkThread(void* param)
{
    try {
        static_cast<CSourceBase*>(param)->WorkFun();
    } catch (...) {
        // A derived WorkFun that throws must not take the process down.
    }
    return 0;
}
