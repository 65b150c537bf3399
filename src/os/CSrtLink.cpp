#include "os/CSrtLink.h"

#include "log/CLogger.h"
#include "os/Ipv4Endpoint.h"
#include "os/CUdpUrl.h"

#include <srt.h>
#include <access_control.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace os {

namespace {

constexpr int kRecallMs = 1000;      // between failed calls, ms
constexpr int kEpisodeLogLimit = 10; // losses and failed calls logged one by one, then a total
constexpr auto kDropsPeriod = std::chrono::seconds(1); // the drop figure's refresh
constexpr int kDrainStepMs = 5;
constexpr int kPlayOutMarginMs = 50; // beyond the peer's latency: its drift and scheduling

constexpr const char* kMsgListening = "SRT listening on %s:%u: %s ";
constexpr const char* kMsgConnected = "SRT peer %s connected: %s ";
constexpr const char* kMsgBack = "SRT peer %s connected after %.1f s without one: %s ";
constexpr const char* kMsgLost = "SRT connection lost (%s), %s: %s ";
constexpr const char* kMsgCallFailed = "SRT call to %s failed (%s), calling again every %d s: %s ";
constexpr const char* kMsgRefusedCaller = "SRT caller %s refused (%s): %s ";
constexpr const char* kMsgEpisodes = "SRT: %lld connections lost or calls failed in all: %s ";

std::string AddressOf(const sockaddr* pAddr)
{
    if (pAddr == nullptr || pAddr->sa_family != AF_INET) {
        return "?";
    }
    const auto* pIn = reinterpret_cast<const sockaddr_in*>(pAddr);
    return FormatAddress(pIn->sin_addr.s_addr) + ":" + std::to_string(ntohs(pIn->sin_port));
}

std::string PeerOf(int nSocket)
{
    sockaddr_storage sa{};
    int nLen = sizeof(sa);
    if (srt_getpeername(nSocket, reinterpret_cast<sockaddr*>(&sa), &nLen) != 0) {
        return "?";
    }
    return AddressOf(reinterpret_cast<const sockaddr*>(&sa));
}

template <class T> bool SetFlag(int nSocket, SRT_SOCKOPT opt, T value)
{
    return srt_setsockflag(nSocket, opt, &value, sizeof(value)) != SRT_ERROR;
}

} // namespace

int CSrtLink::NewSocket(std::string& sError)
{
    const int nSocket = srt_create_socket();
    if (nSocket == SRT_INVALID_SOCK) {
        sError = std::string("SRT socket: ") + srt_getlasterror_str();
        return -1;
    }
    // The transmission type first: it resets the other options to its own defaults.
    bool bOk = SetFlag(nSocket, SRTO_TRANSTYPE, int(SRTT_LIVE)) &&
               SetFlag(nSocket, SRTO_RCVSYN, false) && SetFlag(nSocket, SRTO_SNDSYN, false);
    if (bOk && m_url.nLatencyMs >= 0) {
        bOk = SetFlag(nSocket, SRTO_LATENCY, m_url.nLatencyMs);
    }
    if (bOk && !m_url.sPassphrase.empty()) {
        bOk = srt_setsockflag(nSocket, SRTO_PASSPHRASE, m_url.sPassphrase.data(),
                              int(m_url.sPassphrase.size())) != SRT_ERROR;
    }
    if (bOk && m_url.nKeyBytes != 0) {
        bOk = SetFlag(nSocket, SRTO_PBKEYLEN, m_url.nKeyBytes);
    }
    if (bOk && !m_url.sStreamId.empty() && m_url.mode != ESrtMode::kListener) {
        bOk = srt_setsockflag(nSocket, SRTO_STREAMID, m_url.sStreamId.data(),
                              int(m_url.sStreamId.size())) != SRT_ERROR;
    }
    bOk = bOk && ApplySendBitRate(nSocket);
    if (bOk && m_url.mode == ESrtMode::kRendezvous) {
        bOk = SetFlag(nSocket, SRTO_RENDEZVOUS, true);
    }
    if (!bOk) {
        sError = std::string("SRT option: ") + srt_getlasterror_str();
        srt_close(nSocket);
        return -1;
    }
    return nSocket;
}

bool CSrtLink::ApplySendBitRate(int nSocket)
{
    if (m_llSendBitRate <= 0) {
        return true;
    }
    return SetFlag(nSocket, SRTO_INPUTBW, int64_t(m_llSendBitRate / 8)) &&
           SetFlag(nSocket, SRTO_MAXBW, int64_t(0));
}

