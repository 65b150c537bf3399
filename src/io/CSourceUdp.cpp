// The network source: receives datagrams on its reader thread and hands
// their TS packets to its input module one by one, in arrival order. The
// thread waits in poll for at most kPollMs at a time, so a stop ends it
// promptly and it never spins; while datagrams keep coming it takes them in
// batches (recvmmsg) without polling in between.
#include "braidmill.h"

#include "io/RtpHeader.h"
#include "io/TsPayload.h"
#include "log/CLogger.h"
#include "os/CUdpSocket.h"
#include "ts/TsConstants.h"

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr int kPollMs = 100;                      // longest wait between looks at the stop flag, ms
constexpr int kRcvBufBytes = 4 * 1024 * 1024;     // asked for; a second of 30 Mbit/s
constexpr int kBatch = 32;                        // datagrams per receive call at most
constexpr int kSlotBytes = 9216;                  // a jumbo frame; longer datagrams are dropped
constexpr int kEpisodeLogLimit = 10;              // episodes logged one by one, then a total
constexpr int kRtpLateWindow = 64;                // a sequence this far behind is a late duplicate

constexpr const char* kMsgBadDatagram = "datagram of %d bytes dropped (%s): %s ";
constexpr const char* kMsgBadTotal = "%lld datagrams dropped in %lld episodes: %s ";
constexpr const char* kMsgSeqGap = "RTP sequence gap: %d datagrams missing before %u: %s ";
constexpr const char* kMsgSeqRestart = "RTP sequence restarts at %u: %s ";
constexpr const char* kMsgSeqTotal = "RTP: %lld datagrams missing in %lld gaps: %s ";
constexpr const char* kMsgTimeout = "no datagram for %d ms, input ended: %s ";
constexpr const char* kMsgRecvError = "receive error, source thread exit: %s ";
constexpr const char* kMsgNotOpen = "no open socket, source thread exit: %s ";
constexpr const char* kMsgStopped = "source thread stopped: %s ";
constexpr const char* kMsgOpened = "receive buffer %d bytes: %s ";

using SteadyClock = std::chrono::steady_clock;

} // namespace

// Everything of a network source behind the public class. The socket and
// the receive state belong to the reader thread once it runs; the figures
// are atomics read from any thread.
class CSourceUdpState
{
public:
    os::CUdpSocket socket;
    os::UdpUrl url;
    std::string sName;  // the url as given, for log lines
    std::string sError; // why the last Open failed
    std::atomic<int> nTimeoutMs{0}; // ms; 0: none
    std::vector<uint8_t> vSlots;

    // Reader thread only.
    bool bInBadEpisode = false;
    long long llBadEpisodes = 0;
    bool bSeqKnown = false;
    uint16_t nNextSeq = 0; // sequence number expected next
    long long llGapEpisodes = 0;

    std::atomic<long long> llGaps{0};
    std::atomic<long long> llBad{0};
    std::atomic<long long> llPackets{0};
    std::atomic<long long> llDatagrams{0};
    std::atomic<long long> llCalls{0};
    std::atomic<int> nRcvBuf{0};

    // False when the datagram carries no packets to hand on; pBegin/nLen
    // then the TS part.
    bool Unwrap(uint8_t* pData, int nLen, uint8_t*& pBegin, int& nPayload);
    void DropBad(int nLen, const char* szWhy);
    // RTP: counts a gap before this sequence number; false for a late or
    // repeated datagram, which is dropped.
    bool CheckSequence(uint16_t nSeq);
};

void CSourceUdpState::DropBad(int nLen, const char* szWhy)
{
    ++llBad;
    if (!bInBadEpisode) {
        bInBadEpisode = true;
        if (++llBadEpisodes <= kEpisodeLogLimit) {
            LogPrint(kLogWarning, kMsgBadDatagram, nLen, szWhy, sName.c_str());
        }
    }
}

bool CSourceUdpState::CheckSequence(uint16_t nSeq)
{
    if (!bSeqKnown) {
        bSeqKnown = true;
        nNextSeq = uint16_t(nSeq + 1);
        return true;
    }
    const uint16_t nAhead = uint16_t(nSeq - nNextSeq);
    if (nAhead == 0) {
        nNextSeq = uint16_t(nSeq + 1);
        return true;
    }
    if (nAhead < 0x8000) {
        llGaps += nAhead;
        if (++llGapEpisodes <= kEpisodeLogLimit) {
            LogPrint(kLogWarning, kMsgSeqGap, int(nAhead), unsigned(nSeq), sName.c_str());
        }
        nNextSeq = uint16_t(nSeq + 1);
        return true;
    }
    const int nBehind = 0x10000 - nAhead;
    if (nBehind <= kRtpLateWindow) {
        return false; // its place has passed; handing it on would reorder packets
    }
    // Far behind: the sender started again, not a stray old datagram.
    LogPrint(kLogWarning, kMsgSeqRestart, unsigned(nSeq), sName.c_str());
    nNextSeq = uint16_t(nSeq + 1);
    return true;
}

