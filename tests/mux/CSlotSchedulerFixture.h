#pragma once

// The slot scheduler's test fixture: inputs as deques the tests fill, no threads.
#include "mux/CSlotScheduler.h"
#include "mux/MuxConstants.h"

#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace sst {

using namespace mtk;
using tsb::CPacketBuilder;

// 2,000 slots a second: a slot is 13,500 ticks, 80 ms is 160 slots, 35 ms 70.
constexpr int64_t kRate = 2000 * kTsPacketSize * 8;
constexpr int64_t kTicksPerSlot = kPcrHz / 2000;

inline std::vector<CPsiTable> OneTable(uint16_t nPid)
{
    CPsiTable table;
    table.nPid = nPid;
    tsb::Header h = On(nPid);
    h.bPusi = true;
    const tsb::Packet packet = CPacketBuilder::Payload(h, {0x00, 0x00});
    table.vPackets.assign(packet.begin(), packet.end());
    return {table};
}

// An input's queue as the scheduler reads it, in a deque (entries stay
// where they are while more are pushed).
class CVectorQueue final : public CSlotScheduler::IInputQueue
{
public:
    CTimedPacket* Peek(int k) override
    {
        const size_t n = m_nHead + size_t(k);
        return n < m_v.size() ? &m_v[n] : nullptr;
    }
    void Pop() override { ++m_nHead; }
    bool IsEnded() override { return m_bEnd; }

    void PublishEnd() { m_bEnd = true; }
    std::deque<CTimedPacket> m_v;

private:
    size_t m_nHead = 0;
    bool m_bEnd = false;
};

class CSlotSchedulerTest : public ::testing::Test
{
protected:
    CSlotSchedulerTest() : m_vMap(kPidCount, -1) {}

    // Queues a packet due at nTime on input i's timeline (nChange: a marker).
    static void Push(CVectorQueue& queue, const tsb::Packet& packet, int64_t nTime,
                     int32_t nMargin = CTimedPacket::kNoMargin, uint32_t nChange = 0)
    {
        CTimedPacket entry;
        std::copy(packet.begin(), packet.end(), entry.vData);
        entry.nTime = nTime;
        entry.nMargin = nMargin;
        entry.nChange = nChange;
        queue.m_v.push_back(entry);
    }
    CSlotScheduler::CInput Input(CVectorQueue& queue, std::vector<int> vPcrPids = {})
    {
        CSlotScheduler::CInput in;
        in.pQueue = &queue;
        in.pPidMap = m_vMap.data();
        in.vPcrPids = std::move(vPcrPids);
        return in;
    }
    // Fills until the scheduler finishes, going on after each change (kept
    // in m_vChanges); the slots, 188 bytes each.
    std::vector<uint8_t> Run(CSlotScheduler& scheduler, int nMax = 100'000)
    {
        std::vector<uint8_t> vOut(size_t(nMax) * kTsPacketSize);
        int n = 0;
        for (;;) {
            const CSlotScheduler::CFill fill =
                scheduler.FillSlots(nMax - n, vOut.data() + size_t(n) * kTsPacketSize);
            n += fill.nFilled;
            if (!fill.IsChange()) {
                break;
            }
            m_vChanges.push_back(fill);
        }
        vOut.resize(size_t(n) * kTsPacketSize);
        return vOut;
    }
    static int PidAt(const std::vector<uint8_t>& v, size_t nSlot)
    {
        return ((v[nSlot * kTsPacketSize + 1] & 0x1F) << 8) | v[nSlot * kTsPacketSize + 2];
    }

    std::vector<int> m_vMap;
    std::vector<CSlotScheduler::CFill> m_vChanges; // what Run went on after
    CVectorQueue m_a;
    CVectorQueue m_b;
};


} // namespace sst
