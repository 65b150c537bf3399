// The network sink. Packets are gathered into datagrams in place (RTP header
// first when asked for); each RenderPackets call sends the datagrams it
// filled in one sendmmsg and keeps a partial one for the next call, so a
// datagram leaves as soon as its last packet is written: the engine's even
// batches become even datagrams.
#include "braidmill.h"

#include "io/RtpHeader.h"
#include "log/CLogger.h"
#include "os/CUdpSocket.h"
#include "ts/TsConstants.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kEpisodeLogLimit = 10; // episodes logged one by one, then a total
constexpr int kStride = kRtpHeaderBytes + kUdpMaxPacketsPerDatagram * kTsPacketSize;

constexpr const char* kMsgRefused = "no receiver (connection refused), sending on: %s ";
constexpr const char* kMsgTransient = "datagram dropped (%s), sending on: %s ";
constexpr const char* kMsgSendError = "send failed (%s), output broken: %s ";
constexpr const char* kMsgTotals = "%lld datagrams sent, %lld dropped, %lld refused: %s ";

// Errors that pass: a receiver or a route that is missing for a moment, a
// full queue. Anything else (a bad descriptor, a refused permission, a size
// the path cannot take) will not go away by itself.
bool IsTransient(int nErr)
{
    return nErr == ENOBUFS || nErr == EAGAIN || nErr == EWOULDBLOCK || nErr == ENETUNREACH ||
           nErr == EHOSTUNREACH || nErr == ENETDOWN || nErr == EHOSTDOWN;
}

} // namespace

// Everything of a network sink behind the public class; used by the output
// thread during a run, by the client before and after. The figures are
// atomics read from any thread.
class COutPutModuleUdpState
{
public:
    os::CUdpSocket socket;
    os::UdpUrl url;
    std::string sName;
    std::string sError;
    long long llRate = 0; // output bit/s; 0: stamp from the monotonic clock

    std::vector<uint8_t> vData; // datagrams back to back, kStride apart
    std::vector<int> vLengths;  // bytes of each full datagram in vData
    int nFull = 0;              // full datagrams at the start of vData
    int nFill = 0;              // packets in the partial datagram after them
    long long llPacketsQueued = 0; // packets taken since Open
    uint16_t nSeq = 0;
    uint32_t nSsrc = 0;
    uint32_t nTsOffset = 0; // random origin of the RTP timestamps
    bool bInDropEpisode = false;
    long long llDropEpisodes = 0;

    std::atomic<bool> bBroken{false};
    std::atomic<long long> llSent{0};
    std::atomic<long long> llDropped{0};
    std::atomic<long long> llRefused{0};
    std::atomic<long long> llCalls{0};

    int Header() const { return url.bRtp ? kRtpHeaderBytes : 0; }
    void Append(const uint8_t* pPacket);
    // Sends the full datagrams (and the partial one with bAll) and keeps
    // the partial one at the start of vData.
    void Flush(bool bAll);
    uint32_t Timestamp() const;
};

uint32_t COutPutModuleUdpState::Timestamp() const
{
    if (llRate > 0) {
        // 128 bits: at 100 Mbit/s 64 would overflow within two weeks.
        const unsigned __int128 nBits = (unsigned __int128)llPacketsQueued * kTsPacketSize * 8;
        return nTsOffset + uint32_t(nBits * kRtpClockHz / (unsigned __int128)llRate);
    }
    const auto tNow = std::chrono::steady_clock::now().time_since_epoch();
    const auto nUs = std::chrono::duration_cast<std::chrono::microseconds>(tNow).count();
    return nTsOffset + uint32_t(int64_t(nUs) * kRtpClockHz / 1'000'000);
}

void COutPutModuleUdpState::Append(const uint8_t* pPacket)
{
    const size_t nNeed = size_t(nFull + 1) * kStride;
    if (vData.size() < nNeed) {
        vData.resize(nNeed);
    }
    uint8_t* pSlot = vData.data() + size_t(nFull) * kStride;
    if (nFill == 0 && url.bRtp) {
        WriteRtpHeader(pSlot, nSeq++, Timestamp(), nSsrc);
    }
    std::memcpy(pSlot + Header() + nFill * kTsPacketSize, pPacket, kTsPacketSize);
    ++llPacketsQueued;
    if (++nFill == url.nPackets) {
        vLengths.push_back(Header() + nFill * kTsPacketSize);
        ++nFull;
        nFill = 0;
    }
}