bool CSourceUdpState::Unwrap(uint8_t* pData, int nLen, uint8_t*& pBegin, int& nPayload)
{
    if (nLen < 0) {
        DropBad(kSlotBytes, "longer than the receive slot");
        return false;
    }
    pBegin = pData;
    nPayload = nLen;
    if (url.bRtp) {
        RtpFields rtp{};
        if (!ParseRtpHeader(pData, nLen, rtp)) {
            DropBad(nLen, "no RTP header");
            return false;
        }
        if (!CheckSequence(rtp.nSequence)) {
            return false;
        }
        pBegin = pData + rtp.nHeaderBytes;
        nPayload = nLen - rtp.nHeaderBytes - rtp.nPaddingBytes;
    }
    if (const char* szWhy = CheckTsPayload(pBegin, nPayload)) {
        DropBad(nLen, szWhy);
        return false;
    }
    bInBadEpisode = false;
    return true;
}

CSourceUdp::CSourceUdp() : m_pState(new CSourceUdpState) {}

CSourceUdp::~CSourceUdp()
{
    StopAndJoin(); // the reader uses the state to its last line
    delete m_pState;
    m_pState = nullptr;
}

int CSourceUdp::Open(const char* url)
{
    CSourceUdpState& state = *m_pState;
    state.socket.Close();
    state.sError.clear();
    if (!os::ParseUdpUrl(url, os::EUdpRole::kInput, state.url, state.sError)) {
        return -1;
    }
    if (!state.socket.OpenReceiver(state.url, kRcvBufBytes, state.sError)) {
        return -1;
    }
    state.sName = url;
    state.nRcvBuf = state.socket.GetReceiveBufferBytes();
    state.vSlots.resize(size_t(kBatch) * kSlotBytes);
    LogPrint(kLogDebug, kMsgOpened, state.nRcvBuf.load(), url);
    return 0;
}

const char* CSourceUdp::GetError() const
{
    return m_pState->sError.c_str();
}

void CSourceUdp::SetTimeoutMs(int nMs)
{
    m_pState->nTimeoutMs = nMs > 0 ? nMs : 0;
}

long long CSourceUdp::GetSequenceGaps() const
{
    return m_pState->llGaps.load();
}

long long CSourceUdp::GetBadDatagrams() const
{
    return m_pState->llBad.load();
}

long long CSourceUdp::GetPackets() const
{
    return m_pState->llPackets.load();
}

long long CSourceUdp::GetDatagrams() const
{
    return m_pState->llDatagrams.load();
}

long long CSourceUdp::GetReceiveCalls() const
{
    return m_pState->llCalls.load();
}

int CSourceUdp::GetReceiveBufferBytes() const
{
    return m_pState->nRcvBuf.load();
}

void CSourceUdp::WorkFun()
{
    if (m_pRecvModule == nullptr) {
        return;
    }
    CSourceUdpState& state = *m_pState;
    const char* szName = state.sName.c_str();
    if (!state.socket.IsOpen()) {
        LogPrint(kLogError, kMsgNotOpen, szName);
        m_pRecvModule->StreamEnd();
        return;
    }

    int vLengths[kBatch];
    bool bMore = false; // the last call filled its batch: more may wait
    bool bTimedOut = false;
    bool bError = false;
    auto tLast = SteadyClock::now();
    while (!IsStopRequested()) {
        if (!bMore) {
            const int nReady = state.socket.WaitReadable(kPollMs);
            if (nReady < 0) {
                bError = true;
                break;
            }
            if (nReady == 0) {
                const auto nSilentMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                           SteadyClock::now() - tLast)
                                           .count();
                if (state.nTimeoutMs > 0 && nSilentMs >= state.nTimeoutMs) {
                    bTimedOut = true;
                    break;
                }
                continue;
            }
        }
        const int nGot =
            state.socket.ReceiveBatch(state.vSlots.data(), kSlotBytes, kBatch, vLengths);
        if (nGot < 0) {
            bError = true;
            break;
        }
        bMore = nGot == kBatch;
        if (nGot == 0) {
            continue;
        }
        ++state.llCalls;
        state.llDatagrams += nGot;
        tLast = SteadyClock::now();
        for (int i = 0; i < nGot && !IsStopRequested(); ++i) {
            uint8_t* pBegin = nullptr;
            int nPayload = 0;
            if (!state.Unwrap(state.vSlots.data() + size_t(i) * kSlotBytes, vLengths[i], pBegin,
                              nPayload)) {
                continue;
            }
            // Counted first, so that a reader of the figures that has seen
            // the packets also sees them counted.
            state.llPackets += nPayload / kTsPacketSize;
            for (int nOffset = 0; nOffset < nPayload; nOffset += kTsPacketSize) {
                m_pRecvModule->RecvOnePacket(pBegin + nOffset, kTsPacketSize);
            }
        }
    }

    if (state.llBadEpisodes > kEpisodeLogLimit) {
        LogPrint(kLogWarning, kMsgBadTotal, state.llBad.load(), state.llBadEpisodes, szName);
    }
    if (state.llGapEpisodes > kEpisodeLogLimit) {
        LogPrint(kLogWarning, kMsgSeqTotal, state.llGaps.load(), state.llGapEpisodes, szName);
    }
    if (bError) {
        LogPrint(kLogError, kMsgRecvError, szName);
    } else if (bTimedOut) {
        LogPrint(kLogWarning, kMsgTimeout, state.nTimeoutMs.load(), szName);
    }
    // The end of input flows downstream in every case, so the multiplex
    // never waits for a source that has gone.
    m_pRecvModule->StreamEnd();
    if (!bError && !bTimedOut) {
        LogPrint(kLogDebug, kMsgStopped, szName);
    }
}
