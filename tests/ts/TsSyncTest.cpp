#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"
#include "ts/TsSync.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using tsb::CPacketBuilder;

namespace {

using Bytes = std::vector<uint8_t>;

// nJunk bytes free of sync bytes, then nPackets null packets at steps of
// nStep; vStamp is the timestamp before each packet of a 192-byte stream.
Bytes Stream(int nJunk, int nPackets, int nStep, const Bytes& vStamp = {0, 0, 0, 0})
{
    Bytes v(size_t(nJunk), 0x11);
    const tsb::Packet null = CPacketBuilder::Null();
    for (int i = 0; i < nPackets; ++i) {
        if (nStep == kM2tsPacketSize) {
            v.insert(v.end(), vStamp.begin(), vStamp.end());
        }
        v.insert(v.end(), null.begin(), null.end());
        v.insert(v.end(), size_t(nStep == kRsPacketSize ? 16 : 0), 0xA5);
    }
    return v;
}

CTsLayout Layout(const Bytes& v, bool bEnd = true)
{
    CTsLayout layout;
    EXPECT_TRUE(FindTsLayout(v.data(), int(v.size()), bEnd, layout));
    return layout;
}

} // namespace

TEST(TsSyncTest, TimestampBytesReadingAsSyncBytesAreNotTakenForThePacket)
{
    // The timestamp's second and third bytes read 0x47 in every packet of
    // the first stretch; the sync byte follows them.
    Bytes v = Stream(0, 30, kM2tsPacketSize, {0x00, 0x47, 0x47, 0x10});
    const Bytes tail = Stream(0, 30, kM2tsPacketSize, {0x00, 0x48, 0x02, 0x10});
    v.insert(v.end(), tail.begin(), tail.end());
    const CTsLayout layout = Layout(v);
    EXPECT_EQ(layout.nStep, kM2tsPacketSize);
    EXPECT_EQ(layout.nFirst, 4);
}

// Both 188 and 192 fit the first five packets: the size whose sync bytes
// keep repeating decides, 188 where both run to the end.
TEST(TsSyncTest, WhereTwoSizesFitTheLongerRunDecides)
{
    // A 192-byte stream whose first timestamp byte turns 0x47 from the
    // second packet on, and whose next payloads hold 0x47 on the 188 steps.
    Bytes v192 = Stream(0, 30, kM2tsPacketSize, {0x47, 0, 0, 0});
    v192[0] = 0x46;
    for (int k = 2; k < kSyncConfirmPackets; ++k) {
        v192[size_t(4 + k * kTsPacketSize)] = kSyncByte;
    }
    // A 188-byte stream with 0x47 on the 192 steps through its payloads.
    Bytes v188 = Stream(0, 30, kTsPacketSize);
    for (int k = 1; k < 20; ++k) {
        v188[size_t(k * kM2tsPacketSize)] = kSyncByte;
    }
    // Five packets whose payloads make 192 fit to the very end as well.
    Bytes vTie = Stream(0, 5, kTsPacketSize);
    for (int k = 1; k * kM2tsPacketSize < int(vTie.size()); ++k) {
        vTie[size_t(k * kM2tsPacketSize)] = kSyncByte;
    }
    for (const auto& [v, nStep, nFirst] :
         {std::tuple(v192, kM2tsPacketSize, 4), std::tuple(v188, kTsPacketSize, 0),
          std::tuple(vTie, kTsPacketSize, 0)}) {
        const CTsLayout layout = Layout(v);
        EXPECT_EQ(layout.nStep, nStep);
        EXPECT_EQ(layout.nFirst, nFirst);
    }
}

TEST(TsSyncTest, StraySyncBytesNeedFiveInStep)
{
    Bytes v(1000, 0x11);
    for (int k = 0; k < 4; ++k) {
        v[size_t(10 + k * kTsPacketSize)] = kSyncByte; // four in step: not enough
    }
    const Bytes stream = Stream(0, 10, kTsPacketSize);
    v.insert(v.end(), stream.begin(), stream.end());
    EXPECT_EQ(Layout(v).nFirst, 1000);
}

TEST(TsSyncTest, ShortStreamConfirmsWithWhatItHoldsOnlyAtItsEnd)
{
    const Bytes v = Stream(0, 2, kTsPacketSize);
    EXPECT_EQ(Layout(v, true).nStep, kTsPacketSize);
    CTsLayout layout;
    EXPECT_FALSE(FindTsLayout(v.data(), int(v.size()), false, layout));
}

TEST(TsSyncTest, NothingFoundNamesTheFirstBytes)
{
    const Bytes v = {'<', 'h', 't', 'm', 'l', '>', ' ', 'x', 'y'};
    CTsLayout layout;
    EXPECT_FALSE(FindTsLayout(v.data(), int(v.size()), true, layout));
    EXPECT_EQ(DescribeNoPackets(v.data(), int(v.size())),
              "no transport-stream packets found in the first 9 bytes (first bytes 0x3C 0x68 "
              "0x74 0x6D 0x6C 0x3E 0x20 0x78)");
}
