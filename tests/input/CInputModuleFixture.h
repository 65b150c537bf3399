#pragma once

#include "input/CInputModule.h"

#include "os/CClock.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>


// The input module's tests share their stream and fixture: one program of
// video (its PCR PID) and audio, taken through a module as the engine does.
using tsb::CPacketBuilder;
using tsb::Header;
using tsb::Packet;

namespace imt {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100; // also the PCR PID
constexpr uint16_t kAudioPid = 0x101;
constexpr int kOutVideo = 0x3F6;
constexpr int kOutAudio = 0x3F7;
constexpr int kFifoSlots = kInputFifoBytes / kTsPacketSize;
constexpr int64_t kMs = kPcrHz / 1000; // PCR ticks per millisecond

inline Header On(uint16_t nPid, uint8_t nCc = 0)
{
    Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    h.bPusi = true; // each packet a unit of its own: a stream starts at a unit start
    return h;
}

inline Packet PayloadOn(uint16_t nPid, uint8_t nCc = 0)
{
    return CPacketBuilder::Payload(On(nPid, nCc), {0x11, 0x22});
}

inline Packet PcrOn(uint16_t nPid, int64_t nPcr, bool bDiscontinuity = false)
{
    return CPacketBuilder::Pcr(On(nPid), nPcr, bDiscontinuity);
}

// A number in the last four bytes, which are payload in every packet made here.
inline void Mark(Packet& packet, uint32_t nNumber)
{
    memcpy(&packet[184], &nNumber, sizeof(nNumber));
}
inline uint32_t MarkOf(const unsigned char* p)
{
    uint32_t nNumber = 0;
    memcpy(&nNumber, p + 184, sizeof(nNumber));
    return nNumber;
}

inline int PidOf(const unsigned char* p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

inline bool WaitFor(const std::atomic<bool>& bFlag, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!bFlag.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return bFlag.load();
}

class CInputModuleTest : public ::testing::Test
{
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override
    {
        // The capture swallows failure messages too; give them back.
        const std::string sOutput = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            fputs(sOutput.c_str(), stdout);
        }
    }

    void Recv(Packet packet) { m_module.RecvOnePacket(packet.data(), kTsPacketSize); }
    void Recv(const std::vector<Packet>& packets)
    {
        for (const Packet& packet : packets) {
            Recv(packet);
        }
    }
    // Timing attribute, then PAT and PMT of one program (PCR on the video
    // PID), then the PID map of the two streams.
    void MakeReady(_SOURCE_ATTRIBUTE attr = {1, 0, 0})
    {
        m_module.SetClock(m_clock);
        m_module.SetSourceAttribute(attr);
        Recv(CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kPmtPid}})));
        Recv(CPacketBuilder::Packetize(
            kPmtPid,
            CPacketBuilder::PmtSection(1, kVideoPid, {{2, kVideoPid, {}}, {4, kAudioPid, {}}})));
        ASSERT_TRUE(m_module.IsReady());
        int* pMap = m_module.GetPidMapList();
        pMap[kVideoPid] = kOutVideo;
        pMap[kAudioPid] = kOutAudio;
    }
    // One GetOnePacket; the packet is copied and released at once.
    bool Take(Packet* pOut = nullptr)
    {
        unsigned char* p = m_module.GetOnePacket(m_llPts, m_llDts, m_nPcrPid);
        if (p == nullptr) {
            return false;
        }
        if (pOut != nullptr) {
            memcpy(pOut->data(), p, kTsPacketSize);
        }
        m_module.ReleaseBuffer(p);
        return true;
    }
    int TakeAll()
    {
        int nCount = 0;
        while (Take()) {
            ++nCount;
        }
        return nCount;
    }

    os::CManualClock m_clock;
    CInputModule m_module;
    long long m_llPts = 7;
    long long m_llDts = 7;
    int m_nPcrPid = 7;
};

} // namespace imt
