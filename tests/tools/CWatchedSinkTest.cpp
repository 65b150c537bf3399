#include "CWatchedSink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

// A sink that breaks at a given batch, leaving errno as a failed write does.
class CBreakingSink : public COutPutModuleBase
{
public:
    CBreakingSink(int nBreakAt, int nErrno) : m_nBreakAt(nBreakAt), m_nErrno(nErrno) {}
    void RenderOnePacket(unsigned char*) override { RenderPackets(nullptr, 1); }
    void RenderPackets(unsigned char*, int) override
    {
        if (++m_nBatches >= m_nBreakAt) {
            m_bBroken = true;
            errno = m_nErrno;
        }
    }
    void Destroy() override {}
    bool IsBroken() const override { return m_bBroken; }

private:
    int m_nBreakAt;
    int m_nErrno;
    int m_nBatches = 0;
    bool m_bBroken = false;
};

} // namespace

// A closed pipe is told from a full disk by the failing write's errno; the
// batch it failed on, of unknown length on disk, is not counted.
TEST(CWatchedSinkTest, KeepsTheErrnoOfTheWriteThatBrokeIt)
{
    for (const int nErrno : {EPIPE, ENOSPC}) {
        CWatchedSink sink(std::make_unique<CBreakingSink>(2, nErrno));
        std::vector<unsigned char> vBatch(3 * kPacketBytes);
        sink.RenderPackets(vBatch.data(), 3);
        EXPECT_EQ(sink.GetErrno(), 0);
        sink.RenderPackets(vBatch.data(), 3);
        errno = 0;
        sink.RenderPackets(vBatch.data(), 3); // ignored after the break
        EXPECT_TRUE(sink.IsBroken());
        EXPECT_EQ(sink.GetErrno(), nErrno);
        EXPECT_EQ(sink.GetPackets(), 3);
    }
}
