// The packet walker and the bit-rate estimator over arbitrary buffers of any
// length. The bytes are copied into an allocation of exactly their size, so
// a read past the end is an address-sanitizer report.
#include "FuzzCheck.h"
#include "ts/CTsWalker.h"
#include "ts/SourceRate.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// PCR steps are at most half a second, so even one packet per step gives
// 2 x 188 x 8 bit/s; any estimate below that is wrong arithmetic.
constexpr int kMinRate = 2 * kTsPacketSize * 8;

std::unique_ptr<unsigned char[]> Copy(const uint8_t* pData, size_t nSize)
{
    std::unique_ptr<unsigned char[]> pBuf(new unsigned char[nSize == 0 ? 1 : nSize]);
    if (nSize > 0) {
        std::memcpy(pBuf.get(), pData, nSize);
    }
    return pBuf;
}

// Every packet handed on: its offset and its first bytes.
class CPacketLog final : public ITsPacketSink
{
public:
    bool OnPacket(unsigned char* pPacket, long long llOffset) override
    {
        FUZZ_CHECK(pPacket[0] == kSyncByte);
        FUZZ_CHECK(m_vOffsets.empty() || llOffset >= m_vOffsets.back() + kTsPacketSize);
        m_vOffsets.push_back(llOffset);
        m_vHeads.push_back(uint32_t(pPacket[1] << 16 | pPacket[2] << 8 | pPacket[3]));
        return true;
    }
    std::vector<long long> m_vOffsets;
    std::vector<uint32_t> m_vHeads;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > size_t(1) << 24) {
        return 0;
    }
    const auto pBuf = Copy(pData, nSize);
    const int nRate = EstimateTsBitRate(pBuf.get(), int(nSize));
    FUZZ_CHECK(nRate == -1 || nRate >= kMinRate);

    CTsWalker whole;
    if (!whole.Start(pBuf.get(), int(nSize), true)) {
        FUZZ_CHECK(nRate == -1);
        return 0;
    }
    CPacketLog wholeLog;
    FUZZ_CHECK(whole.Walk(pBuf.get(), int(nSize), true, wholeLog) < kTsPacketSize);
    for (const long long llOffset : wholeLog.m_vOffsets) {
        FUZZ_CHECK(llOffset + kTsPacketSize <= (long long)nSize);
    }
    // In a 192-byte stream the alignment found again depends on how far the
    // search sees; the other sizes give the same packets however the bytes
    // come, in pieces of a buffer that holds the packets that confirm.
    if (whole.GetLayout().nStep == kM2tsPacketSize) {
        return 0;
    }
    const int nBuffer = kSyncConfirmPackets * kRsPacketSize + int(pData[0]) * 3;
    std::vector<unsigned char> vBuffer(static_cast<size_t>(nBuffer));
    CTsWalker pieces;
    pieces.Start(pBuf.get(), int(nSize), true);
    pieces.FitBuffer(nBuffer);
    CPacketLog piecesLog;
    size_t nNext = 0;
    int nCarry = 0;
    for (;;) {
        const size_t nRead = std::min(nSize - nNext, size_t(nBuffer - nCarry));
        std::memcpy(vBuffer.data() + nCarry, pBuf.get() + nNext, nRead);
        nNext += nRead;
        const int nTotal = nCarry + int(nRead);
        const bool bFinal = nNext == nSize;
        nCarry = pieces.Walk(vBuffer.data(), nTotal, bFinal, piecesLog);
        if (bFinal) {
            break;
        }
        FUZZ_CHECK(nCarry < nBuffer);
        std::memmove(vBuffer.data(), vBuffer.data() + nTotal - nCarry, size_t(nCarry));
    }
    FUZZ_CHECK(piecesLog.m_vOffsets == wholeLog.m_vOffsets);
    FUZZ_CHECK(piecesLog.m_vHeads == wholeLog.m_vHeads);
    FUZZ_CHECK(pieces.GetSkippedBytes() == whole.GetSkippedBytes());
    return 0;
}
