#pragma once

#include "braidmill.h"
#include "log/CLogger.h"
#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Helpers for the engine's tests: a sink that keeps what it gets, captured
// log lines, inputs fed on the test's own thread, numbered packets.
namespace mtk {

// Collects what the output thread writes; read it after that thread ended.
class CVectorSink : public COutPutModuleBase
{
public:
    void RenderOnePacket(unsigned char* pPacket) override;
    void Destroy() override {}

    size_t GetPacketCount() const { return m_vData.size() / kTsPacketSize; }
    unsigned char* Packet(size_t i) { return &m_vData[i * kTsPacketSize]; }
    uint16_t PidOf(size_t i) { return uint16_t(((Packet(i)[1] & 0x1F) << 8) | Packet(i)[2]); }

    std::vector<unsigned char> m_vData;
};

// Log lines, as "<level> <text>", instead of the console while it lives.
class CLogCapture
{
public:
    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    static int Count(const std::string& sLine);
    static int CountStarting(const std::string& sStart);
    static std::vector<std::string> Lines();

private:
    LogOutputFn m_pPrevious; // the output before the capture
};

// Runs fn on a thread of its own. A call that does not return in time fails
// the test; the process then ends, since nothing could join the thread.
void ExpectReturnsWithin(const std::function<void()>& fn, std::chrono::milliseconds limit,
                         const char* szWhat);

void Feed(CInputModuleIface& in, const tsb::Packet& packet);
// PAT (program 1 on PMT PID 0x1000) and the PMT of that program.
void FeedTables(CInputModuleIface& in, uint16_t nPcrPid, const std::vector<tsb::EsEntry>& es);
// An input ready with one program, handing packets out as fast as asked.
std::unique_ptr<CInputModuleIface> ReadyInput(uint16_t nPcrPid,
                                              const std::vector<tsb::EsEntry>& es);

tsb::Header On(uint16_t nPid, uint8_t nCc = 0);
// A stream packet carrying a number in its last four payload bytes.
tsb::Packet Numbered(uint16_t nPid, uint32_t nNumber, uint8_t nCc);
uint32_t NumberOf(const unsigned char* pPacket);
bool IsNullPacket(const unsigned char* pPacket);

// Ticks a PCR advances over nPackets packets at nBytesPerSecond, truncated once.
int64_t Ticks(int64_t nPackets, int64_t nBytesPerSecond);

} // namespace mtk
