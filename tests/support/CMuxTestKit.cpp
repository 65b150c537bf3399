#include "support/CMuxTestKit.h"

#include "log/CLogger.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

namespace mtk {

namespace {

constexpr uint16_t kInPmtPid = 0x1000;

std::mutex g_logMutex;           // guards g_vLog
std::vector<std::string> g_vLog; // lines since the capture began

void CaptureLog(int nLevel, std::string sMessage)
{
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_vLog.push_back(std::to_string(nLevel) + " " + sMessage);
}

} // namespace

void CVectorSink::RenderOnePacket(unsigned char* pPacket)
{
    m_vData.insert(m_vData.end(), pPacket, pPacket + kTsPacketSize);
}

CLogCapture::CLogCapture()
{
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_vLog.clear();
    m_pPrevious = LogOutput;
    LogOutput = CaptureLog;
}

CLogCapture::~CLogCapture()
{
    LogOutput = m_pPrevious;
}

int CLogCapture::Count(const std::string& sLine)
{
    std::lock_guard<std::mutex> guard(g_logMutex);
    int n = 0;
    for (const std::string& s : g_vLog) {
        n += s == sLine;
    }
    return n;
}

int CLogCapture::CountStarting(const std::string& sStart)
{
    std::lock_guard<std::mutex> guard(g_logMutex);
    int n = 0;
    for (const std::string& s : g_vLog) {
        n += s.rfind(sStart, 0) == 0;
    }
    return n;
}

std::vector<std::string> CLogCapture::Lines()
{
    std::lock_guard<std::mutex> guard(g_logMutex);
    return g_vLog;
}

void ExpectReturnsWithin(const std::function<void()>& fn, std::chrono::milliseconds limit,
                         const char* szWhat)
{
    auto pDone = std::make_shared<std::promise<void>>();
    std::future<void> done = pDone->get_future();
    std::thread th([fn, pDone] {
        fn();
        pDone->set_value();
    });
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << szWhat << " did not return";
        fprintf(stderr, "%s hung\n", szWhat);
        std::_Exit(1);
    }
    th.join();
}

void Feed(CInputModuleIface& in, const tsb::Packet& packet)
{
    tsb::Packet copy = packet;
    in.RecvOnePacket(copy.data(), kTsPacketSize);
}

void FeedTables(CInputModuleIface& in, uint16_t nPcrPid, const std::vector<tsb::EsEntry>& es)
{
    using tsb::CPacketBuilder;
    for (const tsb::Packet& p :
         CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kInPmtPid}}))) {
        Feed(in, p);
    }
    for (const tsb::Packet& p :
         CPacketBuilder::Packetize(kInPmtPid, CPacketBuilder::PmtSection(1, nPcrPid, es))) {
        Feed(in, p);
    }
}

std::unique_ptr<CInputModuleIface> ReadyInput(uint16_t nPcrPid, const std::vector<tsb::EsEntry>& es)
{
    auto pIn = std::make_unique<CInputModuleIface>();
    pIn->SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
    FeedTables(*pIn, nPcrPid, es);
    EXPECT_TRUE(pIn->IsReady());
    return pIn;
}

tsb::Header On(uint16_t nPid, uint8_t nCc)
{
    tsb::Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    h.bPusi = true; // each packet a unit of its own: a stream starts at a unit start
    return h;
}

tsb::Packet Numbered(uint16_t nPid, uint32_t nNumber, uint8_t nCc)
{
    tsb::Packet p = tsb::CPacketBuilder::Payload(On(nPid, nCc), tsb::Bytes(184, 0x5A));
    std::memcpy(&p[184], &nNumber, sizeof(nNumber));
    return p;
}

uint32_t NumberOf(const unsigned char* pPacket)
{
    uint32_t n = 0;
    std::memcpy(&n, pPacket + 184, sizeof(n));
    return n;
}

bool IsNullPacket(const unsigned char* pPacket)
{
    static const tsb::Packet kNull = tsb::CPacketBuilder::Null();
    return std::memcmp(pPacket, kNull.data(), kTsPacketSize) == 0;
}

int64_t Ticks(int64_t nPackets, int64_t nBytesPerSecond)
{
    return int64_t(__int128(nPackets) * kTsPacketSize * kPcrHz / nBytesPerSecond);
}

} // namespace mtk
