#pragma once

#include "os/CSrtLibrary.h"
#include "os/CSrtUrl.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

struct sockaddr;

namespace os {

// One SRT connection in live mode to one peer at a time, made again
// whenever it is lost: a listener accepts the next caller, a caller calls
// again, a rendezvous meets again. Every socket is non-blocking and every
// wait goes through an SRT epoll with the timeout it is given, so that its
// user (a source's reader thread polling in short steps, or the engine's
// output thread never waiting) stays in control. Opened and closed by its
// owner; between, one thread uses it. The figures and the connected flag are
// atomics for any thread, and a listener's admission hook runs on a thread
// of the library.
class CSrtLink
{
public:
    enum class ESend { kSent, kNoRoom, kNoPeer };

    CSrtLink() = default;
    ~CSrtLink() { Close(); }
    CSrtLink(const CSrtLink&) = delete;
    CSrtLink& operator=(const CSrtLink&) = delete;

    // A listener binds and listens now, so that a taken port is refused
    // here; a caller or a rendezvous starts its first call. sName is for the
    // log lines (passphrase hidden).
    bool Open(const SrtUrl& url, const std::string& sName, std::string& sError);
    void Close();
    bool IsOpen() const { return m_nEpoll >= 0; }
    // A sender's rate, bit/s, for this connection and the next ones: its
    // retransmissions may add the library's overhead share (a quarter) to
    // it instead of running up to the default ceiling of a gigabit.
    void SetSendBitRate(long long llBitsPerSecond);

    // Moves the connection on, waiting at most nWaitMs: accepts a waiting
    // caller, sees a call through, or calls again once kRecallMs have passed
    // since the last failure. True when connected.
    bool Poll(int nWaitMs);
    bool IsConnected() const { return m_bConnected.load(); }

    // One message into pData, waiting at most nWaitMs for it (and for the
    // connection, when there is none). Its bytes; 0 when none came; -1 when
    // the connection was lost just now (it is being made again).
    int Receive(uint8_t* pData, int nMax, int nWaitMs);
    // One message, without waiting. kNoRoom: the send buffer is full;
    // kNoPeer: not connected, or lost just now.
    ESend Send(const uint8_t* pData, int nLen);
    // Waits until the peer has acknowledged everything sent and has had its
    // latency to play it out, the connection is lost, or nMaxMs beyond that
    // latency have passed; true when all went.
    bool Drain(int nMaxMs);

    // Figures, from any thread.
    long long GetConnections() const { return m_llConnections.load(); }
    // Messages the library gave up on (too late for the latency), both
    // directions, summed over the connections so far.
    long long GetLinkDrops() const { return m_llDropsDone.load() + m_llDropsNow.load(); }

private:
    using SteadyClock = std::chrono::steady_clock;

    int NewSocket(std::string& sError);
    bool ApplySendBitRate(int nSocket);
    bool StartCall(std::string& sError);
    void CheckCall(int nWaitMs);
    void Accept(int nWaitMs);
    void Connected(int nSocket);
    void Lost(const char* szWhy);
    void CallFailed(const std::string& sWhy);
    void Watch(int nSocket, int nEvents);
    int Wait(int nWaitMs);
    void CloseSocket();
    void UpdateDrops(bool bFinal);
    static int AdmitCaller(void* pOpaque, int nSocket, int nHsVersion, const sockaddr* pPeer,
                           const char* szStreamId) noexcept;

    CSrtLibrary m_library; // first in, last out: the sockets need the library
    SrtUrl m_url;
    std::string m_sName;
    long long m_llSendBitRate = 0; // bit/s; 0: not known
    int m_nEpoll = -1;
    int m_nListener = -1;                // listener only
    int m_nSocket = -1;                  // the call in progress, or the connection
    int m_nWatched = -1;                 // the socket in the epoll set
    SteadyClock::time_point m_tNextCall; // caller, rendezvous: when to call again
    SteadyClock::time_point m_tLost;     // when the last connection was lost
    SteadyClock::time_point m_tDrops;    // when the drop figure was last read
    bool m_bEverConnected = false;
    std::string m_sLastFailure; // the reason of the failed calls logged last
    long long m_llEpisodes = 0; // losses and failures logged

    std::atomic<bool> m_bConnected{false};
    std::atomic<long long> m_llConnections{0};
    std::atomic<long long> m_llDropsDone{0}; // of the connections closed
    std::atomic<long long> m_llDropsNow{0};  // of the current one
    std::atomic<long long> m_llRefused{0};   // callers refused by the admission hook
};

} // namespace os
