// The SRT sink. Packets are gathered into one message of 7; a full message
// goes out at once if a peer is connected and is discarded, counted, if not,
// so that the engine's pace never depends on the peer. Nothing here waits
// during a run: the link is moved on without a wait at each call.
#include "braidmill.h"

#include "log/CLogger.h"
#include "os/CSrtLink.h"
#include "ts/TsConstants.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

namespace {

constexpr int kMessagePackets = kUdpMaxPacketsPerDatagram; // 1316 bytes: SRT's live payload
constexpr int kOpenWaitMs = 1000;                          // a caller's wait at Open for its peer
constexpr int kOpenStepMs = 20;
constexpr int kDrainMs = 1000; // Destroy's wait for the peer's acknowledgements
constexpr int kEpisodeLogLimit = 10;

constexpr const char* kMsgNoRoom = "SRT send buffer full, messages dropped: %s ";
constexpr const char* kMsgNoPeer = "SRT: no peer connected yet, sending on: %s ";
constexpr const char* kMsgTotals =
    "SRT: %lld messages sent, %lld dropped (send buffer full), %lld packets without a peer: %s ";
constexpr const char* kMsgUnacked = "SRT: the peer did not acknowledge the last messages: %s ";

} // namespace

// Everything of an SRT sink behind the public class; used by the output
// thread during a run, by the client before and after. The figures are
// atomics for any thread.
class COutPutModuleSrtState
{
public:
    os::CSrtLink link;
    std::string sName;
    std::string sError;
    uint8_t vMessage[kMessagePackets * kTsPacketSize] = {};
    int nFill = 0; // packets in vMessage
    bool bInDropEpisode = false;
    long long llDropEpisodes = 0;

    std::atomic<long long> llSent{0};
    std::atomic<long long> llDropped{0};
    std::atomic<long long> llWithoutPeer{0};

    void SendMessage();
};

void COutPutModuleSrtState::SendMessage()
{
    switch (link.Send(vMessage, nFill * kTsPacketSize)) {
    case os::CSrtLink::ESend::kSent:
        ++llSent;
        bInDropEpisode = false;
        break;
    case os::CSrtLink::ESend::kNoRoom:
        ++llDropped;
        if (!bInDropEpisode) {
            bInDropEpisode = true;
            if (++llDropEpisodes <= kEpisodeLogLimit) {
                LogPrint(kLogWarning, kMsgNoRoom, sName.c_str());
            }
        }
        break;
    case os::CSrtLink::ESend::kNoPeer:
        llWithoutPeer += nFill;
        break;
    }
    nFill = 0;
}

COutPutModuleSrt::COutPutModuleSrt() : m_pState(new COutPutModuleSrtState) {}

COutPutModuleSrt::~COutPutModuleSrt()
{
    delete m_pState;
    m_pState = nullptr;
}

int COutPutModuleSrt::Open(const char* url)
{
    COutPutModuleSrtState& state = *m_pState;
    state.link.Close();
    state.sError.clear();
    state.nFill = 0;
    state.sName = os::HidePassphrase(url != nullptr ? url : "");
    os::SrtUrl parsed;
    if (!os::ParseSrtUrl(url, parsed, state.sError) ||
        !state.link.Open(parsed, state.sName, state.sError)) {
        return -1;
    }
    if (parsed.mode != os::ESrtMode::kListener) {
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOpenWaitMs);
        while (!state.link.Poll(kOpenStepMs) && std::chrono::steady_clock::now() < tEnd) {
        }
        if (!state.link.IsConnected()) {
            LogPrint(kLogWarning, kMsgNoPeer, state.sName.c_str());
        }
    }
    return 0;
}

const char* COutPutModuleSrt::GetError() const
{
    return m_pState->sError.c_str();
}

const char* COutPutModuleSrt::GetName() const
{
    return m_pState->sName.c_str();
}

void COutPutModuleSrt::SetBitRate(long long llBitsPerSecond)
{
    m_pState->link.SetSendBitRate(llBitsPerSecond);
}

void COutPutModuleSrt::RenderOnePacket(unsigned char* packet)
{
    RenderPackets(packet, 1);
}

void COutPutModuleSrt::RenderPackets(unsigned char* packets, int nCount)
{
    COutPutModuleSrtState& state = *m_pState;
    if (!state.link.IsOpen() || nCount <= 0) {
        return;
    }
    state.link.Poll(0);
    for (int i = 0; i < nCount; ++i) {
        std::memcpy(state.vMessage + state.nFill * kTsPacketSize,
                    packets + size_t(i) * kTsPacketSize, kTsPacketSize);
        if (++state.nFill == kMessagePackets) {
            state.SendMessage();
        }
    }
}

int COutPutModuleSrt::GetPacketsPerUnit() const
{
    return kMessagePackets;
}

int COutPutModuleSrt::GetCatchUpPercent() const
{
    return kNetworkCatchUpPercent;
}

void COutPutModuleSrt::Destroy()
{
    COutPutModuleSrtState& state = *m_pState;
    if (!state.link.IsOpen()) {
        return;
    }
    if (state.nFill > 0) {
        state.SendMessage();
    }
    if (state.link.IsConnected() && !state.link.Drain(kDrainMs)) {
        LogPrint(kLogWarning, kMsgUnacked, state.sName.c_str());
    }
    if (state.llDropped > 0 || state.llWithoutPeer > 0) {
        LogPrint(kLogWarning, kMsgTotals, state.llSent.load(), state.llDropped.load(),
                 state.llWithoutPeer.load(), state.sName.c_str());
    }
    state.link.Close();
}

long long COutPutModuleSrt::GetMessagesSent() const
{
    return m_pState->llSent.load();
}

long long COutPutModuleSrt::GetMessagesDropped() const
{
    return m_pState->llDropped.load();
}

long long COutPutModuleSrt::GetPacketsWithoutPeer() const
{
    return m_pState->llWithoutPeer.load();
}

long long COutPutModuleSrt::GetConnections() const
{
    return m_pState->link.GetConnections();
}

bool COutPutModuleSrt::IsConnected() const
{
    return m_pState->link.IsConnected();
}

long long COutPutModuleSrt::GetLinkDrops() const
{
    return m_pState->link.GetLinkDrops();
}
