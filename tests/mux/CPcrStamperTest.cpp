#include "mux/CPcrStamper.h"

#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace mtk;
using tsb::CPacketBuilder;

namespace {

// 2,000 slots a second: 40 ms is 80 slots, 35 ms 70, and an own PCR may
// leave a slot early.
constexpr int64_t kRate = 2000 * kTsPacketSize * 8;
constexpr int64_t kMax = 80;

struct CRun
{
    std::map<int, std::vector<int64_t>> pcrSlots; // per PID, own and inserted
    std::map<int, int> inserted;                  // per PID
};

// Each PID's own PCRs are due every nSpacing slots from its phase; a PCR the
// stamper asks for goes as the PID's own when that is due by then (give or
// take the early window), else as a PCR-only packet; one PCR per slot.
CRun Drive(CPcrStamper& stamper, const std::map<int, std::pair<int64_t, int64_t>>& own,
           int64_t nSlots)
{
    CRun run;
    std::map<int, int64_t> next; // per PID: due slot of its next own PCR
    for (const auto& [nPid, pcr] : own) {
        next[nPid] = pcr.first;
    }
    std::vector<uint8_t> packet(kTsPacketSize);
    for (int64_t n = 0; n < nSlots; ++n) {
        int nPid = stamper.GetDuePid(n);
        bool bOwn = nPid >= 0 && next[nPid] <= std::max(n, stamper.GetDueSlot(nPid)) +
                                                   stamper.GetEarlySlots();
        if (nPid < 0) {
            for (const auto& [nThis, nDue] : next) {
                if (nDue <= n) {
                    nPid = nThis;
                    bOwn = true;
                    break;
                }
            }
        }
        if (nPid < 0) {
            continue;
        }
        if (bOwn) {
            const tsb::Packet pcr = CPacketBuilder::Pcr(On(uint16_t(nPid)), 1000 + n * 13500);
            std::copy(pcr.begin(), pcr.end(), packet.begin());
            EXPECT_TRUE(stamper.OnPacket(n, next[nPid], packet.data(), nPid));
            next[nPid] += own.at(nPid).second;
        } else {
            EXPECT_EQ(stamper.TakeDue(n, packet.data()), nPid);
            ++run.inserted[nPid];
        }
        run.pcrSlots[nPid].push_back(n);
    }
    return run;
}

int64_t LongestGap(const std::vector<int64_t>& v)
{
    int64_t nMax = 0;
    for (size_t k = 1; k < v.size(); ++k) {
        nMax = std::max(nMax, v[k] - v[k - 1]);
    }
    return nMax;
}

struct CSpacing
{
    int64_t nSpacing;   // slots between the input's own PCRs
    double fPerOwnMax;  // PCR-only packets per own PCR, at most
};

class CPcrStamperSpacingTest : public ::testing::TestWithParam<CSpacing>
{
};

} // namespace

// Around the longest gap: own PCRs up to 40 ms apart get nothing; a slot
// more and they wait for their own, which leaves a slot early, and get a
// PCR-only packet every other time; beyond, the fewest that keep every gap
// inside 40 ms (one per own PCR up to 80 ms, two up to 120; 80 ms and a
// slot, one and two in turn).
TEST_P(CPcrStamperSpacingTest, FewestPcrOnlyPacketsKeepEveryGapInside40Ms)
{
    const CSpacing spacing = GetParam();
    const COutputTime time(kRate);
    CPcrStamper stamper(time, time.SlotsIn(35), time.SlotsIn(40));
    stamper.AddPid(0x100);
    const CRun run = Drive(stamper, {{0x100, {3, spacing.nSpacing}}}, 200 * spacing.nSpacing);
    const std::vector<int64_t>& v = run.pcrSlots.at(0x100);
    EXPECT_LE(LongestGap(v), kMax);
    const double fOwn = 200.0;
    const double fInserted = run.inserted.count(0x100) ? run.inserted.at(0x100) : 0;
    // The first gap has no spacing to go by yet: 35 ms.
    EXPECT_LE((fInserted - 1) / fOwn, spacing.fPerOwnMax) << fInserted;
    EXPECT_EQ(stamper.GetInsertedCount(), int64_t(fInserted));
}

INSTANTIATE_TEST_SUITE_P(Spacings, CPcrStamperSpacingTest,
                         ::testing::Values(CSpacing{70, 0.0}, CSpacing{80, 0.0},
                                           CSpacing{81, 0.5}, CSpacing{82, 1.0},
                                           CSpacing{90, 1.0}, CSpacing{100, 1.0},
                                           CSpacing{160, 1.0}, CSpacing{161, 1.5},
                                           CSpacing{162, 2.0}, CSpacing{240, 2.0}));

// PCR PIDs whose gaps all run out in the same few slots (the inputs fell
// silent): one PCR a slot, so the first ones start early enough for the
// last. Here ordinary PIDs (own PCRs 35 ms apart) and ones nearly in time
// (41 ms: they wait for the limit) fall due in pairs.
TEST(CPcrStamperTest, PidsDueTogetherStartEarlyEnoughThatNoneWaitsPastTheLimit)
{
    const COutputTime time(kRate);
    CPcrStamper stamper(time, time.SlotsIn(35), time.SlotsIn(40));
    std::vector<uint8_t> packet(kTsPacketSize);
    std::map<int, int64_t> last;
    auto Own = [&](int nPid, int64_t nSlot) {
        const tsb::Packet pcr = CPacketBuilder::Pcr(On(uint16_t(nPid)), 1000 + nSlot * 13500);
        std::copy(pcr.begin(), pcr.end(), packet.begin());
        stamper.OnPacket(nSlot, nSlot, packet.data(), nPid);
        last[nPid] = nSlot;
    };
    for (int k = 0; k < 4; ++k) {
        stamper.AddPid(0x100 + k);
        stamper.AddPid(0x200 + k);
        Own(0x100 + k, 918 + k);
        Own(0x200 + k, 940 + k);
    }
    for (int k = 0; k < 4; ++k) {
        Own(0x100 + k, 1000 + k); // 82 apart: due at the limit, 1080 + k
        Own(0x200 + k, 1010 + k); // 70 apart: due at 1080 + k too
    }
    ASSERT_LT(stamper.GetNextDueSlot(), 1080);
    for (int64_t n = 1014; n < 1400; ++n) {
        const int nPid = stamper.TakeDue(n, packet.data());
        if (nPid >= 0) {
            EXPECT_LE(n - last[nPid], kMax) << "PID " << nPid;
            last[nPid] = n;
        }
    }
}
