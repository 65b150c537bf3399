#include "support/CPacketBuilder.h"
#include "support/Reframe.h"
#include "ts/CTsWalker.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

using tsb::CPacketBuilder;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kFirstPid = 0x100;

// nCount packets, packet i on PID kFirstPid + i.
Bytes Packets(int nCount)
{
    Bytes v;
    for (int i = 0; i < nCount; ++i) {
        tsb::Header h;
        h.nPid = uint16_t(kFirstPid + i);
        const tsb::Packet p = CPacketBuilder::Payload(h);
        v.insert(v.end(), p.begin(), p.end());
    }
    return v;
}

// What a walk handed on and reported.
class CRecorder final : public ITsPacketSink
{
public:
    bool OnPacket(unsigned char* pPacket, long long llOffset) override
    {
        if (int(m_vPids.size()) == m_nRefuseAt) {
            return false;
        }
        m_vPids.push_back(((pPacket[1] & 0x1F) << 8) | pPacket[2]);
        m_vOffsets.push_back(llOffset);
        return true;
    }
    void OnSyncRegained(long long llOffset, long long llSkipped, long long nLoss) override
    {
        m_vRegained.push_back({llOffset, llSkipped, nLoss});
    }
    void OnSyncNone(long long llSkipped) override { m_llNone = llSkipped; }

    std::vector<int> m_vPids;
    std::vector<long long> m_vOffsets;
    std::vector<std::tuple<long long, long long, long long>> m_vRegained;
    long long m_llNone = -1;
    int m_nRefuseAt = -1; // the packet the sink refuses
};

std::vector<int> Pids(int nCount)
{
    std::vector<int> v(static_cast<size_t>(nCount));
    for (int i = 0; i < nCount; ++i) {
        v[size_t(i)] = kFirstPid + i;
    }
    return v;
}

// Walks v as a reader with an nBuffer-byte buffer does: each read after the
// bytes the last walk left. Returns what the final walk left.
int WalkInPieces(CTsWalker& walker, Bytes v, int nBuffer, CRecorder& sink)
{
    walker.FitBuffer(nBuffer);
    Bytes vBuffer(static_cast<size_t>(nBuffer));
    size_t nNext = 0;
    int nLeft = 0;
    for (;;) {
        const size_t nRead = std::min(v.size() - nNext, size_t(nBuffer - nLeft));
        std::memcpy(vBuffer.data() + nLeft, v.data() + nNext, nRead);
        nNext += nRead;
        const int nTotal = nLeft + int(nRead);
        nLeft = walker.Walk(vBuffer.data(), nTotal, nNext == v.size(), sink);
        if (nNext == v.size() || walker.IsStopped()) {
            return nLeft;
        }
        std::memmove(vBuffer.data(), vBuffer.data() + nTotal - nLeft, size_t(nLeft));
    }
}

} // namespace

// Every packet size, after junk, read in pieces of one packet (so that most
// reads end inside a packet), of an odd size and all at once: the same
// packets, the same offsets, and the cut last packet left over, never
// handed on.
class CTsWalkerLayoutTest : public ::testing::TestWithParam<std::tuple<int, int>>
{
};

TEST_P(CTsWalkerLayoutTest, SamePacketsHoweverTheBytesArrive)
{
    const auto [nStep, nBuffer] = GetParam();
    const int nHead = nStep == kM2tsPacketSize ? kM2tsPacketSize - kTsPacketSize : 0;
    Bytes v = tsb::Reframe(Packets(51), nStep, 100);
    v.resize(size_t(100 + 50 * nStep + nHead + 100)); // 100 bytes of the last packet
    CTsWalker walker;
    ASSERT_TRUE(walker.Start(v.data(), int(v.size()), true));
    EXPECT_EQ(walker.GetLayout().nStep, nStep);
    CRecorder sink;
    EXPECT_EQ(WalkInPieces(walker, v, nBuffer > 0 ? nBuffer : int(v.size()), sink), 100);
    EXPECT_EQ(sink.m_vPids, Pids(50));
    ASSERT_EQ(sink.m_vOffsets.size(), 50u);
    EXPECT_EQ(sink.m_vOffsets.front(), 100 + nHead);
    EXPECT_EQ(sink.m_vOffsets.back(), 100 + nHead + 49 * nStep);
    ASSERT_EQ(sink.m_vRegained.size(), 1u); // the junk before the first packet
    EXPECT_EQ(sink.m_vRegained[0], std::make_tuple(100LL + nHead, 100LL, 1LL));
    EXPECT_EQ(sink.m_llNone, -1);
}

