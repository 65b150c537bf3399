// The SRT source: its reader thread keeps the link up and hands each
// message's TS packets to its input module in order. Every wait is at most
// kPollMs, so a stop ends it promptly whether it waits for a peer, a call
// or data.
#include "braidmill.h"

#include "io/TsPayload.h"
#include "log/CLogger.h"
#include "os/CSrtLink.h"
#include "ts/TsConstants.h"

#include <atomic>
#include <chrono>
#include <string>

namespace {

constexpr int kPollMs = 100;         // longest wait between looks at the stop flag, ms
constexpr int kMessageBytes = 1500;  // above the largest live payload (1456)
constexpr int kEpisodeLogLimit = 10; // episodes logged one by one, then a total

constexpr const char* kMsgBadMessage = "SRT message of %d bytes dropped (%s): %s ";
constexpr const char* kMsgBadTotal = "%lld SRT messages dropped in %lld episodes: %s ";
constexpr const char* kMsgTimeout = "nothing received for %d ms, input ended: %s ";
constexpr const char* kMsgNotOpen = "no open SRT link, source thread exit: %s ";
constexpr const char* kMsgStopped = "source thread stopped: %s ";

using SteadyClock = std::chrono::steady_clock;

} // namespace

// Everything of an SRT source behind the public class. The link belongs to
// the reader thread once it runs; the figures are atomics for any thread.
class CSourceSrtState
{
public:
    os::CSrtLink link;
    std::string sName;              // the url, passphrase hidden
    std::string sError;             // why the last Open failed
    std::atomic<int> nTimeoutMs{0}; // ms; 0: none

    // Reader thread only.
    bool bInBadEpisode = false;
    long long llBadEpisodes = 0;

    std::atomic<long long> llPackets{0};
    std::atomic<long long> llMessages{0};
    std::atomic<long long> llBad{0};
};

CSourceSrt::CSourceSrt() : m_pState(new CSourceSrtState) {}

CSourceSrt::~CSourceSrt()
{
    StopAndJoin(); // the reader uses the link to its last line
    delete m_pState;
    m_pState = nullptr;
}

int CSourceSrt::Open(const char* url)
{
    CSourceSrtState& state = *m_pState;
    state.link.Close();
    state.sError.clear();
    state.sName = os::HidePassphrase(url != nullptr ? url : "");
    os::SrtUrl parsed;
    if (!os::ParseSrtUrl(url, parsed, state.sError) ||
        !state.link.Open(parsed, state.sName, state.sError)) {
        return -1;
    }
    return 0;
}

const char* CSourceSrt::GetError() const
{
    return m_pState->sError.c_str();
}

const char* CSourceSrt::GetName() const
{
    return m_pState->sName.c_str();
}

void CSourceSrt::SetTimeoutMs(int nMs)
{
    m_pState->nTimeoutMs = nMs > 0 ? nMs : 0;
}

long long CSourceSrt::GetPackets() const
{
    return m_pState->llPackets.load();
}

long long CSourceSrt::GetMessages() const
{
    return m_pState->llMessages.load();
}

long long CSourceSrt::GetBadMessages() const
{
    return m_pState->llBad.load();
}

long long CSourceSrt::GetConnections() const
{
    return m_pState->link.GetConnections();
}

bool CSourceSrt::IsConnected() const
{
    return m_pState->link.IsConnected();
}

long long CSourceSrt::GetLinkDrops() const
{
    return m_pState->link.GetLinkDrops();
}

void CSourceSrt::WorkFun()
{
    if (m_pRecvModule == nullptr) {
        return;
    }
    CSourceSrtState& state = *m_pState;
    const char* szName = state.sName.c_str();
    if (!state.link.IsOpen()) {
        LogPrint(kLogError, kMsgNotOpen, szName);
        m_pRecvModule->StreamEnd();
        return;
    }
    uint8_t vMessage[kMessageBytes];
    bool bTimedOut = false;
    auto tLast = SteadyClock::now();
    while (!IsStopRequested()) {
        const int nLen = state.link.Receive(vMessage, kMessageBytes, kPollMs);
        if (nLen <= 0) {
            const auto nSilentMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - tLast)
                    .count();
            if (state.nTimeoutMs > 0 && nSilentMs >= state.nTimeoutMs) {
                bTimedOut = true;
                break;
            }
            continue;
        }
        ++state.llMessages;
        tLast = SteadyClock::now();
        if (const char* szWhy = CheckTsPayload(vMessage, nLen)) {
            ++state.llBad;
            if (!state.bInBadEpisode) {
                state.bInBadEpisode = true;
                if (++state.llBadEpisodes <= kEpisodeLogLimit) {
                    LogPrint(kLogWarning, kMsgBadMessage, nLen, szWhy, szName);
                }
            }
            continue;
        }
        state.bInBadEpisode = false;
        // Counted first, so that a reader of the figures that has seen the
        // packets also sees them counted.
        state.llPackets += nLen / kTsPacketSize;
        for (int nOffset = 0; nOffset < nLen; nOffset += kTsPacketSize) {
            m_pRecvModule->RecvOnePacket(vMessage + nOffset, kTsPacketSize);
        }
    }

    if (state.llBadEpisodes > kEpisodeLogLimit) {
        LogPrint(kLogWarning, kMsgBadTotal, state.llBad.load(), state.llBadEpisodes, szName);
    }
    if (bTimedOut) {
        LogPrint(kLogWarning, kMsgTimeout, state.nTimeoutMs.load(), szName);
    }
    state.link.Close(); // a peer must not stay connected to a source that reads no more
    // The end of input flows downstream in every case, so the multiplex
    // never waits for a source that has gone.
    m_pRecvModule->StreamEnd();
    if (!bTimedOut) {
        LogPrint(kLogDebug, kMsgStopped, szName);
    }
}