void COutPutModuleUdpState::Flush(bool bAll)
{
    if (bAll && nFill > 0) {
        vLengths.push_back(Header() + nFill * kTsPacketSize);
        ++nFull;
        nFill = 0;
    }
    int nDone = 0;
    bool bRetried = false;
    while (nDone < nFull && !bBroken) {
        const int nRc = socket.SendBatch(vData.data() + size_t(nDone) * kStride, kStride,
                                         vLengths.data() + nDone, nFull - nDone);
        const int nErr = errno;
        ++llCalls;
        if (nRc > 0) {
            nDone += nRc;
            llSent += nRc;
            bRetried = false;
            bInDropEpisode = false;
            continue;
        }
        if (nErr == EINTR) {
            continue;
        }
        if (nErr == ECONNREFUSED) {
            // The refusal is the answer to an earlier datagram; this one has
            // not gone yet. Once more, so that a receiver that comes later
            // gets everything from then on.
            if (++llRefused == 1) {
                LogPrint(kLogWarning, kMsgRefused, sName.c_str());
            }
            if (!bRetried) {
                bRetried = true;
                continue;
            }
        } else if (!IsTransient(nErr)) {
            bBroken = true;
            LogPrint(kLogError, kMsgSendError, std::strerror(nErr), sName.c_str());
            break;
        } else if (!bInDropEpisode) {
            bInDropEpisode = true;
            if (++llDropEpisodes <= kEpisodeLogLimit) {
                LogPrint(kLogWarning, kMsgTransient, std::strerror(nErr), sName.c_str());
            }
        }
        ++nDone; // given up: the receiver sees the gap in the sequence numbers
        ++llDropped;
        bRetried = false;
    }
    if (nFill > 0 && nFull > 0) {
        std::memmove(vData.data(), vData.data() + size_t(nFull) * kStride,
                     size_t(Header() + nFill * kTsPacketSize));
    }
    nFull = 0;
    vLengths.clear();
}

COutPutModuleUdp::COutPutModuleUdp() : m_pState(new COutPutModuleUdpState) {}

COutPutModuleUdp::~COutPutModuleUdp()
{
    delete m_pState;
    m_pState = nullptr;
}

int COutPutModuleUdp::Open(const char* url)
{
    COutPutModuleUdpState& state = *m_pState;
    state.socket.Close();
    state.sError.clear();
    state.nFull = 0;
    state.nFill = 0;
    state.vLengths.clear();
    state.llPacketsQueued = 0;
    state.bBroken = false;
    if (!os::ParseUdpUrl(url, os::EUdpRole::kOutput, state.url, state.sError)) {
        return -1;
    }
    if (!state.socket.OpenSender(state.url, state.sError)) {
        return -1;
    }
    state.sName = url;
    // Random per session, so that a receiver tells a restarted sender from a
    // continuing one.
    std::random_device random;
    state.nSsrc = random();
    state.nSeq = uint16_t(random());
    state.nTsOffset = random();
    state.vData.resize(size_t(kStride) * 4);
    return 0;
}

const char* COutPutModuleUdp::GetError() const
{
    return m_pState->sError.c_str();
}

void COutPutModuleUdp::SetBitRate(long long llBitsPerSecond)
{
    m_pState->llRate = llBitsPerSecond > 0 ? llBitsPerSecond : 0;
}

void COutPutModuleUdp::RenderOnePacket(unsigned char* packet)
{
    RenderPackets(packet, 1);
}

void COutPutModuleUdp::RenderPackets(unsigned char* packets, int nCount)
{
    COutPutModuleUdpState& state = *m_pState;
    if (!state.socket.IsOpen() || state.bBroken || nCount <= 0) {
        return;
    }
    for (int i = 0; i < nCount; ++i) {
        state.Append(packets + size_t(i) * kTsPacketSize);
    }
    if (state.nFull > 0) {
        state.Flush(false);
    }
}

void COutPutModuleUdp::Destroy()
{
    COutPutModuleUdpState& state = *m_pState;
    if (!state.socket.IsOpen()) {
        return;
    }
    if (!state.bBroken) {
        state.Flush(true);
    }
    if (state.llDropped > 0 || state.llRefused > 0) {
        LogPrint(kLogWarning, kMsgTotals, state.llSent.load(), state.llDropped.load(),
                 state.llRefused.load(), state.sName.c_str());
    }
    state.socket.Close();
}

bool COutPutModuleUdp::IsBroken() const
{
    return m_pState->bBroken.load();
}

int COutPutModuleUdp::GetPacketsPerUnit() const
{
    return m_pState->url.nPackets;
}

int COutPutModuleUdp::GetCatchUpPercent() const
{
    return kNetworkCatchUpPercent;
}

long long COutPutModuleUdp::GetDatagramsSent() const
{
    return m_pState->llSent.load();
}

long long COutPutModuleUdp::GetDatagramsDropped() const
{
    return m_pState->llDropped.load();
}

long long COutPutModuleUdp::GetRefused() const
{
    return m_pState->llRefused.load();
}

long long COutPutModuleUdp::GetSendCalls() const
{
    return m_pState->llCalls.load();
}