INSTANTIATE_TEST_SUITE_P(SizesAndPieces, CTsWalkerLayoutTest,
                         ::testing::Combine(::testing::Values(kTsPacketSize, kM2tsPacketSize,
                                                              kRsPacketSize),
                                            ::testing::Values(kTsPacketSize, 1001, 0)));

// A 192-byte stream whose timestamps end in 0x47: that byte and the sync
// byte after it repeat equally long; the sync byte is the later one, at the
// start and after junk in the middle alike.
TEST(CTsWalkerTest, TieInTimestampedStreamGoesToTheSyncByte)
{
    Bytes v = tsb::Reframe(Packets(40), kM2tsPacketSize);
    for (size_t i = 0; i < v.size(); i += kM2tsPacketSize) {
        v[i + 3] = kSyncByte;
    }
    const size_t nCut = 20 * kM2tsPacketSize;
    v.insert(v.begin() + long(nCut), 61, 0x11);
    CTsWalker walker;
    ASSERT_TRUE(walker.Start(v.data(), int(v.size()), true));
    EXPECT_EQ(walker.GetLayout().nFirst, 4);
    CRecorder sink;
    walker.Walk(v.data(), int(v.size()), true, sink);
    EXPECT_EQ(sink.m_vPids, Pids(40));
    ASSERT_EQ(sink.m_vRegained.size(), 1u);
    EXPECT_EQ(sink.m_vRegained[0],
              std::make_tuple(static_cast<long long>(nCut) + 61 + 4, 61LL, 1LL));
}

TEST(CTsWalkerTest, JunkInsideAndAtTheEndIsSkippedAndCounted)
{
    Bytes v = Packets(20);
    v.insert(v.begin() + 10 * kTsPacketSize, 61, 0x11);
    v.insert(v.end(), 500, 0x22);
    CTsWalker walker;
    ASSERT_TRUE(walker.Start(v.data(), int(v.size()), true));
    CRecorder sink;
    EXPECT_EQ(walker.Walk(v.data(), int(v.size()), true, sink), 0);
    EXPECT_EQ(sink.m_vPids, Pids(20));
    ASSERT_EQ(sink.m_vRegained.size(), 1u);
    EXPECT_EQ(sink.m_vRegained[0], std::make_tuple(10LL * kTsPacketSize + 61, 61LL, 1LL));
    EXPECT_EQ(sink.m_llNone, 500);
    EXPECT_EQ(walker.GetSyncLosses(), 2);
    EXPECT_EQ(walker.GetSkippedBytes(), 561);
}

TEST(CTsWalkerTest, RefusedPacketStopsTheWalk)
{
    Bytes v = Packets(5);
    CTsWalker walker;
    ASSERT_TRUE(walker.Start(v.data(), int(v.size()), true));
    CRecorder sink;
    sink.m_nRefuseAt = 2;
    walker.Walk(v.data(), int(v.size()), true, sink);
    walker.Walk(v.data(), int(v.size()), true, sink);
    EXPECT_TRUE(walker.IsStopped());
    EXPECT_EQ(sink.m_vPids, Pids(2));
}

TEST(CTsWalkerTest, RestartWalksAgainFromTheFirstPacketQuietly)
{
    Bytes v(300, 0x11);
    const Bytes packets = Packets(5);
    v.insert(v.end(), packets.begin(), packets.end());
    CTsWalker walker;
    ASSERT_TRUE(walker.Start(v.data(), int(v.size()), true));
    CRecorder first;
    walker.Walk(v.data(), int(v.size()), true, first);
    walker.Restart();
    CRecorder second;
    walker.Walk(v.data(), int(v.size()), true, second);
    EXPECT_EQ(second.m_vOffsets, first.m_vOffsets);
    EXPECT_EQ(first.m_vRegained.size(), 1u);
    EXPECT_TRUE(second.m_vRegained.empty());
    EXPECT_EQ(walker.GetSyncLosses(), 1);
}

// Callers that read more than the search window find what the file reader
// finds: nothing past it is looked at.
TEST(CTsWalkerTest, PacketsPastTheSearchWindowAreNotFound)
{
    for (const int nJunk : {kSyncSearchBytes - 1, kSyncSearchBytes}) {
        Bytes v(size_t(nJunk), 0x11);
        const Bytes packets = Packets(10);
        v.insert(v.end(), packets.begin(), packets.end());
        CTsWalker walker;
        EXPECT_EQ(walker.Start(v.data(), int(v.size()), true), nJunk < kSyncSearchBytes) << nJunk;
    }
}
