#include "CWatchedSink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

// Breaks on its second batch, leaving errno as a failed write does.
class CBreakingSink : public COutPutModuleBase
{
public:
    explicit CBreakingSink(int nErrno) : m_nErrno(nErrno) {}
    void RenderOnePacket(unsigned char*) override {}
    void RenderPackets(unsigned char*, int) override
    {
        m_bBroken = ++m_nBatches >= 2;
        errno = m_bBroken ? m_nErrno : errno;
    }
    void Destroy() override {}
    bool IsBroken() const override { return m_bBroken; }

private:
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
        CWatchedSink sink(std::make_unique<CBreakingSink>(nErrno));
        std::vector<unsigned char> vBatch(3 * kPacketBytes);
        sink.RenderPackets(vBatch.data(), 3);
        EXPECT_EQ(sink.GetErrno(), 0);
        sink.RenderPackets(vBatch.data(), 3);
        sink.RenderPackets(vBatch.data(), 3); // ignored after the break
        EXPECT_TRUE(sink.IsBroken());
        EXPECT_EQ(sink.GetErrno(), nErrno);
        EXPECT_EQ(sink.GetPackets(), 3);
    }
}