void CSrtLink::SetSendBitRate(long long llBitsPerSecond)
{
    m_llSendBitRate = llBitsPerSecond > 0 ? llBitsPerSecond : 0;
    if (m_nSocket >= 0) {
        ApplySendBitRate(m_nSocket);
    }
}

bool CSrtLink::Open(const SrtUrl& url, const std::string& sName, std::string& sError)
{
    Close();
    if (!m_library.IsStarted()) {
        sError = "the SRT library could not be started";
        return false;
    }
    m_url = url;
    m_sName = sName;
    m_bEverConnected = false;
    m_sLastFailure.clear();
    m_llEpisodes = 0;
    m_llConnections = 0;
    m_llDropsDone = 0;
    m_llDropsNow = 0;
    m_llRefused = 0;
    m_nEpoll = srt_epoll_create();
    if (m_nEpoll < 0) {
        sError = std::string("SRT epoll: ") + srt_getlasterror_str();
        return false;
    }
    // An empty set is a plain wait: the pause between calls.
    srt_epoll_set(m_nEpoll, SRT_EPOLL_ENABLE_EMPTY);
    if (url.mode != ESrtMode::kListener) {
        m_tNextCall = SteadyClock::now();
        if (!StartCall(sError)) {
            Close();
            return false;
        }
        return true;
    }
    m_nListener = NewSocket(sError);
    if (m_nListener < 0) {
        Close();
        return false;
    }
    const sockaddr_in sa = Ipv4Endpoint(url.nHost, url.nPort);
    if (srt_bind(m_nListener, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == SRT_ERROR ||
        srt_listen_callback(m_nListener, &CSrtLink::AdmitCaller, this) == SRT_ERROR ||
        srt_listen(m_nListener, 1) == SRT_ERROR) {
        sError = "listen on " + FormatAddress(url.nHost) + ":" + std::to_string(url.nPort) + ": " +
                 srt_getlasterror_str();
        Close();
        return false;
    }
    Watch(m_nListener, SRT_EPOLL_IN | SRT_EPOLL_ERR);
    LogPrint(kLogDebug, kMsgListening, FormatAddress(url.nHost).c_str(), unsigned(url.nPort),
             m_sName.c_str());
    return true;
}

void CSrtLink::Close()
{
    if (m_nSocket >= 0) {
        UpdateDrops(true);
    }
    CloseSocket();
    if (m_nListener >= 0) {
        // Once closed, the library calls the admission hook no more.
        Watch(-1, 0);
        srt_close(m_nListener);
        m_nListener = -1;
    }
    if (m_nEpoll >= 0) {
        srt_epoll_release(m_nEpoll);
        m_nEpoll = -1;
        if (m_llEpisodes > kEpisodeLogLimit) {
            LogPrint(kLogWarning, kMsgEpisodes, m_llEpisodes, m_sName.c_str());
        }
    }
}

void CSrtLink::CloseSocket()
{
    if (m_nSocket >= 0) {
        if (m_nWatched == m_nSocket) {
            Watch(-1, 0);
        }
        srt_close(m_nSocket);
        m_nSocket = -1;
    }
    m_bConnected = false;
}

void CSrtLink::Watch(int nSocket, int nEvents)
{
    if (m_nWatched >= 0) {
        srt_epoll_remove_usock(m_nEpoll, m_nWatched);
    }
    m_nWatched = -1;
    if (nSocket >= 0 && srt_epoll_add_usock(m_nEpoll, nSocket, &nEvents) != SRT_ERROR) {
        m_nWatched = nSocket;
    }
}

int CSrtLink::Wait(int nWaitMs)
{
    if (nWaitMs <= 0) {
        return 0;
    }
    SRT_EPOLL_EVENT events[2];
    const int n = srt_epoll_uwait(m_nEpoll, events, 2, nWaitMs);
    return n < 0 ? 0 : n;
}

bool CSrtLink::StartCall(std::string& sError)
{
    const int nSocket = NewSocket(sError);
    if (nSocket < 0) {
        return false;
    }
    if (m_url.nLocalPort != 0) {
        const sockaddr_in local = Ipv4Endpoint(0, m_url.nLocalPort);
        if (srt_bind(nSocket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) ==
            SRT_ERROR) {
            sError = "bind to local port " + std::to_string(m_url.nLocalPort) + ": " +
                     srt_getlasterror_str();
            srt_close(nSocket);
            return false;
        }
    }
    const sockaddr_in peer = Ipv4Endpoint(m_url.nHost, m_url.nPort);
    if (srt_connect(nSocket, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == SRT_ERROR) {
        sError = srt_getlasterror_str();
        srt_close(nSocket);
        return false;
    }
    m_nSocket = nSocket;
    Watch(nSocket, SRT_EPOLL_OUT | SRT_EPOLL_ERR);
    return true;
}

void CSrtLink::CallFailed(const std::string& sWhy)
{
    CloseSocket();
    m_tNextCall = SteadyClock::now() + std::chrono::milliseconds(kRecallMs);
    // One line per reason: a peer away for an hour is one line, not 3600.
    if (sWhy != m_sLastFailure) {
        m_sLastFailure = sWhy;
        if (++m_llEpisodes <= kEpisodeLogLimit) {
            const std::string sPeer =
                FormatAddress(m_url.nHost) + ":" + std::to_string(m_url.nPort);
            LogPrint(kLogWarning, kMsgCallFailed, sPeer.c_str(), sWhy.c_str(), kRecallMs / 1000,
                     m_sName.c_str());
        }
    }
}

void CSrtLink::CheckCall(int nWaitMs)
{
    SRT_SOCKSTATUS status = srt_getsockstate(m_nSocket);
    if (status == SRTS_CONNECTING) {
        Wait(nWaitMs);
        status = srt_getsockstate(m_nSocket);
    }
    if (status == SRTS_CONNECTED) {
        Connected(m_nSocket);
    } else if (status != SRTS_CONNECTING) {
        CallFailed(srt_rejectreason_str(srt_getrejectreason(m_nSocket)));
    }
}

void CSrtLink::Accept(int nWaitMs)
{
    Wait(nWaitMs);
    sockaddr_storage sa{};
    int nLen = sizeof(sa);
    const int nSocket = srt_accept(m_nListener, reinterpret_cast<sockaddr*>(&sa), &nLen);
    if (nSocket == SRT_INVALID_SOCK) {
        return; // no caller waiting
    }
    if (srt_getsockstate(nSocket) != SRTS_CONNECTED) {
        srt_close(nSocket); // gone again before it was taken
        return;
    }
    Connected(nSocket);
    // A second caller admitted in the same instant would wait unserved.
    for (int nOther; (nOther = srt_accept(m_nListener, reinterpret_cast<sockaddr*>(&sa), &nLen)) !=
                     SRT_INVALID_SOCK;) {
        srt_close(nOther);
        ++m_llRefused;
    }
}

void CSrtLink::Connected(int nSocket)
{
    m_nSocket = nSocket;
    Watch(nSocket, SRT_EPOLL_IN | SRT_EPOLL_ERR);
    m_llDropsNow = 0;
    m_tDrops = SteadyClock::now();
    m_sLastFailure.clear();
    ++m_llConnections;
    m_bConnected = true;
    const std::string sPeer = PeerOf(nSocket);
    if (!m_bEverConnected) {
        LogPrint(kLogDebug, kMsgConnected, sPeer.c_str(), m_sName.c_str());
    } else if (m_llEpisodes <= kEpisodeLogLimit) {
        const double fSeconds = std::chrono::duration<double>(SteadyClock::now() - m_tLost).count();
        LogPrint(kLogWarning, kMsgBack, sPeer.c_str(), fSeconds, m_sName.c_str());
    }
    m_bEverConnected = true;
}

void CSrtLink::Lost(const char* szWhy)
{
    UpdateDrops(true);
    CloseSocket();
    m_tLost = SteadyClock::now();
    const bool bListener = m_url.mode == ESrtMode::kListener;
    if (++m_llEpisodes <= kEpisodeLogLimit) {
        LogPrint(kLogWarning, kMsgLost, szWhy, bListener ? "waiting for a caller" : "calling again",
                 m_sName.c_str());
    }
    if (bListener) {
        Watch(m_nListener, SRT_EPOLL_IN | SRT_EPOLL_ERR);
    } else {
        m_tNextCall = m_tLost; // at once: the peer may be back already
    }
}

void CSrtLink::UpdateDrops(bool bFinal)
{
    SRT_TRACEBSTATS perf{};
    if (m_nSocket >= 0 && srt_bstats(m_nSocket, &perf, 0) != SRT_ERROR) {
        m_llDropsNow = (long long)perf.pktSndDropTotal + perf.pktRcvDropTotal;
    }
    if (bFinal) {
        m_llDropsDone += m_llDropsNow.exchange(0);
    }
    m_tDrops = SteadyClock::now();
}

bool CSrtLink::Poll(int nWaitMs)
{
    if (!IsOpen() || m_bConnected) {
        return m_bConnected;
    }
    if (m_url.mode == ESrtMode::kListener) {
        Accept(nWaitMs);
    } else if (m_nSocket >= 0) {
        CheckCall(nWaitMs);
    } else {
        const auto tNow = SteadyClock::now();
        if (tNow < m_tNextCall) {
            const auto nLeftMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_tNextCall - tNow).count();
            Wait(int(std::min<long long>(nWaitMs, nLeftMs + 1)));
        } else if (std::string sWhy; StartCall(sWhy)) {
            CheckCall(nWaitMs);
        } else {
            CallFailed(sWhy);
        }
    }
    return m_bConnected;
}

int CSrtLink::Receive(uint8_t* pData, int nMax, int nWaitMs)
{
    if (!m_bConnected) {
        if (!Poll(nWaitMs)) {
            return 0;
        }
        nWaitMs = 0; // the wait went on the connection
    }
    if (SteadyClock::now() - m_tDrops >= kDropsPeriod) {
        UpdateDrops(false);
    }
    int n = srt_recvmsg(m_nSocket, reinterpret_cast<char*>(pData), nMax);
    if (n == SRT_ERROR && srt_getlasterror(nullptr) == SRT_EASYNCRCV) {
        if (Wait(nWaitMs) == 0) {
            return 0;
        }
        n = srt_recvmsg(m_nSocket, reinterpret_cast<char*>(pData), nMax);
        if (n == SRT_ERROR && srt_getlasterror(nullptr) == SRT_EASYNCRCV) {
            return 0;
        }
    }
    if (n >= 0) {
        return n;
    }
    const std::string sWhy = srt_getlasterror_str();
    Lost(sWhy.c_str());
    return -1;
}

CSrtLink::ESend CSrtLink::Send(const uint8_t* pData, int nLen)
{
    if (!m_bConnected) {
        return ESend::kNoPeer;
    }
    if (SteadyClock::now() - m_tDrops >= kDropsPeriod) {
        UpdateDrops(false);
    }
    if (srt_sendmsg(m_nSocket, reinterpret_cast<const char*>(pData), nLen, -1, 0) != SRT_ERROR) {
        return ESend::kSent;
    }
    if (srt_getlasterror(nullptr) == SRT_EASYNCSND) {
        return ESend::kNoRoom;
    }
    const std::string sWhy = srt_getlasterror_str();
    Lost(sWhy.c_str());
    return ESend::kNoPeer;
}

bool CSrtLink::Drain(int nMaxMs)
{
    // The peer plays a message out its latency after it was sent and drops
    // what it still holds when the connection closes: acknowledged is not
    // yet delivered.
    int nLatencyMs = 0;
    int nLen = sizeof(nLatencyMs);
    if (m_nSocket >= 0 &&
        srt_getsockflag(m_nSocket, SRTO_PEERLATENCY, &nLatencyMs, &nLen) == SRT_ERROR) {
        nLatencyMs = 0;
    }
    const auto tEnd = SteadyClock::now() + std::chrono::milliseconds(nMaxMs + nLatencyMs);
    auto tPlayed = SteadyClock::time_point::max(); // once all is acknowledged
    while (m_bConnected && srt_getsockstate(m_nSocket) == SRTS_CONNECTED) {
        const auto tNow = SteadyClock::now();
        if (tPlayed == SteadyClock::time_point::max()) {
            size_t nBlocks = 0;
            size_t nBytes = 0;
            if (srt_getsndbuffer(m_nSocket, &nBlocks, &nBytes) == SRT_ERROR) {
                return false;
            }
            if (nBlocks == 0) {
                tPlayed = tNow + std::chrono::milliseconds(nLatencyMs + kPlayOutMarginMs);
            }
        }
        if (tNow >= tPlayed) {
            return true;
        }
        if (tNow >= tEnd) {
            return false;
        }
        Wait(kDrainStepMs); // the set holds the connection: woken only by an error
    }
    return false;
}

int CSrtLink::AdmitCaller(void* pOpaque, int nSocket, int, const sockaddr* pPeer,
                          const char* szStreamId) noexcept
{
    auto* pThis = static_cast<CSrtLink*>(pOpaque);
    const char* szWhy = nullptr;
    if (pThis->m_bConnected.load()) {
        szWhy = "busy with another peer";
        srt_setrejectreason(nSocket, SRT_REJX_OVERLOAD);
    } else if (!pThis->m_url.sStreamId.empty() &&
               (szStreamId == nullptr || pThis->m_url.sStreamId != szStreamId)) {
        szWhy = "it asks for another streamid";
        srt_setrejectreason(nSocket, SRT_REJX_NOTFOUND);
    }
    if (szWhy == nullptr) {
        return 0;
    }
    if (++pThis->m_llRefused <= kEpisodeLogLimit) {
        LogPrint(kLogWarning, kMsgRefusedCaller, AddressOf(pPeer).c_str(), szWhy,
                 pThis->m_sName.c_str());
    }
    return -1;
}

} // namespace os
