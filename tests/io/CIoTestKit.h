#pragma once

#include "braidmill.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Shared by the tests of the pipe and network sources and sinks: a
// one-program stream, a reader of an input module, a loopback UDP socket, a
// log capture and a hang guard.
namespace iokit {

inline constexpr uint16_t kPmtPid = 0x0100;
inline constexpr uint16_t kEsPid = 0x0101;

// PAT, PMT, then stream packets on kEsPid numbered 0.. in their payload, a
// PCR every 40.
inline std::vector<tsb::Packet> ProgramPackets(int nCount)
{
    using tsb::CPacketBuilder;
    std::vector<tsb::Packet> v =
        CPacketBuilder::Packetize(0x0000, CPacketBuilder::PatSection(1, {{1, kPmtPid}}));
    for (const auto& p : CPacketBuilder::Packetize(
             kPmtPid, CPacketBuilder::PmtSection(1, kEsPid, {{0x02, kEsPid, {}}}))) {
        v.push_back(p);
    }
    for (int n = 0; n < nCount; ++n) {
        tsb::Header h;
        h.nPid = kEsPid;
        h.nCc = uint8_t(n & 0x0F);
        h.bPusi = true; // each its own unit, so that a PID may start at any of them
        const tsb::Bytes payload = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                                    uint8_t(n)};
        v.push_back(n % 40 == 0 ? CPacketBuilder::Pcr(h, int64_t(n) * 300'000, false, payload)
                                : CPacketBuilder::Payload(h, payload));
    }
    return v;
}

// Packets [nFirst, nFirst + nCount) of v back to back.
inline tsb::Bytes Join(const std::vector<tsb::Packet>& v, size_t nFirst, size_t nCount)
{
    tsb::Bytes out;
    for (size_t i = nFirst; i < nFirst + nCount && i < v.size(); ++i) {
        out.insert(out.end(), v[i].begin(), v[i].end());
    }
    return out;
}

// The number a stream packet of ProgramPackets carries in its payload.
inline int StreamNumber(const uint8_t* p)
{
    const int nStart = ((p[3] >> 4) & 0x3) == 3 ? 5 + p[4] : 4;
    return (p[nStart] << 24) | (p[nStart + 1] << 16) | (p[nStart + 2] << 8) | p[nStart + 3];
}

inline std::vector<int> Sequence(int nCount)
{
    std::vector<int> v(size_t(nCount), 0);
    for (int n = 0; n < nCount; ++n) {
        v[size_t(n)] = n;
    }
    return v;
}

// The numbers of the stream packets taken out of the input, until nCount
// came, or (nCount < 0) its stream ended, or the time is up.
inline std::vector<int> Take(CInputModuleIface& input, int nCount,
                             std::chrono::seconds timeout = std::chrono::seconds(10))
{
    const auto tEnd = std::chrono::steady_clock::now() + timeout;
    std::vector<int> vIndex;
    bool bMapped = false;
    while (std::chrono::steady_clock::now() < tEnd && int(vIndex.size()) != nCount) {
        if (!bMapped && input.IsReady()) {
            input.GetPidMapList()[kEsPid] = kEsPid;
            bMapped = true;
        }
        long long llPts = 0;
        long long llDts = 0;
        int nPcrPid = 0;
        const bool bEnded = input.IsStreamEnd(); // before the look: nothing can follow it
        unsigned char* p = bMapped ? input.GetOnePacket(llPts, llDts, nPcrPid) : nullptr;
        if (p == nullptr) {
            if (bEnded && nCount < 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        vIndex.push_back(StreamNumber(p));
        input.ReleaseBuffer(p);
    }
    return vIndex;
}

inline bool ReadWhole(const std::string& sPath, tsb::Bytes& v)
{
    std::ifstream in(sPath, std::ios::binary);
    v.assign(std::istreambuf_iterator<char>(in), {});
    return bool(in) || in.eof();
}

inline sockaddr_in Loopback(uint16_t nPort)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(nPort);
    return sa;
}

// A UDP socket bound to a free port of 127.0.0.1: the receiver the sink
// sends to, or the sender that feeds the source.
class CUdpTestSocket
{
public:
    CUdpTestSocket() : m_nFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in sa = Loopback(0);
        socklen_t nLen = sizeof(sa);
        bind(m_nFd, reinterpret_cast<sockaddr*>(&sa), nLen);
        getsockname(m_nFd, reinterpret_cast<sockaddr*>(&sa), &nLen);
        m_nPort = ntohs(sa.sin_port);
    }
    ~CUdpTestSocket() { close(m_nFd); }
    uint16_t Port() const { return m_nPort; }
    // A port that was free a moment ago.
    static uint16_t FreePort() { return CUdpTestSocket().Port(); }

    // One datagram, or none when nothing came within nTimeoutMs.
    std::vector<uint8_t> Receive(int nTimeoutMs)
    {
        pollfd pfd{m_nFd, POLLIN, 0};
        std::vector<uint8_t> v(65536);
        const ssize_t n = poll(&pfd, 1, nTimeoutMs) > 0 ? recv(m_nFd, v.data(), v.size(), 0) : 0;
        v.resize(n > 0 ? size_t(n) : 0);
        return v;
    }

    bool SendTo(uint16_t nPort, const std::vector<uint8_t>& data)
    {
        sockaddr_in sa = Loopback(nPort);
        return sendto(m_nFd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                      sizeof(sa)) == ssize_t(data.size());
    }

private:
    int m_nFd;
    uint16_t m_nPort = 0;
};

// Collects the library's log lines while it lives.
class CLogCapture
{
public:
    CLogCapture() { SetLogHandler(&CLogCapture::Add, this); }
    ~CLogCapture() { SetLogHandler(nullptr, nullptr); }
    bool Has(const std::string& sPart) const
    {
        std::lock_guard<std::mutex> guard(m_mtx);
        return m_sLines.find(sPart) != std::string::npos;
    }

private:
    static void Add(int, const char* szLine, void* pUser)
    {
        auto* pThis = static_cast<CLogCapture*>(pUser);
        std::lock_guard<std::mutex> guard(pThis->m_mtx);
        pThis->m_sLines.append(szLine).append("\n");
    }

    mutable std::mutex m_mtx; // guards m_sLines
    std::string m_sLines;     // every line so far
};

// Runs f on another thread; a hang ends the test binary rather than leaving
// it blocked (the thread may still use the test's objects).
template <class F> void RunWithin(F f, const char* szWhat, int nSeconds = 10)
{
    auto done = std::async(std::launch::async, f);
    if (done.wait_for(std::chrono::seconds(nSeconds)) != std::future_status::ready) {
        ADD_FAILURE() << szWhat << " hung";
        std::_Exit(1);
    }
}

} // namespace iokit
