// The bit-rate estimator over arbitrary buffers of any length. The bytes are
// copied into an allocation of exactly their size, so a read past the last
// whole packet is an address-sanitizer report.
#include "FuzzCheck.h"
#include "ts/SourceRate.h"
#include "ts/TsConstants.h"
#include "ts/TsSync.h"

#include <cstdint>
#include <cstring>
#include <memory>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > size_t(1) << 24) {
        return 0;
    }
    const auto pBuf = Copy(pData, nSize);
    const int nRate = EstimateTsBitRate(pBuf.get(), int(nSize));
    FUZZ_CHECK(nRate == -1 || nRate >= kMinRate);
    CTsLayout layout;
    if (!FindTsLayout(pBuf.get(), int(nSize), true, layout)) {
        FUZZ_CHECK(nRate == -1);
        return 0;
    }
    FUZZ_CHECK(layout.nFirst >= 0 && layout.nFirst + kTsPacketSize <= int(nSize));
    // What follows the last whole packet is not examined: the buffer cut
    // there gives the same estimate for the same layout.
    const int nPackets = (int(nSize) - layout.nFirst - kTsPacketSize) / layout.nStep + 1;
    const int nWhole = layout.nFirst + (nPackets - 1) * layout.nStep + kTsPacketSize;
    const auto pWhole = Copy(pData, size_t(nWhole));
    FUZZ_CHECK(EstimateTsBitRate(pWhole.get(), nWhole, layout) == nRate);
    return 0;
}
