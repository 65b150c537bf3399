#include "CTimedReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <type_traits>

CTimedReceiver::~CTimedReceiver()
{
    Stop();
    if (m_nSocket >= 0) {
        close(m_nSocket);
    }
}

bool CTimedReceiver::Open()
{
    m_nSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_nSocket < 0) {
        return false;
    }
    const int nBuffer = 8 << 20;
    const int nOne = 1;
    // Past the system's cap where permitted: a slow test machine must not
    // lose datagrams to this reader's own delays.
    if (setsockopt(m_nSocket, SOL_SOCKET, SO_RCVBUFFORCE, &nBuffer, sizeof nBuffer) != 0) {
        setsockopt(m_nSocket, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
    }
    setsockopt(m_nSocket, SOL_SOCKET, SO_TIMESTAMPNS, &nOne, sizeof nOne);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof addr;
    if (bind(m_nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(m_nSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        return false;
    }
    m_nPort = ntohs(addr.sin_port);
    return true;
}

void CTimedReceiver::Start()
{
    m_th = std::thread([this] { Run(); });
}

void CTimedReceiver::Run()
{
    // Reads in batches every few milliseconds instead of sleeping in a
    // wait: the kernel's time stamps make that exact, and a waiting reader
    // would have every send wake it, a cost the sender pays on loopback
    // that no receiver across a network puts on it.
    constexpr int kBatch = 64;
    constexpr int kSlot = 65536;
    std::vector<uint8_t> vBuf(size_t(kBatch) * kSlot);
    std::vector<iovec> vIov(kBatch);
    std::vector<mmsghdr> vMsg(kBatch);
    using Control = std::aligned_storage_t<CMSG_SPACE(sizeof(timespec)), alignof(cmsghdr)>;
    std::vector<Control> vControl(kBatch);
    while (!m_bStop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (;;) {
            for (int i = 0; i < kBatch; ++i) {
                vIov[size_t(i)] = iovec{vBuf.data() + size_t(i) * kSlot, kSlot};
                vMsg[size_t(i)] = mmsghdr{};
                vMsg[size_t(i)].msg_hdr.msg_iov = &vIov[size_t(i)];
                vMsg[size_t(i)].msg_hdr.msg_iovlen = 1;
                vMsg[size_t(i)].msg_hdr.msg_control = &vControl[size_t(i)];
                vMsg[size_t(i)].msg_hdr.msg_controllen = sizeof(Control);
            }
            const int nGot = recvmmsg(m_nSocket, vMsg.data(), kBatch, MSG_DONTWAIT, nullptr);
            if (nGot <= 0) {
                break;
            }
            for (int i = 0; i < nGot; ++i) {
                msghdr& msg = vMsg[size_t(i)].msg_hdr;
                int64_t nNanos = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                        timespec ts{};
                        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                        nNanos = int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
                    }
                }
                const uint8_t* p = vBuf.data() + size_t(i) * kSlot;
                m_vArrivals.push_back(CArrival{nNanos, {p, p + vMsg[size_t(i)].msg_len}});
                m_nLastNanos.store(std::max<int64_t>(nNanos, 1));
                m_nCount.store(m_vArrivals.size());
            }
        }
    }
}

void CTimedReceiver::StopWhenIdle(int nIdleMs, int nMaxMs)
{
    using namespace std::chrono;
    const auto tEnd = steady_clock::now() + milliseconds(nMaxMs);
    int64_t nSeen = 0;
    auto tSeen = steady_clock::now();
    while (steady_clock::now() < tEnd) {
        std::this_thread::sleep_for(milliseconds(20));
        const int64_t nLast = m_nLastNanos.load();
        if (nLast != nSeen) {
            nSeen = nLast;
            tSeen = steady_clock::now();
        } else if (nSeen != 0 && steady_clock::now() - tSeen >= milliseconds(nIdleMs)) {
            break;
        }
    }
    Stop();
}

void CTimedReceiver::Stop()
{
    m_bStop.store(true);
    if (m_th.joinable()) {
        m_th.join();
    }
}

std::vector<uint8_t> CTimedReceiver::GetBytes() const
{
    std::vector<uint8_t> v;
    for (const CArrival& a : m_vArrivals) {
        v.insert(v.end(), a.vData.begin(), a.vData.end());
    }
    return v;
}

CPacingFigures AnalyzePacing(const std::vector<CArrival>& vArrivals, double fSpacingMs,
                             double fBurstMs)
{
    CPacingFigures f;
    f.nDatagrams = vArrivals.size();
    if (vArrivals.size() < 2) {
        return f;
    }
    // Least squares of arrival time (ms) over the bytes sent before each.
    const int64_t nOrigin = vArrivals.front().nNanos;
    std::vector<double> vX, vY;
    double fBytes = 0;
    size_t nLargest = 0;
    for (const CArrival& a : vArrivals) {
        vX.push_back(fBytes);
        vY.push_back(double(a.nNanos - nOrigin) / 1e6);
        fBytes += double(a.vData.size());
        nLargest = std::max(nLargest, a.vData.size());
    }
    const double n = double(vX.size());
    double fSx = 0, fSy = 0, fSxx = 0, fSxy = 0;
    for (size_t i = 0; i < vX.size(); ++i) {
        fSx += vX[i];
        fSy += vY[i];
        fSxx += vX[i] * vX[i];
        fSxy += vX[i] * vY[i];
    }
    const double fSlope = (n * fSxy - fSx * fSy) / (n * fSxx - fSx * fSx); // ms per byte
    const double fIntercept = (fSy - fSlope * fSx) / n;
    f.fRateBps = fSlope > 0 ? 8000.0 / fSlope : 0;
    f.fSpacingMs = fSpacingMs > 0 ? fSpacingMs : fSlope * double(nLargest);
    double fLo = 1e300, fHi = -1e300, fSq = 0;
    for (size_t i = 0; i < vX.size(); ++i) {
        const double fOff = vY[i] - (fIntercept + fSlope * vX[i]);
        fLo = std::min(fLo, fOff);
        fHi = std::max(fHi, fOff);
        fSq += fOff * fOff;
    }
    f.fSpreadMs = fHi - fLo;
    f.fSpreadSdMs = std::sqrt(fSq / n);
    f.fMinGapMs = 1e300;
    int nBurst = 1;
    f.nLongestBurst = 1;
    for (size_t i = 1; i < vY.size(); ++i) {
        const double fGap = vY[i] - vY[i - 1];
        f.fMaxGapMs = std::max(f.fMaxGapMs, fGap);
        f.fMinGapMs = std::min(f.fMinGapMs, fGap);
        f.nCloserThanHalf += fGap < f.fSpacingMs / 2 ? 1 : 0;
        nBurst = fGap < fBurstMs ? nBurst + 1 : 1;
        f.nLongestBurst = std::max(f.nLongestBurst, nBurst);
    }
    return f;
}
