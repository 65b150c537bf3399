#include "CPacedSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>

namespace {

constexpr int kPacket = 188;
constexpr int kPerDatagram = 7;

int64_t PcrOf(const uint8_t* p)
{
    if ((p[3] & 0x20) == 0 || p[4] < 7 || (p[5] & 0x10) == 0) {
        return -1;
    }
    const int64_t nBase = (int64_t(p[6]) << 25) | (int64_t(p[7]) << 17) | (int64_t(p[8]) << 9) |
                          (int64_t(p[9]) << 1) | (p[10] >> 7);
    return nBase * 300 + (((p[10] & 1) << 8) | p[11]);
}

int64_t NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool CPacedSender::Load(const std::string& sPath)
{
    std::ifstream file(sPath, std::ios::binary);
    m_vData.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    m_vData.resize(m_vData.size() / kPacket * kPacket);
    const size_t nCount = m_vData.size() / kPacket;
    // PCRs of the first PID that carries one, unwrapped and in seconds.
    int nPcrPid = -1;
    std::vector<std::pair<size_t, double>> vPcrs;
    int64_t nFirst = -1;
    int64_t nLast = -1;
    int64_t nWraps = 0;
    for (size_t i = 0; i < nCount; ++i) {
        const uint8_t* p = &m_vData[i * kPacket];
        const int nPid = ((p[1] & 0x1F) << 8) | p[2];
        const int64_t nPcr = PcrOf(p);
        if (nPcr < 0 || (nPcrPid >= 0 && nPid != nPcrPid)) {
            continue;
        }
        nPcrPid = nPid;
        if (nLast >= 0 && nPcr < nLast) {
            nWraps += (int64_t(1) << 33) * 300;
        }
        nLast = nPcr;
        if (nFirst < 0) {
            nFirst = nPcr + nWraps;
        }
        vPcrs.emplace_back(i, double(nPcr + nWraps - nFirst) / 27e6);
    }
    if (vPcrs.size() < 2) {
        return false;
    }
    m_vTimes.resize(nCount);
    size_t k = 0;
    for (size_t i = 0; i < nCount; ++i) {
        while (k + 2 < vPcrs.size() && vPcrs[k + 1].first <= i) {
            ++k;
        }
        const auto& a = vPcrs[k];
        const auto& b = vPcrs[k + 1];
        const double fSlope = (b.second - a.second) / double(b.first - a.first);
        m_vTimes[i] = std::max(0.0, a.second + (double(i) - double(a.first)) * fSlope);
    }
    return true;
}

double CPacedSender::GetSeconds() const
{
    return m_vTimes.empty() ? 0 : m_vTimes.back();
}

bool CPacedSender::Start(int nPort, double fClockScale, double fDelaySeconds,
                         int64_t nPausePacket, double fPauseSeconds)
{
    const int nSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (nSocket < 0) {
        return false;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(nSocket);
        return false;
    }
    m_bStop = false;
    m_th = std::thread(&CPacedSender::Run, this, nSocket, fClockScale, fDelaySeconds,
                       nPausePacket, fPauseSeconds);
    return true;
}

void CPacedSender::StartFd(int nFd, double fDelaySeconds, int64_t nPausePacket,
                           double fPauseSeconds)
{
    m_bStop = false;
    m_th = std::thread(&CPacedSender::Run, this, nFd, 1.0, fDelaySeconds, nPausePacket,
                       fPauseSeconds);
}

void CPacedSender::Run(int nFd, double fClockScale, double fDelaySeconds,
                       int64_t nPausePacket, double fPauseSeconds)
{
    std::vector<int> vCopies;
    for (int nPort : m_vCopyPorts) {
        const int nCopy = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(nPort));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (nCopy >= 0 && connect(nCopy, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            vCopies.push_back(nCopy);
        } else if (nCopy >= 0) {
            close(nCopy);
        }
    }
    const int64_t nStart = NowMicros() + int64_t(fDelaySeconds * 1e6);
    const size_t nCount = m_vTimes.size();
    double fPause = 0;
    for (size_t i = 0; i < nCount && !m_bStop; i += kPerDatagram) {
        const size_t nEnd = std::min(nCount, i + kPerDatagram);
        if (nPausePacket >= 0 && int64_t(i) <= nPausePacket && nPausePacket < int64_t(nEnd)) {
            fPause = fPauseSeconds;
        }
        const int64_t nDue = nStart + int64_t((m_vTimes[i] * fClockScale + fPause) * 1e6);
        while (!m_bStop && NowMicros() < nDue) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::min<int64_t>(nDue - NowMicros(), 50'000)));
        }
        const int64_t nSent = NowMicros();
        const bool bSent = write(nFd, &m_vData[i * kPacket], (nEnd - i) * kPacket) >= 0;
        for (int nCopy : vCopies) {
            (void)!write(nCopy, &m_vData[i * kPacket], (nEnd - i) * kPacket);
        }
        if (!bSent) {
            continue; // nobody listening yet: that datagram is lost, as on a network
        }
        if (m_nTracePid >= 0) {
            for (size_t j = i; j < nEnd; ++j) {
                const uint8_t* p = &m_vData[j * kPacket];
                if ((((p[1] & 0x1F) << 8) | p[2]) == m_nTracePid) {
                    m_vTrace.push_back(nSent);
                }
            }
        }
    }
    close(nFd);
    for (int nCopy : vCopies) {
        close(nCopy);
    }
}

void CPacedSender::Join()
{
    if (m_th.joinable()) {
        m_th.join();
    }
}

void CPacedSender::Stop()
{
    m_bStop = true;
    Join();
}
